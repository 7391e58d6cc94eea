// Opening, configuring and closing a port on a pseudo-terminal, and the events around it.

#include "serial/VaConst.h"
#include "tests/serial/CommFixture.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>
#ifdef _WIN32
#include <tlhelp32.h>
#endif

namespace {

#ifdef _WIN32
// The ids of this process's threads.
std::vector<DWORD> ThreadsOfThisProcess() {
    std::vector<DWORD> Ids;
    HANDLE Snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 Entry{};
    Entry.dwSize = sizeof(Entry);
    for (BOOL More = Thread32First(Snapshot, &Entry); More != FALSE;
         More = Thread32Next(Snapshot, &Entry)) {
        if (Entry.th32OwnerProcessID == GetCurrentProcessId()) {
            Ids.push_back(Entry.th32ThreadID);
        }
    }
    CloseHandle(Snapshot);
    return Ids;
}
#endif

// Open descriptors and running threads of this process.
struct ProcessResources {
    bool Known = false; // only where /proc tells
    std::ptrdiff_t Descriptors = 0;
    std::ptrdiff_t Threads = 0;
#ifdef _WIN32
    std::vector<DWORD> ThreadIds;
#endif

    static ProcessResources Now() {
#ifdef _WIN32
        // The process's handles and threads as Windows counts them. (Under Wine, /proc
        // exists too, but describes the Wine process, whose descriptors come and go with
        // Wine's own caching.)
        DWORD Handles = 0;
        GetProcessHandleCount(GetCurrentProcess(), &Handles);
        auto Ids = ThreadsOfThisProcess();
        const auto Threads = static_cast<std::ptrdiff_t>(Ids.size());
        return {true, static_cast<std::ptrdiff_t>(Handles), Threads, std::move(Ids)};
#else
        std::error_code Error;
        if (!std::filesystem::exists("/proc/self/task", Error)) {
            return {};
        }
        const auto Count = [](const char* Dir) {
            return std::distance(std::filesystem::directory_iterator(Dir),
                                 std::filesystem::directory_iterator());
        };
        return {true, Count("/proc/self/fd"), Count("/proc/self/task")};
#endif
    }

    // The threads running now that were not when Before was taken (on Linux the difference of
    // the counts). On Windows each of them is first waited for, up to ten seconds in all:
    // Wine's serial driver runs a wait on a worker thread of its own, which ends a moment
    // after the wait has completed, and other threads of Wine's come and go as well; a thread
    // of ours left running does not end and is counted. Elsewhere the component joins its
    // threads before Close returns.
    static std::ptrdiff_t ThreadsAddedSince(const ProcessResources& Before) {
#ifdef _WIN32
        const auto Started = [&](DWORD Id) {
            return std::find(Before.ThreadIds.begin(), Before.ThreadIds.end(), Id) ==
                   Before.ThreadIds.end();
        };
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (const DWORD Id : ThreadsOfThisProcess()) {
            HANDLE Thread = Started(Id) ? OpenThread(SYNCHRONIZE, FALSE, Id) : nullptr;
            if (Thread == nullptr) {
                continue; // there before, or ended meanwhile
            }
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                Deadline - std::chrono::steady_clock::now());
            // One still running when the time is up is counted below.
            (void)WaitForSingleObject(Thread,
                                      static_cast<DWORD>(std::max<long long>(Left.count(), 0)));
            CloseHandle(Thread);
        }
        const auto Running = ThreadsOfThisProcess();
        return std::count_if(Running.begin(), Running.end(), Started);
#else
        return Now().Threads - Before.Threads;
#endif
    }
};

using PortLifecycle = CommTest;

