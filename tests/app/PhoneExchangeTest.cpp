// The exchange's rules, driven as the window and kivo-read drive it, with the time given by
// the test: notices of the common modules wherever they come, the lines that belong to a
// notice, an answer's own tag, the reply timer, refused commands and input that no reply
// awaits.

#include "app/PhoneExchange.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TTime = TPhoneExchange::TTime;

constexpr std::array<std::string_view, 7> Identity{
    "Kestrel Mobile",     "KM-310",         "KM310_R2.14", "Kestrel Mobile", "KM-310 GSM",
    "R2.14 (modem 4.02)", "357421098765438"};

// The pieces a phone sends after the write of a command (Step: its index).
using TPhone = std::function<std::vector<std::string>(std::size_t Step, std::string_view Command)>;

std::string Line(std::string_view Text) {
    return "\r\n" + std::string(Text) + "\r\n";
}

// The usual reply: the echo ended by CR, the answer, OK.
std::string Reply(std::string_view Command, std::string_view Answer) {
    return std::string(TrimLine(Command)) + "\r" + Line(Answer) + Line("OK");
}

// Every piece split into single characters.
std::vector<std::string> Bytewise(const std::vector<std::string>& Pieces) {
    std::vector<std::string> Bytes;
    for (const std::string& Piece : Pieces) {
        for (const char C : Piece) {
            Bytes.emplace_back(1, C);
        }
    }
    return Bytes;
}

// Runs a whole exchange at one instant: each command is written, its phone's pieces arrive,
// and a reply still awaited after them times out, as the driver's timer would make it.
TPhoneExchange Exchanged(const TPhone& Phone, TExchangeRules Rules = {},
                         const std::string& BeforeFirst = {}) {
    TPhoneExchange Exchange;
    Exchange.Opened({});
    Exchange.Received(BeforeFirst, TTime{});
    Exchange.Begin(Rules);
    while (!Exchange.Ended()) {
        const auto Step = static_cast<std::size_t>(Exchange.Step());
        const std::string Command(Exchange.NextCommand());
        Exchange.Sent(TTime{});
        for (const std::string& Piece : Phone(Step, Command)) {
            Exchange.Received(Piece, TTime{});
        }
        Exchange.TimedOut();
    }
    return Exchange;
}

void ExpectIdentity(const TPhoneExchange& Exchange, const std::string& Case) {
    EXPECT_EQ(Exchange.End(), TExchangeEnd::eeComplete) << Case << ": " << Exchange.Message();
    for (std::size_t I = 0; I < Identity.size(); ++I) {
        EXPECT_EQ(Exchange.Answers().at(I), Identity.at(I)) << Case;
    }
}

// Lines the modules send at boot, on SIM, network, time and power changes, from the makers'
// AT manuals: SIMCom, Quectel, u-blox, Telit, Sierra Wireless, Huawei, ZTE, Cinterion, Sony
// Ericsson, and those of 3GPP TS 27.007 and 27.005.
constexpr auto Notices = std::to_array<std::string_view>({
    "RDY",
    "Call Ready",
    "SMS Ready",
    "PB DONE",
    "SMS DONE",
    "APP RDY",
    "NORMAL POWER DOWN",
    "POWERED DOWN",
    "UNDER-VOLTAGE WARNNING",
    "OVER_VOLTAGE POWER DOWN",
    "DST: 0",
    "*PSUTTZ: 2026,3,14,9,30,0,\"+4\",0",
    "+QIND: SMS DONE",
    "+QIND: PB DONE",
    "+QUSIM: 1",
    "+CFUN: 1",
    "+CPIN: READY",
    "+PBREADY",
    "#QSS: 1",
    "#MWI: 1,1",
    "+UUSIMSTAT: 1",
    "+UUPSDA: 0,\"10.0.0.2\"",
    "+WIND: 4",
    "^BOOT:12345,0,0,0,72",
    "^SIMST: 1",
    "^SRVST: 2",
    "^RSSI:18",
    "+ZPASR: \"LTE\"",
    "+ZUSIMR:2",
    "^SYSSTART",
    "^SYSSTART AIRPLANE MODE",
    "^SHUTDOWN",
    "^SBC: Undervoltage",
    "*EMRDY: 1",
    "*ESIMSR: 1",
    "$MYURC: 1",
    "RING",
    "NO CARRIER",
    "+CRING: VOICE",
    "+CREG: 1,\"00C3\",\"1A2B\"",
    "+CMTI: \"SM\",3",
    "+CGEV: ME PDN ACT 1",
    "+CTZV: +04",
});

