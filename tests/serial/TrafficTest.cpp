// Receiving, reading, writing and the dispatch of device events, on a pseudo-terminal.

#include "serial/VaConst.h"
#include "tests/serial/CommFixture.h"
#include "tests/support/AskUntil.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

namespace {

using PortTraffic = CommTest;

// Runs Body on a thread of its own, then counts it done on the test's thread (which wakes
// the test's wait for hand-overs).
class TestThread : public TThread {
public:
    TestThread(std::function<void()> ABody, int& ADone)
        : TThread(true), FBody(std::move(ABody)), FDone(ADone) {
        Resume();
    }
    ~TestThread() override { TerminateAndWait(); }

protected:
    void Execute() override {
        FBody();
        Synchronize([this] { ++FDone; });
    }

private:
    std::function<void()> FBody;
    int& FDone;
};

// Unread bytes are reported again at the next wait (as Windows' driver does), and counted
// with the new ones: a handler that waits for five bytes reads them once all have come.
TEST_F(PortTraffic, OnRxCharCountsWaitingBytesAndReportsUnreadOnesAgain) {
    UseMainWindowSettings();
    std::vector<int> Counts;
    std::string Text;
    Comm->OnRxChar = [&](TObject* Sender, int Count) {
        EXPECT_EQ(Sender, Comm.get());
        EXPECT_GT(Count, 0);
        Counts.push_back(Count);
        // Read once the unread bytes are counted with the new ones. (The first bytes may be
        // reported again before the new ones come: Wine does so while they stay unread.)
        if (Count >= 5) {
            Text += Comm->ReadText();
            EXPECT_EQ(Comm->ReadText(), ""); // nothing new arrived meanwhile
        }
    };
    Comm->Open();
    Pty.Send("abc");
    ASSERT_TRUE(PumpUntil([&] { return std::count(Counts.begin(), Counts.end(), 3) >= 2; }))
        << "unread bytes not reported again";
    EXPECT_EQ(Comm->InQueueCount(), 3);
    Pty.Send("de");
    ASSERT_TRUE(PumpUntil([&] { return Text.size() >= 5; }));
    EXPECT_EQ(Text, "abcde");
}

// A far end that sends without pause from before the port opens fills the input queue while
// the port is being set up, before the event thread waits for the first time. Every open must
// still bring receive events and read the stream without a gap, with either queue size, and
// whether the handler takes all that waits or only a little of it each time.
#ifndef _WIN32 // the pseudo-terminal's far end floods and holds output here only
TEST_F(PortTraffic, AFarEndFloodingAcrossTheOpenIsReadWithoutAGapAfterEveryOpen) {
    const PtyFlood Flood(Pty);
    for (int Round = 0; Round < 20; ++Round) {
        Comm->Buffers()->SetReadSize(Round % 2 == 0 ? 512 : 4096);
        const bool ReadsAll = Round % 4 < 2;
        std::string Got;
        int Errors = 0;
        Comm->OnRxChar = [&](TObject*, int) {
            if (ReadsAll) {
                Got += Comm->ReadText();
                return;
            }
            char Part[100];
            Got.append(Part, static_cast<std::size_t>(Comm->ReadBuf(Part, sizeof Part)));
        };
        Comm->OnError = [&](TObject*, int Found) { Errors |= Found; };
        Comm->Open();
        const bool Received = PumpUntil([&] { return Got.size() >= 16384; });
        Comm->Close();
        ASSERT_TRUE(Received) << "open " << Round << " received " << Got.size() << " bytes";
        ASSERT_TRUE(PtyFlood::Unbroken(Got)) << "open " << Round << " lost bytes";
        EXPECT_EQ(Errors, 0) << "open " << Round;
    }
}
#endif

TEST_F(PortTraffic, ReadsReturnWaitingBytesOneForOneIncludingZeroBytes) {
    Comm->Open();
    EXPECT_EQ(Comm->ReadText(), "");
    const std::string Sent("A\0B\r\n", 5);
    Pty.Send(Sent);
    ASSERT_TRUE(PumpUntil([&] { return Comm->InQueueCount() >= 5; }));
    char Buffer[64] = {};
    EXPECT_EQ(Comm->ReadBuf(Buffer, 2), 2);
    EXPECT_EQ(std::string(Buffer, 2), Sent.substr(0, 2));
    EXPECT_EQ(Comm->ReadBuf(Buffer, sizeof Buffer), 3); // more room than bytes: what waits
    EXPECT_EQ(std::string(Buffer, 3), Sent.substr(2));
    EXPECT_EQ(Comm->ReadBuf(Buffer, sizeof Buffer), 0);

    Pty.Send(Sent);
    ASSERT_TRUE(PumpUntil([&] { return Comm->InQueueCount() >= 5; }));
    EXPECT_EQ(Comm->ReadText(), Sent);
    EXPECT_EQ(Comm->ReadText(), "");
}

TEST_F(PortTraffic, BlocksWithoutBytesOrAddressAreRefusedOnAnOpenPort) {
    Comm->Open();
    char Buffer[4] = {};
    EXPECT_THROW((void)Comm->WriteBuf(Buffer, -1), EVaCommError);
    EXPECT_THROW((void)Comm->WriteBuf(nullptr, 3), EVaCommError);
    EXPECT_THROW((void)Comm->ReadBuf(Buffer, -1), EVaCommError);
    EXPECT_THROW((void)Comm->ReadBuf(nullptr, 3), EVaCommError);
    EXPECT_EQ(Comm->ReadBuf(nullptr, 0), 0);
    EXPECT_EQ(Comm->WriteBuf(nullptr, 0), 0);
}

TEST_F(PortTraffic, AClosedPortReadsAndWritesNothingWithoutRaising) {
    char Buffer[4] = {};
    EXPECT_EQ(Comm->WriteBuf("x", 1), 0);
    EXPECT_FALSE(Comm->WriteText("x"));
    EXPECT_TRUE(Comm->WriteText(""));
    EXPECT_EQ(Comm->ReadBuf(Buffer, 4), 0);
    EXPECT_EQ(Comm->ReadText(), "");
    EXPECT_EQ(Comm->InQueueCount(), 0);
    TVaCommStatus Status;
    Status.Errors = 7;
    Comm->GetCommStatus(Status);
    EXPECT_EQ(Status.Errors, 0u);
    EXPECT_FALSE(Comm->CheckErrors());
}

TEST_F(PortTraffic, AHandlerThatRaisesIsReportedAndLaterEventsStillArrive) {
    UseMainWindowSettings();
    int Calls = 0;
    std::string Text;
    Comm->OnRxChar = [&](TObject*, int) {
        Text += Comm->ReadText();
        if (++Calls == 1) {
            throw EVaCommError("rx handler failed");
        }
    };
    Comm->Open();
    Pty.Send("1");
    ASSERT_TRUE(PumpUntil([&] { return !Reports.empty(); }));
    EXPECT_EQ(Reports, std::vector<std::string>{"rx handler failed"});
    Pty.Send("2");
    ASSERT_TRUE(PumpUntil([&] { return Text == "12"; }));
    EXPECT_EQ(Reports.size(), 1u);
}

TEST_F(PortTraffic, EventsAreDispatchedInTheirFixedOrder) {
    std::vector<std::string> Order;
    const auto Record = [&](const char* Name) {
        return TNotifyEvent([&Order, Name](TObject*) { Order.emplace_back(Name); });
    };
    Comm->OnRxFlag = Record("RxFlag");
    Comm->OnCts = Record("Cts");
    Comm->OnDsr = Record("Dsr");
    Comm->OnRing = Record("Ring");
    Comm->OnRlsd = Record("Rlsd");
    Comm->OnTxEmpty = Record("TxEmpty");
    Comm->OnBreak = Record("Break");
    Comm->OnPErr = Record("PErr");
    Comm->OnRx80Full = Record("Rx80Full");
    Comm->OnEvent1 = Record("Event1");
    Comm->OnEvent2 = Record("Event2");
    Comm->DispatchEvents(0x1FFF | 0x80000000u);
    EXPECT_EQ(Order, (std::vector<std::string>{"RxFlag", "Cts", "Dsr", "Ring", "Rlsd", "TxEmpty",
                                               "Break", "PErr", "Rx80Full", "Event1", "Event2"}));

    // A raising handler ends the set; the caller gets the exception.
    Order.clear();
    Comm->OnDsr = [](TObject*) { throw EVaCommError("dsr failed"); };
    EXPECT_THROW(Comm->DispatchEvents(EV_CTS | EV_DSR | EV_RING), EVaCommError);
    EXPECT_EQ(Order, std::vector<std::string>{"Cts"});
}

TEST_F(PortTraffic, QueuedWritesReturnAtOnceAndReportADrainedQueue) {
    UseMainWindowSettings(); // ceTxEmpty not monitored: the write thread reports it anyway
    int TxEmpty = 0;
    Comm->OnTxEmpty = [&](TObject* Sender) {
        EXPECT_EQ(Sender, Comm.get());
        ++TxEmpty;
    };
    Comm->Open();
    EXPECT_TRUE(Comm->WriteText("AT+CGMI\r\n"));
    EXPECT_EQ(TxEmpty, 0); // handlers run only when this thread processes the queue
    EXPECT_EQ(Pty.Receive(9), "AT+CGMI\r\n");
    ASSERT_TRUE(PumpUntil([&] { return TxEmpty == 1; }));

    EXPECT_TRUE(Comm->WriteText("")); // an empty text still drains and reports
    ASSERT_TRUE(PumpUntil([&] { return TxEmpty == 2; }));
}

// What WriteText(Text) ends with when run on a thread of its own: "" when queued, the message
// of its refusal, or "still waiting" when it has not ended within the generous bound.
std::string WriteOnItsOwnThread(TVaComm& Comm, const std::string& Text) {
    std::string Outcome = "still waiting";
    int Done = 0;
    const TestThread Writer(
        [&] {
            try {
                Outcome = Comm.WriteText(Text) ? "" : "cut";
            } catch (const EVaCommError& E) {
                Outcome = E.Message();
            }
        },
        Done);
    if (!PumpUntil([&] { return Done == 1; })) {
        return "still waiting";
    }
    return Outcome;
}

// A block larger than the write queue, or any block for a queue of size 0, can never fit: it
// is refused at once, not once WriteTimeout (here far beyond the test's bound) has passed.
TEST_F(PortTraffic, ABlockLargerThanTheQueueIsRefusedAtOnce) {
    UseMainWindowSettings();
    Comm->Buffers()->SetWriteTimeout(60000);
    Comm->Open();
    EXPECT_EQ(WriteOnItsOwnThread(*Comm, std::string(513, 'x')), VaConst::sOutputBufferFull);
    try { // refused at once, so also on this thread
        (void)Comm->WriteText(std::string(513, 'x'));
        ADD_FAILURE() << "a block larger than the queue was taken";
    } catch (const EVaCommError& E) {
        EXPECT_EQ(E.Code(), TVaCommErrorCode::ecOverrun);
    }
    EXPECT_TRUE(Comm->WriteText(std::string(512, 'y'))); // exactly the capacity fits
    EXPECT_EQ(Pty.Receive(512), std::string(512, 'y'));

    Comm->Close();
    Comm->Buffers()->SetWriteSize(0);
    Comm->Open();
    EXPECT_EQ(WriteOnItsOwnThread(*Comm, "x"), VaConst::sOutputBufferFull);
    EXPECT_TRUE(Comm->WriteText(""));
}

// Fills the line and the queue until a write is refused: nobody reads the other end. A
// refusal while the write thread waits to report a drained queue is no stall: the write
// thread cannot write while this thread does not run its hand-over.
void StallTheLine(TVaComm& Comm) {
    Comm.Buffers()->SetWriteTimeout(20);
    const std::string Block(static_cast<std::size_t>(Comm.Buffers()->WriteSize()), 's');
    for (int Attempt = 0; Attempt < 100000; ++Attempt) {
        try {
            Comm.WriteText(Block);
            CheckSynchronize();
        } catch (const EVaCommError&) {
            if (!CheckSynchronize()) {
                return;
            }
        }
    }
    FAIL() << "the line never stalled";
}

TEST_F(PortTraffic, AFullQueueAcceptsAnExactFitOnceTheLineMovesAgain) {
    Comm->Buffers()->SetWriteSize(64);
    Comm->Open();
    StallTheLine(*Comm);

    std::atomic<bool> Reading{true};
    std::atomic<std::size_t> Drained{0};
    std::thread Reader([&] {
        // At least one look, however soon the write is accepted: room can appear without
        // it (a stall is a refusal within 20 ms), and the write can end before this starts.
        do {
            Drained += Pty.Receive(4096, std::chrono::milliseconds(50)).size();
        } while (Reading);
    });
    Comm->Buffers()->SetWriteTimeout(10000);
    bool Accepted = false;
    try {
        Accepted = Comm->WriteText(std::string(64, 'e'));
    } catch (const EVaCommError& E) {
        ADD_FAILURE() << E.Message();
    }
    Reading = false;
    Reader.join();
    EXPECT_TRUE(Accepted);
    EXPECT_GT(Drained.load(), 0u);
}

TEST_F(PortTraffic, CloseDropsQueuedBytesWithoutOnTxEmpty) {
    int TxEmpty = 0;
    Comm->OnTxEmpty = [&](TObject*) { ++TxEmpty; };
    Comm->Buffers()->SetWriteSize(64);
    Comm->Open();
    StallTheLine(*Comm);
    CheckSynchronize(); // drained blocks before the stall have been reported by now
    const int Before = TxEmpty;
    Comm->Close();
    EXPECT_FALSE(Comm->Active());
    CheckSynchronize();
    EXPECT_EQ(TxEmpty, Before);
}

TEST_F(PortTraffic, DirectWritesReachTheLineOnTheCallersThread) {
    Comm->SetDirectWrite(true);
    Comm->SetMonitorEvents({ceRxChar, ceTxEmpty});
    int TxEmpty = 0;
    Comm->OnTxEmpty = [&](TObject*) { ++TxEmpty; };
    Comm->Open();
    EXPECT_EQ(TVaCommAccess::WriteThread(*Comm), nullptr);
    EXPECT_EQ(Comm->WriteBuf("ATI\r\n", 5), 5);
    EXPECT_EQ(Pty.Receive(5), "ATI\r\n");
    EXPECT_TRUE(Comm->WriteText("AT\r\n"));
    EXPECT_EQ(Pty.Receive(4), "AT\r\n");
    ASSERT_TRUE(PumpUntil([&] { return TxEmpty >= 1; })); // the device reports EV_TXEMPTY
}

#ifndef _WIN32 // a pseudo-terminal's bounded buffer holds the line back
TEST_F(PortTraffic, ADirectWriteThatTimesOutIsCancelledAndReportsWhatWasSent) {
    Comm->SetDirectWrite(true);
    Comm->Buffers()->SetReadTimeout(50); // the bound of a direct write
    Comm->Open();
    const std::string Big(std::size_t{4} * 1024 * 1024, 'w'); // far more than the line holds unread
    const int Written = Comm->WriteBuf(Big.data(), static_cast<int>(Big.size()));
    EXPECT_GT(Written, 0);
    EXPECT_LT(Written, static_cast<int>(Big.size()));
    // Nothing of the cancelled rest follows: the next write comes right after the count.
    std::string Line;
    std::thread Reader([&] { Line = Pty.ReceiveUntil("END"); });
    Comm->Buffers()->SetReadTimeout(10000);
    EXPECT_EQ(Comm->WriteBuf("END", 3), 3);
    Reader.join();
    EXPECT_EQ(Line.size(), static_cast<std::size_t>(Written) + 3);
    EXPECT_EQ(Line.find_first_not_of('w'), static_cast<std::size_t>(Written));
}
#endif

TEST_F(PortTraffic, NoOnRxCharReachesTheHandlerOnceThePortIsClosed) {
    UseMainWindowSettings();
    int Calls = 0;
    Comm->OnRxChar = [&](TObject*, int) { ++Calls; };
    Comm->Open();
    Pty.Send("late");
    ASSERT_TRUE(WaitForSynchronize(std::chrono::seconds(10))); // handed over, not yet run
    Comm->Close();
    CheckSynchronize();
    EXPECT_EQ(Calls, 0);
}

TEST_F(PortTraffic, AHandlerMayCloseThePortItIsCalledFor) {
    UseMainWindowSettings();
    int Closes = 0;
    Comm->OnClose = [&](TObject*) { ++Closes; };
    Comm->OnRxChar = [&](TObject*, int) {
        (void)Comm->ReadText();
        Comm->Close();
    };
    Comm->Open();
    Pty.Send("bye");
    ASSERT_TRUE(PumpUntil([&] { return Closes == 1; }));
    EXPECT_FALSE(Comm->Active());

    Comm->OnRxChar = [&](TObject*, int) { (void)Comm->ReadText(); };
    Comm->Open(); // the device was released when the closed port's thread ended
    EXPECT_TRUE(Comm->WriteText("again"));
    EXPECT_EQ(Pty.Receive(5), "again");
}

TEST_F(PortTraffic, AHandlerMayCloseAndReopenThePortAndTheDeviceIsFreeAtOnce) {
    UseMainWindowSettings();
    int Calls = 0;
    bool ClosedForOthers = false;
    Comm->OnRxChar = [&](TObject*, int) {
        (void)Comm->ReadText();
        if (++Calls > 1) {
            return;
        }
        Comm->Close();
        TVaComm Other(nullptr); // the device is closed once Close returns
        Other.SetDevicePath(Pty.DevicePath());
        Other.Open();
        ClosedForOthers = Other.Active();
        Other.Close();
        Comm->Open();
    };
    Comm->Open();
    Pty.Send("x");
    ASSERT_TRUE(PumpUntil([&] { return Calls == 1; }));
    EXPECT_TRUE(ClosedForOthers);
    EXPECT_TRUE(Comm->Active());
    EXPECT_EQ(Reports, std::vector<std::string>{});
    EXPECT_TRUE(Comm->WriteText("again"));
    EXPECT_EQ(Pty.Receive(5), "again");
    Pty.Send("y"); // the reopened port's own events arrive
    ASSERT_TRUE(PumpUntil([&] { return Calls == 2; }));
}

TEST_F(PortTraffic, AHandlerMayDestroyTheComponentItIsCalledFor) {
    UseMainWindowSettings();
    bool Destroyed = false;
    Comm->OnRxChar = [&](TObject*, int) {
        Comm.reset(); // the dispatch must not touch the component afterwards
        Destroyed = true;
    };
    Comm->Open();
    Pty.Send("x");
    ASSERT_TRUE(PumpUntil([&] { return Destroyed; }));
    CheckSynchronize();
    EXPECT_EQ(Reports, std::vector<std::string>{});

    // The device was released: a new component opens it.
    Comm = std::make_unique<TVaComm>(nullptr);
    Comm->SetDevicePath(Pty.DevicePath());
    Comm->Open();
    EXPECT_TRUE(Comm->WriteText("next"));
    EXPECT_EQ(Pty.Receive(4), "next");
}

TEST_F(PortTraffic, AHungUpLineIsReportedOnceAndThePortStillClosesAndReopens) {
    UseMainWindowSettings();
    Comm->Open();
    Pty.HangUp();
    ASSERT_TRUE(PumpUntil([&] { return !Reports.empty(); }));
    // Writing to the dead line fails quietly in the write thread; no second report.
    (void)Comm->WriteText("AT\r\n");
    CheckSynchronize();
    Comm->Close();
    EXPECT_FALSE(Comm->Active());
    // One report, in the system's own words for the failure (Wine says "Not ready").
    ASSERT_EQ(Reports.size(), 1U);
    EXPECT_TRUE(Reports[0].starts_with("Error retrieving statistics (")) << Reports[0];
    EXPECT_EQ(ReportCodes[0], TVaCommErrorCode::ecLost);
#ifndef _WIN32
    EXPECT_EQ(Reports[0], "Error retrieving statistics (5), Input/output error");
#endif

    PtyPair Fresh;
    Comm->SetDeviceName(Fresh.DevicePath());
    Comm->Open();
    EXPECT_TRUE(Comm->WriteText("AT\r\n"));
    EXPECT_EQ(Fresh.Receive(4), "AT\r\n");
}

TEST_F(PortTraffic, TheApplicationsErrorHandlerMayCloseThePortWhoseLossItIsTold) {
    UseMainWindowSettings();
    SetApplicationExceptionHandler([this](TObject* /*Sender*/, const std::exception& E) {
        Reports.emplace_back(E.what());
        Comm->Close(); // from inside the hand-over that reported the loss
    });
    Comm->Open();
    Pty.HangUp();
    ASSERT_TRUE(PumpUntil([&] { return !Reports.empty(); }));
    EXPECT_FALSE(Comm->Active());
    EXPECT_EQ(Reports.size(), 1U);
}

TEST_F(PortTraffic, DestroyingAnOpenComponentWithEventsInFlightIsSafe) {
    UseMainWindowSettings();
    std::atomic<bool> Sending{true};
    std::size_t Received = 0;
    Comm->OnRxChar = [&](TObject*, int) { Received += Comm->ReadText().size(); };
    Comm->OnTxEmpty = [&](TObject*) { (void)Comm->WriteText("more\r\n"); };
    Comm->Open();
    std::thread Device([&] {
        while (Sending) {
            Pty.Send("+CGSN: 123456789012345\r\n");
            (void)Pty.Receive(4096, std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(Comm->WriteText("start\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return Received >= 1000; }));
    ASSERT_TRUE(WaitForSynchronize(std::chrono::seconds(10)));
    Comm.reset(); // a hand-over is queued right now
    Sending = false;
    Device.join();
    CheckSynchronize();
    EXPECT_TRUE(Reports.empty());
}

} // namespace

TEST_F(PortTraffic, WritersOnSeveralThreadsShareTheQueueBlockByBlock) {
    Comm->Buffers()->SetWriteSize(2048);
    Comm->Buffers()->SetWriteTimeout(10000);
    Comm->Open();
    constexpr int Blocks = 40;
    constexpr std::size_t BlockSize = 1100; // the queue holds one block, never two
    std::vector<std::string> Failures(2);
    const auto Writer = [&](std::size_t Index) {
        const std::string Block(BlockSize, static_cast<char>('a' + Index));
        try {
            for (int Count = 0; Count < Blocks && Failures.at(Index).empty(); ++Count) {
                if (!Comm->WriteText(Block)) {
                    Failures.at(Index) = "a block was cut";
                }
            }
        } catch (const EVaCommError& E) {
            Failures.at(Index) = E.Message();
        }
    };
    std::string Line;
    int Done = 0;
    {
        const TestThread Reader([&] { Line = Pty.Receive(2 * BlockSize * Blocks); }, Done);
        const TestThread First([&] { Writer(0); }, Done);
        const TestThread Second([&] { Writer(1); }, Done);
        EXPECT_TRUE(PumpUntil([&] { return Done == 3; }, std::chrono::seconds(20)));
    }
    EXPECT_EQ(Failures, (std::vector<std::string>{"", ""}));
    ASSERT_EQ(Line.size(), 2 * BlockSize * Blocks);
    for (std::size_t Start = 0; Start < Line.size(); Start += BlockSize) {
        ASSERT_EQ(Line.substr(Start, BlockSize), std::string(BlockSize, Line[Start]))
            << "blocks mixed at " << Start;
    }
}

// Writers that wait for room are served in the order they came. A full block waits first,
// then three half ones; the line moves half a queue: a half block would fit, but may not pass
// the full one, which would otherwise wait out its WriteTimeout while the queue drains.
#ifndef _WIN32 // the pseudo-terminal's far end floods and holds output here only
TEST_F(PortTraffic, WritersWaitingForRoomAreServedInTheOrderTheyCame) {
    Comm->Buffers()->SetWriteSize(32);
    Comm->Buffers()->SetWriteTimeout(60000); // beyond the test's bound: only the order counts
    Comm->Open();
    Pty.HoldOutput(true);
    const std::string Held(16, 'a');
    ASSERT_TRUE(Comm->WriteText(Held));
    const auto Pending = [&] {
        TVaCommStatus Status;
        Comm->GetCommStatus(Status);
        return Status.Stat.cbOutQue;
    };
    ASSERT_TRUE(AskUntil([&] { return Pending() == 16; })) << "no write of its own";
    const std::string Queued(16, 'b');
    ASSERT_TRUE(Comm->WriteText(Queued)); // the queue is full now

    const std::vector<std::string> Blocks{std::string(32, 'F'), std::string(16, 'h'),
                                          std::string(16, 'i'), std::string(16, 'j')};
    std::vector<char> Accepted(Blocks.size(), 0); // not vector<bool>: each writer owns its element
    std::vector<std::unique_ptr<TestThread>> Writers;
    int Done = 0;
    for (std::size_t Each = 0; Each < Blocks.size(); ++Each) {
        Writers.push_back(std::make_unique<TestThread>(
            [&, Each] { Accepted.at(Each) = Comm->WriteText(Blocks.at(Each)) ? 1 : 0; }, Done));
        ASSERT_TRUE(AskUntil(
            [&] { return TVaCommAccess::WaitingWriters(*Comm) == static_cast<int>(Each) + 1; }));
    }
    std::string Line;
    const TestThread Reader([&] { Line = Pty.Receive(112); }, Done);
    Pty.HoldOutput(false);
    ASSERT_TRUE(PumpUntil([&] { return Done == 5; })); // the write thread reports drained queues
    EXPECT_EQ(Accepted, std::vector<char>(Blocks.size(), 1));
    EXPECT_EQ(Line, Held + Queued + Blocks[0] + Blocks[1] + Blocks[2] + Blocks[3]);
}
#endif

TEST(VaCommBuffer, AppendNeverWritesPastTheQueue) {
    TVaCommBuffer Buffer(8);
    const std::string Bytes = "0123456789";
    EXPECT_TRUE(Buffer.Append(Bytes.data(), 6));
    EXPECT_FALSE(Buffer.Append(Bytes.data(), 3)); // 9 bytes do not fit into 8
    EXPECT_EQ(Buffer.Count(), 6);
    EXPECT_TRUE(Buffer.Append(Bytes.data() + 6, 2));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Buffer.Data()), 8), "01234567");
    EXPECT_FALSE(Buffer.Append(Bytes.data(), -1));
    EXPECT_EQ(Buffer.Count(), 8);
}
