// Opening serial devices: names, errors, exclusive use, access as a normal user, and a device
// that goes away.

#include "platform/posix/ComName.h"
#include "tests/platform/SerialTestSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kivo::test {
namespace {

using kivo::posix::DevicePathFor;

// Sets an environment variable for the scope of a test. No other thread reads the
// environment meanwhile.
// NOLINTBEGIN(concurrency-mt-unsafe)
class ScopedEnv {
public:
    ScopedEnv(const char* Name, const std::string& Value) : FName(Name) {
        setenv(Name, Value.c_str(), 1);
    }
    ~ScopedEnv() { unsetenv(FName); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* FName;
};
// NOLINTEND(concurrency-mt-unsafe)

TEST(ComNames, MapToTheEnvironmentOrToTheSerialPorts) {
    unsetenv("KIVO_COM3"); // NOLINT(concurrency-mt-unsafe): no other thread runs
    EXPECT_EQ(DevicePathFor("COM3"), "/dev/ttyS2");
    EXPECT_EQ(DevicePathFor("com1"), "/dev/ttyS0");
    EXPECT_EQ(DevicePathFor("\\\\.\\COM12"), "/dev/ttyS11");
    const ScopedEnv Mapped("KIVO_COM3", "/dev/ttyUSB2");
    EXPECT_EQ(DevicePathFor("COM3"), "/dev/ttyUSB2");
    EXPECT_EQ(DevicePathFor("/dev/ttyACM0"), "/dev/ttyACM0");
}

TEST(ComNames, OtherNamesNameNoDevice) {
    for (const char* Name : {"COM0", "COM", "COMX", "COM1 ", "LPT1", "", "COM-1", "ttyS0"}) {
        EXPECT_FALSE(DevicePathFor(Name)) << Name;
    }
}

TEST(OpeningDevices, AMissingDeviceIsFileNotFound) {
    const ScopedEnv Mapped("KIVO_COM7", "/dev/kivo-no-such-device");
    const Port Missing("COM7");
    EXPECT_FALSE(Missing.IsOpen());
    EXPECT_EQ(Missing.OpenError(), ERROR_FILE_NOT_FOUND);
    const Port Unknown("PRN");
    EXPECT_EQ(Unknown.OpenError(), ERROR_FILE_NOT_FOUND);
}

TEST(OpeningDevices, AFileThatIsNoTerminalIsRefused) {
    char Path[] = "/tmp/kivo-not-a-tty-XXXXXX";
    const int Fd = mkstemp(Path);
    ASSERT_GE(Fd, 0);
    close(Fd);
    const Port NotATerminal(Path);
    unlink(Path);
    EXPECT_FALSE(NotATerminal.IsOpen());
    EXPECT_EQ(NotATerminal.OpenError(), static_cast<DWORD>(ENOTTY));
    EXPECT_EQ(MessageOf(NotATerminal.OpenError()), "Inappropriate ioctl for device");
}

TEST(OpeningDevices, ASecondOpenIsRefusedUntilTheFirstCloses) {
    const PtyPair Pty;
    const ScopedEnv Mapped("KIVO_COM4", Pty.DevicePath());
    Port First("COM4");
    ASSERT_TRUE(First.IsOpen()) << MessageOf(First.OpenError());
    {
        const Port Second("COM4");
        EXPECT_FALSE(Second.IsOpen());
        EXPECT_EQ(Second.OpenError(), static_cast<DWORD>(EBUSY));
        EXPECT_EQ(MessageOf(Second.OpenError()), "Device or resource busy");
    }
    First.Close();
    const Port Again("COM4");
    EXPECT_TRUE(Again.IsOpen()) << MessageOf(Again.OpenError());
}

// The terminal's exclusive flag (TIOCEXCL) as seen through Fd; -1 when it cannot be read.
int ExclusiveFlag(int Fd) {
    int Flag = 0;
    return ioctl(Fd, TIOCGEXCL, &Flag) == 0 ? Flag : -1;
}

// Another program holds the terminal with TIOCEXCL; root may still open it, but a line is
// never shared unless KIVO_SHARE_HELD_PORT asks for it. Closing must give back only the flag
// this open set, never take another program's away.
TEST(OpeningDevices, ClosingClearsOnlyTheExclusiveFlagItsOpenSet) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to open a terminal another program holds exclusively";
    }
    const PtyPair Pty;
    const int Other = open(Pty.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(Other, 0);
    ASSERT_EQ(ExclusiveFlag(Other), 0);
    {
        const Port Ours(Pty.DevicePath());
        ASSERT_TRUE(Ours.IsOpen()) << MessageOf(Ours.OpenError());
        EXPECT_EQ(ExclusiveFlag(Other), 1) << "an open port keeps out programs that do not lock";
    }
    EXPECT_EQ(ExclusiveFlag(Other), 0) << "the flag this open set is cleared on close";

    ASSERT_EQ(ioctl(Other, TIOCEXCL), 0);
    {
        const Port Refused(Pty.DevicePath());
        EXPECT_FALSE(Refused.IsOpen()) << "root shared a line another program holds";
        EXPECT_EQ(Refused.OpenError(), static_cast<DWORD>(EBUSY));
    }
    {
        const ScopedEnv Forced("KIVO_SHARE_HELD_PORT", "1");
        const Port Ours(Pty.DevicePath());
        ASSERT_TRUE(Ours.IsOpen()) << MessageOf(Ours.OpenError());
    }
    EXPECT_EQ(ExclusiveFlag(Other), 1) << "another program's flag was taken away";
    close(Other);
}

// Runs Check in a child process as the user nobody; the child's exit code is Check's result
// (0 for success), or 100 and up when the child could not drop to that user.
int RunAsNobody(const std::function<int()>& Check) {
    const pid_t Child = fork();
    if (Child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(100);
        }
        _exit(Check());
    }
    int Status = 0;
    waitpid(Child, &Status, 0);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 200;
}