TEST_F(PortLifecycle, OnOpenComesLastAndOnCloseOnlyForAnOpenPort) {
    std::vector<std::string> Seen;
    Comm->OnOpen = [&](TObject* Sender) {
        EXPECT_EQ(Sender, Comm.get());
        EXPECT_TRUE(Comm->Active());
        EXPECT_NE(TVaCommAccess::EventThread(*Comm), nullptr);
        EXPECT_NE(TVaCommAccess::WriteThread(*Comm), nullptr);
        Seen.emplace_back("open");
    };
    Comm->OnClose = [&](TObject* Sender) {
        EXPECT_EQ(Sender, Comm.get());
        EXPECT_FALSE(Comm->Active());
        Seen.emplace_back("close");
    };

    Comm->Close(); // never opened: nothing
    Comm->Open();
    EXPECT_TRUE(Comm->Active());
    Comm->Close();
    Comm->Close();
    EXPECT_FALSE(Comm->Active());
    EXPECT_EQ(TVaCommAccess::EventThread(*Comm), nullptr);
    EXPECT_EQ(TVaCommAccess::WriteThread(*Comm), nullptr);
    EXPECT_EQ(Seen, (std::vector<std::string>{"open", "close"}));

    Comm->Open();
    Comm.reset(); // destroying an open component closes it without OnClose
    EXPECT_EQ(Seen, (std::vector<std::string>{"open", "close", "open"}));
}

TEST_F(PortLifecycle, AnOnOpenHandlerThatRaisesIsReportedAndThePortStaysOpen) {
    Comm->OnOpen = [](TObject*) { throw EVaCommError("handler failed"); };
    Comm->Open();
    EXPECT_TRUE(Comm->Active());
    EXPECT_EQ(Reports, std::vector<std::string>{"handler failed"});
}

TEST_F(PortLifecycle, OpeningTwiceIsRefusedAndLeavesThePortWorking) {
    Comm->Open();
    try {
        Comm->Open();
        FAIL() << "second Open accepted";
    } catch (const EVaCommError& E) {
        EXPECT_EQ(E.Message(), VaConst::sPortOpen);
    }
    EXPECT_TRUE(Comm->Active());
    EXPECT_TRUE(Comm->WriteText("AT\r\n"));
    EXPECT_EQ(Pty.Receive(4), "AT\r\n");
}

#ifndef _WIN32 // exclusive use is this platform's; Wine opens a port twice
TEST_F(PortLifecycle, APortInUseIsRefusedWithTheSystemsReason) {
    Comm->Open();
    TVaComm Second(nullptr);
    Second.SetDeviceName(Pty.DevicePath());
    try {
        Second.Open();
        FAIL() << "a port in use was opened twice";
    } catch (const EVaCommError& E) {
        const std::string Prefix = "Can't open specified device " + Pty.DevicePath() + " (Error ";
        EXPECT_EQ(E.Message().substr(0, Prefix.size()), Prefix) << E.Message();
    }
    EXPECT_FALSE(Second.Active());
    EXPECT_TRUE(Comm->Active());
}

#endif

