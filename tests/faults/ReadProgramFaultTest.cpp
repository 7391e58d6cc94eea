// kivo-read as a whole program where the port fails it: missing, in use, not accessible to
// an ordinary user, and unplugged mid-run. Each ends with its own clear message.

#include "app/PhoneQuery.h"
#include "runtime/Thread.h"
#include "serial/VaComm.h"
#include "tests/faults/ProcessProbe.h"
#include "tests/faults/ScriptedPhone.h"
#include "tests/support/PtyPair.h"
#include "tests/tools/SimOptions.h"
#include "tools/PhoneSim.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TChildResult Read(const std::string& Port, TRunAs As = TRunAs::raSelf) {
    if (As == TRunAs::raOrdinaryUser) {
        const TReachableProgram Reader(KIVO_READ_PATH);
        return RunProgram(Reader.Path(), {"--port", Port}, As);
    }
    return RunProgram(KIVO_READ_PATH, {"--port", Port}, As);
}

bool Contains(const std::string& Text, std::string_view Part) {
    return Text.find(Part) != std::string::npos;
}

TEST(ReadProgramFaults, AMissingDeviceNamesItsPath) {
    const auto Result = Read("/dev/kivo-no-such-port");
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_EQ(Result.Output, "kivo-read: Specified device not found (/dev/kivo-no-such-port).\n");
}

TEST(ReadProgramFaults, AComNameThatOpensNothingNamesThePathTriedAndTheVariableToSet) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads the environment here
    ASSERT_EQ(::unsetenv("KIVO_COM97"), 0);
    const auto Result = Read("COM97");
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_EQ(Result.Output, "kivo-read: Specified device not found (COM97). Tried /dev/ttyS96; "
                             "set KIVO_COM97 to the device's path to use another.\n");
}

TEST(ReadProgramFaults, AFileThatIsNoTerminalIsNotASerialPort) {
    const std::string File = ::testing::TempDir() + "kivo-read-plain-file";
    { std::ofstream(File) << "no terminal"; }
    const auto Result = Read(File);
    ::unlink(File.c_str());
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_EQ(Result.Output,
              "kivo-read: Can't open specified device " + File + ": not a serial port.\n");
}

