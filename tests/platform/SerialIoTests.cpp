// Reading, writing, events, cancellation and closing on a serial device handle whose other
// end is the master side of a pseudo-terminal.

#include "tests/platform/SerialTestSupport.h"
#include "tests/support/AskUntil.h"

#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace kivo::test {
namespace {

// Whether the thread Id of this process sleeps (blocked in a wait), from /proc.
bool ThreadSleeps(pid_t Id) {
    std::ifstream Stat("/proc/self/task/" + std::to_string(Id) + "/stat");
    std::string Line;
    std::getline(Stat, Line);
    const auto Close = Line.rfind(')');
    return Close != std::string::npos && Close + 2 < Line.size() && Line[Close + 2] == 'S';
}

class SerialIo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FPort.IsOpen()) << MessageOf(FPort.OpenError());
        FPort.Configure();
    }
    PtyPair FPty;
    Port FPort{FPty.DevicePath()};
};

TEST_F(SerialIo, BytesWrittenReachTheOtherEndAndItsBytesAreRead) {
    Overlapped Write;
    const std::string Command = "AT+CGMI\r\n";
    DWORD Written = 0;
    const BOOL Done = WriteFile(FPort.Handle(), Command.data(), static_cast<DWORD>(Command.size()),
                                &Written, &Write.Record);
    ASSERT_TRUE(Done || GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(Write.Completed());
    ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &Write.Record, &Written, FALSE));
    EXPECT_EQ(Written, Command.size());
    EXPECT_EQ(FPty.Receive(Command.size()), Command);

    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    FPty.Send("\r\nNokia\r\n\r\nOK\r\n");
    EXPECT_EQ(FPort.ReadExactly(15), "\r\nNokia\r\n\r\nOK\r\n");
}

TEST_F(SerialIo, LargeTransfersArriveCompleteAndInOrder) {
    std::string Data;
    for (int I = 0; Data.size() < 100000; ++I) {
        Data += std::to_string(I) + ',';
    }
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    ASSERT_TRUE(SetupComm(FPort.Handle(), 200000, 0));
    std::thread Sender([&] { FPty.Send(Data); });
    const std::string Got = FPort.ReadExactly(Data.size());
    Sender.join();
    EXPECT_EQ(Got, Data);

    Overlapped Write;
    DWORD Written = 0;
    std::string Echo;
    std::thread Receiver([&] { Echo = FPty.Receive(Data.size()); });
    if (WriteFile(FPort.Handle(), Data.data(), static_cast<DWORD>(Data.size()), &Written,
                  &Write.Record) == FALSE) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &Write.Record, &Written, TRUE));
    }
    Receiver.join();
    EXPECT_EQ(Written, Data.size());
    EXPECT_EQ(Echo, Data);
}

std::string Numbered(std::size_t Size) {
    std::string Data;
    for (int I = 0; Data.size() < Size; ++I) {
        Data += std::to_string(I) + ',';
    }
    Data.resize(Size);
    return Data;
}

// Without flow control, an answer longer than the input queue that arrives in one burst, and
// a megabyte sent as fast as the terminal takes it, reach the reader whole: what the queue
// has no room for waits in the kernel.
TEST_F(SerialIo, BurstsLargerThanTheInputQueueArriveWholeAndInOrder) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    const std::string Answer = Numbered(3000);
    ASSERT_TRUE(FPty.Send(Answer));
    const std::string GotAnswer = FPort.ReadExactly(Answer.size());
    EXPECT_EQ(GotAnswer.size(), Answer.size());
    EXPECT_TRUE(GotAnswer == Answer) << "bytes lost or out of order";
    EXPECT_EQ(FPort.TakeErrors(), 0u);

    const std::string Stream = Numbered(1 << 20);
    bool AllSent = false;
    std::thread Sender([&] { AllSent = FPty.Send(Stream, std::chrono::minutes(2)); });
    const std::string GotStream = FPort.ReadExactly(Stream.size());
    Sender.join();
    EXPECT_TRUE(AllSent);
    EXPECT_EQ(GotStream.size(), Stream.size());
    EXPECT_TRUE(GotStream == Stream) << "bytes lost or out of order";
    EXPECT_EQ(FPort.TakeErrors(), 0u);
}

