// kivo-read: the seven fields on the command line, as text or JSON, with its exit codes;
// and the pieces it is made of.

#include "app/DeviceText.h"
#include "app/PhoneReader.h"
#include "app/ReadReport.h"
#include "runtime/Streaming.h"
#include "serial/VaComm.h"
#include "tests/support/PtyPair.h"
#include "tests/tools/DeviceClient.h"
#include "tests/tools/SimOptions.h"
#include "tools/PhoneSim.h"
#include "tools/PortArgument.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TProcessResult Read(const std::vector<std::string>& Args,
                    const std::map<std::string, std::string>& Env = {}) {
    return RunProcess(KIVO_READ_PATH, Args, Env);
}

TEST(KivoRead, PrintsTheSevenLabelledFields) {
    TPhoneSim Phone(WithEcho(TEchoMode::emCR));
    const auto Result = Read({"--port", Phone.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_EQ(Result.Out, AllFields);
    EXPECT_EQ(Result.Err, "");
}

TEST(KivoRead, ReadsComFourThroughItsMappingByDefault) {
    TPhoneSim Phone(Chunked(MultiLine({}, "+CGSN"), 3));
    const auto Result = Read({}, {{"KIVO_COM4", Phone.DevicePath()}});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_NE(Result.Out.find("Serial Number: 357421098765438 Build 2026-03-14\n"),
              std::string::npos)
        << Result.Out;
    const auto Lower = Read({"--port", "com4"}, {{"KIVO_COM4", Phone.DevicePath()}});
    EXPECT_EQ(Lower.ExitCode, 0) << Lower.Err;
}

TEST(KivoRead, UnsolicitedLinesBeforeEachReplyAreNoPartOfTheAnswers) {
    for (const char* Urc : {"^RSSI:18", "RING", "+CREG: 1,\"00C3\",\"1A2B\""}) {
        TPhoneSim Phone(WithUrc(Chunked(WithEcho(TEchoMode::emCRLF), 5), Urc));
        const auto Result = Read({"--port", Phone.DevicePath()});
        EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
        EXPECT_EQ(Result.Out, AllFields) << Urc;
    }
}

// A module that has just booted, with tagged answers, sending its notices (an SMS among them,
// whose text is a line of its own) before the echo, between the answer and OK, or after OK.
TEST(KivoRead, NoticesOfTheCommonModulesWhereverTheyComeAreNoPartOfTheAnswers) {
    for (const TUrcPlace Place : {TUrcPlace::upBefore, TUrcPlace::upInside, TUrcPlace::upAfter}) {
        TPhoneSimOptions O = WithUrc(WithUrc(Chunked(WithEcho(TEchoMode::emCR), 5), "Call Ready"),
                                     "*PSUTTZ: 2026,3,14,9,30,0,\"+4\",0", Place);
        O.Urcs.insert(O.Urcs.end(), {"#QSS: 1", "+QIND: SMS DONE", SmsNotice("Call me back")});
        O.Boot = {"RDY", "+CFUN: 1", "SMS Ready", "PB DONE"};
        O.Tagged = true;
        TPhoneSim Phone(O);
        const auto Result = Read({"--port", Phone.DevicePath()});
        EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
        EXPECT_EQ(Result.Out, AllFields) << static_cast<int>(Place);
    }
}

TEST(KivoRead, PrintsJson) {
    TPhoneSim Phone;
    const auto Result = Read({"--json", "--port", Phone.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_EQ(Result.Out, "{\"version\": 1, \"CGMI\": \"Kestrel Mobile\", \"CGMM\": \"KM-310\", "
                          "\"CGMR\": \"KM310_R2.14\", \"GMI\": \"Kestrel Mobile\", "
                          "\"GMM\": \"KM-310 GSM\", \"GMR\": \"R2.14 (modem 4.02)\", "
                          "\"CGSN\": \"357421098765438\", \"imei_valid\": true}\n");
}

TEST(KivoRead, PhoneErrorsExitWithOneAndKeepTheFieldsRead) {
    TPhoneSim Error(Failing("+CGMR", TFailure::fError));
    auto Result = Read({"--port", Error.DevicePath()});
    // A refused command is named with its message; every other one is still asked. Its
    // label stays, empty, so that every field keeps its line.
    EXPECT_EQ(Result.ExitCode, 1);
    std::string WithoutRevision(AllFields);
    WithoutRevision.replace(WithoutRevision.find("Phone Revision"),
                            std::string_view("Phone Revision: KM310_R2.14").size(),
                            "Phone Revision:");
    EXPECT_EQ(Result.Out, WithoutRevision);
    EXPECT_EQ(Result.Err, "kivo-read: AT+CGMR: ERROR: Invalid AT command.\n");

    TPhoneSim Cme(Failing("+CGMI", TFailure::fCmeVerbose, "SIM busy"));
    Result = Read({"--json", "--port", Cme.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 1);
    EXPECT_EQ(Result.Out,
              "{\"version\": 1, \"CGMM\": \"KM-310\", \"CGMR\": \"KM310_R2.14\", \"GMI\": "
              "\"Kestrel Mobile\", \"GMM\": \"KM-310 GSM\", \"GMR\": \"R2.14 (modem "
              "4.02)\", \"CGSN\": \"357421098765438\", \"imei_valid\": true, "
              "\"errors\": {\"CGMI\": "
              "\"+CME ERROR: SIM busy.\"}}\n");
    EXPECT_EQ(Result.Err, "kivo-read: AT+CGMI: +CME ERROR: SIM busy.\n");

    TPhoneSim Two(Failing("*", TFailure::fError));
    Result = Read({"--port", Two.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 1);
    EXPECT_EQ(Result.Out, "Phone Manufacturer:\nPhone Model:\nPhone Revision:\nModem "
                          "Manufacturer:\nModem Model:\nModem Revision:\nSerial Number:\n");
    EXPECT_EQ(std::count(Result.Err.begin(), Result.Err.end(), '\n'), 7) << Result.Err;
    EXPECT_NE(Result.Err.find("kivo-read: AT+CGSN: ERROR: Invalid AT command.\n"),
              std::string::npos);

    // The phone's text reaches the terminal escaped, as every output shows it.
    TPhoneSim Hostile(Failing("+CGMI", TFailure::fCmeVerbose,
                              "SIM \x1b]2;owned\x07\x1b[2J\x9b"
                              "5m"));
    Result = Read({"--port", Hostile.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 1);
    EXPECT_EQ(Result.Err,
              "kivo-read: AT+CGMI: +CME ERROR: SIM \\u001b]2;owned\\u0007\\u001b[2J\\u009b5m.\n");
}

// A reply that does not come in time is named with its command, its port and the bound, and
// with what came instead: a reply that stopped, bytes that form no text (a phone at another
// line speed), text without a result code (a GPS receiver's stream).
TEST(KivoRead, SilencesAndStreamsEndInAMessageNamingCommandPortBoundAndWhatCame) {
    TPhoneSim Silent(Failing("+CGSN", TFailure::fSilent));
    const std::string& S = Silent.DevicePath();
    const auto Result = Read({"--timeout", "0.3", "--port", S});
    EXPECT_EQ(Result.ExitCode, 1);
    EXPECT_EQ(Result.Out,
              std::string(AllFields.substr(0, AllFields.rfind("Serial"))) + "Serial Number:\n");
    EXPECT_EQ(Result.Err, "kivo-read: ERROR: No answer from phone to AT+CGSN on " + S +
                              " within 0.3 s (timeout).\n");

    TPhoneSim Stalled(Failing("+CGMR", TFailure::fPartial));
    const std::string& P = Stalled.DevicePath();
    const auto Stopped = Read({"--timeout", "0.3", "--port", P});
    EXPECT_EQ(Stopped.ExitCode, 1);
    EXPECT_EQ(Stopped.Err, "kivo-read: ERROR: The reply to AT+CGMR on " + P +
                               " stopped: nothing more within 0.3 s (--trace shows what came).\n");

    TPhoneSim Stream(Streaming());
    const auto Streamed = Read({"--timeout=0.3", "--port", Stream.DevicePath()});
    EXPECT_EQ(Streamed.ExitCode, 1);
    EXPECT_EQ(Streamed.Out, "");
    EXPECT_EQ(Streamed.Err, "kivo-read: ERROR: AT+CGMI on " + Stream.DevicePath() +
                                ": text but no result code: not a phone or modem.\n");

    TPhoneSimOptions Fast;
    Fast.Baudrate = 115200;
    TPhoneSim Garbling(Fast); // read at the default 19200
    const auto Unreadable = Read({"--timeout=0.3", "--port", Garbling.DevicePath()});
    EXPECT_EQ(Unreadable.ExitCode, 1);
    EXPECT_EQ(Unreadable.Err, "kivo-read: ERROR: AT+CGMI on " + Garbling.DevicePath() +
                                  ": unreadable reply: try --baud auto.\n");
}

TEST(KivoRead, PortThatCannotBeOpenedExitsWithTwo) {
    const auto Result = Read({"--port", "/nonexistent/kivo-port"});
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_EQ(Result.Out, "");
    EXPECT_TRUE(Result.Err.starts_with("kivo-read: ")) << Result.Err;

    TPhoneSim Phone;
    TVaComm Holder(nullptr);
    Holder.SetDeviceName(Phone.DevicePath());
    Holder.Open();
    const auto Busy = Read({"--port", Phone.DevicePath()});
    EXPECT_EQ(Busy.ExitCode, 2) << Busy.Out;
    Holder.Close();
}

TEST(KivoRead, WrongArgumentsExitWithTwoSayingWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> Cases{
        {{"--port"}, "option --port needs a value"},
        {{"--port", "COMX"}, "'COMX' is no port"},
        {{"--port=COM0"}, "'COM0' is no port"},
        {{"--port", "ttyUSB0"}, "'ttyUSB0' is no port"},
        {{"--verbose"}, "unknown option '--verbose'"},
        {{"--baud", "fast"}, "'fast' is no line speed"},
        {{"--timeout", "0"}, "'0' is no timeout"},
        {{"--json=yes"}, "option --json takes no value"},
        {{"--list", "--scan"}, "--list and --scan cannot be combined"},
    };
    for (const auto& [Args, Reason] : Cases) {
        const auto Result = Read(Args);
        EXPECT_EQ(Result.ExitCode, 2) << Args.back();
        EXPECT_TRUE(Result.Err.starts_with("kivo-read: " + Reason)) << Result.Err;
        EXPECT_NE(Result.Err.find("usage: kivo-read"), std::string::npos) << Result.Err;
        EXPECT_EQ(Result.Out, "");
    }
}

TEST(KivoRead, HelpNamesOptionsDefaultPortMappingAndExitCodes) {
    const auto Help = Read({"-h"}, {{"KIVO_COM4", "/dev/ttyACM7"}});
    EXPECT_EQ(Help.ExitCode, 0);
    EXPECT_EQ(Read({"--help"}, {{"KIVO_COM4", "/dev/ttyACM7"}}).Out, Help.Out);
    for (const char* Part :
         {"--port PORT", "--json", "--baud N", "(default 19200)", "--timeout SECONDS", "(default 5",
          "--trace[=FILE]", "--force", "--inhibit", "--list", "--scan", "KIVO_COM<n>",
          "Default: COM4 = /dev/ttyACM7.", "Exit codes: 0", "130 Ctrl+C", "143 SIGTERM",
          "Examples:\n  kivo-read --port /dev/ttyUSB2\n"}) {
        EXPECT_NE(Help.Out.find(Part), std::string::npos) << Part << " in\n" << Help.Out;
    }
    const auto Version = Read({"--version"});
    EXPECT_EQ(Version.ExitCode, 0);
    EXPECT_TRUE(Version.Out.starts_with("kivo-read 1.")) << Version.Out;
}

TEST(KivoRead, ErrorsNameTheDeviceTriedAndABaudRateIsTaken) {
    const auto Missing = Read({"--port", "com4"}, {{"KIVO_COM4", "/nonexistent/kivo-port"}});
    EXPECT_EQ(Missing.ExitCode, 2);
    EXPECT_EQ(Missing.Err,
              "kivo-read: Specified device not found (COM4). Tried /nonexistent/kivo-port; set "
              "KIVO_COM4 to the device's path to use another.\n");
    TPhoneSim Phone;
    const auto Fast = Read({"--baud", "115200", "--port=" + Phone.DevicePath()});
    EXPECT_EQ(Fast.ExitCode, 0) << Fast.Err;
    EXPECT_EQ(Fast.Out, AllFields);
}

// A path is opened as it is: "%" in it is no format.
TEST(KivoRead, APathWithPercentSignsOpensThatPath) {
    TPhoneSim Phone;
    const std::string Directory = ::testing::TempDir();
    for (const char* Name : {"kivo-phone%d", "kivo-50%phone", "kivo-%s%n%%"}) {
        const std::string Link = Directory + Name;
        ::unlink(Link.c_str());
        ASSERT_EQ(::symlink(Phone.DevicePath().c_str(), Link.c_str()), 0) << Link;
        const auto Result = Read({"--port", Link});
        ::unlink(Link.c_str());
        EXPECT_EQ(Result.ExitCode, 0) << Link << ": " << Result.Err;
        EXPECT_EQ(Result.Out, AllFields) << Link;
    }
    const auto Missing = Read({"--port", Directory + "kivo-none%d"});
    EXPECT_EQ(Missing.Err,
              "kivo-read: Specified device not found (" + Directory + "kivo-none%d).\n");
}

// Ports are read at once; each ends in its own outcome.
TEST(KivoRead, SeveralPortsAreReadAtOnceEachWithItsOutcome) {
    TPhoneSim Good;
    TPhoneSim Refusing(Failing("+CGMM", TFailure::fError));
    TPhoneSim Silent(Failing("*", TFailure::fSilent));
    // The bound leaves the answering phones room on a busy machine; the silent one waits it out.
    const auto Result = Read({"--timeout", "3", "--json", "--port", Good.DevicePath(), "--port",
                              Refusing.DevicePath(), "--port", Silent.DevicePath(), "--port",
                              "/nonexistent/kivo-port"});
    EXPECT_EQ(Result.ExitCode, 2) << Result.Err; // the worst: a port that cannot be opened
    const std::string& G = Good.DevicePath();
    const std::string& R = Refusing.DevicePath();
    const std::string& S = Silent.DevicePath();
    EXPECT_EQ(Result.Out,
              "[{\"version\": 1, \"port\": \"" + G + "\", \"device\": \"" + G +
                  "\", \"description\": \"\", \"outcome\": \"answered\", \"fields\": {\"CGMI\": "
                  "\"Kestrel Mobile\", \"CGMM\": \"KM-310\", \"CGMR\": \"KM310_R2.14\", \"GMI\": "
                  "\"Kestrel Mobile\", \"GMM\": \"KM-310 GSM\", \"GMR\": \"R2.14 (modem 4.02)\", "
                  "\"CGSN\": \"357421098765438\"}, \"imei_valid\": true},\n"
                  " {\"version\": 1, \"port\": \"" +
                  R + "\", \"device\": \"" + R +
                  "\", \"description\": \"\", \"outcome\": \"phone-error\", \"fields\": {\"CGMI\": "
                  "\"Kestrel Mobile\", \"CGMR\": \"KM310_R2.14\", \"GMI\": \"Kestrel Mobile\", "
                  "\"GMM\": \"KM-310 GSM\", \"GMR\": \"R2.14 (modem 4.02)\", \"CGSN\": "
                  "\"357421098765438\"}, \"imei_valid\": true, \"errors\": {\"CGMM\": \"ERROR: "
                  "Invalid AT command.\"}},\n"
                  " {\"version\": 1, \"port\": \"" +
                  S + "\", \"device\": \"" + S +
                  "\", \"description\": \"\", \"outcome\": \"phone-error\", \"fields\": {}, "
                  "\"error\": \"ERROR: No answer from phone to AT+CGMI on " +
                  S +
                  " within 3 s (timeout).\"},\n"
                  " {\"version\": 1, \"port\": \"/nonexistent/kivo-port\", \"device\": "
                  "\"/nonexistent/kivo-port\", "
                  "\"description\": \"\", \"outcome\": \"not-found\", \"fields\": {}, \"error\": "
                  "\"Specified device not found (/nonexistent/kivo-port).\"}]\n");
    // A GPS receiver's stream is no phone, as a scan finds.
    TPhoneSim Gps(Streaming());
    const auto Text = Read({"--timeout", "3", "--port", Good.DevicePath(), "--port",
                            Refusing.DevicePath(), "--port", Gps.DevicePath()});
    EXPECT_EQ(Text.ExitCode, 1);
    std::string WithoutModel(AllFields);
    WithoutModel.replace(WithoutModel.find("Phone Model"),
                         std::string_view("Phone Model: KM-310").size(), "Phone Model:");
    EXPECT_EQ(Text.Out, G + ": answered\n" + std::string(AllFields) + "\n" + R + ": phone-error\n" +
                            WithoutModel + "AT+CGMM: ERROR: Invalid AT command.\n\n" +
                            Gps.DevicePath() +
                            ": not-a-phone: Text without a result code: not a phone or modem.\n");
}

// The port as a plain argument, and the short options, as other tools take them.
TEST(KivoRead, APortGivenAsAnArgumentAndShortOptionsAreTaken) {
    TPhoneSim Phone;
    const std::string& Path = Phone.DevicePath();
    for (const std::vector<std::string>& Args : {std::vector<std::string>{Path},
                                                 {"-p", Path, "-t", "5", "-b", "19200"},
                                                 {"-p" + Path, "-t5", "-b19200"},
                                                 {"--", Path}}) {
        const auto Result = Read(Args);
        EXPECT_EQ(Result.ExitCode, 0) << Args.back() << ": " << Result.Err;
        EXPECT_EQ(Result.Out, AllFields) << Args.back();
    }
    const auto Json = Read({"-j", Path});
    EXPECT_EQ(Json.ExitCode, 0) << Json.Err;
    EXPECT_TRUE(Json.Out.starts_with("{\"version\": 1, \"CGMI\": \"Kestrel Mobile\"")) << Json.Out;
    EXPECT_TRUE(Read({"-V"}).Out.starts_with("kivo-read 1."));
    EXPECT_NE(Read({"-h"}).Out.find("-p, --port PORT"), std::string::npos);
    const auto Joined = Read({"-jl"});
    EXPECT_EQ(Joined.ExitCode, 2);
    EXPECT_TRUE(Joined.Err.starts_with("kivo-read: option -j takes no value")) << Joined.Err;
    const auto NoPort = Read({"ttyUSB0"});
    EXPECT_EQ(NoPort.ExitCode, 2);
    EXPECT_TRUE(NoPort.Err.starts_with("kivo-read: 'ttyUSB0' is no port")) << NoPort.Err;
}

// A modem on a serial line answers only at its own speed: --baud auto tries the common
// speeds and reads at the first one answered, fastest first.
TEST(KivoRead, BaudAutoReadsAtTheSpeedThePhoneAnswersAndSaysWhichItWas) {
    TPhoneSimOptions Fast;
    Fast.Baudrate = 115200;
    TPhoneSim FastPhone(Fast);
    // A busy machine may keep the simulated phone from answering within the 0.3 s a speed
    // is given; the speeds tried before the right one cost that bound each.
    const std::map<std::string, std::string> Patient{{"KIVO_SEARCH_SECONDS", "1.5"}};
    const auto Found = Read({"--baud", "auto", FastPhone.DevicePath()}, Patient);
    EXPECT_EQ(Found.ExitCode, 0) << Found.Err;
    EXPECT_EQ(Found.Out, std::string(AllFields) + "Line speed: 115200 (found)\n");
    // At another speed the phone's answers are garbled.
    const auto Default = Read({"-t", "0.5", FastPhone.DevicePath()});
    EXPECT_EQ(Default.ExitCode, 1);
    EXPECT_EQ(Default.Out, "");

    TPhoneSimOptions Slow;
    Slow.Baudrate = 9600;
    TPhoneSim SlowPhone(Slow);
    const auto Json = Read({"-j", "-b", "auto", SlowPhone.DevicePath()}, Patient);
    EXPECT_EQ(Json.ExitCode, 0) << Json.Err;
    EXPECT_TRUE(
        Json.Out.starts_with("{\"version\": 1, \"baud\": 9600, \"CGMI\": \"Kestrel Mobile\""))
        << Json.Out;
    EXPECT_NE(Json.Out.find("\"CGSN\": \"357421098765438\", \"imei_valid\": true}"),
              std::string::npos)
        << Json.Out;

    PtyPair Nothing;
    const std::string Speeds =
        "at any line speed tried (115200, 57600, 38400, 19200, 9600, 230400, 460800, 921600, "
        "4800, 2400; 0.3 s each)";
    const auto None = Read({"-b", "auto", Nothing.DevicePath()});
    EXPECT_EQ(None.ExitCode, 1);
    EXPECT_EQ(None.Err,
              "kivo-read: No answer to AT from " + Nothing.DevicePath() + " " + Speeds + ".\n");
    // A bad bound matters only where a search runs, and is named.
    const std::map<std::string, std::string> Unclear{{"KIVO_SEARCH_SECONDS", "soon"}};
    const auto Searched = Read({"-b", "auto", Nothing.DevicePath()}, Unclear);
    EXPECT_EQ(Searched.ExitCode, 2);
    EXPECT_EQ(Searched.Err,
              "kivo-read: KIVO_SEARCH_SECONDS='soon' is no time: give seconds above 0 (0.3, 2)\n");
    const auto NotSearched = Read({"-b", "115200", FastPhone.DevicePath()}, Unclear);
    EXPECT_EQ(NotSearched.ExitCode, 0) << NotSearched.Err;
}

// Modules are often set to 230400 to 921600 (AT+IPR), old phones to 2400: found too, the last
// speed tried included. Bytes that form no text at every speed are no verdict on the device.
TEST(KivoRead, BaudAutoFindsTheSpeedsModulesAreSetToAndBlamesTheSpeedForUnreadableBytes) {
    const std::map<std::string, std::string> Patient{{"KIVO_SEARCH_SECONDS", "1"}};
    for (const unsigned Speed : {460800U, 2400U}) {
        TPhoneSimOptions O;
        O.Baudrate = Speed;
        TPhoneSim Module(O);
        const auto Found = Read({"-b", "auto", Module.DevicePath()}, Patient);
        EXPECT_EQ(Found.ExitCode, 0) << Found.Err;
        EXPECT_EQ(Found.Out,
                  std::string(AllFields) + "Line speed: " + std::to_string(Speed) + " (found)\n");
        if (Speed == 460800U) { // a scan searches a pseudo-terminal too when told to
            const auto Scan = Read({"--scan", "-b", "auto", "-j", Module.DevicePath()}, Patient);
            EXPECT_EQ(Scan.ExitCode, 0) << Scan.Err;
            EXPECT_NE(Scan.Out.find("\"outcome\": \"answered\", \"baud\": 460800"),
                      std::string::npos)
                << Scan.Out;
        }
    }
    TPhoneSimOptions Odd;
    Odd.Baudrate = 1200;
    TPhoneSim Elsewhere(Odd);
    const std::string& E = Elsewhere.DevicePath();
    const auto Unfound = Read({"-b", "auto", E});
    EXPECT_EQ(Unfound.ExitCode, 1);
    EXPECT_EQ(Unfound.Err,
              "kivo-read: No reply to AT from " + E +
                  " at any line speed tried (115200, 57600, 38400, 19200, 9600, 230400, 460800, "
                  "921600, 4800, 2400; 0.3 s each), only bytes that form no text: the line "
                  "speed may be another; give it with --baud N.\n");
    const auto Scanned = Read({"--scan", "-b", "auto", "-j", E});
    EXPECT_NE(Scanned.Out.find("\"outcome\": \"unreadable\""), std::string::npos) << Scanned.Out;
}

// A port and a link to it are one device: read once, shown under both names.
TEST(KivoRead, APortGivenWithItsOwnLinkIsReadOnce) {
    TPhoneSim Phone;
    const std::string Link = ::testing::TempDir() + "kivo-same-phone";
    ::unlink(Link.c_str());
    ASSERT_EQ(::symlink(Phone.DevicePath().c_str(), Link.c_str()), 0) << Link;
    const auto Result = Read({"--port", Phone.DevicePath(), "--port", Link});
    ::unlink(Link.c_str());
    EXPECT_EQ(Result.ExitCode, 0) << Result.Out;
    EXPECT_EQ(Result.Out, Phone.DevicePath() + ": answered\n" + std::string(AllFields) + "\n" +
                              Link + ": answered\n" + std::string(AllFields));
    EXPECT_EQ(Phone.CommandCount(), 7);
}

// With few descriptors to spare, ports open in turn, as others close, instead of failing.
// The limit leaves 21 free beside whatever the test inherited (a CI runner may pass on many):
// room for one port at a time, not for six.
TEST(KivoRead, PortsBeyondTheDescriptorLimitWaitForTheirTurn) {
    std::vector<std::unique_ptr<TPhoneSim>> Phones;
    std::string Command = "ulimit -n $(( $(ls /proc/$$/fd | wc -l) + 21 )) && exec '" +
                          std::string(KIVO_READ_PATH) + "'";
    for (int I = 0; I < 6; ++I) {
        Phones.push_back(std::make_unique<TPhoneSim>());
        Command += " --port " + Phones.back()->DevicePath();
    }
    const auto Result = RunProcess("/bin/sh", {"-c", Command});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Out << Result.Err;
    for (const auto& Phone : Phones) {
        EXPECT_NE(Result.Out.find(Phone->DevicePath() + ": answered\n"), std::string::npos)
            << Result.Out;
    }
}

// Interrupted, the reader prints what it read, releases the port and exits with 128 + n.
TEST(KivoRead, StopSignalsPrintTheFieldsReadReleaseThePortAndExitWithTheirCode) {
    for (const auto& [Signal, Json] :
         {std::pair{SIGINT, false}, std::pair{SIGTERM, true}, std::pair{SIGHUP, false}}) {
        TPhoneSim Phone(Failing("+CGMR", TFailure::fSilent));
        std::vector<std::string> Args{"--timeout", "60", "--port", Phone.DevicePath()};
        if (Json) {
            Args.emplace_back("--json");
        }
        TBackgroundProcess Reader(KIVO_READ_PATH, Args);
        ASSERT_TRUE(Phone.WaitForCommands(3, std::chrono::seconds(10)));
        EXPECT_EQ(Reader.Stop(Signal), 128 + Signal);
        if (Json) {
            EXPECT_EQ(Reader.ReadLine(),
                      "{\"version\": 1, \"CGMI\": \"Kestrel Mobile\", \"CGMM\": \"KM-310\", "
                      "\"error\": \"Interrupted.\"}");
        } else {
            EXPECT_EQ(Reader.ReadLine(), "Phone Manufacturer: Kestrel Mobile");
            EXPECT_EQ(Reader.ReadLine(), "Phone Model: KM-310");
        }
        // The port was closed: its exclusive mark is gone and its lock released.
        TDeviceClient Device(Phone.DevicePath());
        EXPECT_FALSE(Device.Exclusive());
        TVaComm Again(nullptr);
        Again.SetDeviceName(Phone.DevicePath());
        EXPECT_NO_THROW(Again.Open());
    }
}

TEST(KivoRead, OutputThatCannotBeWrittenIsAFailure) {
    TPhoneSim Phone;
    const std::string Command =
        std::string("exec '") + KIVO_READ_PATH + "' --port " + Phone.DevicePath();
    for (const std::string Redirect : {" > /dev/full", " >&-"}) {
        const auto Result = RunProcess("/bin/sh", {"-c", Command + Redirect});
        EXPECT_EQ(Result.ExitCode, 3) << Redirect;
        EXPECT_EQ(Result.Err, "kivo-read: cannot write the output\n") << Redirect;
    }
}

// One line of kivo-read's trace: "+0.004 /dev/pts/3 > AT+CGMI\r\n".
struct TTraced {
    long Ms = 0;
    std::string Port;
    char Direction = 0;
    std::string Bytes;
};

// The trace lines among Text's lines (the others are kivo-read's messages). Every line is
// whole, and the times never go back.
std::vector<TTraced> TraceLines(const std::string& Text) {
    static const std::regex Line(R"(\+(\d+)\.(\d{3}) (\S+) ([<>]) (.+))");
    std::vector<TTraced> Lines;
    std::istringstream In(Text);
    for (std::string L; std::getline(In, L);) {
        if (L.starts_with("kivo-read: ")) {
            continue;
        }
        std::smatch M;
        EXPECT_TRUE(std::regex_match(L, M, Line)) << "not a trace line: " << L;
        if (M.empty()) {
            continue;
        }
        Lines.push_back({std::stol(M[1]) * 1000 + std::stol(M[2]), M[3], M[4].str()[0], M[5]});
        EXPECT_GE(Lines.back().Ms, Lines.front().Ms) << L;
    }
    return Lines;
}

// Port's exchange in the trace: the bytes of each direction until it changes.
std::vector<std::pair<char, std::string>> ExchangeOf(const std::vector<TTraced>& Lines,
                                                     const std::string& Port) {
    std::vector<std::pair<char, std::string>> Turns;
    for (const TTraced& L : Lines) {
        if (L.Port != Port) {
            continue;
        }
        if (Turns.empty() || Turns.back().first != L.Direction) {
            Turns.emplace_back(L.Direction, "");
        }
        Turns.back().second += L.Bytes;
    }
    return Turns;
}

// The simulated phone's seven answers as the trace shows them; Refused's reply instead.
std::vector<std::pair<char, std::string>> SevenAnswered(const std::string& Refused = {},
                                                        const std::string& Reply = {}) {
    std::vector<std::pair<char, std::string>> Turns;
    for (const auto& Command : QueryCommands) {
        const std::string Key = "+" + std::string(Command.Key);
        Turns.emplace_back('>', "AT" + Key + "\\r\\n");
        Turns.emplace_back('<', Key == Refused ? Reply
                                               : "\\r\\n" + PhoneSimIdentity().at(Key) +
                                                     "\\r\\n\\r\\nOK\\r\\n");
    }
    return Turns;
}

std::string FileText(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

TEST(KivoReadTrace, ShowsEveryCommandAndReplyWithItsTimeAndPortOnStandardErrorOrInAFile) {
    TPhoneSim Phone(Failing("+CGMR", TFailure::fCmeVerbose, "SIM \x1b[2J\xff\\ busy"));
    const std::string& P = Phone.DevicePath();
    const auto Expected =
        SevenAnswered("+CGMR", "\\r\\n+CME ERROR: SIM \\x1b[2J\\xff\\\\ busy\\r\\n");
    const std::string Refusal =
        "kivo-read: AT+CGMR: +CME ERROR: SIM \\u001b[2J\xc3\xbf\\\\ busy.\n";

    const auto Traced = Read({"--trace", "--port", P});
    EXPECT_EQ(Traced.ExitCode, 1) << Traced.Err;
    EXPECT_EQ(ExchangeOf(TraceLines(Traced.Err), P), Expected) << Traced.Err;
    EXPECT_NE(Traced.Err.find(Refusal), std::string::npos) << Traced.Err;

    const std::string File = ::testing::TempDir() + "kivo-read-trace.txt";
    const auto ToFile = Read({"--trace=" + File, "--port", P});
    EXPECT_EQ(ToFile.ExitCode, 1);
    EXPECT_EQ(ToFile.Err, Refusal);
    EXPECT_EQ(ToFile.Out, Traced.Out);
    EXPECT_EQ(ExchangeOf(TraceLines(FileText(File)), P), Expected);
    ::unlink(File.c_str());

    const auto Unwritable = Read({"--trace=/nonexistent/kivo/trace.txt", "--port", P});
    EXPECT_EQ(Unwritable.ExitCode, 2);
    EXPECT_EQ(Unwritable.Out, "");
    EXPECT_EQ(Unwritable.Err, "kivo-read: Cannot write the trace to /nonexistent/kivo/trace.txt: "
                              "No such file or directory\n");
}

// A named pipe that no program reads fails the open at once (it would wait for a reader, and
// a signal would only restart that wait); a trace whose lines cannot be written is output
// that could not be written; --list sends nothing, so a trace of it is refused.
TEST(KivoReadTrace, ATraceThatCannotBeWrittenEndsWithAMessageNamingItsFileAndNeverHangs) {
    TPhoneSim Phone;
    const std::string& P = Phone.DevicePath();
    const std::string Fifo = ::testing::TempDir() + "kivo-read-trace-fifo";
    ::unlink(Fifo.c_str());
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    const auto Unread =
        RunProcess(KIVO_READ_PATH, {"--trace=" + Fifo, "--port", P}, {}, std::chrono::seconds(20));
    ::unlink(Fifo.c_str());
    EXPECT_EQ(Unread.ExitCode, 2) << "still waiting for a reader of the pipe";
    EXPECT_EQ(Unread.Err, "kivo-read: Cannot write the trace to " + Fifo +
                              ": a named pipe that no program reads\n");

    const auto Full = Read({"--trace=/dev/full", "--port", P});
    EXPECT_EQ(Full.ExitCode, 3);
    EXPECT_EQ(Full.Out, AllFields);
    EXPECT_EQ(Full.Err,
              "kivo-read: Cannot write the trace to /dev/full: No space left on device\n");

    const auto List = Read({"--list", "--trace=trace.txt"});
    EXPECT_EQ(List.ExitCode, 2);
    EXPECT_TRUE(List.Err.starts_with(
        "kivo-read: --trace goes with a read or --scan, not with --list or --watch\n"))
        << List.Err;
}

TEST(KivoReadTrace, AScanTracesEveryPortEachLineNamingIt) {
    TPhoneSim First;
    TPhoneSim Second(WithEcho(TEchoMode::emCR));
    const auto Result =
        Read({"--scan", "--trace", "--port", First.DevicePath(), "--port", Second.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    const auto Lines = TraceLines(Result.Err);
    auto Expected = SevenAnswered();
    Expected.insert(Expected.begin(), {{'>', "AT\\r\\n"}, {'<', "\\r\\nOK\\r\\n"}});
    EXPECT_EQ(ExchangeOf(Lines, First.DevicePath()), Expected) << Result.Err;
    for (std::size_t I = 1; I < Expected.size(); I += 2) { // the echo comes first
        Expected[I].second = Expected[I - 1].second.substr(0, Expected[I - 1].second.size() - 2) +
                             Expected[I].second;
    }
    EXPECT_EQ(ExchangeOf(Lines, Second.DevicePath()), Expected) << Result.Err;
    for (const TTraced& L : Lines) {
        EXPECT_TRUE(L.Port == First.DevicePath() || L.Port == Second.DevicePath()) << L.Port;
    }
}

TEST(KivoRead, AnImeiWithAWrongCheckDigitIsFlaggedAndOtherSerialNumbersGetNoVerdict) {
    TPhoneSimOptions Garbled;
    Garbled.Serial = "357421098765432";
    TPhoneSim Phone(Garbled);
    const auto Text = Read({"--port", Phone.DevicePath()});
    EXPECT_EQ(Text.ExitCode, 1) << Text.Err; // a garbled serial number is no clean read
    EXPECT_TRUE(Text.Out.ends_with(
        "Serial Number: 357421098765432 (check digit wrong: not a valid IMEI)\n"))
        << Text.Out;
    const auto Json = Read({"--json", "--port", Phone.DevicePath()});
    EXPECT_TRUE(Json.Out.ends_with("\"CGSN\": \"357421098765432\", \"imei_valid\": false}\n"))
        << Json.Out;
    const auto Scan = Read({"--scan", "--json", "--port", Phone.DevicePath()});
    EXPECT_NE(Scan.Out.find("\"357421098765432\"}, \"imei_valid\": false}"), std::string::npos)
        << Scan.Out;

    TPhoneSimOptions Meid;
    Meid.Serial = "A1000009A1B2C3";
    TPhoneSim Modem(Meid);
    const auto Plain = Read({"--port", Modem.DevicePath()});
    EXPECT_EQ(Plain.ExitCode, 0) << Plain.Err;
    EXPECT_TRUE(Plain.Out.ends_with("Serial Number: A1000009A1B2C3\n")) << Plain.Out;
    const auto NoVerdict = Read({"--json", "--port", Modem.DevicePath()});
    EXPECT_TRUE(NoVerdict.Out.ends_with("\"CGSN\": \"A1000009A1B2C3\"}\n")) << NoVerdict.Out;
}

TEST(PortChoice, ComNamesAndPaths) {
    EXPECT_EQ(ParsePortChoice("COM4")->PortNum, 4);
    EXPECT_EQ(ParsePortChoice("com12")->PortNum, 12);
    EXPECT_EQ(ParsePortChoice("\\\\.\\COM12")->PortNum, 12) << "as Windows lists its ports";
    EXPECT_EQ(ParsePortChoice("COM4")->DeviceName, "COM%d");
    EXPECT_EQ(ParsePortChoice("/dev/ttyUSB0")->DeviceName, "/dev/ttyUSB0");
    for (const char* Bad : {"", "COM", "COM0", "COM-1", "COMA", "COM1234", "LPT1"}) {
        EXPECT_FALSE(ParsePortChoice(Bad).has_value()) << Bad;
    }
}

TEST(PortChoice, ReaderUsesTheWindowsStoredSettingsWithoutItsHandlers) {
    TVaComm Comm(nullptr);
    ApplyWindowPortSettings(Comm);
    const std::string Stored = WriteComponent(Comm);
    EXPECT_NE(Stored.find("Baudrate = br19200"), std::string::npos) << Stored;
    EXPECT_NE(Stored.find("FlowControl.ControlDtr = dtrDisabled"), std::string::npos);
    EXPECT_NE(Stored.find("MonitorEvents = [ceError, ceRxChar]"), std::string::npos);
    EXPECT_NE(Stored.find("Buffers.WriteSize = 512"), std::string::npos);
    EXPECT_EQ(Stored.find("OnOpen"), std::string::npos);
    EXPECT_EQ(Stored.find("OnRxChar"), std::string::npos);
    EXPECT_FALSE(Comm.Active());
}

// Bytes that form UTF-8 are UTF-8, any other byte is Latin-1; text and JSON show the same
// characters, and neither passes a control character through.
TEST(ReadOutput, TextAndJsonShowTheSameCharactersWithControlsEscaped) {
    TReadResult Result;
    Result.Count = 3;
    Result.Answers[0] = "a\"b\\c\x01\xe9";
    Result.Answers[1] = "caf\xc3\xa9 \xf0\x9f\x93\xb1";
    Result.Answers[2] = "\x1b]0;owned\x07\x1b[31mred\x9b";
    Result.Error = "x";
    EXPECT_EQ(FormatAsJson(Result),
              "{\"CGMI\": \"a\\\"b\\\\c\\u0001\\u00e9\", \"CGMM\": \"caf\\u00e9 \\ud83d\\udcf1\", "
              "\"CGMR\": \"\\u001b]0;owned\\u0007\\u001b[31mred\\u009b\", \"error\": \"x\"}\n");
    EXPECT_EQ(FormatAsText(Result),
              "Phone Manufacturer: a\"b\\\\c\\u0001\xc3\xa9\n"
              "Phone Model: caf\xc3\xa9 \xf0\x9f\x93\xb1\n"
              "Phone Revision: \\u001b]0;owned\\u0007\\u001b[31mred\\u009b\n"
              "Modem Manufacturer:\nModem Model:\nModem Revision:\nSerial Number:\n");
}

// Characters that turn the text around them or break its line are escaped as control
// characters are, in the terminal's text, the JSON and the trace: a device's answer cannot
// make a line read differently from what it sent.
TEST(ReadOutput, BidirectionalAndLineBreakingCharactersAreEscapedAsControlsAre) {
    struct TCase {
        std::string_view Text;     // UTF-8
        std::string_view Terminal; // EscapedForTerminal
        std::string_view Trace;    // EscapedBytes
    };
    for (const TCase& C : std::initializer_list<TCase>{
             {"\u202e", "\\u202e", "\\xe2\\x80\\xae"}, // right-to-left override
             {"\u202a", "\\u202a", "\\xe2\\x80\\xaa"}, // left-to-right embedding
             {"\u200f", "\\u200f", "\\xe2\\x80\\x8f"}, // right-to-left mark
             {"\u2066", "\\u2066", "\\xe2\\x81\\xa6"}, // left-to-right isolate
             {"\u2069", "\\u2069", "\\xe2\\x81\\xa9"}, // pop directional isolate
             {"\u061c", "\\u061c", "\\xd8\\x9c"},      // Arabic letter mark
             {"\u2028", "\\u2028", "\\xe2\\x80\\xa8"}, // line separator
             {"\u2029", "\\u2029", "\\xe2\\x80\\xa9"}, // paragraph separator
             {"\u2030", "\u2030", "\u2030"},           // per mille: plain text
         }) {
        const std::string Text = "KM" + std::string(C.Text) + "310";
        EXPECT_EQ(EscapedForTerminal(Text), "KM" + std::string(C.Terminal) + "310");
        EXPECT_EQ(EscapedBytes(Text), "KM" + std::string(C.Trace) + "310");
    }
    TReadResult Result;
    Result.Count = 1;
    Result.Answers[0] = "Kestrel\u202e1337";
    EXPECT_EQ(FormatAsJson(Result), "{\"CGMI\": \"Kestrel\\u202e1337\"}\n");
}

// What the phone answers to +CGSN: a wrong IMEI check digit, a character that no serial number
// has, or an IMEI's fifteen characters with one that is no digit make no clean read; MEIDs
// and ESNs in hexadecimal and other modems' serials are read as they are.
TEST(KivoRead, ASerialNumberWithACharacterNoSerialNumberHasIsNoCleanRead) {
    struct TCase {
        std::string Serial;
        int Exit;
        std::string Note; // after the number in the text
        std::string Json; // the members after "CGSN"
    };
    const std::vector<TCase> Cases{
        {"35742109876543X", 1, " (garbled: an IMEI has no 'X')",
         ", \"serial_error\": \"garbled: an IMEI has no 'X'\"}\n"},
        {std::string("3574210\0"
                     "9876543",
                     15),
         1, " (a character no serial number has: \\x00)",
         ", \"serial_error\": \"a character no serial number has: \\\\x00\"}\n"},
        {"35742\x1b"
         "109876543",
         1, " (a character no serial number has: \\x1b)",
         ", \"serial_error\": \"a character no serial number has: \\\\x1b\"}\n"},
        {"A1000009A1B2C3", 0, "", "}\n"},  // a MEID
        {"0x8F3A21C4", 0, "", "}\n"},      // an ESN
        {"SN-2026/0314.B", 0, "", "}\n"},  // a modem's own serial
        {"35742109876543A", 0, "", "}\n"}, // a MEID with its check digit
    };
    for (const TCase& C : Cases) {
        TPhoneSimOptions O;
        O.Serial = C.Serial;
        TPhoneSim Phone(O);
        const auto Text = Read({"--port", Phone.DevicePath()});
        EXPECT_EQ(Text.ExitCode, C.Exit) << C.Serial << Text.Err;
        EXPECT_TRUE(
            Text.Out.ends_with("Serial Number: " + EscapedForTerminal(C.Serial) + C.Note + "\n"))
            << Text.Out;
        const auto Json = Read({"--json", "--port", Phone.DevicePath()});
        EXPECT_EQ(Json.ExitCode, C.Exit);
        EXPECT_TRUE(Json.Out.ends_with(JsonString(C.Serial) + C.Json)) << Json.Out;
    }
}

// The trace shows each byte so that it can be told from any other.
TEST(ReadOutput, TheTraceShowsEveryByteRecognisably) {
    EXPECT_EQ(EscapedBytes("a\"b\\c\x01\xe9"), "a\"b\\\\c\\x01\\xe9");
    EXPECT_EQ(EscapedBytes("\r\n\t\x1b[2J\x7f"), "\\r\\n\\t\\x1b[2J\\x7f");
    EXPECT_EQ(EscapedBytes("caf\xc3\xa9 \xf0\x9f\x93\xb1"), "caf\xc3\xa9 \xf0\x9f\x93\xb1");
    EXPECT_EQ(EscapedBytes("\xc2\x9b\xc3"), "\\xc2\\x9b\\xc3") << "C1 control, cut sequence";
}

} // namespace
