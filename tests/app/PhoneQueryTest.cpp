// The reply of one exchange taken apart: answer extraction, final result codes, equipment
// errors and the bound on the reply, for every way a reply can arrive in pieces.

#include "app/PhoneQuery.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr std::string_view Cmd = "AT+CGMI\r\n";

// Feeds Reply in the given pieces and returns the parser.
TReplyParser Feed(const std::vector<std::string>& Pieces, std::string_view Command = Cmd) {
    TReplyParser Parser(Command);
    for (const auto& Piece : Pieces) {
        Parser.Append(Piece);
    }
    return Parser;
}

// Every split of Reply into two pieces, and one byte at a time, ends the same way.
void ExpectSameForEverySplit(const std::string& Reply, TReplyStatus Status,
                             const std::string& AnswerOrMessage) {
    auto Check = [&](const TReplyParser& P, const std::string& How) {
        ASSERT_EQ(P.Status(), Status) << How;
        if (Status == TReplyStatus::rsOk) {
            EXPECT_EQ(P.Answer(), AnswerOrMessage) << How;
        } else {
            EXPECT_EQ(P.ErrorMessage(), AnswerOrMessage) << How;
        }
    };
    for (std::size_t At = 0; At <= Reply.size(); ++At) {
        Check(Feed({Reply.substr(0, At), Reply.substr(At)}), "split at " + std::to_string(At));
    }
    std::vector<std::string> Bytes;
    for (const char C : Reply) {
        Bytes.emplace_back(1, C);
    }
    Check(Feed(Bytes), "byte by byte");
}

TEST(ReplyParser, AnswerWithoutEchoWithEchoAndWithEchoAndLineFeed) {
    ExpectSameForEverySplit("\r\nKestrel Mobile\r\n\r\nOK\r\n", TReplyStatus::rsOk,
                            "Kestrel Mobile");
    ExpectSameForEverySplit("AT+CGMI\r\r\nKestrel Mobile\r\n\r\nOK\r\n", TReplyStatus::rsOk,
                            "Kestrel Mobile");
    ExpectSameForEverySplit("AT+CGMI\r\n\r\nKestrel Mobile\r\n\r\nOK\r\n", TReplyStatus::rsOk,
                            "Kestrel Mobile");
}

TEST(ReplyParser, EchoIsRecognisedWhateverItsCaseAndBlanks) {
    EXPECT_EQ(Feed({"at+cgmi \r\r\nX\r\nOK\r\n"}).Answer(), "X");
    EXPECT_EQ(Feed({"  AT+CGMI\r\nX\r\nOK\r\n"}).Answer(), "X");
    // Only the command sent counts as its echo.
    EXPECT_EQ(Feed({"AT+CGMM\r\nX\r\nOK\r\n"}).Answer(), "AT+CGMM X");
}

TEST(ReplyParser, SeveralAnswerLinesAreJoinedWithOneBlank) {
    ExpectSameForEverySplit("\r\nA\r\nB\r\nC\r\n\r\nOK\r\n", TReplyStatus::rsOk, "A B C");
    // Lone CR and lone LF end lines too.
    ExpectSameForEverySplit("\rA\rB\nC\n\nOK\n", TReplyStatus::rsOk, "A B C");
}

TEST(ReplyParser, NoAnswerLineGivesAnEmptyAnswer) {
    ExpectSameForEverySplit("\r\nOK\r\n", TReplyStatus::rsOk, "");
    ExpectSameForEverySplit("AT+CGMI\r\r\nOK\r\n", TReplyStatus::rsOk, "");
}

// One rule for a control character wherever it stands in an answer: kept (every output
// escapes it), never dropped at the start or the end of a line. Spaces around a line go.
TEST(ReplyParser, AnswerLinesLoseTheirSpacesButKeepEveryControlCharacter) {
    // A sister command's tag is no tag of this one's: it stays, as the quotes do.
    EXPECT_EQ(Feed({"\r\n \t\x01+CGMM: \"Kestrel\" \x7f\r\n\r\nOK\r\n"}).Answer(),
              "\t\x01+CGMM: \"Kestrel\" \x7f");
    EXPECT_EQ(Feed({"\r\n  A  B \r\nOK\r\n"}).Answer(), "A  B");
    for (const std::string& C : std::vector<std::string>{"\x1b", "\x7f", "\t", {'\0'}}) {
        std::string Around = C;
        Around.append("KM-310").append(C);
        EXPECT_EQ(Feed({"\r\n" + Around + "\r\nOK\r\n"}).Answer(), Around)
            << static_cast<int>(C[0]);
        EXPECT_EQ(Feed({"\r\nKM" + C + "310\r\nOK\r\n"}).Answer(), "KM" + C + "310");
        TReplyParser Tagged("AT+CGMM");
        Tagged.Append("\r\n+CGMM: \"" + C + "KM-310\"\r\nOK\r\n");
        EXPECT_EQ(Tagged.Answer(), C + "KM-310");
    }
    // Result codes are known whatever surrounds them.
    EXPECT_EQ(Feed({"\r\nKM-310\r\n\tOK \x7f\r\n"}).Status(), TReplyStatus::rsOk);
}