// A thread began to wait for the event character while the input queue was full, so it had
// nothing to watch (a wait for received bytes would have ended at once); another thread then
// reads the queue. The bytes still waiting in the kernel must reach the queue and end the wait.
TEST_F(SerialIo, AWaitBegunOnAFullQueueEndsOnceAnotherThreadMakesRoom) {
    DCB Dcb = Port::PlainDcb();
    Dcb.EvtChar = ',';
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    ASSERT_TRUE(SetupComm(FPort.Handle(), 512, 512));
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXFLAG));
    ASSERT_TRUE(FPty.Send(Numbered(600)));
    (void)AskUntil([&] { return FPort.Status().cbInQue >= 512; });
    ASSERT_EQ(FPort.Status().cbInQue, 512u);
    ASSERT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_RXFLAG)); // latched while filling

    Overlapped Wait;
    DWORD Events = 0;
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Wait.Record));
    std::atomic<pid_t> WaiterId{0};
    bool Ended = false;
    std::thread Waiter([&] {
        WaiterId = gettid();
        Ended = Wait.Completed();
    });
    (void)AskUntil([&] { return WaiterId != 0 && ThreadSleeps(WaiterId); });
    std::string Room(512, '\0');
    Overlapped Read;
    DWORD Got = 0;
    EXPECT_TRUE(ReadFile(FPort.Handle(), Room.data(), 512, &Got, &Read.Record));
    EXPECT_EQ(Got, 512u);
    Waiter.join();
    EXPECT_TRUE(Ended);
    EXPECT_EQ(Events, static_cast<DWORD>(EV_RXFLAG));
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    EXPECT_EQ(FPort.ReadExactly(88).size(), 88u);
}

// Right after a receive event the count may leave out what came since (it comes with the next
// event); a program that then only polls the count must still see those bytes soon.
TEST_F(SerialIo, ACountPolledAfterAReceiveEventSeesTheBytesThatCameSince) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    ASSERT_TRUE(FPty.Send("first"));
    ASSERT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_RXCHAR));
    ASSERT_TRUE(FPty.Send("second"));
    (void)AskUntil([&] { return FPort.Status().cbInQue >= 11; });
    EXPECT_EQ(FPort.Status().cbInQue, 11u);
    EXPECT_EQ(FPort.ReadQueued(), "firstsecond");
}

TEST_F(SerialIo, EveryByteValuePassesUnchangedBothWays) {
    std::string All;
    for (int Value = 0; Value < 256; ++Value) {
        All.push_back(static_cast<char>(Value));
    }
    // What the kernel uses to mark errors and breaks, as plain data.
    All.append("\377\377\377\0\0\377\0", 7);
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    FPty.Send(All);
    EXPECT_EQ(FPort.ReadExactly(All.size()), All);
    DWORD Written = 0;
    Overlapped Write;
    if (WriteFile(FPort.Handle(), All.data(), static_cast<DWORD>(All.size()), &Written,
                  &Write.Record) == FALSE) {
        ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &Write.Record, &Written, TRUE));
    }
    EXPECT_EQ(FPty.Receive(All.size()), All);
    EXPECT_EQ(FPort.TakeErrors(), 0u);
}

TEST_F(SerialIo, AnImmediateReadOfAnEmptyQueueCompletesWithNothing) {
    char Buffer[16];
    Overlapped Read;
    DWORD Got = 99;
    ASSERT_TRUE(ReadFile(FPort.Handle(), Buffer, sizeof Buffer, &Got, &Read.Record));
    EXPECT_EQ(Got, 0u);
    EXPECT_TRUE(Read.Completed(0)) << "an immediate completion also signals the event";
    ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &Read.Record, &Got, FALSE));
    EXPECT_EQ(Got, 0u);
}

