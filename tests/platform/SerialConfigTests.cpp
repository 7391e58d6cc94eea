// The device control block reaching the terminal's settings, and the decoding of marked input.

#include "platform/posix/BaudRate.h"
#include "platform/posix/ByteQueue.h"
#include "platform/posix/InputDecoder.h"
#include "platform/posix/LineConfig.h"
#include "tests/platform/SerialTestSupport.h"

#include <termios.h>

namespace kivo::test {
namespace {

using kivo::posix::DecodeOptions;
using kivo::posix::InputDecoder;

class SerialConfig : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(FPort.IsOpen()) << MessageOf(FPort.OpenError()); }

    // The terminal's settings as the other end sees them.
    [[nodiscard]] termios Terminal() const {
        termios Settings{};
        EXPECT_EQ(tcgetattr(FPty.MasterFd(), &Settings), 0);
        return Settings;
    }
    [[nodiscard]] unsigned Speed() const {
        unsigned Rate = 0;
        EXPECT_EQ(kivo::posix::GetLineSpeed(FPty.MasterFd(), Rate), 0);
        return Rate;
    }

    PtyPair FPty;
    Port FPort{FPty.DevicePath()};
};

TEST_F(SerialConfig, OpeningMakesTheTerminalRaw) {
    const termios T = Terminal();
    EXPECT_EQ(T.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(T.c_oflag & OPOST, 0u);
    EXPECT_EQ(T.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(T.c_iflag & PARMRK, 0u) << "a pseudo-terminal has no line errors to mark";
}

// Without marking, bytes that would read as an error mark or an escaped 0xFF are plain data.
TEST_F(SerialConfig, MarkLikeBytesPassAPseudoTerminalUnchanged) {
    FPort.Configure();
    DCB Dcb = Port::PlainDcb();
    Dcb.fParity = 1;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    EXPECT_EQ(Terminal().c_iflag & PARMRK, 0u);
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR | EV_ERR | EV_BREAK));
    const std::string MarkLike("\377\0x\377\0\0\377\377", 8);
    FPty.Send(MarkLike);
    EXPECT_EQ(FPort.ReadExactly(MarkLike.size()), MarkLike);
    EXPECT_EQ(FPort.TakeErrors(), 0u);
}

TEST_F(SerialConfig, TheComponentsSettingsReachTheTerminal) {
    DCB Dcb = Port::PlainDcb();
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    const termios T = Terminal();
    EXPECT_EQ(Speed(), 19200u);
    EXPECT_EQ(T.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(T.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(T.c_iflag & (IXON | IXOFF | INPCK), 0u);
    DCB Back{};
    ASSERT_TRUE(GetCommState(FPort.Handle(), &Back));
    EXPECT_EQ(Back.BaudRate, 19200u);
    EXPECT_EQ(Back.ByteSize, 8);
}

TEST_F(SerialConfig, FramingParityAndFlowControlReachTheTerminal) {
    DCB Dcb = Port::PlainDcb();
    Dcb.BaudRate = 31250; // not a standard rate
    Dcb.ByteSize = 7;
    Dcb.Parity = MARKPARITY;
    Dcb.StopBits = TWOSTOPBITS;
    Dcb.fParity = 1;
    Dcb.fOutX = 1;
    Dcb.fInX = 1;
    Dcb.XonChar = 0x11;
    Dcb.XoffChar = 0x13;
    Dcb.fOutxCtsFlow = 1;
    Dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb)) << MessageOf(GetLastError());
    // A pseudo-terminal always reports 8 data bits and no parity enable; the rest shows.
    const termios T = Terminal();
    EXPECT_EQ(Speed(), 31250u);
    EXPECT_EQ(T.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS),
              static_cast<tcflag_t>(PARODD | CMSPAR | CSTOPB | CRTSCTS));
    EXPECT_EQ(T.c_iflag & (IXON | IXOFF | INPCK), static_cast<tcflag_t>(IXON | IXOFF | INPCK));
    EXPECT_EQ(T.c_cc[VSTART], 0x11);
    EXPECT_EQ(T.c_cc[VSTOP], 0x13);
    DCB Back{};
    ASSERT_TRUE(GetCommState(FPort.Handle(), &Back));
    EXPECT_EQ(Back.ByteSize, 7);
    EXPECT_EQ(Back.Parity, MARKPARITY);
}

