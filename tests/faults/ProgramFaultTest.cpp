// The read run at the level of the program, where a device and its replies misbehave: the
// phone pulls the plug, answers garbage, NUL bytes, a reply past the 64 KiB bound, lines
// ended only by CR or only by LF, and replies in two pieces split at every byte.

#include "app/PhoneReader.h"
#include "app/ReadReport.h"
#include "runtime/Thread.h"
#include "tests/faults/ProcessProbe.h"
#include "tests/faults/ScriptedPhone.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <utility>

namespace {

using namespace std::chrono_literals;

constexpr auto TestReplyTimeout = std::chrono::milliseconds(2000);
// Longer than any of these tests may take: what ends a run must not be its time-out.
constexpr auto LongReplyTimeout = std::chrono::milliseconds(20000);

TReadResult ReadFrom(const std::string& Path,
                     std::chrono::milliseconds Timeout = TestReplyTimeout) {
    SetMainThread();
    return ReadPhoneIdentity(TPortChoice{0, Path}, Timeout);
}

TScriptStep Reply(const std::string& Command) {
    return {{StandardReply(Command)}};
}

// Every reply rewritten by Change before it is sent, in one piece.
TPhoneScript Rewritten(std::string (*Change)(std::string)) {
    return [Change](int, const std::string& Command) {
        return TScriptStep{{Change(StandardReply(Command))}};
    };
}

std::string Replace(std::string Text, std::string_view From, std::string_view To) {
    for (std::size_t At = Text.find(From); At != std::string::npos;
         At = Text.find(From, At + To.size())) {
        Text.replace(At, From.size(), To);
    }
    return Text;
}

void ExpectAllSeven(const TReadResult& Result) {
    EXPECT_EQ(Result.Outcome, TReadOutcome::roComplete) << Result.Error;
    ASSERT_EQ(Result.Count, 7U);
    EXPECT_EQ(Result.Answers[0], "Kestrel Mobile");
    EXPECT_EQ(Result.Answers[5], "R2.14 (modem 4.02)");
    EXPECT_EQ(Result.Answers[6], "357421098765438");
}

TEST(DeviceGoesAway, MidRunTheRunEndsAtOnceWithOneMessageAndNoCoreSpins) {
    {
        // One whole run first, so helpers started once per process (a sanitizer's
        // background thread) are there before counting.
        TScriptedPhone WarmUp([](int, const std::string& Command) { return Reply(Command); });
        ExpectAllSeven(ReadFrom(WarmUp.DevicePath()));
    }
    const TResourceCount Before = CountResources();
    {
        TScriptedPhone Phone([](int Index, const std::string& Command) {
            if (Index < 2) {
                return Reply(Command);
            }
            return TScriptStep{{"\r\nKM310_"}, true}; // the cable is pulled mid-answer
        });
        const TCpuProbe Cpu;
        const TReadResult Result = ReadFrom(Phone.DevicePath(), LongReplyTimeout);
        EXPECT_TRUE(Phone.HungUp());
        EXPECT_EQ(Result.Outcome, TReadOutcome::roDeviceLost);
        EXPECT_EQ(Result.Count, 2U);
        EXPECT_TRUE(Result.Error.starts_with("Lost the device " + Phone.DevicePath() + ": "))
            << Result.Error;
        // At once, not when the exchange's time is up.
        EXPECT_LT(Cpu.WallSeconds(), 0.5 * LongReplyTimeout.count() / 1000.0);
        // Waiting out a dead line must not busy-loop: a spinning core would use about as
        // much processor time as wall time passed.
        EXPECT_LT(Cpu.CpuSeconds(), 0.5 * Cpu.WallSeconds() + 0.25)
            << Cpu.CpuSeconds() << " s of processor time in " << Cpu.WallSeconds() << " s";
    }
    // The port was closed: nothing of it is left, and a new device reads normally.
    EXPECT_EQ(CountResources(), Before);
    TScriptedPhone Again([](int, const std::string& Command) { return Reply(Command); });
    ExpectAllSeven(ReadFrom(Again.DevicePath()));
}

TEST(DeviceGoesAway, BeforeTheFirstAnswerTheRunEndsWithAMessage) {
    TScriptedPhone Phone([](int, const std::string&) { return TScriptStep{{}, true}; });
    const TReadResult Result = ReadFrom(Phone.DevicePath(), LongReplyTimeout);
    EXPECT_EQ(Result.Outcome, TReadOutcome::roDeviceLost);
    EXPECT_EQ(Result.Count, 0U);
    EXPECT_TRUE(Result.Error.starts_with("Lost the device ")) << Result.Error;
}

TEST(OddReplies, CarriageReturnOnlyAndLineFeedOnlyLineEndsReadAllSeven) {
    TScriptedPhone CrOnly(
        Rewritten([](std::string R) { return Replace(std::move(R), "\r\n", "\r"); }));
    ExpectAllSeven(ReadFrom(CrOnly.DevicePath()));
    TScriptedPhone LfOnly(
        Rewritten([](std::string R) { return Replace(std::move(R), "\r\n", "\n"); }));
    ExpectAllSeven(ReadFrom(LfOnly.DevicePath()));
    TScriptedPhone Mixed(
        Rewritten([](std::string R) { return Replace(std::move(R), "\r\nOK", "\nOK\r"); }));
    ExpectAllSeven(ReadFrom(Mixed.DevicePath()));
}

TEST(OddReplies, NulBytesAreKeptAsCharactersAndNeverEndALine) {
    TScriptedPhone Phone([](int, const std::string& Command) {
        std::string R = StandardReply(Command);
        R.insert(R.find("\r\n", 2), std::string("\0X", 2)); // inside the answer line
        return TScriptStep{{std::string(3, '\0') + R}};
    });
    const TReadResult Result = ReadFrom(Phone.DevicePath());
    EXPECT_EQ(Result.Outcome, TReadOutcome::roComplete) << Result.Error;
    ASSERT_EQ(Result.Count, 7U);
    // The line of NULs before the reply is a line of it: no control byte is dropped.
    EXPECT_EQ(Result.Answers[1], std::string("\0\0\0 KM-310\0X", 12));
    EXPECT_NE(FormatAsJson(Result).find("\\u0000\\u0000\\u0000 KM-310\\u0000X"), std::string::npos);
}

// Bytes that form no text are the sign of another line speed, told apart from a silence.
TEST(OddReplies, GarbageWithoutALineEndEndsInTheTimeoutAsUnreadable) {
    TScriptedPhone Phone([](int, const std::string&) {
        std::string Garbage;
        for (int I = 0; I < 4096; ++I) {
            Garbage += static_cast<char>((I * 131 + 7) % 256 == '\r' ? 'x' : (I * 131 + 7) % 256);
        }
        return TScriptStep{{Replace(Garbage, "\n", "y")}};
    });
    const TReadResult Result = ReadFrom(Phone.DevicePath(), std::chrono::milliseconds(300));
    EXPECT_EQ(Result.Outcome, TReadOutcome::roUnreadable);
    EXPECT_EQ(Result.Silence, TSilence::siUnreadable);
    EXPECT_EQ(Result.Error, TimeoutMessage);
}

TEST(OddReplies, GarbageLinesBeforeTheAnswerBecomePartOfIt) {
    TScriptedPhone Phone([](int, const std::string& Command) {
        return TScriptStep{{"\x7f\xfe~\x01\r\n", StandardReply(Command)}};
    });
    const TReadResult Result = ReadFrom(Phone.DevicePath());
    EXPECT_EQ(Result.Outcome, TReadOutcome::roComplete) << Result.Error;
    ASSERT_EQ(Result.Count, 7U);
    // Control characters are kept wherever they stand (every output escapes them); bytes
    // above them are text.
    EXPECT_EQ(Result.Answers[0], "\x7f\xfe~\x01 Kestrel Mobile");
}

// With an input queue that holds it all, a megabyte of lines without a result code ends at
// the reply's 64 KiB bound, long before the exchange's time is up.
TEST(OddReplies, AReplyPastTheBoundEndsAsTooLongAndMemoryStaysBounded) {
    SetMainThread();
    const long PeakBefore = PeakResidentKiB();
    TScriptedPhone Phone([](int, const std::string&) {
        TScriptStep Step;
        for (int I = 0; I < 256; ++I) {
            Step.Pieces.emplace_back(4095, 'A');
            Step.Pieces.back() += '\n';
        }
        return Step;
    });
    TReadOptions Options;
    Options.ReplyTimeout = LongReplyTimeout;
    Options.InputQueue = 256 * 1024;
    const TCpuProbe Clock;
    const TReadResult Result = ReadPhones({TPortChoice{0, Phone.DevicePath()}}, Options).front();
    EXPECT_EQ(Result.Outcome, TReadOutcome::roPhoneError);
    EXPECT_EQ(Result.Count, 0U);
    EXPECT_EQ(Result.Error, ReplyTooLongMessage);
    EXPECT_LT(Clock.WallSeconds(), 0.5 * LongReplyTimeout.count() / 1000.0);
    if (!UnderSanitizer()) { // the sanitizers keep freed memory in quarantine
        EXPECT_LT(PeakResidentKiB() - PeakBefore, 8 * 1024);
    }
}

TEST(OddReplies, EverySplitOfAReplyIntoTwoWritesReadsTheSame) {
    const std::string Whole = StandardReply("AT+CGMM");
    for (std::size_t Cut = 1; Cut < Whole.size(); ++Cut) {
        TScriptedPhone Phone([Cut](int, const std::string& Command) {
            const std::string R = StandardReply(Command);
            const std::size_t At = std::min(Cut, R.size() - 1);
            return TScriptStep{{R.substr(0, At), R.substr(At)}};
        });
        const TReadResult Result = ReadFrom(Phone.DevicePath());
        EXPECT_EQ(Result.Outcome, TReadOutcome::roComplete) << "cut at " << Cut;
        EXPECT_EQ(Result.Answers[1], "KM-310") << "cut at " << Cut;
    }
}

} // namespace
