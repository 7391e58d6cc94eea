// kivo-read as a whole program where the port fails it: missing, in use, not accessible to
// an ordinary user, and unplugged mid-run. Each ends with its own clear message.

#include "runtime/Thread.h"
#include "serial/VaComm.h"
#include "tests/faults/ProcessProbe.h"
#include "tests/faults/ScriptedPhone.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
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

TEST(ReadProgramFaults, APortAnOrdinaryUserMayNotOpenIsRefusedWithTheReason) {
    TScriptedPhone Phone(
        [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
    // Root reads it as nobody with the device its own; anyone else has the device barred.
    ASSERT_EQ(::chmod(Phone.DevicePath().c_str(), ::geteuid() == 0 ? 0600 : 0000), 0);
    const auto Result = Read(Phone.DevicePath(), TRunAs::raOrdinaryUser);
    EXPECT_EQ(Result.ExitCode, 2) << Result.Output;
    EXPECT_TRUE(Contains(Result.Output, "kivo-read: Can't open specified device " +
                                            Phone.DevicePath() +
                                            " (Error 13, Permission denied)\n"))
        << Result.Output;
}

TEST(ReadProgramFaults, AnOrdinaryUserWithAccessReadsThePhone) {
    TScriptedPhone Phone(
        [](int, const std::string& Command) { return TScriptStep{{StandardReply(Command)}}; });
    ASSERT_EQ(::chmod(Phone.DevicePath().c_str(), 0666), 0);
    const auto Result = Read(Phone.DevicePath(), TRunAs::raOrdinaryUser);
    EXPECT_EQ(Result.ExitCode, 0) << Result.Output;
    EXPECT_TRUE(Contains(Result.Output, "Serial Number: 357421098765432\n")) << Result.Output;
}

TEST(ReadProgramFaults, UnpluggedMidRunEndsWithAMessageWithoutSpinning) {
    TScriptedPhone Phone([](int Index, const std::string& Command) {
        return Index < 3 ? TScriptStep{{StandardReply(Command)}} : TScriptStep{{"\r\nKes"}, true};
    });
    const TCpuProbe Wall;
    const auto Result = Read(Phone.DevicePath());
    EXPECT_EQ(Result.ExitCode, 1) << Result.Output;
    // The system's reason for the dead line is reported, then the exchange's own end.
    EXPECT_TRUE(Contains(Result.Output, "Input/output error\n")) << Result.Output;
    EXPECT_TRUE(Contains(Result.Output, "Phone Revision: KM310_R2.14\n")) << Result.Output;
    EXPECT_TRUE(Contains(Result.Output, "kivo-read: ERROR: No answer from phone (timeout).\n"))
        << Result.Output;
    // A process busy-looping on the dead line would use about as much processor time as the
    // run took.
    EXPECT_LT(Result.CpuSeconds, 0.5 * Wall.WallSeconds() + 0.25)
        << Result.CpuSeconds << " s of processor time in " << Wall.WallSeconds() << " s";
}

} // namespace
