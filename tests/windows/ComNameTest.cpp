// COM names as Windows resolves them: COM1 to COM9 as plain names, every port (USB modems
// usually get COM10 and up) in the device namespace, "\\.\COM12". The test pairs' ports are
// numbered above nine.
#include "serial/VaComm.h"
#include "tests/support/PtyPair.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <utility>

namespace {

// The number of the pair's device port ("\\.\COM21": 21).
int PortNumber(const PtyPair& Pty) {
    const std::string& Path = Pty.DevicePath();
    return std::stoi(Path.substr(Path.rfind("COM") + 3));
}

TEST(ComNames, APortAboveNineOpensByItsNameWithoutTheDevicePrefix) {
    const PtyPair Pty;
    const int Number = PortNumber(Pty);
    ASSERT_GT(Number, 9) << "the pairs (KIVO_TEST_COM_PAIRS) must be numbered above nine";
    const std::string Digits = std::to_string(Number);
    // The stored form, and the name the component gives for it (as it was set: no prefix).
    const std::array<std::pair<std::string, std::string>, 2> Names{
        {{"COM%d", "COM" + Digits}, {"com%d", "com" + Digits}}};
    for (const auto& [Stored, Name] : Names) {
        TVaComm Comm(nullptr);
        Comm.SetDeviceName(Stored);
        Comm.SetPortNum(Number);
        ASSERT_NO_THROW(Comm.Open()) << Name;
        EXPECT_EQ(Comm.GetPortName(), Name);
        EXPECT_TRUE(Comm.WriteText("AT\r"));
        EXPECT_EQ(Pty.Receive(3), "AT\r");
    }
}

} // namespace