TEST(OpeningDevices, ANormalUserGetsPermissionDeniedOrAWorkingPort) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to switch to a normal user (nobody)";
    }
    const PtyPair Pty;
    ASSERT_EQ(chown(Pty.DevicePath().c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(Pty.DevicePath().c_str(), 0600), 0);
    const int Denied = RunAsNobody([&] {
        const Port P(Pty.DevicePath());
        if (P.IsOpen()) {
            return 1;
        }
        return P.OpenError() == 13 && MessageOf(13) == "Permission denied" ? 0 : 2;
    });
    EXPECT_EQ(Denied, 0) << "a root-only device must give Permission denied";

    ASSERT_EQ(chown(Pty.DevicePath().c_str(), 65534, 65534), 0);
    const int Works = RunAsNobody([&] {
        const Port P(Pty.DevicePath());
        if (!P.IsOpen()) {
            return 1;
        }
        DCB Dcb = Port::PlainDcb();
        DWORD Written = 0;
        Overlapped Write;
        if (!SetCommState(P.Handle(), &Dcb)) {
            return 2;
        }
        const BOOL Done = WriteFile(P.Handle(), "hi", 2, &Written, &Write.Record);
        return (Done || GetLastError() == ERROR_IO_PENDING) && Write.Completed() ? 0 : 3;
    });
    EXPECT_EQ(Works, 0) << "a device the user may open must open and work";
    EXPECT_EQ(Pty.Receive(2), "hi");
}

// A configured port on a pseudo-terminal with a wait for received bytes pending.
struct PendingWait {
    PtyPair Pty;
    Port P{Pty.DevicePath()};
    Overlapped Wait;
    DWORD Events = 0;

    void Start() {
        ASSERT_TRUE(P.IsOpen());
        P.Configure();
        ASSERT_TRUE(SetCommMask(P.Handle(), EV_RXCHAR));
        ASSERT_FALSE(WaitCommEvent(P.Handle(), &Events, &Wait.Record));
    }
};

TEST(DeviceGone, OperationsFailAndTheIdleHandleCostsNoCpu) {
    PendingWait Pending;
    ASSERT_NO_FATAL_FAILURE(Pending.Start());
    auto& [Pty, P, Wait, Events] = Pending;
    Pty.HangUp();

    DWORD Count = 0;
    EXPECT_FALSE(GetOverlappedResult(P.Handle(), &Wait.Record, &Count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_EQ(MessageOf(GetLastError()), "Input/output error");

    char Buffer[4];
    Overlapped Read;
    EXPECT_FALSE(ReadFile(P.Handle(), Buffer, sizeof Buffer, &Count, &Read.Record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
    Overlapped Write;
    EXPECT_FALSE(WriteFile(P.Handle(), "x", 1, &Count, &Write.Record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_FALSE(WaitCommEvent(P.Handle(), &Events, &Wait.Record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));

    // A driver thread that kept polling the hung-up descriptor would burn a core here.
    EXPECT_LT(CpuSecondsWhileIdle(500), 0.25);
}

// A thread blocked on the wait's event watches the device itself: it sees the hang-up too.
TEST(DeviceGone, AWaitBlockedOnItsEventEndsWithTheHangUp) {
    PendingWait Pending;
    ASSERT_NO_FATAL_FAILURE(Pending.Start());
    auto& [Pty, P, Wait, Events] = Pending;
    std::thread Other([&] { Pending.Pty.HangUp(); });
    EXPECT_TRUE(Wait.Completed());
    Other.join();
    DWORD Count = 0;
    EXPECT_FALSE(GetOverlappedResult(P.Handle(), &Wait.Record, &Count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
}

} // namespace
} // namespace kivo::test
