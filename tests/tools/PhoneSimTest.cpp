// The simulated phone, in process and as the program kivo-phonesim.

#include "tools/PhoneSim.h"

#include "tests/tools/DeviceClient.h"
#include "tests/tools/SimOptions.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// A reply with one answer line, framed as the phone sends it.
std::string Answered(std::string_view Answer) {
    std::string Reply = "\r\n";
    Reply.append(Answer).append("\r\n\r\nOK\r\n");
    return Reply;
}

std::string Ask(const TDeviceClient& Client, const std::string& Command,
                std::string_view Until = "OK\r\n") {
    Client.Send(Command + "\r\n");
    return Client.ReceiveUntil(Until);
}

TEST(PhoneSim, AnswersTheSevenCommandsWithItsIdentity) {
    TPhoneSim Phone;
    TDeviceClient Client(Phone.DevicePath());
    for (const auto& [Command, Answer] : PhoneSimIdentity()) {
        EXPECT_EQ(Ask(Client, "AT" + Command), Answered(Answer)) << Command;
    }
    EXPECT_EQ(Ask(Client, "at+cgmi"), Answered("Kestrel Mobile"));
    EXPECT_EQ(Ask(Client, "AT"), "\r\nOK\r\n");
    EXPECT_EQ(Ask(Client, "AT+CFUN?", "ERROR\r\n"), "\r\nERROR\r\n");
    // Set-up commands are accepted.
    for (const char* SetUp : {"ATZ", "ATE0", "at&f", "AT+CMEE=2"}) {
        EXPECT_EQ(Ask(Client, SetUp), "\r\nOK\r\n") << SetUp;
    }
    EXPECT_EQ(Phone.CommandCount(), 14);
}

TEST(PhoneSim, TaggedAnswersCarryTheirCommandsTagAndQuoteTheirText) {
    TPhoneSimOptions O;
    O.Tagged = true;
    TPhoneSim Phone(O);
    TDeviceClient Client(Phone.DevicePath());
    EXPECT_EQ(Ask(Client, "AT+CGMI"), Answered("+CGMI: \"Kestrel Mobile\""));
    EXPECT_EQ(Ask(Client, "AT+CGSN"), Answered("+CGSN: 357421098765438"));
}

TEST(PhoneSim, AcceptsThePhoneProgramsSetUpAndAnswersTheirSettingQueries) {
    TPhoneSim Phone;
    TDeviceClient Client(Phone.DevicePath());
    for (const char* SetUp : {"AT+CMEE=1", "AT+CMGF=1", "AT+CSCS=\"GSM\"", "AT+CFUN=1"}) {
        EXPECT_EQ(Ask(Client, SetUp), "\r\nOK\r\n") << SetUp;
    }
    EXPECT_EQ(Ask(Client, "AT+CMGF?"), Answered("+CMGF: 1"));
    EXPECT_EQ(Ask(Client, "AT+CMGF=0"), "\r\nOK\r\n");
    EXPECT_EQ(Ask(Client, "AT+CMGF?"), Answered("+CMGF: 0"));
    EXPECT_EQ(Ask(Client, "AT+CSMS?"), Answered("+CSMS: 0,1,1,1"));
    EXPECT_EQ(Ask(Client, "AT+CSCS?"), Answered("+CSCS: \"GSM\""));
    EXPECT_EQ(Ask(Client, "AT+CSCS=?"), Answered("+CSCS: (\"GSM\")"));
    EXPECT_EQ(Ask(Client, "AT+GCAP"), Answered("+GCAP: +CGSM"));
    EXPECT_EQ(Ask(Client, "AT+CPIN?"), Answered("+CPIN: READY"));
    EXPECT_EQ(Ask(Client, "AT+MODE=2", "ERROR\r\n"), "\r\nERROR\r\n");
}