TEST_F(SerialIo, EventsThatHappenBetweenWaitsAreLatched) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR | EV_TXEMPTY));
    // A read that waits for all three bytes, so the bytes are consumed before any wait.
    COMMTIMEOUTS Blocking{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(FPort.Handle(), &Blocking));
    char Buffer[3];
    Overlapped Read;
    DWORD Got = 0;
    ASSERT_FALSE(ReadFile(FPort.Handle(), Buffer, sizeof Buffer, &Got, &Read.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    FPty.Send("abc");
    ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &Read.Record, &Got, TRUE));
    EXPECT_EQ(std::string(Buffer, Got), "abc");

    EXPECT_EQ(FPort.Status().cbInQue, 0u);
    DWORD Events = 0;
    Overlapped Wait;
    ASSERT_TRUE(WaitCommEvent(FPort.Handle(), &Events, &Wait.Record))
        << "the receive event was latched while no wait was pending";
    EXPECT_EQ(Events, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_TRUE(Wait.Completed(0));
}

TEST_F(SerialIo, TransmitEmptyFollowsAWrite) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_TXEMPTY));
    Overlapped Write;
    DWORD Written = 0;
    WriteFile(FPort.Handle(), "ATI\r", 4, &Written, &Write.Record);
    ASSERT_TRUE(Write.Completed());
    EXPECT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_TXEMPTY));
    EXPECT_EQ(FPty.Receive(4), "ATI\r");
}

TEST_F(SerialIo, OnlyOneWaitMayBePendingAndSetCommMaskCompletesIt) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped First;
    DWORD FirstEvents = 99;
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &FirstEvents, &First.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    Overlapped Second;
    DWORD SecondEvents = 0;
    EXPECT_FALSE(WaitCommEvent(FPort.Handle(), &SecondEvents, &Second.Record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    DWORD Count = 0;
    EXPECT_FALSE(GetOverlappedResult(FPort.Handle(), &First.Record, &Count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR | EV_ERR));
    ASSERT_TRUE(First.Completed());
    EXPECT_TRUE(GetOverlappedResult(FPort.Handle(), &First.Record, &Count, FALSE));
    EXPECT_EQ(FirstEvents, 0u);
}

// A new mask forgets the events latched under the old one, but not the bytes still queued: a
// wait that starts while bytes wait in the input queue reports them at once, as Windows' driver
// does. Were it to wait for the next byte instead, input that filled the queue before the mask
// was set (a far end that talks while the port opens) would never be reported: a full queue
// takes nothing more in, so no further byte ever comes.
TEST_F(SerialIo, AWaitReportsTheBytesQueuedWhenItStartsAlsoUnderANewMask) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    FPty.Send("ab");
    (void)AskUntil([&] { return FPort.Status().cbInQue >= 2; });
    ASSERT_EQ(FPort.ReadQueued(), "ab"); // read: only the event of their arrival is latched
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped Forgotten;
    DWORD Events = 99;
    StartWaiting(FPort, Forgotten, Events);
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    ASSERT_TRUE(Forgotten.Completed());
    EXPECT_EQ(Events, 0u);

    // Starts a wait that must complete at once; one left pending is cancelled.
    const auto ReportedAtOnce = [&](Overlapped& Wait) {
        const bool AtOnce = WaitCommEvent(FPort.Handle(), &Events, &Wait.Record) != FALSE;
        if (!AtOnce) {
            (void)CancelIo(FPort.Handle());
            (void)Wait.Completed();
        }
        return AtOnce;
    };
    FPty.Send("cd");
    (void)AskUntil([&] { return FPort.Status().cbInQue >= 2; });
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped Queued;
    EXPECT_TRUE(ReportedAtOnce(Queued)) << "bytes queued when the wait started were not reported";
    EXPECT_EQ(Events, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(FPort.ReadQueued(), "cd");

    // A full queue, more waiting in the kernel, and a new mask on top.
    const std::string Sent = Letters(600);
    ASSERT_TRUE(FPty.Send(Sent));
    (void)AskUntil([&] { return FPort.Status().cbInQue >= 512; });
    ASSERT_EQ(FPort.Status().cbInQue, 512u);
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR | EV_RX80FULL));
    Overlapped Full;
    EXPECT_TRUE(ReportedAtOnce(Full)) << "a full queue was left with nobody told";
    EXPECT_EQ(Events, static_cast<DWORD>(EV_RXCHAR | EV_RX80FULL));
    EXPECT_EQ(FPort.ReadExactly(Sent.size()), Sent);
    EXPECT_EQ(FPort.TakeErrors(), 0u);
}