TEST(LineSettings, DataBitsAndParityMapOntoTermiosFlags) {
    struct Case {
        BYTE ByteSize;
        BYTE Parity;
        tcflag_t Flags;
    };
    for (const Case C :
         {Case{5, ODDPARITY, CS5 | PARENB | PARODD}, Case{6, EVENPARITY, CS6 | PARENB},
          Case{7, MARKPARITY, CS7 | PARENB | CMSPAR | PARODD},
          Case{8, SPACEPARITY, CS8 | PARENB | CMSPAR}, Case{8, NOPARITY, CS8}}) {
        DCB Dcb = Port::PlainDcb();
        Dcb.ByteSize = C.ByteSize;
        Dcb.Parity = C.Parity;
        termios T{};
        T.c_cflag = CS8 | PARENB | CSTOPB | CRTSCTS;
        kivo::posix::ApplyDcb(Dcb, T, true);
        EXPECT_EQ(T.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), C.Flags)
            << int(C.ByteSize) << " bits, parity " << int(C.Parity);
        EXPECT_NE(T.c_cflag & (CREAD | CLOCAL), 0u);
        EXPECT_NE(T.c_iflag & PARMRK, 0u) << "a line marks its receive errors";
        kivo::posix::ApplyDcb(Dcb, T, false);
        EXPECT_EQ(T.c_iflag & PARMRK, 0u);
    }
}

TEST_F(SerialConfig, WhatNoTerminalCanDoFailsAndChangesNothing) {
    DCB Good = Port::PlainDcb();
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Good));
    const termios Before = Terminal();

    auto ExpectRefused = [&](DCB Bad, const char* What) {
        SetLastError(0);
        EXPECT_FALSE(SetCommState(FPort.Handle(), &Bad)) << What;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << What;
        EXPECT_EQ(MessageOf(GetLastError()), "Invalid argument");
        const termios After = Terminal();
        EXPECT_EQ(After.c_cflag, Before.c_cflag) << What;
        EXPECT_EQ(After.c_iflag, Before.c_iflag) << What;
        EXPECT_EQ(Speed(), 19200u) << What;
    };
    DCB Bad = Good;
    Bad.ByteSize = 4;
    Bad.BaudRate = 9600;
    ExpectRefused(Bad, "4 data bits");
    Bad = Good;
    Bad.StopBits = ONE5STOPBITS;
    ExpectRefused(Bad, "1.5 stop bits");
    Bad = Good;
    Bad.BaudRate = 0;
    ExpectRefused(Bad, "rate 0");
    Bad = Good;
    Bad.Parity = 5;
    ExpectRefused(Bad, "unknown parity");
    Bad = Good;
    Bad.fRtsControl = RTS_CONTROL_TOGGLE;
    ExpectRefused(Bad, "RTS toggling");
    Bad = Good;
    Bad.fOutX = 1;
    Bad.XoffChar = Bad.XonChar;
    ExpectRefused(Bad, "XON equal to XOFF");
}

TEST_F(SerialConfig, NullStrippingAndTheEventCharacter) {
    FPort.Configure();
    DCB Dcb = Port::PlainDcb();
    Dcb.fNull = 1;
    Dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(FPort.Handle(), &Dcb));
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXFLAG));
    FPty.Send(std::string("O\0K\r", 4));
    FPty.Send("\n");
    EXPECT_EQ(FPort.WaitEvents(), static_cast<DWORD>(EV_RXFLAG));
    EXPECT_EQ(FPort.ReadQueued(), "OK\r\n");
}

// Without flow control a full input queue takes no more: the rest waits in the kernel, and
// a pending wait costs nothing meanwhile, until a reader makes room. (A wait for received
// bytes ends at once while bytes are queued; this one waits for other events.)
TEST_F(SerialConfig, AFullInputQueueLeavesTheRestInTheKernelUntilItIsRead) {
    FPort.Configure(16);
    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXCHAR | EV_RX80FULL));
    const std::string Sent = Letters(100);
    FPty.Send(Sent);
    DWORD Seen = 0;
    DWORD Errors = 0;
    COMSTAT Stat{};
    while (Stat.cbInQue < 16) {
        const DWORD Events = FPort.WaitEvents();
        ASSERT_NE(Events, 0u) << "the queue never filled";
        Seen |= Events;
        Stat = FPort.Status(&Errors);
        ASSERT_EQ(Errors, 0u) << "bytes were lost";
    }
    EXPECT_EQ(Stat.cbInQue, 16u);
    EXPECT_NE(Seen & EV_RX80FULL, 0u);

    ASSERT_TRUE(SetCommMask(FPort.Handle(), EV_RXFLAG | EV_ERR));
    Overlapped Wait;
    DWORD Events = 0;
    StartWaiting(FPort, Wait, Events);
    EXPECT_LT(CpuSecondsWhileIdle(), 0.25) << "the driver polls a device it cannot read from";
    EXPECT_FALSE(Wait.Completed(0));
    ASSERT_TRUE(CancelIo(FPort.Handle()));

    EXPECT_EQ(FPort.ReadExactly(Sent.size()), Sent);
    EXPECT_EQ(FPort.TakeErrors(), 0u);
}

