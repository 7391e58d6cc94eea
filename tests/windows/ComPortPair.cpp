// The pseudo-terminal pair of the tests, for Windows programs running under Wine.
//
// A Windows program cannot open a pty master, so the test script links two ptys with socat
// and maps their slaves to two COM ports: what one port writes, the other reads. The code
// under test opens the device port (DevicePath()); the test plays the device on the other,
// the "phone" port. Pairs come from KIVO_TEST_COM_PAIRS ("21:22,23:24": device and phone
// port numbers); a named mutex per pair lets several test processes share the pool.
//
// MasterFd() holds the phone port's handle (Windows handles fit in 32 bits). HangUp()
// unplugs the pair: the device port then fails as a pulled USB device does.
#include "platform/Win32Api.h"
#include "tests/support/PlainDcb.h"
#include "tests/support/PtyPair.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct PortNumbers {
    int Device = 0;
    int Phone = 0;
};

constexpr const char* DefaultPairs = "21:22,23:24,25:26,27:28";
constexpr DWORD PairWaitMs = 60000;

[[noreturn]] void Fail(const std::string& What) {
    throw std::runtime_error(What + " (error " + std::to_string(GetLastError()) + ")");
}

std::vector<PortNumbers> ConfiguredPairs() {
    const char* Env =
        std::getenv("KIVO_TEST_COM_PAIRS"); // NOLINT(concurrency-mt-unsafe): no thread sets it
    std::string Text = (Env != nullptr && *Env != '\0') ? Env : DefaultPairs;
    std::vector<PortNumbers> Pairs;
    std::size_t Start = 0;
    while (Start < Text.size()) {
        std::size_t End = Text.find(',', Start);
        if (End == std::string::npos) {
            End = Text.size();
        }
        const std::string Item = Text.substr(Start, End - Start);
        const std::size_t Colon = Item.find(':');
        if (Colon == std::string::npos) {
            throw std::runtime_error("KIVO_TEST_COM_PAIRS: expected device:phone, got " + Item);
        }
        Pairs.push_back({std::stoi(Item.substr(0, Colon)), std::stoi(Item.substr(Colon + 1))});
        Start = End + 1;
    }
    return Pairs;
}

std::string PortPath(int Number) {
    return "\\\\.\\COM" + std::to_string(Number);
}

// Takes a free pair, waiting for one while other test processes hold them all. Returns
// the pair and the held mutex.
std::pair<PortNumbers, HANDLE> AcquirePair() {
    const std::vector<PortNumbers> Pairs = ConfiguredPairs();
    std::vector<HANDLE> Locks;
    for (const PortNumbers& P : Pairs) {
        const std::string Name = "Local\\kivo-test-com-pair-" + std::to_string(P.Device);
        HANDLE Lock = CreateMutexA(nullptr, FALSE, Name.c_str());
        if (Lock == nullptr) {
            Fail("CreateMutexA " + Name);
        }
        Locks.push_back(Lock);
    }
    const DWORD Result =
        WaitForMultipleObjects(static_cast<DWORD>(Locks.size()), Locks.data(), FALSE, PairWaitMs);
    std::size_t Taken = Locks.size();
    if (Result < WAIT_OBJECT_0 + Locks.size()) {
        Taken = Result - WAIT_OBJECT_0;
    } else if (Result >= WAIT_ABANDONED && Result < WAIT_ABANDONED + Locks.size()) {
        Taken = Result - WAIT_ABANDONED; // a crashed test left it; the pair is ours now
    }
    for (std::size_t I = 0; I < Locks.size(); ++I) {
        if (I != Taken) {
            CloseHandle(Locks[I]);
        }
    }
    if (Taken == Locks.size()) {
        throw std::runtime_error("no free COM port pair within 60 s (KIVO_TEST_COM_PAIRS)");
    }
    return {Pairs[Taken], Locks[Taken]};
}

HANDLE OpenPort(int Number) {
    const std::string Path = PortPath(Number);
    HANDLE Port = CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (Port == INVALID_HANDLE_VALUE) {
        Fail("cannot open " + Path + ": are the COM port pairs mapped (scripts/windows/test.sh)?");
    }
    return Port;
}