// With RTS/CTS handshaking a full queue holds the sender back: what does not fit waits, and
// nothing is lost.
TEST_F(SerialIo, AHandshakingLineKeepsWhatAFullQueueCannotTake) {
    DCB Dcb = Port::PlainDcb();
    Dcb.fOutxCtsFlow = 1;
    Dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    ASSERT_TRUE(SetupComm(FPort.Handle(), 16, 16));
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    const std::string Sent = Letters(100);
    FPty.Send(Sent);
    DWORD Errors = 0;
    EXPECT_EQ(FPort.Status(&Errors).cbInQue, 16u);
    EXPECT_EQ(Errors, 0u);
    EXPECT_EQ(FPort.ReadExactly(Sent.size()), Sent);
    EXPECT_EQ(FPort.TakeErrors(), 0u);
}

TEST_F(SerialIo, AWaitBlockedInGetOverlappedResultEndsWhenBytesArrive) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped Wait;
    DWORD Events = 0;
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Wait.Record));
    std::thread Sender([&] { FPty.Send("x"); });
    DWORD Count = 0;
    EXPECT_TRUE(GetOverlappedResult(FPort.Handle(), &Wait.Record, &Count, TRUE));
    Sender.join();
    EXPECT_EQ(Events, static_cast<DWORD>(EV_RXCHAR));
}

// As on Windows, GetOverlappedResult told to wait waits on the record's event, not for the
// operation: whatever signals that event ends the wait, and a record still pending then counts
// as a success. (A caller that shares the event with other uses must not rely on the result.)
TEST_F(SerialIo, GetOverlappedResultToldToWaitWaitsOnTheRecordsEventWhoeverSignalsIt) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped Wait;
    DWORD Events = 0;
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Wait.Record));
    ASSERT_TRUE(SetEvent(Wait.Record.hEvent));
    std::promise<BOOL> Result;
    std::thread Waiter([&] {
        DWORD Count = 0;
        Result.set_value(GetOverlappedResult(FPort.Handle(), &Wait.Record, &Count, TRUE));
    });
    auto Returned = Result.get_future();
    const bool InTime =
        Returned.wait_for(std::chrono::milliseconds(Generous)) == std::future_status::ready;
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR)); // ends the wait itself
    Waiter.join();
    ASSERT_TRUE(InTime) << "GetOverlappedResult waited for the operation";
    EXPECT_TRUE(Returned.get());
}