TEST(PhoneExchange, NoticesOfEveryMakerAreDroppedWhereverTheyComeInAnyPieces) {
    for (const std::string_view Notice : Notices) {
        const std::string N = Line(Notice);
        const std::vector<std::pair<std::string, TPhone>> Places{
            {"before the echo",
             [&](std::size_t S, std::string_view C) {
                 return std::vector<std::string>{N + Reply(C, Identity.at(S))};
             }},
            {"between the answer and OK",
             [&](std::size_t S, std::string_view C) {
                 return std::vector<std::string>{std::string(TrimLine(C)) + "\r" +
                                                 Line(Identity.at(S)) + N + Line("OK")};
             }},
            {"after OK",
             [&](std::size_t S, std::string_view C) {
                 return std::vector<std::string>{Reply(C, Identity.at(S)) + N};
             }},
        };
        for (const auto& Place : Places) {
            const TPhone& Phone = Place.second;
            const std::string Case = std::string(Notice) + " " + Place.first;
            ExpectIdentity(Exchanged(Phone), Case);
            ExpectIdentity(
                Exchanged([&](std::size_t S, std::string_view C) { return Bytewise(Phone(S, C)); }),
                Case + ", byte by byte");
        }
    }
    // A module that has just booted: all of them at once, before the first command.
    std::string Burst;
    for (const std::string_view Notice : Notices) {
        Burst += Line(Notice);
    }
    const TPhone Plain = [](std::size_t S, std::string_view C) {
        return std::vector<std::string>{Reply(C, Identity.at(S))};
    };
    ExpectIdentity(Exchanged(Plain, {}, Burst), "a boot burst");
}

TEST(PhoneExchange, TheLinesOfANoticeGoWithIt) {
    const std::vector<std::pair<std::string, std::string>> TwoLineNotices{
        {"+CMT: \"+15550100\",,\"26/03/14,09:30:00+04\"", "Hello, call me back"},
        {"+CMT: ,24", "0791448720003023240DD0"},
        {"+CBM: 1,50,1,1,1", "Storm warning"},
        {"+CBM: 88", "C0110321230F0"},
        {"+CDS: 25", "07914477790706520"},
        {"+CUSD: 0,\"Balance: 5.00\r\nValid until\r\n2026-04-01\",15", ""},
    };
    for (const auto& Notice : TwoLineNotices) {
        const std::string& Header = Notice.first;
        const std::string& Text = Notice.second;
        // Before the echo, the notice's line in a piece of its own.
        ExpectIdentity(Exchanged([&](std::size_t S, std::string_view C) {
                           return std::vector<std::string>{Line(Header), Text + "\r\n",
                                                           Reply(C, Identity.at(S))};
                       }),
                       Header + " before the echo");
        // After OK, its line split at the CR LF, the rest with the next reply.
        ExpectIdentity(Exchanged([&](std::size_t S, std::string_view C) {
                           return std::vector<std::string>{
                               Reply(C, Identity.at(S)) + Line(Header) + Text + "\r", "\n"};
                       }),
                       Header + " after OK");
        ExpectIdentity(Exchanged([&](std::size_t S, std::string_view C) {
                           std::string Piece = S == 1 ? Text + "\r\n" : "";
                           Piece += Reply(C, Identity.at(S));
                           Piece += S == 0 ? Line(Header) : "";
                           return std::vector<std::string>{Piece};
                       }),
                       Header + " after OK, its line after the next write");
    }
    // A delivery report in text mode is one line: the line right after it is the answer.
    const auto Report = Exchanged([](std::size_t S, std::string_view) {
        return std::vector<std::string>{Line("+CDS: 6,202,\"+15550100\",145,\"26/03/14\"") +
                                        std::string(Identity.at(S)) + "\r\n" + Line("OK")};
    });
    ExpectIdentity(Report, "+CDS: in text mode");
}

TEST(PhoneExchange, ALineThatMerelyContainsANoticeIsAnswerText) {
    for (const std::string_view Answer :
         {"RDY-2000", "Call Ready 2", "SMS Ready Phone", "RING 3574", "Model ^RSSI:18", "DST",
          "#5 revision", "+7 495 1234567", "$ 35", "+GMI: Kestrel"}) {
        const auto Exchange = Exchanged([Answer](std::size_t, std::string_view C) {
            return std::vector<std::string>{Reply(C, Answer)};
        });
        EXPECT_EQ(Exchange.Answers()[0], Answer);
        EXPECT_EQ(Exchange.End(), TExchangeEnd::eeComplete) << Answer;
    }
}