// Raw 8-bit line with no flow control and no time-outs, so data passes unchanged; DTR and
// RTS on.
void MakeRaw(HANDLE Port) {
    DCB Dcb = kivo::test::PlainDcb();
    Dcb.fDtrControl = DTR_CONTROL_ENABLE;
    Dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (SetCommState(Port, &Dcb) == FALSE) {
        Fail("SetCommState");
    }
    COMMTIMEOUTS Timeouts{};
    SetCommTimeouts(Port, &Timeouts);
}

HANDLE AsHandle(int Value) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(Value));
}
int AsInt(HANDLE Value) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(Value));
}

// One overlapped transfer on the phone port, with its own event.
class Transfer {
public:
    Transfer() : FEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        if (FEvent == nullptr) {
            Fail("CreateEventA");
        }
        FOverlapped.hEvent = FEvent;
    }
    ~Transfer() { CloseHandle(FEvent); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    OVERLAPPED* Overlapped() { return &FOverlapped; }

    // Waits until the operation completes or Deadline passes (then cancels it); returns
    // the bytes transferred.
    DWORD Finish(HANDLE Port, BOOL Started, Clock::time_point Deadline) {
        if (Started == FALSE && GetLastError() != ERROR_IO_PENDING) {
            Fail("serial transfer");
        }
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        const DWORD WaitMs = static_cast<DWORD>(std::max<std::int64_t>(Left.count(), 0));
        if (WaitForSingleObject(FEvent, WaitMs) != WAIT_OBJECT_0) {
            CancelIo(Port);
        }
        DWORD Done = 0;
        GetOverlappedResult(Port, &FOverlapped, &Done, TRUE);
        return Done;
    }

private:
    HANDLE FEvent;
    OVERLAPPED FOverlapped{};
};

DWORD QueuedBytes(HANDLE Port) {
    DWORD Errors = 0;
    COMSTAT Status{};
    return ClearCommError(Port, &Errors, &Status) != FALSE ? Status.cbInQue : 0;
}

// Reads up to Count bytes: waits for the first one until Deadline, then takes what else is
// queued already.
std::string ReadSome(HANDLE Port, std::size_t Count, Clock::time_point Deadline) {
    std::string Got;
    char First = 0;
    Transfer Read;
    DWORD Bytes = 0;
    const BOOL Started = ReadFile(Port, &First, 1, &Bytes, Read.Overlapped());
    if (Read.Finish(Port, Started, Deadline) != 1) {
        return Got;
    }
    Got.push_back(First);
    const std::size_t More = std::min<std::size_t>(QueuedBytes(Port), Count - 1);
    if (More > 0) {
        std::string Rest(More, '\0');
        Transfer ReadRest;
        const BOOL RestStarted =
            ReadFile(Port, Rest.data(), static_cast<DWORD>(More), &Bytes, ReadRest.Overlapped());
        Rest.resize(ReadRest.Finish(Port, RestStarted, Deadline));
        Got += Rest;
    }
    return Got;
}

// Writes all of Data unless Deadline passes first; false then.
bool WriteAll(HANDLE Port, std::string_view Data, Clock::time_point Deadline) {
    while (!Data.empty()) {
        Transfer Write;
        DWORD Bytes = 0;
        const BOOL Started = WriteFile(Port, Data.data(), static_cast<DWORD>(Data.size()), &Bytes,
                                       Write.Overlapped());
        const DWORD Done = Write.Finish(Port, Started, Deadline);
        if (Done == 0) {
            return false;
        }
        Data.remove_prefix(Done);
    }
    return true;
}

// Whatever an earlier test left on the pair, in either direction, is not this test's data:
// it may still be on its way through socat, so purging alone cannot catch it. A marker is
// sent from From to To, and everything To receives up to the marker is dropped.
void Resynchronise(HANDLE From, HANDLE To) {
    static int Serial = 0;
    const std::string Marker = "\x7fkivo-pair-" + std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(++Serial) + "\x7f";
    const auto Deadline = Clock::now() + std::chrono::seconds(10);
    // Read while the marker is being written: old data may fill the line's buffers.
    Transfer Write;
    DWORD Bytes = 0;
    const BOOL Started = WriteFile(From, Marker.data(), static_cast<DWORD>(Marker.size()), &Bytes,
                                   Write.Overlapped());
    std::string Got;
    while (!Got.ends_with(Marker)) {
        const std::string Part = ReadSome(To, 4096, Deadline);
        if (Part.empty()) {
            break;
        }
        Got += Part;
        if (Got.size() > 2 * Marker.size()) {
            Got.erase(0, Got.size() - 2 * Marker.size());
        }
    }
    const DWORD Written = Write.Finish(From, Started, Deadline);
    if (Written != Marker.size() || !Got.ends_with(Marker)) {
        throw std::runtime_error("COM port pair: the marker did not arrive within 10 s");
    }
}

