// Line control on the component where a pseudo-terminal cannot show it: the levels set and
// read through the platform layer's modem-line seam, and output that the line holds back.

#include "platform/posix/ModemLines.h"
#include "tests/serial/CommFixture.h"
#include "tests/support/AskUntil.h"

#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace {

namespace posix = kivo::posix;

// Lines the test reads and sets; never changes by itself.
class SeamLines : public posix::LineSource {
public:
    bool GetLines(int& Lines) override {
        const std::lock_guard Lock(FMutex);
        Lines = FLines;
        return Answer();
    }
    bool SetLines(int Set, int Clear) override {
        const std::lock_guard Lock(FMutex);
        FLines = (FLines | Set) & ~Clear;
        return Answer();
    }
    bool SetBreak(bool On) override {
        const std::lock_guard Lock(FMutex);
        FBreak = On;
        return Answer();
    }
    bool GetCounters(posix::LineCounters& /*Counters*/) override { return false; }
    bool WaitForChange() override {
        std::unique_lock Lock(FMutex);
        FInterrupted.wait(Lock, [&] { return FStopped; });
        return false;
    }
    void Interrupt() override {
        const std::lock_guard Lock(FMutex);
        FStopped = true;
        FInterrupted.notify_all();
    }

    [[nodiscard]] int Lines() {
        const std::lock_guard Lock(FMutex);
        return FLines;
    }
    [[nodiscard]] bool Break() {
        const std::lock_guard Lock(FMutex);
        return FBreak;
    }
    void Refuse() {
        const std::lock_guard Lock(FMutex);
        FRefusing = true;
    }

private:
    bool Answer() const {
        errno = FRefusing ? EIO : 0;
        return !FRefusing;
    }

    std::mutex FMutex;
    std::condition_variable FInterrupted;
    int FLines = posix::LineCts | posix::LineDcd;
    bool FBreak = false;
    bool FRefusing = false;
    bool FStopped = false;
};

class LineControlSeam : public CommTest {
protected:
    void OpenWithSeam() {
        Comm->Open();
        ASSERT_TRUE(posix::AttachLineSource(TVaCommAccess::Handle(*Comm), Lines));
    }
    std::shared_ptr<SeamLines> Lines = std::make_shared<SeamLines>();
};

TEST_F(LineControlSeam, DtrRtsAndTheBreakReachTheLineAndTheStatusIsItsLevels) {
    OpenWithSeam();
    Comm->SetDTR(true);
    Comm->SetRTS(false);
    EXPECT_EQ(Lines->Lines() & (posix::LineDtr | posix::LineRts), posix::LineDtr);
    Comm->SetDTR(false);
    Comm->SetRTS(true);
    EXPECT_EQ(Lines->Lines() & (posix::LineDtr | posix::LineRts), posix::LineRts);
    Comm->SetBreak(true);
    EXPECT_TRUE(Lines->Break());
    Comm->SetBreak(false);
    EXPECT_FALSE(Lines->Break());
    EXPECT_EQ(Comm->ModemStatus(), (TVaModemStatus{msCTS, msRLSD}));
}

TEST_F(LineControlSeam, ADeviceThatRefusesRaisesNamingThePort) {
    OpenWithSeam();
    Lines->Refuse();
    for (const auto& Call : std::vector<std::function<void()>>{
             [&] { Comm->SetDTR(true); }, [&] { Comm->SetBreak(true); },
             [&] { (void)Comm->ModemStatus(); }}) {
        try {
            Call();
            ADD_FAILURE() << "nothing raised";
        } catch (const EVaCommError& Error) {
            EXPECT_NE(Error.Message().find(Comm->GetPortName() + " refused"), std::string::npos)
                << Error.Message();
            EXPECT_EQ(Error.Code(), TVaCommErrorCode::ecRefused);
        }
    }
}

// A write held by the line: PurgeOutput drops it and what waits behind it in the write
// queue; what is written next arrives alone.
TEST_F(LineControlSeam, PurgeOutputDiscardsQueuedAndHeldBytes) {
    Comm->Open();
    Pty.HoldOutput(true);
    ASSERT_TRUE(Comm->WriteText("held"));
    ASSERT_TRUE(AskUntil([&] {
        TVaCommStatus Status;
        Comm->GetCommStatus(Status);
        return Status.Stat.cbOutQue == 4;
    })) << "the write thread never wrote";
    ASSERT_TRUE(Comm->WriteText("queued"));
    Comm->PurgeOutput();
    TVaCommStatus Status;
    Comm->GetCommStatus(Status);
    EXPECT_EQ(Status.Stat.cbOutQue, 0u);
    EXPECT_EQ(TVaCommAccess::WriteThread(*Comm)->Queued(), 0);
    Pty.HoldOutput(false);
    ASSERT_TRUE(Comm->WriteText("next"));
    EXPECT_EQ(Pty.Receive(4), "next");
}

// The bound is reached: the line holds the bytes back past Buffers.WriteTimeout.
TEST_F(LineControlSeam, DrainGivesUpAtTheWriteTimeoutWhileTheLineHoldsOutput) {
    Comm->Buffers()->SetWriteTimeout(50);
    Comm->Open();
    Pty.HoldOutput(true);
    ASSERT_TRUE(Comm->WriteText("held"));
    try {
        Comm->Drain();
        ADD_FAILURE() << "Drain returned with output held";
    } catch (const EVaCommError& Error) {
        EXPECT_NE(
            Error.Message().find(Comm->GetPortName() + " did not send its output within 50 ms"),
            std::string::npos)
            << Error.Message();
    }
    Pty.HoldOutput(false);
    Comm->Drain();
    EXPECT_EQ(Pty.Receive(4), "held");
}

} // namespace