TEST(PhoneExchange, AnAnswerLosesItsOwnTagAndTheQuotesOfASingleValueOnly) {
    const std::vector<std::pair<std::string, std::string>> Cases{
        {"+CGMI: \"Motorola CE, Copyright 2000\"", "Motorola CE, Copyright 2000"},
        {"+CGMI:Motorola", "Motorola"},
        {"+cgmi: \" Motorola \"", "Motorola"},
        {"+CGMI: \"Moto\",\"rola\"", "\"Moto\",\"rola\""},
        {"+CGMI: Moto \"X\"", "Moto \"X\""},
        {"+CGMI:", ""},
        {"+CGMM: \"X\"", "+CGMM: \"X\""},
        {"Motorola \"CE\"", "Motorola \"CE\""},
    };
    for (const auto& Case : Cases) {
        const auto Exchange = Exchanged([&Case](std::size_t, std::string_view C) {
            return std::vector<std::string>{Reply(C, Case.first)};
        });
        EXPECT_EQ(Exchange.Answers()[0], Case.second) << Case.first;
    }
    const auto Serial = Exchanged([](std::size_t S, std::string_view C) {
        return std::vector<std::string>{
            Reply(C, S == 6 ? "+CGSN: 359072060123456" : "+GMI: \"x\"")};
    });
    EXPECT_EQ(Serial.Answers()[6], "359072060123456");
    EXPECT_EQ(Serial.Answers()[3], "x");           // AT+GMI's own tag
    EXPECT_EQ(Serial.Answers()[0], "+GMI: \"x\""); // not AT+CGMI's
}

// The timer runs one period from the write to the first character and from each piece to the
// next; a reply that never ends is cut at ReplyLimitPeriods periods.
TEST(PhoneExchange, SilenceOfOnePeriodEndsAReplyNotItsLength) {
    const TTime T0{};
    TPhoneExchange Slow;
    Slow.Opened({});
    Slow.Begin({});
    Slow.Sent(T0);
    EXPECT_EQ(Slow.Deadline(), T0 + 5s);
    EXPECT_EQ(Slow.Received("AT+CGMI\r", T0 + 4s), TStepResult::srWaiting);
    EXPECT_EQ(Slow.Deadline(), T0 + 9s);
    EXPECT_EQ(Slow.Received("\r\nKestrel ", T0 + 8s), TStepResult::srWaiting);
    EXPECT_EQ(Slow.Received("", T0 + 12s), TStepResult::srWaiting);
    EXPECT_EQ(Slow.Deadline(), T0 + 13s) << "an empty read is no piece";
    EXPECT_EQ(Slow.Received("Mobile\r\nOK\r\n", T0 + 12500ms), TStepResult::srAnswered);
    EXPECT_EQ(Slow.LastAnswer(), "Kestrel Mobile");

    // A piece, then silence: a period after the piece.
    Slow.Sent(T0 + 20s);
    Slow.Received("\r\nKM", T0 + 21s);
    EXPECT_EQ(Slow.Deadline(), T0 + 26s);
    EXPECT_EQ(Slow.TimedOut(), TStepResult::srFailed);
    EXPECT_EQ(Slow.LastMessage(), TimeoutMessage);
    EXPECT_EQ(Slow.End(), TExchangeEnd::eeNoAnswer);
    EXPECT_EQ(Slow.Asked(), 1U);

    // Text without end: cut four periods after the write, however often it came.
    TPhoneExchange Stream;
    Stream.Begin({.Period = 1s});
    Stream.Sent(T0);
    for (auto At = 500ms; At < 4s; At += 500ms) {
        ASSERT_EQ(Stream.Received("$GPGGA,1\r\n", T0 + At), TStepResult::srWaiting);
    }
    EXPECT_EQ(Stream.Deadline(), T0 + 4s);
    EXPECT_EQ(Stream.Received("$GPGGA,1\r\n", T0 + 4s), TStepResult::srFailed);
    EXPECT_EQ(Stream.Message(), TimeoutMessage);

    // The handshake's "AT" has one period from its write, pieces or not.
    TPhoneExchange Probe;
    Probe.Begin({.Handshake = 1s});
    EXPECT_EQ(Probe.NextCommand(), "AT\r\n");
    Probe.Sent(T0);
    Probe.Received("$GP", T0 + 900ms);
    EXPECT_EQ(Probe.Deadline(), T0 + 1s);
    Probe.TimedOut();
    EXPECT_EQ(Probe.End(), TExchangeEnd::eeNotAPhone);
    Probe.Begin({.Handshake = 1s});
    Probe.Sent(T0);
    Probe.TimedOut();
    EXPECT_EQ(Probe.End(), TExchangeEnd::eeSilent);
}