TEST(InputQueue, KeepsOrderAcrossTheRingsEndAndWhenResized) {
    kivo::posix::ByteQueue Queue(8);
    char Out[16] = {};
    EXPECT_EQ(Queue.Push("abcdef", 6), 6u);
    EXPECT_EQ(Queue.Take(Out, 4), 4u); // "ef" left, the next push wraps around
    EXPECT_EQ(Queue.Push("ghijklmn", 8), 6u) << "only what fits";
    EXPECT_EQ(Queue.Room(), 0u);
    Queue.SetCapacity(4); // never below what is queued
    EXPECT_EQ(Queue.Capacity(), 8u);
    Queue.SetCapacity(16);
    EXPECT_EQ(Queue.Push("op", 2), 2u);
    EXPECT_EQ(Queue.Take(Out, sizeof Out), 10u);
    EXPECT_EQ(std::string(Out, 10), "efghijklop");
    EXPECT_TRUE(Queue.Empty());
}

TEST(InputDecoding, MarksBecomeDataErrorsAndBreaks) {
    InputDecoder Decoder;
    std::string Data;
    auto Result = Decoder.Decode("a\377\377b", 4, Data);
    EXPECT_EQ(Data, "a\377b");
    EXPECT_FALSE(Result.ErrorMarked);

    Data.clear();
    Result = Decoder.Decode("x\377\0y", 4, Data);
    EXPECT_EQ(Data, "xy");
    EXPECT_TRUE(Result.ErrorMarked);

    Data.clear();
    Result = Decoder.Decode("\377\0\0z", 4, Data);
    EXPECT_EQ(Data, "z");
    EXPECT_TRUE(Result.BreakMarked);
    EXPECT_FALSE(Result.ErrorMarked);
}

TEST(InputDecoding, UnmarkedInputIsAllData) {
    InputDecoder Decoder;
    Decoder.SetOptions(DecodeOptions{.Marked = false, .ReplaceErrors = true, .ErrorChar = '?'});
    const std::string Raw("a\377\0b\377\0\0\377\377\377", 10);
    EXPECT_TRUE(Decoder.PassesUnchanged(Raw.data(), Raw.size()));
    std::string Data;
    const auto Result = Decoder.Decode(Raw.data(), Raw.size(), Data);
    EXPECT_EQ(Data, Raw);
    EXPECT_FALSE(Result.ErrorMarked);
    EXPECT_FALSE(Result.BreakMarked);
}

TEST(InputDecoding, AMarkSplitBetweenReadsIsCompleted) {
    InputDecoder Decoder;
    Decoder.SetOptions(DecodeOptions{.ReplaceErrors = true, .ErrorChar = '?', .EventChar = '!'});
    std::string Data;
    EXPECT_FALSE(Decoder.Decode("a\377", 2, Data).ErrorMarked);
    EXPECT_FALSE(Decoder.Decode("\0", 1, Data).ErrorMarked);
    const auto Result = Decoder.Decode("b!", 2, Data);
    EXPECT_TRUE(Result.ErrorMarked);
    EXPECT_TRUE(Result.EventCharSeen);
    EXPECT_EQ(Data, "a?!");
}

TEST(InputDecoding, NullsAreStrippedOnlyWhenAsked) {
    InputDecoder Decoder;
    std::string Data;
    Decoder.Decode("a\0b", 3, Data);
    EXPECT_EQ(Data, std::string("a\0b", 3));
    Decoder.SetOptions(DecodeOptions{.StripNulls = true, .EventChar = '\n'});
    Data.clear();
    EXPECT_FALSE(Decoder.Decode("a\0b", 3, Data).EventCharSeen);
    EXPECT_EQ(Data, "ab");
}

} // namespace
} // namespace kivo::test