TEST(ReplyParser, WaitsForTheFinalLineToBeComplete) {
    TReplyParser P(Cmd);
    EXPECT_EQ(P.Append("\r\nA\r\n\r\nOK"), TReplyStatus::rsPending);
    EXPECT_EQ(P.Append("\r"), TReplyStatus::rsOk);
    EXPECT_EQ(P.Answer(), "A");
    // "OKAY" is not a result code.
    EXPECT_EQ(Feed({"\r\nOKAY\r\n"}).Status(), TReplyStatus::rsPending);
}

TEST(ReplyParser, NothingChangesAfterTheReplyEnded) {
    TReplyParser P(Cmd);
    P.Append("\r\nA\r\nOK\r\n");
    EXPECT_EQ(P.Append("\r\nERROR\r\n"), TReplyStatus::rsOk);
    EXPECT_EQ(P.Answer(), "A");
    EXPECT_EQ(P.Response(), "\r\nA\r\nOK\r\n");
}

TEST(ReplyParser, ErrorAndTheRefusalsOfHuaweiModulesAreAnInvalidCommand) {
    ExpectSameForEverySplit("AT+CGMI\r\r\nERROR\r\n", TReplyStatus::rsError,
                            "ERROR: Invalid AT command.");
    ExpectSameForEverySplit("\r\nCOMMAND NOT SUPPORT\r\n", TReplyStatus::rsError,
                            "ERROR: Invalid AT command.");
    ExpectSameForEverySplit("\r\nTOO MANY PARAMETERS\r\n", TReplyStatus::rsError,
                            "ERROR: Invalid AT command.");
    EXPECT_TRUE(Feed({"\r\nERROR\r\n"}).Answer().empty());
}

TEST(ReplyParser, NumericEquipmentErrorInAnyPiecesAndFollowedByOtherText) {
    ExpectSameForEverySplit("\r\n+CME ERROR: 10\r\n", TReplyStatus::rsCmeError,
                            "+CME ERROR 10: SIM not inserted.");
    ExpectSameForEverySplit("AT+CGMI\r\n\r\n+CME ERROR: 10\r\nRING\r\n", TReplyStatus::rsCmeError,
                            "+CME ERROR 10: SIM not inserted.");
    ExpectSameForEverySplit("\r\n+CME ERROR:3\n", TReplyStatus::rsCmeError,
                            "+CME ERROR 3: Operation not allowed.");
    // Not complete until the line ends: "1" could still become "10" or "11".
    TReplyParser P(Cmd);
    EXPECT_EQ(P.Append("\r\n+CME ERROR: 1"), TReplyStatus::rsPending);
    EXPECT_EQ(P.Append("1\r\n"), TReplyStatus::rsCmeError);
    EXPECT_EQ(P.ErrorMessage(), "+CME ERROR 11: SIM PIN required.");
}

TEST(ReplyParser, VerboseEquipmentErrorShowsItsText) {
    ExpectSameForEverySplit("\r\n+CME ERROR: SIM not inserted\r\n", TReplyStatus::rsCmeError,
                            "+CME ERROR: SIM not inserted.");
    EXPECT_EQ(Feed({"\r\n+CME ERROR:   \r\n"}).ErrorMessage(), "+CME ERROR: .");
    EXPECT_EQ(Feed({"\r\n+CME ERROR: 10 SIM\r\n"}).ErrorMessage(), "+CME ERROR: 10 SIM.");
}

TEST(ReplyParser, FirstFinalLineDecides) {
    EXPECT_EQ(Feed({"\r\nERROR\r\n\r\nOK\r\n"}).Status(), TReplyStatus::rsError);
    EXPECT_EQ(Feed({"\r\nA\r\nOK\r\n+CME ERROR: 10\r\n"}).Status(), TReplyStatus::rsOk);
}

TEST(ReplyParser, AReplyPastSixtyFourKibWithoutAResultCodeIsTooLong) {
    TReplyParser P(Cmd);
    const std::string Line(79, 'x');
    while (P.Response().size() + Line.size() + 2 <= MaxReplyLength) {
        ASSERT_EQ(P.Append(Line + "\r\n"), TReplyStatus::rsPending);
    }
    EXPECT_EQ(P.Append(std::string(MaxReplyLength - P.Response().size(), 'y')),
              TReplyStatus::rsPending);
    EXPECT_EQ(P.Append("z"), TReplyStatus::rsOverflow);
    EXPECT_EQ(P.ErrorMessage(), "ERROR: Reply too long (no result code within 64 KiB).");
    // The final line arriving in the same chunk that crosses the bound still counts.
    TReplyParser Q(Cmd);
    EXPECT_EQ(Q.Append(std::string(MaxReplyLength, 'x') + "\r\nOK\r\n"), TReplyStatus::rsOk);
}