TEST(PhoneExchange, ARefusalEndsTheWindowsRunWhileKivoReadAsksEveryCommand) {
    const TPhone Refusing = [](std::size_t S, std::string_view C) {
        const std::string Echo = std::string(TrimLine(C)) + "\r";
        if (S == 2) {
            return std::vector<std::string>{Echo + Line("ERROR")};
        }
        if (S == 5) {
            return std::vector<std::string>{Echo + Line("+CME ERROR: 10")};
        }
        return std::vector<std::string>{Reply(C, Identity.at(S))};
    };
    const auto Window = Exchanged(Refusing);
    EXPECT_EQ(Window.End(), TExchangeEnd::eeRefused);
    EXPECT_EQ(Window.Message(), InvalidCommandMessage);
    EXPECT_EQ(Window.Asked(), 3U);
    EXPECT_EQ(Window.Answers()[1], Identity[1]);
    EXPECT_EQ(Window.Answers()[3], "");

    const auto Reader = Exchanged(Refusing, {.AskEveryCommand = true});
    EXPECT_EQ(Reader.End(), TExchangeEnd::eeComplete);
    EXPECT_EQ(Reader.Message(), "");
    EXPECT_EQ(Reader.Asked(), 7U);
    for (std::size_t I = 0; I < Identity.size(); ++I) {
        const bool Refused = I == 2 || I == 5;
        EXPECT_EQ(Reader.Answers().at(I), Refused ? "" : Identity.at(I)) << I;
    }
    EXPECT_EQ(Reader.Errors()[2], InvalidCommandMessage);
    EXPECT_EQ(Reader.Errors()[5], "+CME ERROR 10: SIM not inserted.");
    EXPECT_EQ(Reader.Errors()[6], "");

    // A lost port ends either run at once.
    TPhoneExchange Lost;
    Lost.Begin({.AskEveryCommand = true});
    Lost.Sent(TTime{});
    EXPECT_EQ(Lost.DeviceLost("Lost the device COM4: Input/output error."), TStepResult::srFailed);
    EXPECT_EQ(Lost.End(), TExchangeEnd::eeDeviceLost);
    EXPECT_EQ(Lost.NextCommand(), "");
}

// What the port held when it was opened, and lines that come while no reply is awaited, are
// no answer; a line begun before a write is none either.
TEST(PhoneExchange, InputThatNoReplyAwaitsIsNoPartOfAnAnswer) {
    TPhoneExchange Exchange;
    Exchange.Opened("\xff\x01garbage\r\nKestrel boot 1.0\r\nboot 2");
    Exchange.Begin({});
    Exchange.Sent(TTime{});
    EXPECT_EQ(Exchange.Received("nd stage\r\n" + Reply("AT+CGMI", "Kestrel Mobile"), TTime{}),
              TStepResult::srAnswered);
    EXPECT_EQ(Exchange.LastAnswer(), "Kestrel Mobile");
    EXPECT_EQ(Exchange.Received("\r\nleft over\r\npart", TTime{}), TStepResult::srWaiting);
    Exchange.Sent(TTime{});
    EXPECT_EQ(Exchange.Received("ial\r\n" + Reply("AT+CGMM", "KM-310"), TTime{}),
              TStepResult::srAnswered);
    EXPECT_EQ(Exchange.LastAnswer(), "KM-310");
}

} // namespace

namespace {

// A reply that ends without its result code keeps the message the window shows, and says what
// came of it: nothing, a reply that stopped, bytes that form no text, or text that kept
// coming without a result code.
TEST(PhoneExchange, AReplyEndedWithoutResultCodeSaysWhatCameOfIt) {
    struct TCase {
        std::vector<std::string> Pieces; // one every 500 ms after the write
        bool Handshake;
        TSilence Silence;
    };
    const std::vector<TCase> Cases{
        {{}, false, TSilence::siNothing},
        {{"AT+CGMI\r\r\nKestrel"}, false, TSilence::siStopped},
        {{std::string("\xf8\x00\x86\xfe\x1e\x80\xe0", 7)}, false, TSilence::siUnreadable},
        {{"\r\nKM\u202e310\xff"}, false, TSilence::siUnreadable},
        {std::vector<std::string>(9, "$GPGGA,1\r\n"), false, TSilence::siNoResultCode},
        {{"$GP"}, true, TSilence::siNoResultCode},
        {{"\xfe\x1e"}, true, TSilence::siUnreadable},
        {{}, true, TSilence::siNothing},
    };
    const TTime T0{};
    for (std::size_t I = 0; I < Cases.size(); ++I) {
        const TCase& C = Cases[I];
        TPhoneExchange Exchange;
        Exchange.Opened({});
        Exchange.Begin({.Period = 1s, .Handshake = C.Handshake ? 1s : 0s});
        Exchange.Sent(T0);
        auto At = T0;
        for (const std::string& Piece : C.Pieces) {
            At += 400ms;
            Exchange.Received(Piece, At);
        }
        if (!Exchange.Ended()) {
            EXPECT_EQ(Exchange.TimedOut(), TStepResult::srFailed);
        }
        EXPECT_EQ(Exchange.Silence(), C.Silence) << "case " << I;
        EXPECT_EQ(Exchange.Message(),
                  C.Handshake ? (C.Pieces.empty() ? NoAnswerToAtMessage : NotAPhoneMessage)
                              : TimeoutMessage);
    }
}

} // namespace
