// PurgeComm and FlushFileBuffers on a serial device handle, against a pseudo-terminal.

#include "tests/platform/SerialTestSupport.h"

#include <thread>

namespace kivo::test {
namespace {

class PurgeAndFlush : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FPort.IsOpen()) << MessageOf(FPort.OpenError());
        FPort.Configure(16);
        ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    }

    // Starts a write that stays pending while the terminal's output is held.
    void StartHeldWrite(Overlapped& Write) {
        FPty.HoldOutput(true);
        DWORD Written = 0;
        ASSERT_FALSE(WriteFile(FPort.Handle(), "held", 4, &Written, &Write.Record));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    PtyPair FPty;
    Port FPort{FPty.DevicePath()};
};

// The queue fills; what does not fit waits in the kernel. Both go, and a pending wait with
// them: it goes on and reports the next byte.
TEST_F(PurgeAndFlush, ClearingInputDiscardsTheQueueAndTheKernelsBytesAndKeepsTheWait) {
    ASSERT_TRUE(FPty.Send(Letters(100)));
    while (FPort.Status().cbInQue < 16) {
        ASSERT_NE(FPort.WaitEvents(), 0u) << "the queue never filled";
    }
    ASSERT_TRUE(PurgeComm(FPort.Handle(), PURGE_RXCLEAR));
    EXPECT_EQ(FPort.Status().cbInQue, 0u);

    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR)); // forgets the events latched so far
    Overlapped Wait;
    DWORD Events = 0;
    StartWaiting(FPort, Wait, Events);
    ASSERT_TRUE(PurgeComm(FPort.Handle(), PURGE_RXCLEAR | PURGE_RXABORT));
    EXPECT_FALSE(Wait.Completed(0)) << "the wait ended with the purge";
    ASSERT_TRUE(FPty.Send("new"));
    ASSERT_TRUE(Wait.Completed());
    EXPECT_EQ(Events, EV_RXCHAR);
    EXPECT_EQ(FPort.ReadExactly(3), "new");

    EXPECT_FALSE(PurgeComm(FPort.Handle(), 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PurgeAndFlush, AbortingOutputEndsPendingWritesAndClearingDiscardsWhatIsQueued) {
    Overlapped Write;
    StartHeldWrite(Write);
    EXPECT_EQ(FPort.Status().cbOutQue, 4u);
    ASSERT_TRUE(PurgeComm(FPort.Handle(), PURGE_TXABORT | PURGE_TXCLEAR));
    DWORD Written = 0;
    EXPECT_FALSE(GetOverlappedResult(FPort.Handle(), &Write.Record, &Written, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(FPort.Status().cbOutQue, 0u);

    FPty.HoldOutput(false);
    Overlapped Next;
    ASSERT_TRUE(WriteFile(FPort.Handle(), "next", 4, &Written, &Next.Record));
    EXPECT_EQ(FPty.Receive(4), "next");
}

TEST_F(PurgeAndFlush, FlushingReturnsOnceEveryPendingWriteHasCompleted) {
    Overlapped Write;
    StartHeldWrite(Write);
    BOOL Flushed = FALSE;
    BOOL WriteDoneThen = FALSE;
    std::thread Flusher([&] {
        Flushed = FlushFileBuffers(FPort.Handle());
        DWORD Written = 0;
        WriteDoneThen = GetOverlappedResult(FPort.Handle(), &Write.Record, &Written, FALSE);
    });
    FPty.HoldOutput(false);
    Flusher.join();
    EXPECT_TRUE(Flushed);
    EXPECT_TRUE(WriteDoneThen) << "the flush returned before the write completed";
    EXPECT_EQ(FPty.Receive(4), "held");
}

} // namespace
} // namespace kivo::test
