// The window's port list on the Win32 backend, under Wine: a USB modem's port registered
// while the window runs is listed by its COM name and friendly name once WM_DEVICECHANGE
// tells of it, whole in the dropped-down list, and leaves the list when it is removed. Wine sends
// no such message when a test registers a device, so the test sends it to the backend's watch
// window itself.

#include "app/Start.h"
#include "tests/windows/RegisteredPort.h"
#include "ui/Forms.h"

#include <dbt.h>
#include <gtest/gtest.h>
#include <memory>

namespace {

using kivo::test::RegisteredPort;

void TellOfDeviceChange(WPARAM Event) {
    const HWND Watch = FindWindowExA(HWND_MESSAGE, nullptr, "KivoPortWatch", nullptr);
    ASSERT_NE(Watch, nullptr);
    SendMessageA(Watch, WM_DEVICECHANGE, Event, 0);
}

TEST(Win32PortList, FollowsAModemPortRegisteredAndRemovedWhileTheWindowRuns) {
    TApplication App;
    auto Form = std::make_unique<TfrmStart>(nullptr);
    Form->Show();
    const std::size_t Before = Form->cbPort->Items().size();
    EXPECT_EQ(Form->cbPort->Text(), "COM 4");

    auto Modem = std::make_unique<RegisteredPort>(
        "COM12", "USB\\VID_12D1&PID_1001&MI_02", "HUAWEI Mobile Connect - PC UI Interface (COM12)");
    if (!Modem->Registered()) {
        GTEST_SKIP() << "registering a device needs an administrator";
    }
    TellOfDeviceChange(DBT_DEVICEARRIVAL);
    ASSERT_EQ(Form->cbPort->Items().size(), Before + 1);
    EXPECT_EQ(Form->cbPort->Items().back(), "COM12 - HUAWEI Mobile Connect - PC UI Interface");
    EXPECT_EQ(Form->cbPort->Text(), "COM12 - HUAWEI Mobile Connect - PC UI Interface")
        << "the one USB device plugged in is chosen";
    const HWND Combo =
        FindWindowExA(FindWindowA("KivoForm", nullptr), nullptr, "COMBOBOX", nullptr);
    EXPECT_GT(SendMessageA(Combo, CB_GETDROPPEDWIDTH, 0, 0), 200) << "the list shows whole labels";

    Modem.reset();
    TellOfDeviceChange(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(Form->cbPort->Items().size(), Before);
    EXPECT_EQ(Form->cbPort->Text(), "COM 4");
}

} // namespace