// Shapes recorded from modems: a Huawei stick's PC UI port reports the signal level every
// few seconds, a phone rings or registers while it answers.
TEST(UnsolicitedCodes, AreDroppedFromTheAnswerWhereverTheyCome) {
    // Before the echo, and between the answer and OK.
    ExpectSameForEverySplit("\r\n^RSSI:18\r\nAT+CGMI\r\r\nhuawei\r\n\r\n^MODE:5,4\r\n\r\nOK\r\n",
                            TReplyStatus::rsOk, "huawei");
    ExpectSameForEverySplit("\r\nRING\r\n\r\nKestrel\r\n\r\n+CREG: 1,\"00C3\",\"1A2B\"\r\n"
                            "\r\n+CMTI: \"SM\",3\r\n\r\nOK\r\n",
                            TReplyStatus::rsOk, "Kestrel");
    ExpectSameForEverySplit("\r\n^BOOT:12345,0,0,0,72\r\n^HCSQ:\"LTE\",50,41,125,21\r\n"
                            "^DSFLOWRPT:00000010,00000000\r\n^SYSSTART\r\nNO CARRIER\r\n"
                            "\r\n+CME ERROR: 10\r\n",
                            TReplyStatus::rsCmeError, "+CME ERROR 10: SIM not inserted.");
    // Alone, left over from between two commands: the reply goes on waiting.
    EXPECT_EQ(Feed({"\r\n^RSSI:18\r\n", "\r\n+CEREG: 1\r\n"}).Status(), TReplyStatus::rsPending);
    EXPECT_EQ(Feed({"\r\n^RSSI:18\r\n"}).Response(), "\r\n^RSSI:18\r\n");
}

TEST(UnsolicitedCodes, AnAnswerThatMerelyContainsOneStays) {
    EXPECT_EQ(Feed({"\r\nRING 3574\r\nOK\r\n"}).Answer(), "RING 3574");
    EXPECT_EQ(Feed({"\r\nModel ^RSSI:18 +CREG: 1\r\nOK\r\n"}).Answer(), "Model ^RSSI:18 +CREG: 1");
    EXPECT_EQ(Feed({"\r\nRINGER\r\nNO CARRIERS\r\nOK\r\n"}).Answer(), "RINGER NO CARRIERS");
    EXPECT_TRUE(IsUnsolicitedLine("  +CUSD: 0,\"Balance\",15 \r"));
    EXPECT_FALSE(IsUnsolicitedLine("+CGMI: Kestrel"));
}

TEST(EquipmentErrors, TableSpotChecksAndThePeriodAdded) {
    EXPECT_EQ(CmeErrorMessage("0"), "+CME ERROR 0: Phone failure.");
    EXPECT_EQ(CmeErrorMessage("4"), "+CME ERROR 4: Operation not supported..");
    EXPECT_EQ(CmeErrorMessage("8"), "+CME ERROR 8: .");
    EXPECT_EQ(CmeErrorMessage("32"), "+CME ERROR 32: Network not allowed - emergency calls only.");
    EXPECT_EQ(CmeErrorMessage("47"), "+CME ERROR 47: Corporate personalisation PUK required.");
    EXPECT_EQ(CmeErrorMessage("100"), "+CME ERROR 100: Unknown.");
    EXPECT_EQ(CmeErrorMessage("113"), "+CME ERROR 113: Roaming not allowed in this location area.");
    EXPECT_EQ(CmeErrorMessage("-1"), "+CME ERROR -1: .");
    EXPECT_EQ(CmeErrorMessage(" 010 "), "+CME ERROR 10: SIM not inserted.");
    EXPECT_EQ(CmeErrorMessage("99999999999999999999"), "+CME ERROR: 99999999999999999999.");
}

TEST(EquipmentErrors, ExactlyFortyThreeCodesHaveAText) {
    int WithText = 0;
    for (int Code = -200; Code <= 1000; ++Code) {
        WithText += CmeErrorText(Code).empty() ? 0 : 1;
    }
    EXPECT_EQ(WithText, 43);
    for (int Code : {8, 9, 19, 28, 29, 33, 39, 48, 99, 101, 102, 104, 105, 108, 110, 114}) {
        EXPECT_TRUE(CmeErrorText(Code).empty()) << Code;
    }
}

TEST(QueryCommands, SevenCommandsInOrderEndingInCarriageReturnLineFeed) {
    ASSERT_EQ(QueryCommands.size(), 7U);
    EXPECT_EQ(QueryCommands[0].Text, "AT+CGMI\r\n");
    EXPECT_EQ(QueryCommands[3].Text, "AT+GMI\r\n");
    EXPECT_EQ(QueryCommands[6].Text, "AT+CGSN\r\n");
    EXPECT_EQ(QueryCommands[6].Label, "Serial Number:");
}

} // namespace