TEST(ReadProgramFaults, APortInUseByAnotherProgramIsRefusedWithTheReason) {
    TScriptedPhone Phone(
        [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
    SetMainThread();
    TVaComm Holder(nullptr);
    Holder.SetDeviceName(Phone.DevicePath());
    Holder.Open();
    const auto Result = Read(Phone.DevicePath());
    Holder.Close();
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_TRUE(Contains(Result.Output, "kivo-read: Can't open specified device " +
                                            Phone.DevicePath() + " (Error "))
        << Result.Output;
    EXPECT_TRUE(Contains(Result.Output, "busy")) << Result.Output;
}

// Another process, named as ModemManager is, that holds Path with the exclusive flag
// (TIOCEXCL) and no lock, as ModemManager does, until destroyed.
class TExclusiveHolder {
public:
    explicit TExclusiveHolder(const std::string& Path) {
        int Ready[2] = {-1, -1};
        int Stop[2] = {-1, -1};
        if (::pipe2(Ready, O_CLOEXEC) != 0 || ::pipe2(Stop, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2";
            return;
        }
        FPid = ::fork();
        if (FPid == 0) { // only async-signal-safe calls from here
            ::close(Ready[0]);
            ::close(Stop[1]); // the test's end: its close is the signal to end
            const int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY);
            const char Held =
                Fd >= 0 && ::ioctl(Fd, TIOCEXCL) == 0 && ::prctl(PR_SET_NAME, "ModemManager") == 0
                    ? '1'
                    : '0';
            (void)::write(Ready[1], &Held, 1);
            char Byte = 0;
            (void)::read(Stop[0], &Byte, 1); // until the test closes its end
            ::_exit(0);
        }
        ::close(Ready[1]);
        ::close(Stop[0]);
        FStop = Stop[1];
        char Held = '0';
        EXPECT_EQ(::read(Ready[0], &Held, 1), 1);
        EXPECT_EQ(Held, '1') << "the holder could not take " << Path;
        ::close(Ready[0]);
    }
    ~TExclusiveHolder() {
        ::close(FStop);
        int Status = 0;
        (void)::waitpid(FPid, &Status, 0);
    }
    TExclusiveHolder(const TExclusiveHolder&) = delete;
    TExclusiveHolder& operator=(const TExclusiveHolder&) = delete;
    TExclusiveHolder(TExclusiveHolder&&) = delete;
    TExclusiveHolder& operator=(TExclusiveHolder&&) = delete;

    [[nodiscard]] pid_t Pid() const { return FPid; }

private:
    pid_t FPid = -1;
    int FStop = -1;
};

// A port whose exclusive flag another program set is never shared, not even by root, who
// may open it: the holder is named from its descriptors (root) or, where they are hidden
// (an ordinary user), ModemManager as the likely holder. --force shares it all the same.
TEST(ReadProgramFaults, APortAnotherProgramHoldsExclusivelyIsBusyForRootTooAndNamesTheHolder) {
    TScriptedPhone Phone(
        [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
    ASSERT_EQ(::chmod(Phone.DevicePath().c_str(), 0666), 0);
    const TExclusiveHolder Holder(Phone.DevicePath());
    const std::string Busy = "kivo-read: Can't open specified device " + Phone.DevicePath() +
                             " (Error 16, Device or resource busy). ";
    if (::geteuid() == 0) {
        const auto AsRoot = Read(Phone.DevicePath());
        EXPECT_EQ(AsRoot.ExitCode, 2) << AsRoot.Output;
        EXPECT_TRUE(AsRoot.Output.starts_with(Busy + "In use by ")) << AsRoot.Output;
        EXPECT_TRUE(
            Contains(AsRoot.Output, "ModemManager (process " + std::to_string(Holder.Pid()) + ")"))
            << AsRoot.Output;

        const auto Forced = RunProgram(KIVO_READ_PATH, {"--force", "--port", Phone.DevicePath()});
        EXPECT_EQ(Forced.ExitCode, 0) << Forced.Output;
        EXPECT_TRUE(Contains(Forced.Output, "Serial Number: 357421098765438\n")) << Forced.Output;
    }
    const auto AsUser = Read(Phone.DevicePath(), TRunAs::raOrdinaryUser);
    EXPECT_EQ(AsUser.ExitCode, 2) << AsUser.Output;
    if (::geteuid() == 0) { // nobody may not see root's descriptors
        EXPECT_EQ(AsUser.Output, Busy + "ModemManager runs and is likely to hold it.\n");
    } else { // the holder is this user's own
        EXPECT_TRUE(AsUser.Output.starts_with(Busy + "In use by ")) << AsUser.Output;
    }
}

TEST(ReadProgramFaults, APortAnOrdinaryUserMayNotOpenIsRefusedWithTheReason) {
    TScriptedPhone Phone(
        [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
    // Root reads it as nobody with the device its own; anyone else has the device barred.
    ASSERT_EQ(::chmod(Phone.DevicePath().c_str(), ::geteuid() == 0 ? 0600 : 0000), 0);
    const auto Result = Read(Phone.DevicePath(), TRunAs::raOrdinaryUser);
    EXPECT_EQ(Result.ExitCode, 2) << Result.Output;
    EXPECT_TRUE(Contains(Result.Output,
                         "kivo-read: Can't open specified device " + Phone.DevicePath() +
                             " (Error 13, Permission denied). Only the owner of " +
                             Phone.DevicePath() + " may open it; its permissions must change.\n"))
        << Result.Output;
}

// The name of the group that owns the serial ports on this system ("dialout" on Debian), and
// its number; a group the ordinary user is not in.
std::pair<std::string, gid_t> SerialPortGroup() {
    const group* Found = ::getgrnam("dialout"); // NOLINT(concurrency-mt-unsafe): one thread
    return Found != nullptr ? std::pair(std::string(Found->gr_name), Found->gr_gid)
                            : std::pair(std::string("20"), gid_t{20});
}

TEST(ReadProgramFaults, APortOfAGroupTheUserLacksSaysWhichGroupToJoin) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the device to a group and read as another user";
    }
    TScriptedPhone Phone(
        [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
    const auto [Group, Id] = SerialPortGroup();
    ASSERT_EQ(::chown(Phone.DevicePath().c_str(), 0, Id), 0);
    ASSERT_EQ(::chmod(Phone.DevicePath().c_str(), 0660), 0);
    const auto Result = Read(Phone.DevicePath(), TRunAs::raOrdinaryUser);
    EXPECT_EQ(Result.ExitCode, 2) << Result.Output;
    EXPECT_EQ(Result.Output, "kivo-read: Can't open specified device " + Phone.DevicePath() +
                                 " (Error 13, Permission denied). The user must be in the group " +
                                 Group + ", which owns " + Phone.DevicePath() +
                                 " (sudo usermod -aG " + Group + " $USER, then log in again).\n");
}

TEST(ReadProgramFaults, AnOrdinaryUserWithAccessReadsThePhone) {
    TScriptedPhone Phone(
        [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
    ASSERT_EQ(::chmod(Phone.DevicePath().c_str(), 0666), 0);
    const auto Result = Read(Phone.DevicePath(), TRunAs::raOrdinaryUser);
    EXPECT_EQ(Result.ExitCode, 0) << Result.Output;
    EXPECT_TRUE(Contains(Result.Output, "Serial Number: 357421098765438\n")) << Result.Output;
}

TEST(ReadProgramFaults, UnpluggedMidRunEndsAtOnceWithOneMessageAndExitTwo) {
    TScriptedPhone Phone([](int Index, const std::string& Command) {
        return Index < 3 ? TScriptStep{{StandardReply(Command)}} : TScriptStep{{"\r\nKes"}, true};
    });
    const TCpuProbe Wall;
    // A time-out far beyond the test's: only the loss itself may end the run.
    const auto Result =
        RunProgram(KIVO_READ_PATH, {"--timeout", "60", "--port", Phone.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 2) << Result.Output;
    EXPECT_LT(Wall.WallSeconds(), 20.0);
    // The fields read (every label kept), then one message naming the device, prefixed like
    // every other.
    const std::string Fields = "Phone Manufacturer: Kestrel Mobile\nPhone Model: KM-310\n"
                               "Phone Revision: KM310_R2.14\nModem Manufacturer:\n"
                               "Modem Model:\nModem Revision:\nSerial Number:\n";
    ASSERT_TRUE(Result.Output.starts_with(Fields)) << Result.Output;
    const std::string Message = Result.Output.substr(Fields.size());
    EXPECT_TRUE(Message.starts_with("kivo-read: Lost the device " + Phone.DevicePath() + ": "))
        << Message;
    EXPECT_EQ(std::count(Message.begin(), Message.end(), '\n'), 1) << Message;
    // A process busy-looping on the dead line would use about as much processor time as the
    // run took.
    EXPECT_LT(Result.CpuSeconds, 0.5 * Wall.WallSeconds() + 0.25)
        << Result.CpuSeconds << " s of processor time in " << Wall.WallSeconds() << " s";
}

// A far end that floods the line from before the open, faster than the reader takes it in:
// the reply overflows its bound, and a scan finds bytes that form no text (every byte value
// comes), every time.
// Never a silence: that would mean the bytes received were never reported.
TEST(ReadProgramFaults, AFloodFromBeforeTheOpenIsAReplyTooLongOrNoPhoneNeverASilence) {
    const PtyPair Line;
    const PtyFlood Flood(Line);
    for (int Run = 0; Run < 4; ++Run) {
        // A time-out beyond the test's: only the flood itself may end the run.
        const auto Result =
            RunProgram(KIVO_READ_PATH, {"--timeout", "15", "--port", Line.DevicePath()});
        EXPECT_EQ(Result.ExitCode, 1) << "run " << Run;
        EXPECT_EQ(Result.Output, "kivo-read: " + std::string(ReplyTooLongMessage) + "\n")
            << "run " << Run;
    }
    const auto Scan = RunProgram(KIVO_READ_PATH, {"--scan", "--json", "--port", Line.DevicePath()});
    EXPECT_EQ(Scan.ExitCode, 1);
    EXPECT_NE(Scan.Output.find("\"outcome\": \"unreadable\""), std::string::npos) << Scan.Output;
}

// The environment that preloads the write fault into kivo-read: its writes to the device fail
// with Errno after the first Passing ones. AddressSanitizer, when there, lets the library come
// first.
std::vector<std::string> FailingWrites(int Errno, int Passing) {
    std::string Asan = "verify_asan_link_order=0";
    if (const char* Own = std::getenv("ASAN_OPTIONS")) { // NOLINT(concurrency-mt-unsafe)
        Asan = std::string(Own) + ":" + Asan;
    }
    return {"LD_PRELOAD=" KIVO_WRITE_FAULT_PATH, "KIVO_FAULT_WRITE_ERRNO=" + std::to_string(Errno),
            "KIVO_FAULT_WRITE_AFTER=" + std::to_string(Passing), "ASAN_OPTIONS=" + Asan};
}

// A device that refuses a write has failed, whatever its driver calls the failure (a
// pseudo-terminal only ever says EIO; USB adapters' drivers also ENODEV, ENXIO or EPIPE): the
// run ends at once with the fields read, exit code 2 and one message naming the device and
// what to do; the system's text goes to the trace. It is never retried until the time-out
// and then taken for a phone that said nothing.
TEST(ReadProgramFaults, AWriteTheDeviceRefusesLosesThePortWhateverItsErrno) {
    const std::vector<std::pair<int, std::string>> Failures{
        {EPIPE, "Broken pipe"}, {ENXIO, "No such device or address"}, {ENODEV, "No such device"}};
    for (const auto& [Errno, Text] : Failures) {
        TScriptedPhone Phone(
            [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
        // A time-out beyond the test's: only the failure itself may end the run.
        const std::string Trace = ::testing::TempDir() + "kivo-write-fault-trace.txt";
        const auto Result = RunProgram(
            KIVO_READ_PATH, {"--timeout", "20", "--trace=" + Trace, "--port", Phone.DevicePath()},
            TRunAs::raSelf, std::chrono::seconds(30), FailingWrites(Errno, 2));
        EXPECT_EQ(Result.ExitCode, 2) << Result.Output;
        const std::string Fields = "Phone Manufacturer: Kestrel Mobile\nPhone Model: KM-310\n"
                                   "Phone Revision:\nModem Manufacturer:\nModem Model:\n"
                                   "Modem Revision:\nSerial Number:\n";
        ASSERT_TRUE(Result.Output.starts_with(Fields)) << Result.Output;
        EXPECT_EQ(Result.Output.substr(Fields.size()),
                  "kivo-read: Lost the device " + Phone.DevicePath() +
                      ": it went away (unplugged, powered off or reset). Plug it in or switch it "
                      "on, then read again.\n");
        std::ifstream In(Trace);
        const std::string Traced{std::istreambuf_iterator<char>(In),
                                 std::istreambuf_iterator<char>()};
        EXPECT_TRUE(Contains(Traced, " ! device lost: ")) << Traced;
        EXPECT_TRUE(Contains(Traced, "(" + std::to_string(Errno) + "), " + Text)) << Traced;
        ::unlink(Trace.c_str());
    }
}

// The scan probes every port at once as an ordinary user would: each port ends in its own
// outcome within the handshake's bound, so the whole scan takes about the slowest port's time.
TEST(ReadProgramFaults, AScanGivesEachPortItsOutcomeAtOnce) {
    TPhoneSim Phone(WithEcho(TEchoMode::emCR));
    TPhoneSim Gps(Streaming());
    PtyPair Mute; // nobody answers on the far side
    TPhoneSim Held;
    TScriptedPhone Barred(
        [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
    for (const std::string* Path :
         {&Phone.DevicePath(), &Gps.DevicePath(), &Mute.DevicePath(), &Held.DevicePath()}) {
        ASSERT_EQ(::chmod(Path->c_str(), 0666), 0);
    }
    // Root reads as nobody with the device its own; anyone else has the device barred.
    ASSERT_EQ(::chmod(Barred.DevicePath().c_str(), ::geteuid() == 0 ? 0600 : 0000), 0);
    SetMainThread();
    TVaComm Holder(nullptr);
    Holder.SetDeviceName(Held.DevicePath());
    Holder.Open();
    const TReachableProgram Reader(KIVO_READ_PATH);
    const TCpuProbe Wall;
    const auto Result = RunProgram(Reader.Path(),
                                   {"--scan", "--json", "--port", Phone.DevicePath(), "--port",
                                    Gps.DevicePath(), "--port", Mute.DevicePath(), "--port",
                                    Held.DevicePath(), "--port", Barred.DevicePath()},
                                   TRunAs::raOrdinaryUser);
    std::cout << "scan of five ports took " << Wall.WallSeconds() << " s\n";
    Holder.Close();
    EXPECT_EQ(Result.ExitCode, 0) << Result.Output;
    const std::vector<std::pair<std::string, std::string>> Expected{
        {Phone.DevicePath(), "answered"},
        {Gps.DevicePath(), "not-a-phone"},
        {Mute.DevicePath(), "no-answer"},
        {Held.DevicePath(), "busy"},
        {Barred.DevicePath(), "not-accessible"}};
    std::size_t At = 0;
    for (const auto& [Path, Outcome] : Expected) {
        At = Result.Output.find("\"port\": \"" + Path + "\"", At);
        ASSERT_NE(At, std::string::npos) << Path << " in " << Result.Output;
        const std::string Block = Result.Output.substr(At, Result.Output.find('}', At) - At);
        EXPECT_NE(Block.find("\"outcome\": \"" + Outcome + "\""), std::string::npos) << Block;
    }
    EXPECT_NE(Result.Output.find("\"CGSN\": \"357421098765438\""), std::string::npos);
}

} // namespace
