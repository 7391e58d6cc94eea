// kivo-read --watch over mocked devices plugged in and pulled out while it runs (umockdev;
// run under umockdev-wrapper): each device's "add" uevent reaches the watch, and its node
// leads to a simulated phone from the start.

#include "tests/support/MockDevices.h"
#include "tests/tools/DeviceClient.h"
#include "tests/tools/SimOptions.h"
#include "tools/PhoneSim.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

using kivo::test::MockDevices;

constexpr auto Bound = std::chrono::seconds(10); // for what must come, not how soon

constexpr std::string_view Waiting =
    "kivo-read: waiting for phones to be plugged in; each is read as it comes (Ctrl+C ends)";

// The phone of phone-acm.umockdev: its USB device and its tty.
constexpr std::string_view AcmDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
constexpr std::string_view AcmTty =
    "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.1/tty/ttyACM0";

bool Contains(const std::string& Text, std::string_view Part) {
    return Text.find(Part) != std::string::npos;
}

TEST(KivoReadWatch, ReadsEachPhoneAsItIsPluggedInAndNoneThatWasThereBefore) {
    MockDevices Devices;
    Devices.Add("onboard-uarts.umockdev");
    TPhoneSim Before;
    Devices.Attach("/dev/ttyS2", Before.DevicePath());
    TBackgroundProcess Reader(KIVO_READ_PATH, {"--watch", "--json", "--timeout", "60"}, true);
    ASSERT_EQ(Reader.ReadLine(Bound), Waiting);
    EXPECT_EQ(Reader.ReadLine(Bound),
              "kivo-read: present before, not read: /dev/ttyS0, /dev/ttyS2, /dev/ttyS10");

    TPhoneSim First;
    Devices.Plug("phone-acm.umockdev", "/dev/ttyACM0", First.DevicePath());
    const std::string Line = Reader.ReadLine(Bound);
    EXPECT_TRUE(Line.starts_with("{\"version\": 1, \"port\": \"/dev/ttyACM0\", ")) << Line;
    EXPECT_TRUE(Contains(Line, "\"outcome\": \"answered\", \"fields\"")) << Line; // no search
    EXPECT_TRUE(Contains(Line, "\"CGSN\": \"357421098765438\"}")) << Line;

    TPhoneSim Second(WithEcho(TEchoMode::emCR));
    Devices.Plug("ftdi-adapter.umockdev", "/dev/ttyUSB3", Second.DevicePath());
    const std::string Next = Reader.ReadLine(Bound);
    EXPECT_TRUE(Next.starts_with("{\"version\": 1, \"port\": \"/dev/ttyUSB3\", ")) << Next;
    EXPECT_TRUE(Contains(Next, "\"outcome\": \"answered\", \"baud\": ")) << Next; // an adapter

    EXPECT_EQ(Reader.Stop(SIGTERM), 128 + SIGTERM);
    EXPECT_EQ(Reader.ReadLine(std::chrono::milliseconds(0)), "");
    EXPECT_EQ(Before.CommandCount(), 0);
}

// The watch names the command, the port and the bound of a reply that did not come, as a
// read does.
TEST(KivoReadWatch, AReplyNotInTimeNamesItsCommandPortAndBound) {
    MockDevices Devices;
    TBackgroundProcess Reader(KIVO_READ_PATH, {"--watch", "--timeout", "0.5"}, true);
    ASSERT_EQ(Reader.ReadLine(Bound), Waiting);
    TPhoneSim Stalling(Failing("+CGMM", TFailure::fSilent));
    Devices.Plug("phone-acm.umockdev", "/dev/ttyACM0", Stalling.DevicePath());
    const std::string Head = Reader.ReadLine(Bound);
    EXPECT_TRUE(Head.starts_with("/dev/ttyACM0 (")) << Head;
    EXPECT_TRUE(Head.ends_with("): phone-error: ERROR: No answer from phone to AT+CGMM on "
                               "/dev/ttyACM0 within 0.5 s (timeout)."))
        << Head;
    EXPECT_EQ(Reader.Stop(SIGTERM), 128 + SIGTERM);
}

