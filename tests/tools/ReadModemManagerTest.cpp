// kivo-read on a port a real ModemManager holds (ModemManagerBed; run under
// umockdev-wrapper): a mocked Quectel modem (2c7c:0125) whose tty is a pseudo-terminal with
// the simulated phone behind it, the terminal's ioctls passed through to it, so that
// ModemManager holds it with the exclusive flag as it holds a real one.

#include "platform/ModemManager.h"
#include "tests/support/MockDevices.h"
#include "tests/support/ModemManagerBed.h"
#include "tests/tools/DeviceClient.h"
#include "tools/PhoneSim.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using kivo::test::MockDevices;
using kivo::test::ModemManagerBed;

constexpr auto Bound = std::chrono::seconds(30); // for what must come, not how soon
constexpr std::string_view Port = "/dev/ttyUSB5";

bool Contains(const std::string& Text, std::string_view Part) {
    return Text.find(Part) != std::string::npos;
}

// Whether the terminal's exclusive flag is set, seen without touching its settings, and past
// umockdev's preload library, which would answer for a terminal under /dev itself.
bool ExclusiveFlagSet(const std::string& Path) {
    const int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int Flag = 0;
    const bool Set = Fd >= 0 && ::syscall(SYS_ioctl, Fd, TIOCGEXCL, &Flag) == 0 && Flag != 0;
    if (Fd >= 0) {
        ::close(Fd);
    }
    return Set;
}

class KivoReadModemManager : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string Missing = ModemManagerBed::Missing(); !Missing.empty()) {
            GTEST_SKIP() << Missing;
        }
        if (!kivo::ModemManagerSupported()) {
            GTEST_SKIP() << "built without libsystemd: kivo-read cannot talk to ModemManager";
        }
    }

    // Starts ModemManager; a bed that does not serve stops the test (under
    // ASSERT_NO_FATAL_FAILURE).
    void StartBed(bool DenyAll = false) {
        Bed = std::make_unique<ModemManagerBed>(DenyAll);
        ASSERT_TRUE(Bed->Failure().empty()) << Bed->Failure();
    }

    // The same, and plugs the modem in, until ModemManager manages it.
    void StartWithModem(bool DenyAll = false) {
        ASSERT_NO_FATAL_FAILURE(StartBed(DenyAll));
        ASSERT_NO_FATAL_FAILURE(
            Devices.Plug("quectel-modem.umockdev", std::string(Port), Phone.DevicePath()));
        ASSERT_TRUE(kivo::WaitForModemManagerProbe(std::string(Port), Bound))
            << "ModemManager did not take the modem\n"
            << Bed->Log();
    }

    MockDevices Devices; // first: ModemManager inherits its test bed
    TPhoneSim Phone;
    std::unique_ptr<ModemManagerBed> Bed;
};

TEST_F(KivoReadModemManager, AHeldPortIsNeverSharedAndIsReadThroughModemManager) {
    ASSERT_NO_FATAL_FAILURE(StartWithModem());
    ASSERT_TRUE(ExclusiveFlagSet(Phone.DevicePath())) << "ModemManager holds the port\n"
                                                      << Bed->Log();

    const TProcessResult Text = RunProcess(KIVO_READ_PATH, {"--port", std::string(Port)});
    EXPECT_EQ(Text.ExitCode, 1) << Text.Out << Text.Err; // a partial read
    EXPECT_EQ(Text.Out, "Phone Manufacturer: Kestrel Mobile\nPhone Model: KM-310\n"
                        "Phone Revision: KM310_R2.14\nModem Manufacturer:\nModem Model:\n"
                        "Modem Revision:\nSerial Number: 357421098765438\n");
    EXPECT_TRUE(Contains(Text.Err, "kivo-read: /dev/ttyUSB5 is held by ModemManager: the fields "
                                   "are those it read of its modem /org/freedesktop/"))
        << Text.Err;
    for (const char* Command : {"GMI", "GMM", "GMR"}) {
        EXPECT_TRUE(Contains(Text.Err, "kivo-read: AT+" + std::string(Command) +
                                           ": ModemManager has no answer for this.\n"))
            << Text.Err;
    }

    const TProcessResult Json = RunProcess(KIVO_READ_PATH, {"--json", std::string(Port)});
    EXPECT_EQ(Json.ExitCode, 1);
    EXPECT_TRUE(Json.Out.starts_with("{\"version\": 1, \"source\": \"ModemManager\", \"CGMI\": "
                                     "\"Kestrel Mobile\", \"CGMM\": \"KM-310\", "))
        << Json.Out;
    EXPECT_TRUE(Contains(Json.Out, "\"errors\": {\"GMI\": \"ModemManager has no answer for "
                                   "this.\", "))
        << Json.Out;
}

