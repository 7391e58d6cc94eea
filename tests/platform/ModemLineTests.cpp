// Modem-line and line-error events, through a line source standing in for a real UART.

#include "platform/posix/ModemLines.h"
#include "tests/platform/SerialTestSupport.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>

namespace kivo::test {
namespace {

using namespace kivo::posix;

// Lines and counters the test sets; waiters wake on every change of the lines.
class FakeLines final : public LineSource {
public:
    bool GetLines(int& Lines) override {
        const std::lock_guard Guard(FLock);
        Lines = FLines;
        return Answer();
    }
    bool SetLines(int Set, int Clear) override {
        const std::lock_guard Guard(FLock);
        FLines = (FLines | Set) & ~Clear;
        return Answer();
    }
    bool SetBreak(bool On) override {
        const std::lock_guard Guard(FLock);
        FBreak = On;
        return Answer();
    }
    bool GetCounters(LineCounters& Counters) override {
        const std::lock_guard Guard(FLock);
        Counters = FCounters;
        return true;
    }
    bool WaitForChange() override {
        std::unique_lock Lock(FLock);
        FChanged.wait(Lock, [&] { return FInterrupted || FChanges != FSeen; });
        FSeen = FChanges;
        return !FInterrupted;
    }
    void Interrupt() override {
        const std::lock_guard Guard(FLock);
        FInterrupted = true;
        FChanged.notify_all();
    }

    // What the device on the other side does.
    void Change(int Raise, int Lower) {
        const std::lock_guard Guard(FLock);
        FLines = (FLines | Raise) & ~Lower;
        ++FChanges;
        FChanged.notify_all();
    }
    void Count(void (*Bump)(LineCounters&)) {
        const std::lock_guard Guard(FLock);
        Bump(FCounters);
    }
    [[nodiscard]] int Lines() {
        const std::lock_guard Guard(FLock);
        return FLines;
    }
    [[nodiscard]] bool Break() {
        const std::lock_guard Guard(FLock);
        return FBreak;
    }
    // From now on the device fails every request for its lines with EIO.
    void Refuse() {
        const std::lock_guard Guard(FLock);
        FRefusing = true;
    }

private:
    bool Answer() const {
        errno = FRefusing ? EIO : 0;
        return !FRefusing;
    }

    std::mutex FLock;
    std::condition_variable FChanged;
    int FLines = LineCts | LineDsr;
    LineCounters FCounters;
    unsigned FChanges = 0;
    unsigned FSeen = 0; // changes a wait has already reported
    bool FInterrupted = false;
    bool FBreak = false;
    bool FRefusing = false;
};

class ModemLines : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FPort.IsOpen()) << MessageOf(FPort.OpenError());
        ASSERT_TRUE(AttachLineSource(FPort.Handle(), FLines));
        FPort.Configure();
    }
    PtyPair FPty;
    Port FPort{FPty.DevicePath()};
    std::shared_ptr<FakeLines> FLines = std::make_shared<FakeLines>();
};

TEST_F(ModemLines, LineChangesBecomeTheirEvents) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    FLines->Change(0, LineCts);
    EXPECT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_CTS));
    FLines->Change(LineDcd, LineDsr);
    EXPECT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_DSR | EV_RLSD));
    FLines->Change(LineRing, 0);
    EXPECT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_RING));
}

TEST_F(ModemLines, DtrAndRtsFollowTheControlBlock) {
    DCB Dcb = Port::PlainDcb();
    Dcb.fDtrControl = DTR_CONTROL_ENABLE;
    Dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    EXPECT_EQ(FLines->Lines() & (LineDtr | LineRts), LineDtr);
    Dcb.fDtrControl = DTR_CONTROL_DISABLE;
    Dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    EXPECT_EQ(FLines->Lines() & (LineDtr | LineRts), LineRts);
}

TEST_F(ModemLines, ErrorCountersBecomeLineErrors) {
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_ERR | EV_BREAK));
    FLines->Count([](LineCounters& C) {
        ++C.Frame;
        ++C.Overrun;
    });
    FPty.Send("x"); // the counters are read as bytes arrive
    EXPECT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_ERR));
    DWORD Errors = 0;
    Errors = FPort.TakeErrors();
    EXPECT_EQ(Errors, static_cast<DWORD>(CE_FRAME | CE_OVERRUN));

    FLines->Count([](LineCounters& C) {
        ++C.Break;
        ++C.Parity;
    });
    FPty.Send("y");
    EXPECT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_ERR | EV_BREAK));
    Errors = FPort.TakeErrors();
    EXPECT_EQ(Errors, static_cast<DWORD>(CE_BREAK | CE_RXPARITY));
    EXPECT_EQ(FPort.ReadQueued(), "xy");
}