TEST(PhoneSim, EchoFollowsATE1AndATE0UntilATZRestoresTheStartingMode) {
    TPhoneSim Quiet;
    TDeviceClient A(Quiet.DevicePath());
    // A command that switches echo is echoed as echo was before it.
    EXPECT_EQ(Ask(A, "ATE1"), "\r\nOK\r\n");
    EXPECT_EQ(Ask(A, "AT+CGMM"), "AT+CGMM\r" + Answered("KM-310"));
    EXPECT_EQ(Ask(A, "ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Ask(A, "AT+CGMM"), Answered("KM-310"));
    (void)Ask(A, "ATE1");
    EXPECT_EQ(Ask(A, "ATZ"), "ATZ\r\r\nOK\r\n");
    EXPECT_EQ(Ask(A, "AT"), "\r\nOK\r\n");

    TPhoneSim Echoing(WithEcho(TEchoMode::emCRLF));
    TDeviceClient B(Echoing.DevicePath());
    EXPECT_EQ(Ask(B, "ATE0"), "ATE0\r\n\r\nOK\r\n");
    EXPECT_EQ(Ask(B, "AT"), "\r\nOK\r\n");
    (void)Ask(B, "ATE1");
    EXPECT_EQ(Ask(B, "AT"), "AT\r\n\r\nOK\r\n");
}

TEST(PhoneSim, SendsItsUnsolicitedLineBeforeEachReply) {
    TPhoneSim Phone(WithUrc(WithEcho(TEchoMode::emCR), "^RSSI:18"));
    TDeviceClient Client(Phone.DevicePath());
    EXPECT_EQ(Ask(Client, "AT+CGMM"), "\r\n^RSSI:18\r\nAT+CGMM\r" + Answered("KM-310"));
}

// Modules announce SIM, network and power changes at any point of a reply, an SMS with its
// text on a line of its own, and send a burst of lines when they have just booted.
TEST(PhoneSim, SendsItsNoticesWhereAskedAndItsBootBurstOnEachOpen) {
    const std::string Notices =
        "\r\nCall Ready\r\n\r\n+QIND: SMS DONE\r\n\r\n" + SmsNotice("Hello, call me back") + "\r\n";
    const auto With = [](TUrcPlace Place) {
        TPhoneSimOptions O = WithUrc(WithUrc({}, "Call Ready"), "+QIND: SMS DONE", Place);
        O.Urcs.push_back(SmsNotice("Hello, call me back"));
        O.Boot = {"RDY", "+CPIN: READY", "SMS Ready"};
        return O;
    };
    TPhoneSim Before(With(TUrcPlace::upBefore));
    TDeviceClient A(Before.DevicePath());
    EXPECT_EQ(Ask(A, "AT+CGMM"), Notices + Answered("KM-310"));
    TPhoneSim Inside(With(TUrcPlace::upInside));
    TDeviceClient B(Inside.DevicePath());
    EXPECT_EQ(Ask(B, "AT+CGMM"), "\r\nKM-310\r\n" + Notices + "\r\nOK\r\n");
    TPhoneSim After(With(TUrcPlace::upAfter));
    TDeviceClient C(After.DevicePath());
    EXPECT_EQ(Ask(C, "AT+CGMM", "back\r\n"), Answered("KM-310") + Notices);
    // Opening the port flushes its input: the module's burst follows, each time.
    for (int Open = 0; Open < 2; ++Open) {
        TDeviceClient D(After.DevicePath());
        D.FlushInput();
        EXPECT_EQ(D.ReceiveUntil("SMS Ready\r\n"),
                  "\r\nRDY\r\n\r\n+CPIN: READY\r\n\r\nSMS Ready\r\n");
    }
}

TEST(PhoneSim, EchoesTheCommandWithCarriageReturnOrBoth) {
    TPhoneSim WithCr(WithEcho(TEchoMode::emCR));
    TDeviceClient A(WithCr.DevicePath());
    EXPECT_EQ(Ask(A, "AT+CGMM"), "AT+CGMM\r" + Answered("KM-310"));
    TPhoneSim WithCrLf(WithEcho(TEchoMode::emCRLF));
    TDeviceClient B(WithCrLf.DevicePath());
    EXPECT_EQ(Ask(B, "AT+CGMM"), "AT+CGMM\r\n" + Answered("KM-310"));
}

TEST(PhoneSim, FailsTheChosenCommandOnly) {
    TPhoneSim Error(Failing("+CGMR", TFailure::fError));
    TDeviceClient A(Error.DevicePath());
    EXPECT_EQ(Ask(A, "AT+CGMR", "ERROR\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(Ask(A, "AT+CGMM"), Answered("KM-310"));

    TPhoneSim Numeric(Failing("+CGMI", TFailure::fCmeNumeric, "10"));
    TDeviceClient B(Numeric.DevicePath());
    EXPECT_EQ(Ask(B, "AT+CGMI", "10\r\n"), "\r\n+CME ERROR: 10\r\n");

    TPhoneSim Verbose(Failing("*", TFailure::fCmeVerbose, "SIM not inserted"));
    TDeviceClient C(Verbose.DevicePath());
    EXPECT_EQ(Ask(C, "AT+CGSN", "inserted\r\n"), "\r\n+CME ERROR: SIM not inserted\r\n");
}

TEST(PhoneSim, SilentCommandGetsNoReplyButTheNextOneDoes) {
    TPhoneSim Phone(Failing("+GMI", TFailure::fSilent));
    TDeviceClient Client(Phone.DevicePath());
    Client.Send("AT+GMI\r\n");
    // Whatever comes back now belongs to the second command only.
    EXPECT_EQ(Ask(Client, "AT+GMM"), Answered("KM-310 GSM"));
    EXPECT_EQ(Phone.CommandCount(), 2);
}

TEST(PhoneSim, MultiLineAnswerAndChunkedDelayedReplies) {
    TPhoneSim Phone(Chunked(Delayed(MultiLine({}, "+CGMR"), 20), 3));
    TDeviceClient Client(Phone.DevicePath());
    EXPECT_EQ(Ask(Client, "AT+CGMR"), "\r\nKM310_R2.14\r\nBuild 2026-03-14\r\n\r\nOK\r\n");
}

TEST(PhoneSim, StreamSendsUnrelatedTextAndNeverAnswers) {
    TPhoneSim Phone(Streaming());
    TDeviceClient Client(Phone.DevicePath());
    Client.Send("AT+CGMI\r\n");
    ASSERT_TRUE(Phone.WaitForCommands(1, std::chrono::seconds(10)));
    const std::string Text = Client.Receive(2000);
    EXPECT_GE(Text.size(), 2000U);
    EXPECT_NE(Text.find("$GPGGA,"), std::string::npos);
    EXPECT_EQ(Text.find("OK"), std::string::npos);
}

TEST(PhoneSim, ReportsEachCommandToItsHandler) {
    TPhoneSim Phone;
    std::vector<std::string> Seen;
    Phone.SetOnCommand([&Seen](const std::string& Line) { Seen.push_back(Line); });
    TDeviceClient Client(Phone.DevicePath());
    (void)Ask(Client, "AT+CGSN");
    ASSERT_TRUE(Phone.WaitForCommands(1, std::chrono::seconds(10)));
    Phone.Stop();
    EXPECT_EQ(Seen, std::vector<std::string>{"AT+CGSN"});
}

TEST(PhoneSimProgram, PrintsItsDeviceMakesTheLinkAndStopsOnSignal) {
    const std::string Link =
        (std::filesystem::temp_directory_path() / ("kivo-sim-" + std::to_string(::getpid())))
            .string();
    TBackgroundProcess Sim(KIVO_PHONESIM_PATH, {"--echo", "crlf", "--link", Link});
    const std::string Device = Sim.ReadLine();
    ASSERT_TRUE(Device.starts_with("/dev/pts/")) << Device;
    EXPECT_EQ(std::filesystem::read_symlink(Link).string(), Device);
    {
        TDeviceClient Client(Link);
        EXPECT_EQ(Ask(Client, "AT+CGMI"), "AT+CGMI\r\n" + Answered("Kestrel Mobile"));
    }
    EXPECT_EQ(Sim.Stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Link)));
}

// A wrong argument is named with what is wrong with it; a failing command may be given
// without its "+", and one the phone does not answer is refused, not accepted to do nothing.
TEST(PhoneSimProgram, WrongArgumentsExitWithTwoSayingWhatIsWrongAndTheVersionIsShown) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> Cases{
        {{"--echo", "loud"}, "'loud' is no value for --echo"},
        {{"--cme", "+CGMI"}, "'+CGMI' names no detail: give CMD=DETAIL (+CGMI=10)"},
        {{"--error", "CGMX"},
         "'CGMX' is no command the phone answers: give +CGMI, +CGMM, "
         "+CGMR, +GMI, +GMM, +GMR, +CGSN or *"},
        {{"--delay", "-3"}, "'-3' is no value for --delay"},
        {{"--baud", "0"}, "'0' is no value for --baud"},
        {{"--imei"}, "option --imei needs a value"},
        {{"--bogus"}, "unknown option '--bogus'"},
    };
    for (const auto& [Args, Problem] : Cases) {
        const auto Result = RunProcess(KIVO_PHONESIM_PATH, Args);
        EXPECT_EQ(Result.ExitCode, 2) << Args.front();
        EXPECT_EQ(Result.Err,
                  "kivo-phonesim: " + Problem + "\nTry 'kivo-phonesim --help' for the options.\n");
    }
    TBackgroundProcess Sim(KIVO_PHONESIM_PATH, {"--error", "cgmm"});
    const std::string Device = Sim.ReadLine();
    ASSERT_TRUE(Device.starts_with("/dev/pts/")) << Device;
    {
        TDeviceClient Client(Device);
        EXPECT_EQ(Ask(Client, "AT+CGMM", "ERROR\r\n"), "\r\nERROR\r\n");
        EXPECT_EQ(Ask(Client, "AT+CGMI"), Answered("Kestrel Mobile"));
    }
    EXPECT_EQ(Sim.Stop(SIGTERM), 0);
    const auto Version = RunProcess(KIVO_PHONESIM_PATH, {"--version"});
    EXPECT_EQ(Version.ExitCode, 0);
    EXPECT_TRUE(Version.Out.starts_with("kivo-phonesim 1.")) << Version.Out;
}

} // namespace
