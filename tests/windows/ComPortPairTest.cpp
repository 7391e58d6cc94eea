// The COM port pairs the Windows tests play devices on, checked through the same kernel32
// calls the component makes.
#include "platform/Win32Api.h"
#include "tests/support/PtyPair.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr DWORD Bound = 10000;

// The device side of a pair, opened the way the component opens a port.
class DevicePort {
public:
    explicit DevicePort(const std::string& Path)
        : FHandle(CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr)),
          FEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~DevicePort() {
        if (FHandle != INVALID_HANDLE_VALUE) {
            CloseHandle(FHandle);
        }
        CloseHandle(FEvent);
    }
    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;

    [[nodiscard]] bool IsOpen() const { return FHandle != INVALID_HANDLE_VALUE; }

    void Write(const std::string& Data) {
        OVERLAPPED Ov{};
        Ov.hEvent = FEvent;
        DWORD Done = 0;
        if (WriteFile(FHandle, Data.data(), static_cast<DWORD>(Data.size()), &Done, &Ov) == FALSE) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            ASSERT_EQ(WaitForSingleObject(FEvent, Bound), WAIT_OBJECT_0);
            ASSERT_NE(GetOverlappedResult(FHandle, &Ov, &Done, FALSE), FALSE);
        }
        EXPECT_EQ(Done, Data.size());
    }

    // Reads exactly Count bytes (no time-outs set: the read completes when all arrived).
    std::string Read(DWORD Count) {
        COMMTIMEOUTS None{};
        SetCommTimeouts(FHandle, &None);
        std::string Got(Count, '\0');
        OVERLAPPED Ov{};
        Ov.hEvent = FEvent;
        DWORD Done = 0;
        if (ReadFile(FHandle, Got.data(), Count, &Done, &Ov) == FALSE) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            if (WaitForSingleObject(FEvent, Bound) != WAIT_OBJECT_0) {
                CancelIo(FHandle);
            }
            GetOverlappedResult(FHandle, &Ov, &Done, TRUE);
        }
        Got.resize(Done);
        return Got;
    }

    // Starts a WaitCommEvent for received characters, runs WhilePending, and waits for the
    // wait to complete.
    DWORD WaitForRxChar(DWORD& Error, const std::function<void()>& WhilePending = {}) {
        SetCommMask(FHandle, EV_RXCHAR);
        OVERLAPPED Ov{};
        Ov.hEvent = FEvent;
        DWORD Mask = 0;
        DWORD Done = 0;
        Error = ERROR_SUCCESS;
        if (WaitCommEvent(FHandle, &Mask, &Ov) == FALSE) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            if (WhilePending) {
                WhilePending();
            }
            if (WaitForSingleObject(FEvent, Bound) != WAIT_OBJECT_0) {
                CancelIo(FHandle);
            }
            if (GetOverlappedResult(FHandle, &Ov, &Done, TRUE) == FALSE) {
                Error = GetLastError();
            }
        }
        return Mask;
    }

    HANDLE Handle() const { return FHandle; }

private:
    HANDLE FHandle;
    HANDLE FEvent;
};

TEST(ComPortPair, CarriesBytesBothWaysUnchanged) {
    PtyPair Pair;
    DevicePort Device(Pair.DevicePath());
    ASSERT_TRUE(Device.IsOpen()) << Pair.DevicePath();

    const std::string AllBytes = [] {
        std::string S;
        for (int C = 0; C < 256; ++C) {
            S.push_back(static_cast<char>(C));
        }
        return S;
    }();
    Pair.Send(AllBytes);
    EXPECT_EQ(Device.Read(256), AllBytes);

    Device.Write("AT+CGMI\r\n");
    EXPECT_EQ(Pair.ReceiveUntil("\r\n"), "AT+CGMI\r\n");
    Device.Write(AllBytes);
    EXPECT_EQ(Pair.Receive(256), AllBytes);
}

TEST(ComPortPair, ReceiveGivesUpAtItsTimeoutWithWhatArrived) {
    PtyPair Pair;
    DevicePort Device(Pair.DevicePath());
    ASSERT_TRUE(Device.IsOpen());
    Device.Write("OK");
    EXPECT_EQ(Pair.Receive(10, std::chrono::seconds(2)), "OK");
    EXPECT_EQ(Pair.ReceiveUntil("\r\n", std::chrono::milliseconds(300)), "");
}

TEST(ComPortPair, NextUserSeesNoneOfThePreviousUsersBytes) {
    {
        PtyPair First;
        DevicePort Device(First.DevicePath());
        ASSERT_TRUE(Device.IsOpen());
        First.Send("stale for the device");
        Device.Write("stale for the phone");
        // Both were delivered into the other side's queue; nobody reads them.
        DWORD Error = 0;
        ASSERT_NE(Device.WaitForRxChar(Error) & EV_RXCHAR, 0u);
        EXPECT_EQ(First.Receive(1), "s");
    }
    // The pool hands out pairs in order, so the next PtyPair gets the same one back.
    PtyPair Second;
    DevicePort Device(Second.DevicePath());
    ASSERT_TRUE(Device.IsOpen());
    Second.Send("x");
    EXPECT_EQ(Device.Read(1), "x");
    Device.Write("y");
    EXPECT_EQ(Second.Receive(1), "y");
}

// Wine's WaitCommEvent on a pty aborts with ERROR_OPERATION_ABORTED unless the modem-line
// ioctls succeed; the test script preloads a library that answers them. Without it the
// component could never see a received character, so this fails loudly instead. The
// characters are sent while the wait is pending, as they are when a phone answers.
TEST(ComPortPair, WaitCommEventReportsReceivedCharacters) {
    PtyPair Pair;
    DevicePort Device(Pair.DevicePath());
    ASSERT_TRUE(Device.IsOpen());
    DWORD Error = 0;
    const DWORD Mask = Device.WaitForRxChar(Error, [&] { Pair.Send("\r\nOK\r\n"); });
    ASSERT_NE(Error, static_cast<DWORD>(ERROR_OPERATION_ABORTED))
        << "WaitCommEvent aborted: run under scripts/windows/test.sh (modem-line shim)";
    EXPECT_EQ(Mask, static_cast<DWORD>(EV_RXCHAR));
}

} // namespace