TEST_F(PortLifecycle, GuardedSettingsRefuseChangesWhileOpen) {
    Comm->SetPortNum(3);
    Comm->Open();
    const auto ExpectRefused = [](const std::function<void()>& Change) {
        try {
            Change();
            ADD_FAILURE() << "change accepted while open";
        } catch (const EVaCommError& E) {
            EXPECT_EQ(E.Message(), VaConst::sPortOpen);
        }
    };
    ExpectRefused([&] { Comm->SetPortNum(5); });
    ExpectRefused([&] { Comm->SetMonitorEvents({}); });
    ExpectRefused([&] { Comm->SetDeviceName("COM%d"); });
    ExpectRefused([&] { Comm->SetDirectWrite(true); });
    ExpectRefused([&] { Comm->SetUpdateDCB(false); });
    TVaBuffers Other;
    Other.SetWriteSize(99);
    ExpectRefused([&] { Comm->SetBuffers(&Other); });
    EXPECT_EQ(Comm->PortNum(), 3);
    EXPECT_EQ(Comm->MonitorEvents(), (TVaCommEvents{ceError, ceRxChar, ceTxEmpty}));
    EXPECT_EQ(Comm->DeviceName(), Pty.DevicePath());
    EXPECT_FALSE(Comm->DirectWrite());
    EXPECT_TRUE(Comm->UpdateDCB());
    EXPECT_EQ(Comm->Buffers()->WriteSize(), 2048);

    // The queue sizes are stored first, then refused; the wait times are free.
    ExpectRefused([&] { Comm->Buffers()->SetReadSize(8192); });
    EXPECT_EQ(Comm->Buffers()->ReadSize(), 8192);
    Comm->Buffers()->SetReadTimeout(5000);
    EXPECT_EQ(Comm->Buffers()->ReadTimeout(), 5000);

    // Line settings and priorities go to the open device and its threads.
    Comm->SetBaudrate(br9600);
    Comm->EventChars()->SetXonChar(17);
    Comm->FlowControl()->SetXonXoffOut(true);
    Comm->SetEventPriority(tpLower);
    Comm->SetWritePriority(tpNormal);
    EXPECT_EQ(TVaCommAccess::EventThread(*Comm)->Priority(), tpLower);
    EXPECT_EQ(TVaCommAccess::WriteThread(*Comm)->Priority(), tpNormal);
    EXPECT_TRUE(Comm->Active());
    EXPECT_TRUE(Reports.empty());
}

TEST_F(PortLifecycle, EventMaskFollowsMonitorEventsAndTheWriteMode) {
    UseMainWindowSettings();
    Comm->Open();
    EXPECT_EQ(Comm->EventMask(), 0x0081u);
    EXPECT_NE(TVaCommAccess::EventThread(*Comm), nullptr);
    EXPECT_NE(TVaCommAccess::WriteThread(*Comm), nullptr);
    Comm->Close();

    // Queued writes report a drained queue themselves: the device is not asked.
    Comm->SetMonitorEvents({ceTxEmpty});
    Comm->Open();
    EXPECT_EQ(Comm->EventMask(), 0u);
    EXPECT_EQ(TVaCommAccess::EventThread(*Comm), nullptr);
    EXPECT_NE(TVaCommAccess::WriteThread(*Comm), nullptr);
    Comm->Close();

    Comm->SetDirectWrite(true);
    Comm->Open();
    EXPECT_EQ(Comm->EventMask(), EV_TXEMPTY);
    EXPECT_NE(TVaCommAccess::EventThread(*Comm), nullptr);
    EXPECT_EQ(TVaCommAccess::WriteThread(*Comm), nullptr);
    Comm->Close();

    bool Opened = false;
    Comm->OnOpen = [&](TObject*) { Opened = true; };
    Comm->SetMonitorEvents({});
    Comm->Open();
    EXPECT_TRUE(Opened);
    EXPECT_EQ(TVaCommAccess::EventThread(*Comm), nullptr);
    EXPECT_EQ(TVaCommAccess::WriteThread(*Comm), nullptr);

    Comm->Close();
    Comm->SetMonitorEvents({ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty,
                            ceRxFlag, cePErr, ceRx80Full, ceEvent1, ceEvent2});
    Comm->Open();
    EXPECT_EQ(Comm->EventMask(), 0x1FFFu);
}

// The line configuration the open device holds.
DCB DeviceDCB(const TVaComm& Comm) {
    DCB Dcb{};
    Dcb.DCBlength = sizeof(DCB);
    EXPECT_NE(GetCommState(TVaCommAccess::Handle(Comm), &Dcb), 0);
    return Dcb;
}

