// Line events and line errors through the real event thread: modem lines and the receive
// error counters come from a test source attached to the open device.

#include "platform/posix/ModemLines.h"
#include "tests/serial/CommFixture.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

namespace posix = kivo::posix;

// Modem lines that the test sets.
class TestLines : public posix::LineSource {
public:
    void Set(int Lines) {
        const std::lock_guard Lock(FMutex);
        FLines = Lines;
        FChanged = true;
        FCondition.notify_all();
    }

    bool GetLines(int& Lines) override {
        const std::lock_guard Lock(FMutex);
        Lines = FLines;
        return true;
    }
    bool SetLines(int /*Set*/, int /*Clear*/) override { return true; }
    void CountFramingError() {
        const std::lock_guard Lock(FMutex);
        ++FCounters.Frame;
    }

    bool GetCounters(posix::LineCounters& Counters) override {
        const std::lock_guard Lock(FMutex);
        Counters = FCounters;
        return true;
    }
    bool WaitForChange() override {
        std::unique_lock Lock(FMutex);
        ++FInside;
        FCondition.wait(Lock, [&] { return FChanged || FInterrupted; });
        --FInside;
        FCondition.notify_all();
        FChanged = false;
        return !FInterrupted;
    }
    void Interrupt() override {
        std::unique_lock Lock(FMutex);
        FInterrupted = true;
        FCondition.notify_all();
        FCondition.wait(Lock, [&] { return FInside == 0; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FCondition;
    int FLines = 0;
    posix::LineCounters FCounters;
    bool FChanged = false;
    bool FInterrupted = false;
    int FInside = 0;
};

using LineEvents = CommTest;

TEST_F(LineEvents, OneReportWithSeveralLineEventsCallsHandlersInOrder) {
    Comm->SetMonitorEvents({ceCts, ceDsr, ceRing, ceRlsd});
    std::vector<std::string> Order;
    const auto Record = [&](const char* Name) {
        return TNotifyEvent([&Order, Name](TObject*) { Order.emplace_back(Name); });
    };
    Comm->OnCts = Record("Cts");
    Comm->OnDsr = Record("Dsr");
    Comm->OnRing = Record("Ring");
    Comm->OnRlsd = Record("Rlsd");
    Comm->Open();
    auto Lines = std::make_shared<TestLines>();
    ASSERT_TRUE(posix::AttachLineSource(TVaCommAccess::Handle(*Comm), Lines));
    Lines->Set(posix::LineCts | posix::LineDsr | posix::LineDcd | posix::LineRing);
    ASSERT_TRUE(PumpUntil([&] { return Order.size() >= 4; }));
    EXPECT_EQ(Order, (std::vector<std::string>{"Cts", "Dsr", "Ring", "Rlsd"}));

    Order.clear();
    Lines->Set(posix::LineDsr | posix::LineDcd | posix::LineRing); // CTS drops
    ASSERT_TRUE(PumpUntil([&] { return !Order.empty(); }));
    EXPECT_EQ(Order, std::vector<std::string>{"Cts"});
}

TEST_F(LineEvents, ALineErrorReachesOnErrorWithItsBits) {
    Comm->SetMonitorEvents({ceError});
    std::vector<int> Errors;
    Comm->OnError = [&](TObject* Sender, int Bits) {
        EXPECT_EQ(Sender, Comm.get());
        Errors.push_back(Bits);
    };
    Comm->Open();
    auto Lines = std::make_shared<TestLines>();
    ASSERT_TRUE(posix::AttachLineSource(TVaCommAccess::Handle(*Comm), Lines));
    Lines->CountFramingError();
    Pty.Send("?"); // the counters are read as bytes arrive
    ASSERT_TRUE(PumpUntil([&] { return !Errors.empty(); }));
    EXPECT_EQ(Errors, std::vector<int>{static_cast<int>(CE_FRAME)});
    EXPECT_FALSE(Comm->CheckErrors()); // the query cleared them
}

TEST_F(LineEvents, AnOnErrorThatRaisesIsReportedAndTheSetGoesOn) {
    Comm->SetMonitorEvents({});
    Comm->SetDirectWrite(true);
    int ErrorCalls = 0;
    bool CtsAfterError = false;
    Comm->OnError = [&](TObject*, int) {
        ++ErrorCalls;
        throw EVaCommError("error handler failed");
    };
    Comm->OnCts = [&](TObject*) { CtsAfterError = ErrorCalls == 1; };
    Comm->Open();
    auto Lines = std::make_shared<TestLines>();
    ASSERT_TRUE(posix::AttachLineSource(TVaCommAccess::Handle(*Comm), Lines));
    Lines->CountFramingError();
    Pty.Send("o"); // the counters are read as bytes arrive
    // No event thread: ask until the error has arrived, each query clearing what it saw.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ErrorCalls == 0 && std::chrono::steady_clock::now() < Deadline) {
        Comm->DispatchEvents(EV_ERR | EV_CTS);
        std::this_thread::yield();
    }
    ASSERT_EQ(ErrorCalls, 1);
    EXPECT_EQ(Reports, std::vector<std::string>{"error handler failed"});
    EXPECT_TRUE(CtsAfterError);
}

TEST_F(LineEvents, NoHandlerOfTheSetRunsOnceAHandlerClosedOrDestroyedThePort) {
    Comm->SetMonitorEvents({ceCts, ceDsr});
    int Dsr = 0;
    bool Reopened = false;
    Comm->OnDsr = [&](TObject*) { ++Dsr; };
    Comm->OnCts = [&](TObject*) { // the set's first handler: OnDsr would come next
        Comm->Close();
        Comm->Open();
        Reopened = true;
    };
    Comm->Open();
    auto Lines = std::make_shared<TestLines>();
    ASSERT_TRUE(posix::AttachLineSource(TVaCommAccess::Handle(*Comm), Lines));
    Lines->Set(posix::LineCts | posix::LineDsr);
    ASSERT_TRUE(PumpUntil([&] { return Reopened; }));
    CheckSynchronize();
    EXPECT_EQ(Dsr, 0);

    bool Destroyed = false;
    Comm->OnCts = [&](TObject*) {
        Comm.reset();
        Destroyed = true;
    };
    auto Fresh = std::make_shared<TestLines>();
    ASSERT_TRUE(posix::AttachLineSource(TVaCommAccess::Handle(*Comm), Fresh));
    Fresh->Set(posix::LineCts | posix::LineDsr);
    ASSERT_TRUE(PumpUntil([&] { return Destroyed; }));
    CheckSynchronize();
    EXPECT_EQ(Dsr, 0);
    EXPECT_EQ(Reports, std::vector<std::string>{});
}

TEST_F(LineEvents, ALineErrorWithReceivedCharactersReachesOnErrorWithTheWindowsMask) {
    UseMainWindowSettings();
    std::string Received;
    std::vector<int> Errors;
    Comm->OnRxChar = [&](TObject*, int) { Received += Comm->ReadText(); };
    Comm->OnError = [&](TObject*, int Bits) { Errors.push_back(Bits); };
    Comm->Open();
    auto Lines = std::make_shared<TestLines>();
    ASSERT_TRUE(posix::AttachLineSource(TVaCommAccess::Handle(*Comm), Lines));
    Pty.Send("a");
    ASSERT_TRUE(WaitForSynchronize(std::chrono::seconds(10))); // handed over, not yet run
    // While that hand-over waits, a garbled byte arrives: its error and its character come
    // in one event set, and the first set's read queries the line status first.
    Lines->CountFramingError();
    Pty.Send("b");
    ASSERT_TRUE(PumpUntil([&] { return !Errors.empty(); }));
    EXPECT_EQ(Errors, std::vector<int>{static_cast<int>(CE_FRAME)});
    ASSERT_TRUE(PumpUntil([&] { return Received == "ab"; }));
}

} // namespace