// A line whose driver takes bytes as they come (here for DSR sensitivity) stops taking them
// while the queue is full, without polling; an overrun of the kernel's buffer meanwhile
// reaches the reader as CE_OVERRUN with EV_ERR.
TEST_F(ModemLines, AFullQueueStopsReceivingAndAKernelOverrunIsReported) {
    DCB Dcb = Port::PlainDcb();
    Dcb.fDsrSensitivity = 1;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    ASSERT_TRUE(SetupComm(FPort.Handle(), 16, 16));
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR | EV_ERR));
    const std::string Sent = Letters(100, 'A');
    FPty.Send(Sent);
    while (FPort.Status().cbInQue < 16) {
        ASSERT_NE(FPort.WaitEvents(), 0u) << "the queue never filled";
    }
    EXPECT_LT(CpuSecondsWhileIdle(), 0.25) << "the driver polls a device it cannot read from";

    FLines->Count([](LineCounters& C) { ++C.BufOverrun; });
    std::string Got = FPort.ReadQueued();
    EXPECT_NE(FPort.WaitEvents() & EV_ERR, 0u);
    Got += FPort.ReadExactly(Sent.size() - Got.size());
    EXPECT_EQ(Got, Sent);
    EXPECT_EQ(FPort.TakeErrors(), static_cast<DWORD>(CE_OVERRUN));
}

