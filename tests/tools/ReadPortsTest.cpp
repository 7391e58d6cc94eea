// kivo-read's --list and --scan over mocked devices (umockdev; run under umockdev-wrapper,
// whose mocked tree the reader inherits): the ports found, and a scan that opens them,
// their nodes leading to simulated phones and silent terminals.

#include "platform/SerialPorts.h"
#include "tests/support/MockDevices.h"
#include "tests/support/PtyPair.h"
#include "tests/tools/DeviceClient.h"
#include "tests/tools/SimOptions.h"
#include "tools/PhoneSim.h"

#include <csignal>
#include <future>
#include <gtest/gtest.h>

namespace {

using kivo::test::MockDevices;

TProcessResult Read(const std::vector<std::string>& Args) {
    return RunProcess(KIVO_READ_PATH, Args);
}

// The object of Json's array that holds "path"/"port" Path.
std::string ObjectFor(const std::string& Json, const std::string& Key, const std::string& Path) {
    const std::size_t At = Json.find("\"" + Key + "\": \"" + Path + "\"");
    return At == std::string::npos ? std::string() : Json.substr(At, Json.find('}', At) - At);
}

TEST(KivoReadPorts, ListShowsEachMockedPortWithItsDescriptionAndStableLink) {
    MockDevices Devices;
    for (const char* File : {"huawei-stick.umockdev", "phone-acm.umockdev", "ftdi-adapter.umockdev",
                             "bluetooth-rfcomm.umockdev"}) {
        Devices.Add(File);
    }
    const std::vector<TSerialPortInfo> Found = ListSerialPorts();
    // The stick's three ports, the phone, the adapter, and a bound and a connected RFCOMM port.
    ASSERT_EQ(Found.size(), 7U);
    std::string Lines;
    for (const TSerialPortInfo& Port : Found) {
        Lines += Port.Path + "\t" + Port.Description + (Port.ById.empty() ? "" : "\t" + Port.ById) +
                 "\n";
    }
    const auto Text = Read({"--list"});
    EXPECT_EQ(Text.ExitCode, 0) << Text.Err;
    EXPECT_EQ(Text.Out, Lines);
    const auto Json = Read({"--list", "--json"});
    EXPECT_EQ(Json.ExitCode, 0) << Json.Err;
    for (const TSerialPortInfo& Port : Found) {
        const std::string Object = ObjectFor(Json.Out, "name", Port.Name);
        EXPECT_NE(Object.find("\"path\": \"" + Port.Path + "\""), std::string::npos) << Object;
        EXPECT_NE(Object.find("\"by_id\": \"" + Port.ById + "\""), std::string::npos) << Object;
        EXPECT_NE(Object.find("\"description\": \"" + Port.Description + "\""), std::string::npos)
            << Object;
        EXPECT_NE(Object.find("\"driver\": \"" + Port.Driver + "\""), std::string::npos) << Object;
    }
    EXPECT_NE(Json.Out.find("\"vendor_id\": \"12d1\""), std::string::npos) << Json.Out;
}

// A Huawei stick whose modem port is a phone, whose diagnostics port answers nothing and
// whose PC UI port reports the signal level between answers, and a GPS receiver on an FTDI
// adapter: the scan finds the AT ports among them and reads them.
TEST(KivoReadPorts, ScanProbesEveryMockedPortAndReadsThoseThatAnswer) {
    MockDevices Devices;
    Devices.Add("huawei-stick.umockdev");
    Devices.Add("ftdi-adapter.umockdev");
    TPhoneSim Modem;
    PtyPair Diagnostics;
    TPhoneSim PcUi(WithUrc(WithEcho(TEchoMode::emCR), "^RSSI:18"));
    TPhoneSim Gps(Streaming());
    Devices.Attach("/dev/ttyUSB0", Modem.DevicePath());
    Devices.Attach("/dev/ttyUSB1", Diagnostics.DevicePath());
    Devices.Attach("/dev/ttyUSB2", PcUi.DevicePath());
    Devices.Attach("/dev/ttyUSB3", Gps.DevicePath());
    const auto Result = Read({"--scan", "--json"});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    const std::vector<std::pair<std::string, std::string>> Expected{
        {"/dev/ttyUSB0", "answered"},
        {"/dev/ttyUSB1", "no-answer"},
        {"/dev/ttyUSB2", "answered"},
        {"/dev/ttyUSB3", "not-a-phone"}};
    for (const auto& [Path, Outcome] : Expected) {
        const std::string Object = ObjectFor(Result.Out, "port", Path);
        EXPECT_NE(Object.find("\"outcome\": \"" + Outcome + "\""), std::string::npos)
            << Path << " in " << Result.Out;
        EXPECT_EQ(Object.find("\"description\": \"\""), std::string::npos) << Object;
    }
    EXPECT_NE(ObjectFor(Result.Out, "port", "/dev/ttyUSB2").find("\"CGSN\": \"357421098765438\""),
              std::string::npos)
        << Result.Out;
    const auto Text = Read({"--scan"});
    EXPECT_NE(Text.Out.find("/dev/ttyUSB1 ("), std::string::npos) << Text.Out;
    EXPECT_NE(Text.Out.find("): no-answer: No answer to AT from /dev/ttyUSB1 within 1 s.\n"),
              std::string::npos)
        << Text.Out;
}

// A server's kernel writes its console to ttyS0 (and tty0): the scan lists that port and
// writes nothing to it, while it probes the other UARTs.
TEST(KivoReadPorts, ScanListsTheSystemConsoleWithoutProbingIt) {
    MockDevices Devices;
    Devices.Add("onboard-uarts.umockdev");
    TPhoneSim Console;
    TPhoneSim Modem;
    Devices.Attach("/dev/ttyS0", Console.DevicePath());
    Devices.Attach("/dev/ttyS2", Modem.DevicePath());
    const auto Result = Read({"--scan"});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_NE(Result.Out.find("/dev/ttyS0 (Serial port): console: The system console: not "
                              "probed, so that nothing is written to it.\n"),
              std::string::npos)
        << Result.Out;
    EXPECT_NE(Result.Out.find("/dev/ttyS2 (MCS9865 PCIe Serial Port): answered\n"),
              std::string::npos)
        << Result.Out;
    const auto Given = Read({"--scan", "--json", "--port", "/dev/ttyS0"});
    EXPECT_NE(Given.Out.find("\"outcome\": \"console\""), std::string::npos) << Given.Out;
    EXPECT_EQ(Console.CommandCount(), 0);
}

// However the console's port is named, a read refuses it unless told --force, so that no
// command reaches the kernel's console or a login prompt; the list marks it.
TEST(KivoReadPorts, AReadRefusesTheSystemConsoleUnlessForcedAndTheListMarksIt) {
    MockDevices Devices;
    Devices.Add("onboard-uarts.umockdev");
    TPhoneSim Console;
    Devices.Attach("/dev/ttyS0", Console.DevicePath());
    EXPECT_TRUE(IsSystemConsole("/dev/ttyS0"));
    EXPECT_TRUE(IsSystemConsole("COM1"));
    EXPECT_FALSE(IsSystemConsole("/dev/ttyS2"));
    const std::string Refusal =
        ": the system console (the kernel writes its messages there, a login may wait on it): "
        "not opened, so that no command reaches it; give --force to read it all the same\n";
    for (const std::vector<std::string>& Args :
         {std::vector<std::string>{"/dev/ttyS0"}, {"--port", "COM1"}, {"-j", "/dev/ttyS0"}}) {
        const auto Refused = Read(Args);
        EXPECT_EQ(Refused.ExitCode, 2) << Args.back();
        EXPECT_EQ(Refused.Out, "");
        EXPECT_TRUE(Refused.Err.starts_with("kivo-read: " + Args.back())) << Refused.Err;
        EXPECT_TRUE(Refused.Err.ends_with(Refusal)) << Refused.Err;
    }
    EXPECT_EQ(Console.CommandCount(), 0);
    const auto Forced = Read({"--force", "/dev/ttyS0"});
    EXPECT_EQ(Forced.ExitCode, 0) << Forced.Err;
    EXPECT_NE(Forced.Out.find("Serial Number: 357421098765438\n"), std::string::npos);

    const auto List = Read({"--list"});
    EXPECT_NE(List.Out.find("/dev/ttyS0\tSerial port (system console)\n"), std::string::npos)
        << List.Out;
    const auto Json = Read({"--list", "--json"});
    EXPECT_NE(ObjectFor(Json.Out, "path", "/dev/ttyS0").find("\"console\": true"),
              std::string::npos)
        << Json.Out;
    EXPECT_NE(ObjectFor(Json.Out, "path", "/dev/ttyS2").find("\"console\": false"),
              std::string::npos)
        << Json.Out;
}

// Each port's second for "AT" starts when its own open is done, and replies are taken as
// they come: a port that takes long to open holds up neither another port nor its answers.
TEST(KivoReadPorts, ScanReadsEachPortWhileAnotherIsStillOpening) {
    MockDevices Devices;
    Devices.Add("huawei-stick.umockdev");
    TPhoneSim Quick;
    TPhoneSim Slow;
    Devices.Attach("/dev/ttyUSB0", Quick.DevicePath());
    Devices.AttachHeld("/dev/ttyUSB2", Slow.DevicePath());
    auto Scan = std::async(std::launch::async, [] { return Read({"--scan", "--json"}); });
    // "AT" and the seven commands while the other port still opens.
    EXPECT_TRUE(Quick.WaitForCommands(8, std::chrono::seconds(10)));
    EXPECT_TRUE(Devices.WaitUntilHeld("/dev/ttyUSB2", std::chrono::seconds(10)));
    Devices.Release("/dev/ttyUSB2");
    const auto Result = Scan.get();
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    for (const char* Path : {"/dev/ttyUSB0", "/dev/ttyUSB2"}) {
        EXPECT_NE(ObjectFor(Result.Out, "port", Path).find("\"outcome\": \"answered\""),
                  std::string::npos)
            << Path << " in " << Result.Out;
    }
}

// Without a port, the one USB device's first port is read, as the window chooses it; with no
// port found, or several devices, kivo-read says how to name one. --list and --scan say
// when they find none.
TEST(KivoReadPorts, WithoutAPortTheOneUsbDevicesFirstPortIsReadAndNoneOrSeveralAreNamed) {
    MockDevices Devices;
    const auto None = Read({});
    EXPECT_EQ(None.ExitCode, 2);
    EXPECT_EQ(None.Out, "");
    EXPECT_TRUE(None.Err.starts_with("kivo-read: no serial port found: name the port to read, "
                                     "as in 'kivo-read /dev/ttyUSB2'"))
        << None.Err;
    const auto List = Read({"--list"});
    EXPECT_EQ(List.ExitCode, 0);
    EXPECT_EQ(List.Out, "");
    EXPECT_EQ(List.Err, "kivo-read: no serial port found\n");
    const auto Scan = Read({"--scan"});
    EXPECT_EQ(Scan.ExitCode, 1);
    EXPECT_EQ(Scan.Out, "");
    EXPECT_EQ(Scan.Err, "kivo-read: no serial port found to scan\n");

    Devices.Add("huawei-stick.umockdev");
    TPhoneSim Modem;
    Devices.Attach("/dev/ttyUSB0", Modem.DevicePath());
    const auto One = Read({});
    EXPECT_EQ(One.ExitCode, 0) << One.Err;
    EXPECT_NE(One.Out.find("Serial Number: 357421098765438\n"), std::string::npos) << One.Out;

    Devices.Add("phone-acm.umockdev");
    const auto Several = Read({});
    EXPECT_EQ(Several.ExitCode, 2);
    EXPECT_EQ(Several.Out, "");
    for (const char* Port : {"/dev/ttyACM0 (", "/dev/ttyUSB0 ("}) {
        EXPECT_NE(Several.Err.find(Port), std::string::npos) << Several.Err;
    }
    EXPECT_TRUE(Several.Err.starts_with("kivo-read: several USB devices found: ")) << Several.Err;
}

// A modem behind a UART answers only at its own speed: the scan searches it there (the
// phone answers at any), and probes a USB modem's port, whose speed
// means nothing, once at the given one. (The search itself is shown against a phone with a
// speed of its own in ReadTest: the mocked nodes do not pass the speed on.)
TEST(KivoReadPorts, ScanSearchesTheLineSpeedOnUartsAndAdaptersOnly) {
    MockDevices Devices;
    Devices.Add("onboard-uarts.umockdev");
    Devices.Add("huawei-stick.umockdev");
    TPhoneSim Uart;
    TPhoneSim Usb;
    Devices.Attach("/dev/ttyS2", Uart.DevicePath());
    Devices.Attach("/dev/ttyUSB0", Usb.DevicePath());
    const auto Result = Read({"--scan", "--json"});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_NE(
        ObjectFor(Result.Out, "port", "/dev/ttyS2").find("\"outcome\": \"answered\", \"baud\": "),
        std::string::npos)
        << Result.Out;
    const std::string OnUsb = ObjectFor(Result.Out, "port", "/dev/ttyUSB0");
    EXPECT_NE(OnUsb.find("\"outcome\": \"answered\", \"fields\""), std::string::npos) << OnUsb;
    // --baud names the speed: nothing is searched.
    const auto Given = Read({"--scan", "--json", "--baud", "9600"});
    EXPECT_EQ(Given.Out.find("\"baud\""), std::string::npos) << Given.Out;
}

// A stop request is taken at once, also while a port's open does not return.
TEST(KivoReadPorts, InterruptEndsTheReadAtOnceWhileAPortIsStillOpening) {
    MockDevices Devices;
    Devices.Add("huawei-stick.umockdev");
    TPhoneSim Phone;
    Devices.AttachHeld("/dev/ttyUSB2", Phone.DevicePath());
    TBackgroundProcess Reader(KIVO_READ_PATH, {"--port", "/dev/ttyUSB2", "--json"});
    ASSERT_TRUE(Devices.WaitUntilHeld("/dev/ttyUSB2", std::chrono::seconds(10)));
    EXPECT_EQ(Reader.Stop(SIGINT), 128 + SIGINT);
    EXPECT_EQ(Reader.ReadLine(), "{\"version\": 1, \"error\": \"Interrupted.\"}");
}

} // namespace

// umockdev's test bed answers the mocked nodes on a worker thread of its own, in libraries
// ThreadSanitizer does not see into; what it reports there is theirs.
extern "C" const char* __tsan_default_suppressions() { // NOLINT: the sanitizer's hook
    return "race:libumockdev.so\nrace:libglib-2.0.so\n";
}
