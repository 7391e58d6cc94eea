// Line control on the component: DTR, RTS, the break, the modem status, purging and draining,
// on every platform (a pseudo-terminal, or a COM port pair under Wine).

#include "tests/serial/CommFixture.h"

#include <functional>
#include <string>
#include <vector>

namespace {

class LineControl : public CommTest {};

// The message of what Call raises, or "" when it raises nothing.
std::string RaisedBy(const std::function<void()>& Call, TVaCommErrorCode& Code) {
    try {
        Call();
    } catch (const EVaCommError& Error) {
        Code = Error.Code();
        return Error.Message();
    }
    return {};
}

TEST_F(LineControl, EveryCallOnAClosedPortRaisesNamingThePort) {
    const std::vector<std::function<void()>> Calls{
        [&] { Comm->SetDTR(true); },   [&] { Comm->SetRTS(false); },
        [&] { Comm->SetBreak(true); }, [&] { (void)Comm->ModemStatus(); },
        [&] { Comm->PurgeInput(); },   [&] { Comm->PurgeOutput(); },
        [&] { Comm->Drain(); }};
    for (std::size_t Each = 0; Each < Calls.size(); ++Each) {
        TVaCommErrorCode Code = TVaCommErrorCode::ecLost;
        const std::string Message = RaisedBy(Calls[Each], Code);
        EXPECT_NE(Message.find(Comm->GetPortName() + " is not open"), std::string::npos)
            << "call " << Each << ": " << Message;
        EXPECT_EQ(Code, TVaCommErrorCode::ecOther) << "call " << Each;
    }
}

TEST_F(LineControl, ALineThatFlowControlDrivesIsRefusedNamingThePort) {
    Comm->FlowControl()->SetControlDtr(dtrHandshake);
    Comm->FlowControl()->SetControlRts(rtsHandshake);
    Comm->Open();
    for (const auto& Call : std::vector<std::function<void()>>{[&] { Comm->SetDTR(false); },
                                                               [&] { Comm->SetRTS(true); }}) {
        TVaCommErrorCode Code = TVaCommErrorCode::ecOther;
        const std::string Message = RaisedBy(Call, Code);
        EXPECT_NE(Message.find("flow control of " + Comm->GetPortName()), std::string::npos)
            << Message;
        EXPECT_EQ(Code, TVaCommErrorCode::ecRefused);
    }
}

// The lines change, the break comes and goes, and the line carries data as before.
TEST_F(LineControl, LinesAndTheBreakAreSetOnAnOpenPortAndDataStillFlows) {
    Comm->Open();
    Comm->SetDTR(false);
    Comm->SetRTS(false);
    Comm->SetDTR(true);
    Comm->SetRTS(true);
    (void)Comm->ModemStatus();
    Comm->SetBreak(true);
    Comm->SetBreak(false);
    ASSERT_TRUE(Comm->WriteText("after"));
    EXPECT_EQ(Pty.Receive(5), "after");
}

TEST_F(LineControl, PurgeInputDiscardsWhatCameAndLaterBytesAreRead) {
    Comm->SetMonitorEvents({ceRxChar});
    int Waiting = 0;
    Comm->OnRxChar = [&](TObject*, int Count) { Waiting = Count; };
    Comm->Open();
    ASSERT_TRUE(Pty.Send("old"));
    ASSERT_TRUE(PumpUntil([&] { return Waiting >= 3; }));
    Comm->PurgeInput();
    EXPECT_EQ(Comm->InQueueCount(), 0);
    ASSERT_TRUE(Pty.Send("new"));
    std::string Read;
    ASSERT_TRUE(PumpUntil([&] {
        Read += Comm->ReadText();
        return Read.size() >= 3;
    }));
    EXPECT_EQ(Read, "new");
}

TEST_F(LineControl, DrainReturnsOnceWrittenBytesHaveLeft) {
    Comm->Open();
    const std::string Sent(64, 'd');
    ASSERT_TRUE(Comm->WriteText(Sent));
    Comm->Drain();
    TVaCommStatus Status;
    Comm->GetCommStatus(Status);
    EXPECT_EQ(Status.Stat.cbOutQue, 0u);
    EXPECT_EQ(TVaCommAccess::WriteThread(*Comm)->Queued(), 0);
    EXPECT_EQ(Pty.Receive(Sent.size()), Sent);
}

} // namespace