TEST_F(PortLifecycle, LineSettingsReachTheOpenDeviceUnlessUpdateDCBIsOff) {
    Comm->Open();
    EXPECT_EQ(DeviceDCB(*Comm).BaudRate, 19200u);
    Comm->SetBaudrate(br9600);
    EXPECT_EQ(DeviceDCB(*Comm).BaudRate, 9600u);
#ifndef _WIN32
    // A pseudo-terminal takes no parity: the refusal names the system's reason and, in
    // plain words, the settings refused; the new value stays stored and the port open.
    try {
        Comm->SetParity(paEven);
        ADD_FAILURE() << "parity accepted";
    } catch (const EVaCommError& E) {
        EXPECT_EQ(E.Code(), TVaCommErrorCode::ecRefused);
        EXPECT_EQ(E.Message(), "Error writing dcb (22), Invalid argument: " + Pty.DevicePath() +
                                   " refused the line settings (9600 baud, 8 data bits, even "
                                   "parity, 1 stop bit) or their flow control.");
    }
    EXPECT_EQ(Comm->Parity(), paEven);
    EXPECT_TRUE(Comm->Active());
#endif
    Comm->Close();

    Comm->SetUpdateDCB(false);
    Comm->SetBaudrate(br300);
    Comm->Open();
    EXPECT_NE(DeviceDCB(*Comm).BaudRate, 300u);
    const BYTE ParityBefore = DeviceDCB(*Comm).Parity;
    Comm->SetParity(paOdd); // only stored: no control block is written
    EXPECT_EQ(Comm->Parity(), paOdd);
    EXPECT_EQ(DeviceDCB(*Comm).Parity, ParityBefore);
}

// A component whose thread start fails after the event thread is already running.
class FailingStart : public TVaComm {
public:
    using TVaComm::TVaComm;

protected:
    void StartThreads() override {
        TVaComm::StartThreads();
        throw EThread("no write thread today");
    }
};

TEST_F(PortLifecycle, AFailedThreadStartClosesThePortAndStopsWhatStarted) {
    bool Opened = false;
    {
        FailingStart Failing(nullptr);
        Failing.SetDeviceName(Pty.DevicePath());
        Failing.OnOpen = [&](TObject*) { Opened = true; };
        EXPECT_THROW(Failing.Open(), EThread);
        EXPECT_FALSE(Failing.Active());
        EXPECT_EQ(TVaCommAccess::EventThread(Failing), nullptr);
        EXPECT_EQ(TVaCommAccess::WriteThread(Failing), nullptr);
    }
    EXPECT_FALSE(Opened);
    Comm->Open(); // the device was released
    EXPECT_TRUE(Comm->WriteText("ok"));
    EXPECT_EQ(Pty.Receive(2), "ok");
}