TEST(KivoReadWatch, ADevicePulledOutDuringItsReadIsNamedAndReadAgainWhenPluggedBackIn) {
    MockDevices Devices;
    TBackgroundProcess Reader(KIVO_READ_PATH, {"--watch", "--timeout", "60"}, true);
    ASSERT_EQ(Reader.ReadLine(Bound), Waiting);
    {
        TPhoneSim Stalling(Failing("+CGMM", TFailure::fSilent));
        Devices.Plug("phone-acm.umockdev", "/dev/ttyACM0", Stalling.DevicePath());
        ASSERT_TRUE(Stalling.WaitForCommands(3, Bound)); // AT, +CGMI, +CGMM
        Devices.Remove(std::string(AcmDevice), std::string(AcmTty));
    } // the phone's end of the line closes, as an unplugged device's does
    const std::string Gone = Reader.ReadLine(Bound);
    EXPECT_TRUE(Gone.starts_with("kivo-read: /dev/ttyACM0 (")) << Gone;
    EXPECT_TRUE(Contains(Gone, ") went away during its read, skipped: Lost the device "
                               "/dev/ttyACM0: "))
        << Gone;

    TPhoneSim Again;
    Devices.Plug("phone-acm.umockdev", "/dev/ttyACM0", Again.DevicePath());
    const std::string Head = Reader.ReadLine(Bound);
    EXPECT_TRUE(Head.starts_with("/dev/ttyACM0 (") && Head.ends_with("): answered")) << Head;
    EXPECT_EQ(Reader.ReadLine(Bound), "Phone Manufacturer: Kestrel Mobile");

    // A phone that leaves a command unanswered: a stop ends its read at once, unprinted.
    TPhoneSim Stalling(Failing("+CGMM", TFailure::fSilent));
    Devices.Plug("ftdi-adapter.umockdev", "/dev/ttyUSB3", Stalling.DevicePath());
    ASSERT_TRUE(Stalling.WaitForCommands(3, Bound));
    EXPECT_EQ(Reader.Stop(SIGINT), 128 + SIGINT);
    std::string Rest;
    for (std::string Line; !(Line = Reader.ReadLine(std::chrono::milliseconds(0))).empty();) {
        Rest += Line + "\n";
    }
    EXPECT_EQ(Rest.find("ttyUSB3"), std::string::npos) << Rest;
}

// The line ends before the watch hears of the removal, and that notice comes only once the
// device is back: the device is read again all the same.
TEST(KivoReadWatch, ADeviceLostInItsReadIsReadAgainWhenItsRemovalIsHeardOnlyOnceItIsBack) {
    MockDevices Devices;
    TBackgroundProcess Reader(KIVO_READ_PATH, {"--watch", "--timeout", "60"}, true);
    ASSERT_EQ(Reader.ReadLine(Bound), Waiting);
    {
        TPhoneSim Stalling(Failing("+CGMM", TFailure::fSilent));
        Devices.Plug("phone-acm.umockdev", "/dev/ttyACM0", Stalling.DevicePath());
        ASSERT_TRUE(Stalling.WaitForCommands(3, Bound));
    }
    const std::string Gone = Reader.ReadLine(Bound);
    EXPECT_TRUE(Contains(Gone, ") went away during its read, skipped: ")) << Gone;

    TPhoneSim Again;
    Reader.Hold(); // the removal and the new arrival wait as one notice
    Devices.Remove(std::string(AcmDevice), std::string(AcmTty));
    Devices.Plug("phone-acm.umockdev", "/dev/ttyACM0", Again.DevicePath());
    Reader.Release();
    const std::string Head = Reader.ReadLine(Bound);
    EXPECT_TRUE(Head.starts_with("/dev/ttyACM0 (") && Head.ends_with("): answered")) << Head;
    EXPECT_EQ(Reader.Stop(SIGTERM), 128 + SIGTERM);
}

} // namespace