TEST_F(KivoReadModemManager, InhibitReadsThePortItselfAndGivesTheModemBack) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the pseudo-terminal keeps ModemManager's exclusive flag "
                        "after it lets go (a real device drops it), and only root may clear it";
    }
    ASSERT_NO_FATAL_FAILURE(StartWithModem());
    const TProcessResult Read =
        RunProcess(KIVO_READ_PATH, {"--inhibit", "--port", std::string(Port)});
    EXPECT_EQ(Read.ExitCode, 0) << Read.Out << Read.Err << Bed->Log();
    EXPECT_TRUE(Contains(Read.Out, "Modem Model: KM-310 GSM\nModem Revision: R2.14 (modem 4.02)\n"
                                   "Serial Number: 357421098765438\n"))
        << Read.Out;
    EXPECT_TRUE(Contains(Read.Err, "kivo-read: ModemManager lets go of /dev/ttyUSB5 for the read: "
                                   "an active data connection of the modem is dropped"))
        << Read.Err;
    EXPECT_TRUE(kivo::WaitForModemManagerProbe(std::string(Port), Bound))
        << "ModemManager did not take the modem back\n"
        << Bed->Log();
}

TEST_F(KivoReadModemManager, AnInhibitionPolkitRefusesIsNamedAndTheReadGoesThroughModemManager) {
    ASSERT_NO_FATAL_FAILURE(StartWithModem(true));
    const TProcessResult Read =
        RunProcess(KIVO_READ_PATH, {"--inhibit", "--port", std::string(Port)});
    EXPECT_EQ(Read.ExitCode, 1) << Read.Out << Read.Err;
    EXPECT_TRUE(Contains(Read.Err, "kivo-read: /dev/ttyUSB5: ModemManager refused to let go of "
                                   "the modem: not authorised (polkit"))
        << Read.Err;
    EXPECT_TRUE(Contains(Read.Out, "Serial Number: 357421098765438\n")) << Read.Out;
}

// --watch waits for ModemManager to finish probing the new modem, then reads it through
// ModemManager, instead of reading into the probe or finding the port busy.
TEST_F(KivoReadModemManager, WatchWaitsForTheProbeAndReadsANewModemThroughModemManager) {
    ASSERT_NO_FATAL_FAILURE(StartBed());
    TBackgroundProcess Reader(KIVO_READ_PATH, {"--watch", "--json", "--timeout", "60"}, true);
    ASSERT_EQ(Reader.ReadLine(Bound), "kivo-read: waiting for phones to be plugged in; each is "
                                      "read as it comes (Ctrl+C ends)");
    Devices.Plug("quectel-modem.umockdev", std::string(Port), Phone.DevicePath());
    const std::string Line = Reader.ReadLine(Bound);
    EXPECT_TRUE(Line.starts_with("{\"version\": 1, \"port\": \"/dev/ttyUSB5\", ")) << Line;
    EXPECT_TRUE(Contains(Line, "\"source\": \"ModemManager\", \"fields\": {\"CGMI\": \"Kestrel "
                               "Mobile\", \"CGMM\": \"KM-310\", \"CGMR\": \"KM310_R2.14\", "
                               "\"CGSN\": \"357421098765438\"}"))
        << Line << "\n"
        << Bed->Log();
    EXPECT_EQ(Reader.Stop(SIGTERM), 128 + SIGTERM);
}

} // namespace