// A thread waiting on an operation's event takes the device's input in itself; every other way
// of learning of the end must still see it, or such a caller would wait forever.
TEST_F(SerialIo, APendingWaitEndsForCallersThatOnlyAskOrWatchAnotherDevice) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    // The records and masks of the waits outlive both ports: a wait still pending when the
    // test ends (the last one on FPort, or any after a failed assertion) is ended by the
    // port's close, which writes its result into them.
    DWORD Events = 0;
    DWORD TheirEvents = 0;
    DWORD Count = 0;
    Overlapped Asked;
    Overlapped Looked;
    Overlapped Mine;
    Overlapped Theirs;
    struct TClosedFirst {
        Port* Closed;
        ~TClosedFirst() { Closed->Close(); }
    };
    const TClosedFirst ClosesFPort{&FPort};
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Asked.Record));
    EXPECT_FALSE(GetOverlappedResult(FPort.Handle(), &Asked.Record, &Count, FALSE));
    FPty.Send("a");
    EXPECT_TRUE(AskUntil(
        [&] { return GetOverlappedResult(FPort.Handle(), &Asked.Record, &Count, FALSE) != 0; }));
    ASSERT_EQ(FPort.ReadExactly(1), "a");

    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Looked.Record));
    EXPECT_FALSE(Looked.Completed(0));
    FPty.Send("b");
    EXPECT_TRUE(AskUntil([&] { return Looked.Completed(0); }));
    ASSERT_EQ(FPort.ReadExactly(1), "b");

    const PtyPair OtherPty;
    const Port Other(OtherPty.DevicePath());
    Other.Configure();
    ASSERT_TRUE(SetCommMask(Other.Handle(), EV_RXCHAR));
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Mine.Record));
    ASSERT_FALSE(WaitCommEvent(Other.Handle(), &TheirEvents, &Theirs.Record));
    OtherPty.Send("c");
    const std::array<HANDLE, 2> Both{Mine.Event.Handle(), Theirs.Event.Handle()};
    EXPECT_EQ(WaitForMultipleObjects(2, Both.data(), FALSE, Generous), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(TheirEvents, static_cast<DWORD>(EV_RXCHAR));
}

// A thread may go to sleep on an event before the operation that signals it starts, or be
// unable to poll the device (no descriptor left for its wake-up): the device's input must
// still reach the operation and wake the thread.
TEST_F(SerialIo, AThreadAsleepOnAnEventBeforeItsReadStartsIsWokenByTheBytes) {
    COMMTIMEOUTS Blocking{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(FPort.Handle(), &Blocking));
    Overlapped Read;
    std::atomic<pid_t> WaiterId{0};
    bool Woken = false;
    std::thread Waiter([&] {
        WaiterId = gettid();
        Woken = Read.Completed();
    });
    (void)AskUntil([&] { return WaiterId != 0 && ThreadSleeps(WaiterId); });
    char Buffer[2] = {};
    DWORD Got = 0;
    EXPECT_FALSE(ReadFile(FPort.Handle(), Buffer, sizeof Buffer, &Got, &Read.Record));
    EXPECT_TRUE(FPty.Send("ab"));
    Waiter.join();
    EXPECT_TRUE(Woken);
    EXPECT_TRUE(GetOverlappedResult(FPort.Handle(), &Read.Record, &Got, FALSE));
    EXPECT_EQ(std::string(Buffer, Got), "ab");
}

TEST_F(SerialIo, AWaitingThreadWithoutADescriptorForItsWakeUpStillSeesTheInput) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker probes memory through a pipe of its own: with no
    // descriptor left it takes every object it checks for a bad one.
    GTEST_SKIP() << "the sanitizer runtime needs descriptors while the limit is 0";
#endif
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped Wait;
    DWORD Events = 0;
    StartWaiting(FPort, Wait, Events);
    ASSERT_TRUE(FPty.Send("a"));
    bool Ended = false;
    // A thread of its own: a thread makes its wake-up descriptor on its first wait.
    std::thread Waiter([&] {
        rlimit Old{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &Old), 0);
        rlimit None = Old;
        None.rlim_cur = 0; // no new descriptor for anyone until the wait is over
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &None), 0);
        Ended = Wait.Completed();
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &Old), 0);
    });
    Waiter.join();
    EXPECT_TRUE(Ended);
    EXPECT_EQ(Events, static_cast<DWORD>(EV_RXCHAR));
}

// Fills the terminal's output until a write stays pending: nobody reads the other end.
void StartStuckWrite(const Port& P, const std::string& Data, Overlapped& Write) {
    DWORD Written = 0;
    for (int Tries = 0; Tries < 1000; ++Tries) {
        Write.Record = OVERLAPPED{};
        Write.Record.hEvent = Write.Event.Handle();
        if (WriteFile(P.Handle(), Data.data(), static_cast<DWORD>(Data.size()), &Written,
                      &Write.Record) == FALSE) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            return;
        }
    }
    FAIL() << "the output never filled";
}