// A component that opens its device itself and hands the handle over.
class OwnOpen : public TVaComm {
public:
    using TVaComm::TVaComm;
    void* Opened = nullptr;

protected:
    void OpenDevice() override {
        Opened = CreateFileA(GetPortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        SetDeviceHandle(Opened);
    }
};

TEST_F(PortLifecycle, ASubclassThatOpensTheDeviceItselfHandsItsHandleOverAndItIsUsedAndClosed) {
    {
        OwnOpen Own(nullptr);
        Own.SetDeviceName(Pty.DevicePath());
        Own.Open();
        ASSERT_TRUE(Own.Active());
        ASSERT_NE(Own.Opened, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(Own.WriteText("own"));
        EXPECT_EQ(Pty.Receive(3), "own");
        Own.Close();
        EXPECT_FALSE(Own.Active());
    }
    Comm->Open(); // the handle handed over was closed with the port
    EXPECT_TRUE(Comm->Active());
}

TEST_F(PortLifecycle, AnOpenRefusedAfterTheDeviceWasOpenedLeavesThePortClosedAndFree) {
    int Opens = 0;
    int Closes = 0;
    Comm->OnOpen = [&](TObject*) { ++Opens; };
    Comm->OnClose = [&](TObject*) { ++Closes; };
    const auto RefusedWith = [&](const std::string& Start) {
        try {
            Comm->Open();
            ADD_FAILURE() << "opened";
        } catch (const EVaCommError& E) {
            EXPECT_EQ(E.Message().substr(0, Start.size()), Start) << E.Message();
        }
        EXPECT_FALSE(Comm->Active());
        EXPECT_EQ(TVaCommAccess::EventThread(*Comm), nullptr);
        EXPECT_EQ(TVaCommAccess::WriteThread(*Comm), nullptr);
    };
    // Queue sizes beyond what a driver takes are refused before anything is allocated.
    Comm->Buffers()->SetReadSize(-1);
    RefusedWith("Error initializing buffers (");
    Comm->Buffers()->SetReadSize(4096);
    Comm->Buffers()->SetWriteSize(VaMaxQueueSize + 1);
    RefusedWith("Error initializing buffers (");
    Comm->Buffers()->SetWriteSize(std::numeric_limits<std::int32_t>::max());
    RefusedWith("Error initializing buffers (");
#ifndef _WIN32 // Linux refuses what a pseudo-terminal cannot do
    Comm->Buffers()->SetWriteSize(2048);
    Comm->SetDatabits(db4); // a control block the device refuses
    RefusedWith("Error writing dcb (");
    Comm->SetDatabits(db8);
#endif
    EXPECT_EQ(Opens, 0);
    EXPECT_EQ(Closes, 0);

    Comm->Buffers()->SetReadSize(VaMaxQueueSize); // the largest sizes still open
    Comm->Buffers()->SetWriteSize(VaMaxQueueSize);
    Comm->Open();
    EXPECT_TRUE(Comm->WriteText("ok"));
    EXPECT_EQ(Pty.Receive(2), "ok");
    EXPECT_EQ(Opens, 1);
}

// What Open raises: its cause and message; ecOther and "<opened>" when the port opened.
std::pair<TVaCommErrorCode, std::string> OpenRefusal(TVaComm& Comm) {
    try {
        Comm.Open();
    } catch (const EVaCommError& E) {
        return {E.Code(), E.Message()};
    }
    Comm.Close();
    return {TVaCommErrorCode::ecOther, "<opened>"};
}

TEST_F(PortLifecycle, EachRefusalCarriesItsCauseAndNamesWhatWasRefusedInPlainWords) {
    using enum TVaCommErrorCode;
    TVaComm Other(nullptr);
    Other.SetDeviceName(Pty.DevicePath() + "-missing");
    EXPECT_EQ(OpenRefusal(Other).first, ecNotFound);
    Comm->Buffers()->SetReadSize(-1);
    const auto [Cause, Message] = OpenRefusal(*Comm);
    EXPECT_EQ(Cause, ecRefused);
    EXPECT_TRUE(Message.starts_with("Error initializing buffers (")) << Message;
    EXPECT_TRUE(Message.ends_with(": " + Pty.DevicePath() +
                                  " refused an input queue of -1 bytes and an output queue of "
                                  "2048 bytes."))
        << Message;
    Comm->Buffers()->SetReadSize(4096);
#ifndef _WIN32 // Windows opens a plain file, and Wine a port twice
    const std::string File = ::testing::TempDir() + "kivo-plain-file";
    std::ofstream(File) << "no terminal";
    Other.SetDevicePath(File);
    EXPECT_EQ(OpenRefusal(Other).first, ecNotSerial);
    std::filesystem::remove(File);

    Comm->Open();
    Other.SetDeviceName(Pty.DevicePath());
    EXPECT_EQ(OpenRefusal(Other).first, ecBusy);
    EXPECT_EQ(OpenRefusal(*Comm).first, ecOther); // open already: the caller's mistake
    Comm->Close();
#endif
}

TEST_F(PortLifecycle, AnOnCloseThatRaisesReachesTheCallerWithThePortClosed) {
    Comm->OnClose = [&](TObject*) { throw EVaCommError("close handler failed"); };
    Comm->Open();
    try {
        Comm->Close();
        ADD_FAILURE() << "the handler's exception was lost";
    } catch (const EVaCommError& E) {
        EXPECT_EQ(E.Message(), "close handler failed");
    }
    EXPECT_FALSE(Comm->Active());
    EXPECT_EQ(TVaCommAccess::EventThread(*Comm), nullptr);
    Comm->OnClose = {};
    Comm->Open(); // the device was closed before the handler ran
    EXPECT_TRUE(Comm->Active());
}

TEST_F(PortLifecycle, AutoOpenOpensOnceAfterLoadingButNotWhileDesigning) {
    int Opens = 0;
    Comm->OnOpen = [&](TObject*) { ++Opens; };
    Comm->SetAutoOpen(true);
    Comm->SetDesigning(true);
    Comm->Loaded();
    EXPECT_FALSE(Comm->Active());
    Comm->SetDesigning(false);
    Comm->Loaded();
    EXPECT_TRUE(Comm->Active());
    EXPECT_EQ(Opens, 1);

    TVaComm Missing(nullptr);
    Missing.SetDeviceName(Pty.DevicePath() + "-missing");
    Missing.SetAutoOpen(true);
    EXPECT_THROW(Missing.Loaded(), EVaCommError);
}

TEST_F(PortLifecycle, ManyCyclesWithTrafficLeaveNothingBehind) {
    UseMainWindowSettings();
    std::string Received;
    Comm->OnRxChar = [&](TObject*, int) { Received += Comm->ReadText(); };
    Comm->Open();
    Comm->Close();
    const ProcessResources Before = ProcessResources::Now();
    for (int Cycle = 0; Cycle < 40; ++Cycle) {
        Comm->Open();
        ASSERT_TRUE(Comm->WriteText("ping\r\n"));
        ASSERT_EQ(Pty.Receive(6), "ping\r\n");
        Pty.Send("pong\r\n");
        ASSERT_TRUE(PumpUntil([&] { return Received.size() >= 6; })) << "cycle " << Cycle;
        EXPECT_EQ(Received, "pong\r\n");
        Received.clear();
        Comm->Close();
    }
    const std::ptrdiff_t ThreadsAdded = ProcessResources::ThreadsAddedSince(Before);
    const ProcessResources After = ProcessResources::Now();
    if (After.Known) {
        EXPECT_EQ(After.Descriptors, Before.Descriptors);
        EXPECT_EQ(ThreadsAdded, 0);
    }
    EXPECT_TRUE(Reports.empty());
}

// The process's address space in bytes, where /proc tells; 0 elsewhere.
std::uint64_t AddressSpace() {
    std::ifstream Statm("/proc/self/statm");
    std::uint64_t Pages = 0;
    Statm >> Pages;
    return Pages * 4096;
}

TEST_F(PortLifecycle, ComponentsWhoseHandlerClosedThePortLeaveNothingBehindWhenDestroyed) {
    const auto Cycle = [&] {
        auto Own = std::make_unique<TVaComm>(nullptr);
        Own->SetDevicePath(Pty.DevicePath());
        Own->SetMonitorEvents({ceError, ceRxChar});
        bool Closed = false;
        Own->OnRxChar = [&](TObject*, int) {
            Own->Close();
            Closed = true;
        };
        Own->Open();
        Pty.Send("x");
        EXPECT_TRUE(PumpUntil([&] { return Closed; }));
        Own.reset(); // long after the handler's Close
    };
    Comm.reset();
    for (int Count = 0; Count < 10; ++Count) { // the allocator's per-thread arenas settle
        Cycle();
    }
    const ProcessResources Before = ProcessResources::Now();
    const std::uint64_t SpaceBefore = AddressSpace();
    for (int Count = 0; Count < 100 && !HasFailure(); ++Count) {
        Cycle();
    }
    const ProcessResources After = ProcessResources::Now();
    if (After.Known) {
        EXPECT_EQ(After.Descriptors, Before.Descriptors);
    }
    // A thread left unjoined keeps its stack (8 MiB): a hundred would add 800 MiB. The
    // bound leaves room for a few more of the allocator's arenas.
    EXPECT_LT(AddressSpace(), SpaceBefore + std::uint64_t{256} * 1024 * 1024);
    EXPECT_TRUE(Reports.empty());
}

} // namespace
