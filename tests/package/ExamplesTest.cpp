// The examples kivo-dev ships, run as their users would run them. port-watch over mocked
// devices (umockdev; run under umockdev-wrapper): it lists a USB stick with its USB ids and
// tells of a port plugged in and pulled out.

#include "tests/support/MockDevices.h"
#include "tests/support/PtyPair.h"
#include "tests/tools/DeviceClient.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using kivo::test::MockDevices;

constexpr auto Bound = std::chrono::seconds(10); // for what must come, not how soon

constexpr const char* FtdiDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
constexpr const char* FtdiTty =
    "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB3/tty/ttyUSB3";

TEST(PortWatchExample, ListsAUsbStickWithItsIdsThenFollowsAPortPluggedInAndPulledOut) {
    MockDevices Devices;
    Devices.Add("huawei-stick.umockdev");
    TBackgroundProcess Watch(KIVO_PORT_WATCH_PATH, {"--changes", "2", "--seconds", "60"});
    std::vector<std::string> Listed;
    for (std::string Line = Watch.ReadLine(Bound);
         !Line.empty() && Line != "following ports as they come and go";
         Line = Watch.ReadLine(Bound)) {
        Listed.push_back(Line);
    }
    EXPECT_EQ(Listed, (std::vector<std::string>{
                          "ttyUSB0  /dev/ttyUSB0  12d1:1001  HUAWEI Mobile",
                          "ttyUSB1  /dev/ttyUSB1  12d1:1001  HUAWEI Mobile",
                          "ttyUSB2  /dev/ttyUSB2  12d1:1001  HUAWEI Mobile",
                      }));

    const PtyPair Adapter; // what the plugged port's node leads to
    Devices.Plug("ftdi-adapter.umockdev", "/dev/ttyUSB3", Adapter.DevicePath());
    EXPECT_EQ(Watch.ReadLine(Bound),
              "+ ttyUSB3  /dev/ttyUSB3  0403:6001  FT232R USB UART  serial A50285BI");
    Devices.Remove(FtdiDevice, FtdiTty);
    EXPECT_EQ(Watch.ReadLine(Bound),
              "- ttyUSB3  /dev/ttyUSB3  0403:6001  FT232R USB UART  serial A50285BI");
    EXPECT_EQ(Watch.Stop(0, Bound), 0) << "ends by itself after two changes";
}

} // namespace
