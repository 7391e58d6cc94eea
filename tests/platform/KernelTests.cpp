// Handles, events, waits, critical sections, errors and message texts.

#include "platform/Win32Api.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

// An event handle that closes itself.
class Event {
public:
    Event(bool ManualReset, bool Signalled)
        : FHandle(CreateEventA(nullptr, ManualReset, Signalled, nullptr)) {}
    ~Event() { CloseHandle(FHandle); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    [[nodiscard]] HANDLE Handle() const { return FHandle; }

private:
    HANDLE FHandle;
};

constexpr DWORD Generous = 10000;

std::string MessageText(DWORD Code, DWORD Size = 512) {
    std::string Buffer(Size, 'x');
    const DWORD Length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, Code, 0, Buffer.data(), Size, nullptr);
    return Buffer.substr(0, Length);
}

TEST(Handles, ClosedOrUnknownHandlesFailWithInvalidHandle) {
    HANDLE H = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(H, nullptr);
    ASSERT_NE(H, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(H));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(H));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(H));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(H, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(ResetEvent(nullptr));
}

TEST(Handles, AClosedHandleValueIsNotSoonReused) {
    HANDLE First = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(First);
    for (int Round = 0; Round < 1000; ++Round) {
        HANDLE Next = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(Next, First);
        CloseHandle(Next);
    }
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    const Event E(true, false);
    EXPECT_EQ(WaitForSingleObject(E.Handle(), 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(E.Handle()));
    EXPECT_EQ(WaitForSingleObject(E.Handle(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(E.Handle(), INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(E.Handle()));
    EXPECT_EQ(WaitForSingleObject(E.Handle(), 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetIsConsumedByTheWaitThatReturnsIt) {
    const Event E(false, true);
    EXPECT_EQ(WaitForSingleObject(E.Handle(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(E.Handle(), 0), WAIT_TIMEOUT);
}

TEST(Events, ShortTimeoutExpiresOnAnUnsignalledEvent) {
    const Event E(true, false);
    EXPECT_EQ(WaitForSingleObject(E.Handle(), 20), WAIT_TIMEOUT);
}

TEST(Events, AWaitingThreadWakesWhenAnotherSignals) {
    const Event Go(false, false);
    const Event Done(true, false);
    std::thread Worker([&] {
        if (WaitForSingleObject(Go.Handle(), Generous) == WAIT_OBJECT_0) {
            SetEvent(Done.Handle());
        }
    });
    SetEvent(Go.Handle());
    EXPECT_EQ(WaitForSingleObject(Done.Handle(), Generous), WAIT_OBJECT_0);
    Worker.join();
    EXPECT_EQ(WaitForSingleObject(Go.Handle(), 0), WAIT_TIMEOUT) << "the worker consumed it";
}

TEST(Events, AnAutoResetSignalReleasesExactlyOneWaiter) {
    const Event Gate(false, false);
    const Event Released(false, false);
    std::atomic<int> Woken{0};
    auto Wait = [&] {
        if (WaitForSingleObject(Gate.Handle(), Generous) == WAIT_OBJECT_0) {
            ++Woken;
            SetEvent(Released.Handle());
        }
    };
    std::thread A(Wait);
    std::thread B(Wait);
    SetEvent(Gate.Handle());
    ASSERT_EQ(WaitForSingleObject(Released.Handle(), Generous), WAIT_OBJECT_0);
    EXPECT_EQ(Woken.load(), 1);
    SetEvent(Gate.Handle());
    ASSERT_EQ(WaitForSingleObject(Released.Handle(), Generous), WAIT_OBJECT_0);
    A.join();
    B.join();
    EXPECT_EQ(Woken.load(), 2);
}

TEST(MultipleWaits, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    const Event Zero(false, false);
    const Event One(false, true);
    const Event Two(false, true);
    const HANDLE Handles[] = {Zero.Handle(), One.Handle(), Two.Handle()};
    EXPECT_EQ(WaitForMultipleObjects(3, Handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, Handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, Handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(MultipleWaits, WakesOnWhicheverEventIsSetLater) {
    const Event Stop(true, false);
    const Event Data(true, false);
    const HANDLE Handles[] = {Stop.Handle(), Data.Handle()};
    std::thread Setter([&] { SetEvent(Data.Handle()); });
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, FALSE, Generous), WAIT_OBJECT_0 + 1);
    Setter.join();
}

TEST(MultipleWaits, WaitAllNeedsEveryEvent) {
    const Event A(false, true);
    const Event B(false, false);
    const HANDLE Handles[] = {A.Handle(), B.Handle()};
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(B.Handle());
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(A.Handle(), 0), WAIT_TIMEOUT) << "both were consumed";
}

TEST(MultipleWaits, BadArgumentsFail) {
    const Event A(true, true);
    const HANDLE Handles[] = {A.Handle(), reinterpret_cast<HANDLE>(0x7)};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, Handles, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(CriticalSections, AreReentrantAndExcludeOtherThreads) {
    CRITICAL_SECTION Section{};
    InitializeCriticalSection(&Section);
    int Shared = 0;
    EnterCriticalSection(&Section);
    EnterCriticalSection(&Section);
    std::thread Other([&] {
        for (int I = 0; I < 1000; ++I) {
            EnterCriticalSection(&Section);
            ++Shared;
            LeaveCriticalSection(&Section);
        }
    });
    Shared = 100000; // the other thread cannot count until both entries are left
    LeaveCriticalSection(&Section);
    LeaveCriticalSection(&Section);
    Other.join();
    EXPECT_EQ(Shared, 101000);
    DeleteCriticalSection(&Section);
}

TEST(LastError, IsPerThread) {
    SetLastError(42);
    DWORD Seen = 1;
    std::thread([&] { Seen = GetLastError(); }).join();
    EXPECT_EQ(Seen, 0u);
    EXPECT_EQ(GetLastError(), 42u);
}

TEST(TickCount, MovesForwardWithTheMonotonicClock) {
    const DWORD Start = GetTickCount();
    const Event E(true, false);
    WaitForSingleObject(E.Handle(), 30);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - Start), 25u);
}

TEST(Messages, ErrnoCodesGiveTheSystemText) {
    EXPECT_EQ(MessageText(13), "Permission denied\r\n");
    EXPECT_EQ(MessageText(ERROR_FILE_NOT_FOUND), "No such file or directory\r\n");
    EXPECT_EQ(MessageText(5), "Input/output error\r\n");
}

TEST(Messages, TheOverlappedCodesKeepTheirWindowsTexts) {
    EXPECT_EQ(MessageText(ERROR_OPERATION_ABORTED),
              "The I/O operation has been aborted because of either a thread exit or an "
              "application request.\r\n");
    EXPECT_EQ(MessageText(ERROR_IO_INCOMPLETE),
              "Overlapped I/O event is not in a signaled state.\r\n");
    EXPECT_EQ(MessageText(ERROR_IO_PENDING), "Overlapped I/O operation is in progress.\r\n");
}

TEST(Messages, UnknownCodesAndSmallBuffersGiveNothing) {
    char Buffer[8] = "keep";
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 123456, 0, Buffer, sizeof Buffer,
                             nullptr),
              0u);
    EXPECT_STREQ(Buffer, "");
    EXPECT_EQ(MessageText(13, 8), "");
    EXPECT_EQ(MessageText(13, 19), "") << "no room for the terminating zero";
    EXPECT_EQ(MessageText(13, 20), "Permission denied\r\n");
}

} // namespace