struct PendingSet {
    Overlapped Wait;
    Overlapped Read;
    Overlapped Write;
    DWORD Events = 0;
    char Buffer[8] = {};
    std::string Data = std::string(65536, 'w');
};

void StartOnePendingOfEach(const Port& P, PendingSet& Set) {
    ASSERT_TRUE(SetCommMask(P.Handle(), EV_RXCHAR));
    ASSERT_FALSE(WaitCommEvent(P.Handle(), &Set.Events, &Set.Wait.Record));
    COMMTIMEOUTS Blocking{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(P.Handle(), &Blocking));
    DWORD Got = 0;
    ASSERT_FALSE(ReadFile(P.Handle(), Set.Buffer, sizeof Set.Buffer, &Got, &Set.Read.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    StartStuckWrite(P, Set.Data, Set.Write);
}

void ExpectAborted(HANDLE Handle, Overlapped& Op) {
    ASSERT_TRUE(Op.Completed(0)) << "completed before the call returned";
    DWORD Count = 0;
    EXPECT_FALSE(GetOverlappedResult(Handle, &Op.Record, &Count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(SerialIo, CancelIoCompletesEveryPendingOperationWithAborted) {
    PendingSet Set;
    StartOnePendingOfEach(FPort, Set);
    ASSERT_TRUE(CancelIo(FPort.Handle()));
    ExpectAborted(FPort.Handle(), Set.Wait);
    ExpectAborted(FPort.Handle(), Set.Read);
    ExpectAborted(FPort.Handle(), Set.Write);

    // The handle goes on working.
    FPty.Send("z");
    EXPECT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_RXCHAR));
}

// As on Windows, CancelIo ends what the calling thread started: a thread that gives up on
// its read and write does not end the event thread's wait.
TEST_F(SerialIo, CancelIoEndsOnlyTheCallingThreadsOperations) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped Wait;
    DWORD Events = 0;
    StartWaiting(FPort, Wait, Events);

    PendingSet Other;
    std::thread Caller([&] {
        COMMTIMEOUTS Blocking{0, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(FPort.Handle(), &Blocking));
        DWORD Got = 0;
        ASSERT_FALSE(
            ReadFile(FPort.Handle(), Other.Buffer, sizeof Other.Buffer, &Got, &Other.Read.Record));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        StartStuckWrite(FPort, Other.Data, Other.Write);
        ASSERT_TRUE(CancelIo(FPort.Handle()));
    });
    Caller.join();
    ExpectAborted(FPort.Handle(), Other.Read);
    ExpectAborted(FPort.Handle(), Other.Write);

    EXPECT_FALSE(Wait.Completed(0)) << "another thread's CancelIo ended this thread's wait";
    FPty.Send("n");
    ASSERT_TRUE(Wait.Completed());
    EXPECT_EQ(Events, static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(SerialIo, CloseHandleCompletesEveryPendingOperationWithAborted) {
    PendingSet Set;
    StartOnePendingOfEach(FPort, Set);
    const HANDLE Old = FPort.Handle();
    FPort.Close();
    ExpectAborted(Old, Set.Wait);
    ExpectAborted(Old, Set.Read);
    ExpectAborted(Old, Set.Write);
    FPty.Send("late bytes touch nothing");
    char Buffer[4];
    DWORD Got = 0;
    Overlapped Read;
    EXPECT_FALSE(ReadFile(Old, Buffer, sizeof Buffer, &Got, &Read.Record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SerialIo, CloseFromAnotherThreadEndsAWaitBlockedInGetOverlappedResult) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped Wait;
    DWORD Events = 0;
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Wait.Record));
    const HANDLE Handle = FPort.Handle();
    std::thread Closer([&] { FPort.Close(); });
    DWORD Count = 0;
    EXPECT_FALSE(GetOverlappedResult(Handle, &Wait.Record, &Count, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    Closer.join();
}

// A thread blocked on a pending operation's event (here beside a second event, as the event
// thread waits) takes the device's bytes in itself: reads and waits complete as they do when
// the driver thread takes them, and closing the handle still ends the wait.
TEST_F(SerialIo, AThreadBlockedOnAnOperationsEventCompletesItAndACloseEndsIt) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    Overlapped Wait;
    DWORD Events = 0;
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Wait.Record));
    const OwnedEvent Other;
    const HANDLE Both[2] = {Wait.Event.Handle(), Other.Handle()};
    std::thread Sender([&] { FPty.Send("ab"); });
    EXPECT_EQ(WaitForMultipleObjects(2, Both, FALSE, Generous), WAIT_OBJECT_0);
    Sender.join();
    EXPECT_EQ(Events, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(FPort.Status().cbInQue, 2u) << "the bytes the waiting thread took are counted";

    COMMTIMEOUTS Blocking{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(FPort.Handle(), &Blocking));
    char Buffer[4];
    DWORD Got = 0;
    Overlapped Read;
    ASSERT_FALSE(ReadFile(FPort.Handle(), Buffer, sizeof Buffer, &Got, &Read.Record));
    std::thread Rest([&] { FPty.Send("cd"); });
    ASSERT_TRUE(Read.Completed());
    Rest.join();
    ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &Read.Record, &Got, FALSE));
    EXPECT_EQ(std::string(Buffer, Got), "abcd");

    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR)); // forgets the event "cd" latched
    ASSERT_FALSE(WaitCommEvent(FPort.Handle(), &Events, &Wait.Record));
    const HANDLE Handle = FPort.Handle();
    std::thread Closer([&] { FPort.Close(); });
    EXPECT_EQ(WaitForMultipleObjects(2, Both, FALSE, Generous), WAIT_OBJECT_0);
    Closer.join();
    EXPECT_FALSE(GetOverlappedResult(Handle, &Wait.Record, &Got, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(SerialIo, ReadTimeoutsFollowWindowsRules) {
    char Buffer[8];
    DWORD Got = 0;
    // A total time-out ends a read with what arrived by then.
    COMMTIMEOUTS Total{0, 0, 50, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(FPort.Handle(), &Total));
    Overlapped First;
    ASSERT_FALSE(ReadFile(FPort.Handle(), Buffer, sizeof Buffer, &Got, &First.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    FPty.Send("ab");
    ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &First.Record, &Got, TRUE));
    EXPECT_LE(Got, 2u);
    COMMTIMEOUTS Immediate{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(FPort.Handle(), &Immediate));
    std::string Received(Buffer, Got);
    Received += FPort.ReadQueued();
    EXPECT_EQ(Received, "ab");

    // MAXDWORD/MAXDWORD/constant: ends with the first bytes.
    COMMTIMEOUTS FirstBytes{MAXDWORD, MAXDWORD, Generous, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(FPort.Handle(), &FirstBytes));
    Overlapped Second;
    ASSERT_FALSE(ReadFile(FPort.Handle(), Buffer, sizeof Buffer, &Got, &Second.Record));
    FPty.Send("c");
    ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &Second.Record, &Got, TRUE));
    EXPECT_EQ(std::string(Buffer, Got), "c");
}

TEST_F(SerialIo, AHandleWithoutOverlappedBlocksInItsCalls) {
    FPort.Close();
    const Port Blocking(FPty.DevicePath(), 0);
    ASSERT_TRUE(Blocking.IsOpen()) << MessageOf(Blocking.OpenError());
    COMMTIMEOUTS AllBytes{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(Blocking.Handle(), &AllBytes));
    std::thread Sender([&] { FPty.Send("12345"); });
    char Buffer[5];
    DWORD Got = 0;
    EXPECT_TRUE(ReadFile(Blocking.Handle(), Buffer, sizeof Buffer, &Got, nullptr));
    Sender.join();
    EXPECT_EQ(std::string(Buffer, Got), "12345");
    DWORD Written = 0;
    EXPECT_TRUE(WriteFile(Blocking.Handle(), "ok", 2, &Written, nullptr));
    EXPECT_EQ(Written, 2u);
    EXPECT_EQ(FPty.Receive(2), "ok");
}

} // namespace
} // namespace kivo::test
