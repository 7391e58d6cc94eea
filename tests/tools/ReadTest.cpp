// kivo-read: the seven fields on the command line, as text or JSON, with its exit codes;
// and the pieces it is made of.

#include "app/PhoneReader.h"
#include "runtime/Streaming.h"
#include "serial/VaComm.h"
#include "tests/tools/DeviceClient.h"
#include "tests/tools/SimOptions.h"
#include "tools/PhoneSim.h"

#include <gtest/gtest.h>

namespace {

constexpr std::string_view AllFields = "Phone Manufacturer: Kestrel Mobile\n"
                                       "Phone Model: KM-310\n"
                                       "Phone Revision: KM310_R2.14\n"
                                       "Modem Manufacturer: Kestrel Mobile\n"
                                       "Modem Model: KM-310 GSM\n"
                                       "Modem Revision: R2.14 (modem 4.02)\n"
                                       "Serial Number: 357421098765432\n";

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
    EXPECT_NE(Result.Out.find("Serial Number: 357421098765432 Build 2026-03-14\n"),
              std::string::npos)
        << Result.Out;
    const auto Lower = Read({"--port", "com4"}, {{"KIVO_COM4", Phone.DevicePath()}});
    EXPECT_EQ(Lower.ExitCode, 0) << Lower.Err;
}

TEST(KivoRead, PrintsJson) {
    TPhoneSim Phone;
    const auto Result = Read({"--json", "--port", Phone.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_EQ(Result.Out, "{\"CGMI\": \"Kestrel Mobile\", \"CGMM\": \"KM-310\", "
                          "\"CGMR\": \"KM310_R2.14\", \"GMI\": \"Kestrel Mobile\", "
                          "\"GMM\": \"KM-310 GSM\", \"GMR\": \"R2.14 (modem 4.02)\", "
                          "\"CGSN\": \"357421098765432\"}\n");
}

TEST(KivoRead, PhoneErrorsExitWithOneAndKeepTheFieldsRead) {
    TPhoneSim Error(Failing("+CGMR", TFailure::fError));
    auto Result = Read({"--port", Error.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 1);
    EXPECT_EQ(Result.Out, "Phone Manufacturer: Kestrel Mobile\nPhone Model: KM-310\n");
    EXPECT_EQ(Result.Err, "kivo-read: ERROR: Invalid AT command.\n");

    TPhoneSim Cme(Failing("+CGMI", TFailure::fCmeVerbose, "SIM busy"));
    Result = Read({"--json", "--port", Cme.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 1);
    EXPECT_EQ(Result.Out, "{\"error\": \"+CME ERROR: SIM busy.\"}\n");
    EXPECT_EQ(Result.Err, "kivo-read: +CME ERROR: SIM busy.\n");
}

TEST(KivoRead, SilencesAndStreamsEndInTheTimeout) {
    TPhoneSim Silent(Failing("+CGSN", TFailure::fSilent));
    const auto Result = Read({"--port", Silent.DevicePath()});
    EXPECT_EQ(Result.ExitCode, 1);
    EXPECT_EQ(Result.Out, AllFields.substr(0, AllFields.rfind("Serial")));
    EXPECT_EQ(Result.Err, "kivo-read: ERROR: No answer from phone (timeout).\n");

    TPhoneSim Stream(Streaming());
    const auto Streamed = Read({"--port", Stream.DevicePath()});
    EXPECT_EQ(Streamed.ExitCode, 1);
    EXPECT_EQ(Streamed.Out, "");
    EXPECT_EQ(Streamed.Err, "kivo-read: ERROR: No answer from phone (timeout).\n");
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

TEST(KivoRead, WrongArgumentsExitWithTwo) {
    for (const std::vector<std::string>& Args : {std::vector<std::string>{"--port"},
                                                 {"--port", "COMX"},
                                                 {"--port", "COM0"},
                                                 {"--port", "ttyUSB0"},
                                                 {"--verbose"}}) {
        const auto Result = Read(Args);
        EXPECT_EQ(Result.ExitCode, 2) << Args.back();
        EXPECT_TRUE(Result.Err.starts_with("usage: kivo-read")) << Result.Err;
    }
}

TEST(PortChoice, ComNamesAndPaths) {
    EXPECT_EQ(ParsePortChoice("COM4")->PortNum, 4);
    EXPECT_EQ(ParsePortChoice("com12")->PortNum, 12);
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

TEST(ReadOutput, JsonEscapesQuotesControlsAndHighBytes) {
    TReadResult Result;
    Result.Count = 1;
    Result.Answers[0] = "a\"b\\c\x01\xe9";
    Result.Error = "x";
    EXPECT_EQ(FormatAsJson(Result),
              "{\"CGMI\": \"a\\\"b\\\\c\\u0001\\u00e9\", \"error\": \"x\"}\n");
    EXPECT_EQ(FormatAsText(Result), "Phone Manufacturer: a\"b\\c\x01\xe9\n");
}

} // namespace