void ClosePhone(int& Phone) {
    if (Phone != -1) {
        CloseHandle(AsHandle(Phone));
        Phone = -1;
    }
}

void ReleasePair(int& Phone, int& Lock) {
    ClosePhone(Phone);
    if (Lock != -1) {
        ReleaseMutex(AsHandle(Lock));
        CloseHandle(AsHandle(Lock));
        Lock = -1;
    }
}

} // namespace

PtyPair::PtyPair() {
    auto [Ports, Lock] = AcquirePair();
    FKeepOpen = AsInt(Lock);
    try {
        FMaster = AsInt(OpenPort(Ports.Phone));
        MakeRaw(AsHandle(FMaster));
        HANDLE Device = OpenPort(Ports.Device);
        MakeRaw(Device);
        try {
            Resynchronise(Device, AsHandle(FMaster));
            Resynchronise(AsHandle(FMaster), Device);
        } catch (...) {
            CloseHandle(Device);
            throw;
        }
        CloseHandle(Device);
    } catch (...) {
        ReleasePair(FMaster, FKeepOpen);
        throw;
    }
    FDevicePath = PortPath(Ports.Device);
}

PtyPair::~PtyPair() {
    ReleasePair(FMaster, FKeepOpen);
}

bool PtyPair::Send(std::string_view Data, std::chrono::milliseconds Timeout) const {
    return WriteAll(AsHandle(FMaster), Data, Clock::now() + Timeout);
}

std::string PtyPair::Receive(std::size_t Count, std::chrono::milliseconds Timeout) const {
    std::string Got;
    const auto Deadline = Clock::now() + Timeout;
    while (Got.size() < Count && Clock::now() < Deadline) {
        const std::string Part = ReadSome(AsHandle(FMaster), Count - Got.size(), Deadline);
        if (Part.empty()) {
            break;
        }
        Got += Part;
    }
    return Got;
}

std::string PtyPair::ReceiveUntil(std::string_view Suffix,
                                  std::chrono::milliseconds Timeout) const {
    std::string Got;
    const auto Deadline = Clock::now() + Timeout;
    while (!Got.ends_with(Suffix) && Clock::now() < Deadline) {
        const std::string Part = ReadSome(AsHandle(FMaster), 1, Deadline);
        if (Part.empty()) {
            break;
        }
        Got += Part;
    }
    return Got;
}

// Unplugs the pair as a pulled cable would: a line on the pair's unplug FIFO (made by the
// test script) ends the socat link under it, so the device side hangs up; the script plugs
// a fresh link in under the same names for the tests that follow.
void PtyPair::HangUp() {
    ClosePhone(FMaster);
    const char* Run = std::getenv("KIVO_TEST_COM_RUN"); // NOLINT(concurrency-mt-unsafe)
    if (Run == nullptr || *Run == '\0') {
        throw std::runtime_error("KIVO_TEST_COM_RUN is not set (scripts/windows/test.sh)");
    }
    std::string Fifo = std::string("Z:") + Run + "/unplug-com" + FDevicePath.substr(7);
    std::replace(Fifo.begin(), Fifo.end(), '/', '\\');
    HANDLE Unplug = CreateFileA(Fifo.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (Unplug == INVALID_HANDLE_VALUE) {
        Fail("cannot open " + Fifo);
    }
    DWORD Written = 0;
    const BOOL Done = WriteFile(Unplug, "\n", 1, &Written, nullptr);
    CloseHandle(Unplug);
    if (Done == FALSE || Written != 1) {
        Fail("cannot write " + Fifo);
    }
}