TEST_F(ModemLines, OutputWaitsForDsrWhenAsked) {
    DCB Dcb = Port::PlainDcb();
    Dcb.fOutxDsrFlow = 1;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_DSR));
    FLines->Change(0, LineDsr);
    ASSERT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_DSR)) << "the device saw DSR drop";
    Overlapped Write;
    DWORD Written = 0;
    EXPECT_FALSE(WriteFile(FPort.Handle(), "held", 4, &Written, &Write.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    COMSTAT Stat = FPort.Status();
    EXPECT_EQ(Stat.fDsrHold, 1u);
    EXPECT_EQ(Stat.cbOutQue, 4u);
    FLines->Change(LineDsr, 0);
    ASSERT_TRUE(GetOverlappedResult(FPort.Handle(), &Write.Record, &Written, TRUE));
    EXPECT_EQ(FPty.Receive(4), "held");
}

TEST_F(ModemLines, AbortOnErrorStopsReadsUntilTheErrorIsCleared) {
    DCB Dcb = Port::PlainDcb();
    Dcb.fAbortOnError = 1;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    COMMTIMEOUTS Blocking{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(FPort.Handle(), &Blocking));
    char Buffer[8];
    DWORD Got = 0;
    Overlapped Pending;
    ASSERT_FALSE(ReadFile(FPort.Handle(), Buffer, sizeof Buffer, &Got, &Pending.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    FLines->Count([](LineCounters& C) { ++C.Parity; });
    FPty.Send("e");
    EXPECT_FALSE(GetOverlappedResult(FPort.Handle(), &Pending.Record, &Got, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    Overlapped Refused;
    EXPECT_FALSE(ReadFile(FPort.Handle(), Buffer, 1, &Got, &Refused.Record));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    EXPECT_EQ(FPort.TakeErrors(), static_cast<DWORD>(CE_RXPARITY));
    Overlapped Again;
    ASSERT_TRUE(ReadFile(FPort.Handle(), Buffer, 1, &Got, &Again.Record));
    EXPECT_EQ(std::string(Buffer, Got), "e");
}

TEST_F(ModemLines, DtrHandshakeHoldsTheSenderInsteadOfLosingBytes) {
    DCB Dcb = Port::PlainDcb();
    Dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    Dcb.XoffLim = 4; // drop DTR when less than 4 bytes of room are left
    Dcb.XonLim = 2;  // raise it again once at most 2 bytes are queued
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    ASSERT_TRUE(SetupComm(FPort.Handle(), 16, 16));
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    EXPECT_NE(FLines->Lines() & LineDtr, 0);

    const std::string Sent = Letters(40, 'A');
    FPty.Send(Sent);
    while (FPort.Status().cbInQue < 16) {
        ASSERT_NE(FPort.WaitEvents(), 0u) << "the queue never filled";
    }
    EXPECT_EQ(FLines->Lines() & LineDtr, 0) << "DTR drops while the queue is full";
    EXPECT_EQ(FPort.TakeErrors(), 0u) << "no bytes were lost";
    EXPECT_EQ(FPort.ReadExactly(Sent.size()), Sent);
    EXPECT_NE(FLines->Lines() & LineDtr, 0) << "DTR rises once the queue is read";
}

TEST_F(ModemLines, DtrRisesAgainWhenAPartlyFilledQueueIsRead) {
    DCB Dcb = Port::PlainDcb();
    Dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    Dcb.XoffLim = 8;
    Dcb.XonLim = 2;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    ASSERT_TRUE(SetupComm(FPort.Handle(), 16, 16));
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR));
    FPty.Send("0123456789"); // leaves 6 bytes of room: less than XoffLim
    while (FPort.Status().cbInQue < 10) {
        ASSERT_NE(FPort.WaitEvents(), 0u) << "the bytes never arrived";
    }
    EXPECT_EQ(FLines->Lines() & LineDtr, 0);
    EXPECT_EQ(FPort.ReadQueued(), "0123456789");
    EXPECT_NE(FLines->Lines() & LineDtr, 0);
}

TEST_F(ModemLines, EscapeCommFunctionSetsDtrRtsAndTheBreakUnlessHandshakingDrivesTheLine) {
    const HANDLE H = FPort.Handle();
    ASSERT_TRUE(EscapeCommFunction(H, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(H, SETRTS));
    EXPECT_EQ(FLines->Lines() & (LineDtr | LineRts), LineRts);
    ASSERT_TRUE(EscapeCommFunction(H, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(H, CLRRTS));
    EXPECT_EQ(FLines->Lines() & (LineDtr | LineRts), LineDtr);
    ASSERT_TRUE(EscapeCommFunction(H, SETBREAK));
    EXPECT_TRUE(FLines->Break());
    ASSERT_TRUE(EscapeCommFunction(H, CLRBREAK));
    EXPECT_FALSE(FLines->Break());

    DCB Dcb = Port::PlainDcb();
    Dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    Dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(H, &Dcb));
    for (const DWORD Function : {SETDTR, CLRDTR, SETRTS, CLRRTS, DWORD{7}}) {
        EXPECT_FALSE(EscapeCommFunction(H, Function)) << Function;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << Function;
    }
}

TEST_F(ModemLines, GetCommModemStatusReportsTheLinesTheOtherSideDrives) {
    DWORD Status = 0;
    ASSERT_TRUE(GetCommModemStatus(FPort.Handle(), &Status));
    EXPECT_EQ(Status, MS_CTS_ON | MS_DSR_ON);
    FLines->Change(LineRing | LineDcd, LineCts);
    ASSERT_TRUE(GetCommModemStatus(FPort.Handle(), &Status));
    EXPECT_EQ(Status, MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
}

TEST(ModemLinesOfAPty, AreNoneAndSettingThemDoesNothing) {
    const PtyPair Pty;
    const Port P(Pty.DevicePath());
    ASSERT_TRUE(P.IsOpen()) << MessageOf(P.OpenError());
    DWORD Status = MS_CTS_ON;
    ASSERT_TRUE(GetCommModemStatus(P.Handle(), &Status));
    EXPECT_EQ(Status, 0u);
    for (const DWORD Function : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK}) {
        EXPECT_TRUE(EscapeCommFunction(P.Handle(), Function)) << Function;
    }
}

TEST_F(ModemLines, ADeviceThatRefusesItsLinesFailsTheCallWithItsError) {
    FLines->Refuse();
    DWORD Status = 0;
    EXPECT_FALSE(GetCommModemStatus(FPort.Handle(), &Status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
    for (const DWORD Function : {SETDTR, CLRRTS, SETBREAK}) {
        EXPECT_FALSE(EscapeCommFunction(FPort.Handle(), Function)) << Function;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO)) << Function;
    }
}

} // namespace
} // namespace kivo::test
