#include "app/PhoneQuery.h"

#include "serial/VaTypes.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

namespace {

struct TCmeEntry {
    int Code;
    std::string_view Text;
};

constexpr std::array<TCmeEntry, 43> CmeTable{{
    {0, "Phone failure"},
    {1, "No connection to phone"},
    {2, "Phone-adaptor link reserved"},
    {3, "Operation not allowed"},
    {4, "Operation not supported."},
    {5, "PH-SIM PIN required"},
    {6, "PH-FSIM PIN required"},
    {7, "PH-FSIM PUK required"},
    {10, "SIM not inserted"},
    {11, "SIM PIN required"},
    {12, "SIM PUK required"},
    {13, "SIM failure"},
    {14, "SIM busy"},
    {15, "SIM wrong"},
    {16, "Incorrect password"},
    {17, "SIM PIN2 required"},
    {18, "SIM PUK2 required"},
    {20, "Memory full"},
    {21, "Invalid index"},
    {22, "Not found"},
    {23, "Memory failure"},
    {24, "Text string too long"},
    {25, "Invalid characters in text string"},
    {26, "Dial string too long"},
    {27, "Invalid characters in dial string"},
    {30, "No network service"},
    {31, "Network timeout"},
    {32, "Network not allowed - emergency calls only"},
    {40, "Network personalisation PIN required"},
    {41, "Network personalisation PUK required"},
    {42, "Network subset personalisation PIN required"},
    {43, "Network subset personalisation PUK required"},
    {44, "Service provider personalisation PIN required"},
    {45, "Service provider personalisation PUK required"},
    {46, "Corporate personalisation PIN required"},
    {47, "Corporate personalisation PUK required"},
    {100, "Unknown"},
    {103, "Illegal MS"},
    {106, "Illegal ME"},
    {107, "GPRS services not allowed"},
    {111, "PLMN not allowed"},
    {112, "Location area not allowed"},
    {113, "Roaming not allowed in this location area"},
}};

constexpr std::string_view CmeMarker = "+CME ERROR:";

// The result codes of a refused command: V.250's ERROR, and the two that Huawei's modules
// (E-series sticks, EM770W) give instead for a command they do not know and for one with
// too many parameters (their AT command interface specifications, appendix 1).
constexpr auto RefusalResults = std::to_array<std::string_view>({
    "ERROR",
    "COMMAND NOT SUPPORT",
    "TOO MANY PARAMETERS",
});

// The untagged notices (every tagged one follows from the rule in IsUnsolicitedLine). An
// entry ending in ":" starts a line with parameters; any other entry is a whole line, in any
// case. From ITU-T V.250, 3GPP TS 27.007, and the makers' AT command manuals:
// - SIMCom (SIM800 and SIM900 series, SIM7000 and SIM7600 series): the boot and ready lines,
//   the voltage and power-down lines (their own spelling "WARNNING" included), and the
//   "DST:" line after a network time "*PSUTTZ:";
// - Quectel (M95, UC15, BG96, EC25 and later): the boot line, "APP RDY" of the newer
//   modules, and the power-down and voltage lines, written with "_" where SIMCom has "-";
// - Cinterion (Siemens, later Gemalto and Thales): the start-up lines of its special modes;
//   its plain "^SYSSTART", "^SHUTDOWN" and "+PBREADY" are tagged;
// - u-blox (+UUSIMSTAT), Telit (#QSS), Sierra Wireless (+WIND), Huawei (^BOOT, ^SIMST,
//   ^SRVST), ZTE (+ZPASR, +ZUSIMR) and Sony Ericsson (*EMRDY, *ESIMSR) announce boot, SIM,
//   network and power changes with tagged lines only.
constexpr auto UntaggedNotices = std::to_array<std::string_view>({
    // V.250 and 3GPP TS 27.007: an incoming call, a call or connection that ended
    "RING",
    "NO CARRIER",
    // SIMCom
    "RDY",
    "Call Ready",
    "SMS Ready",
    "PB DONE",
    "SMS DONE",
    "NORMAL POWER DOWN",
    "UNDER-VOLTAGE POWER DOWN",
    "UNDER-VOLTAGE WARNNING",
    "OVER-VOLTAGE POWER DOWN",
    "OVER-VOLTAGE WARNNING",
    "DST:",
    // Quectel
    "APP RDY",
    "POWERED DOWN",
    "UNDER_VOLTAGE POWER DOWN",
    "UNDER_VOLTAGE WARNING",
    "OVER_VOLTAGE POWER DOWN",
    "OVER_VOLTAGE WARNING",
    // Cinterion
    "^SYSSTART AIRPLANE MODE",
    "^SYSSTART CHARGE ONLY MODE",
    "^SYSSTART ALARM MODE",
});

// The identity commands: their answers may carry their own tag ("+CGSN: 35..."), or (on some
// phones) that of a sister command, but never any other.
constexpr auto IdentityNames = std::to_array<std::string_view>({
    "CGMI",
    "GMI",
    "CGMM",
    "GMM",
    "CGMR",
    "GMR",
    "CGSN",
    "GSN",
});

// The characters that start a tag: "+" of the standards, and the makers' own.
constexpr std::string_view TagStarts = "+^*#$";

// Text without the spaces around it.
std::string_view TrimSpaces(std::string_view Text) {
    while (!Text.empty() && Text.front() == ' ') {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && Text.back() == ' ') {
        Text.remove_suffix(1);
    }
    return Text;
}

bool IsBlankOrControl(char C) {
    const auto Code = static_cast<unsigned char>(C);
    return Code <= 32 || Code == 127;
}

bool EqualsIgnoringCase(std::string_view A, std::string_view B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
               return std::toupper(static_cast<unsigned char>(X)) ==
                      std::toupper(static_cast<unsigned char>(Y));
           });
}

bool StartsWithIgnoringCase(std::string_view Text, std::string_view Start) {
    return Text.size() >= Start.size() && EqualsIgnoringCase(Text.substr(0, Start.size()), Start);
}

bool IsNameCharacter(char C) {
    return std::isalnum(static_cast<unsigned char>(C)) != 0 || C == '_';
}

// The NAME of a line that is a tag, alone or followed by ":"; empty for any other line.
std::string_view TagName(std::string_view Text) {
    if (Text.size() < 2 || TagStarts.find(Text.front()) == std::string_view::npos ||
        std::isalpha(static_cast<unsigned char>(Text[1])) == 0) {
        return {};
    }
    std::size_t End = 1;
    while (End < Text.size() && IsNameCharacter(Text[End])) {
        ++End;
    }
    return End == Text.size() || Text[End] == ':' ? Text.substr(1, End - 1) : std::string_view();
}

// True for a tagged line whose tag is not an identity command's.
bool HasForeignTag(std::string_view Text) {
    const std::string_view Name = TagName(Text);
    return !Name.empty() &&
           std::none_of(IdentityNames.begin(), IdentityNames.end(),
                        [Name](std::string_view Own) { return EqualsIgnoringCase(Name, Own); });
}

std::size_t QuoteCount(std::string_view Text) {
    return static_cast<std::size_t>(std::count(Text.begin(), Text.end(), '"'));
}

// A delivery report in PDU mode ("+CDS: 25"): its parameters are only the PDU's length.
bool IsPduReport(std::string_view Text) {
    constexpr std::string_view Report = "+CDS:";
    const std::string_view Length = TrimLine(Text.substr(Report.size()));
    return !Length.empty() && std::all_of(Length.begin(), Length.end(), [](char C) {
        return std::isdigit(static_cast<unsigned char>(C)) != 0;
    });
}

// A decimal integer with an optional sign, and nothing else.
std::optional<std::int64_t> ParseCode(std::string_view Text) {
    std::int64_t Value = 0;
    const char* First = Text.data();
    const char* Last = First + Text.size();
    if (First != Last && *First == '+') {
        ++First;
    }
    if (First == Last || *First == '+') {
        return std::nullopt;
    }
    const auto [End, Error] = std::from_chars(First, Last, Value);
    if (Error != std::errc() || End != Last) {
        return std::nullopt;
    }
    return Value;
}

} // namespace

std::string_view CmeErrorText(std::int64_t Code) {
    const auto* Entry = std::find_if(CmeTable.begin(), CmeTable.end(),
                                     [Code](const TCmeEntry& E) { return E.Code == Code; });
    return Entry == CmeTable.end() ? std::string_view() : Entry->Text;
}

std::string CmeErrorMessage(std::string_view Detail) {
    const std::string_view Trimmed = TrimLine(Detail);
    if (const auto Code = ParseCode(Trimmed)) {
        return "+CME ERROR " + std::to_string(*Code) + ": " + std::string(CmeErrorText(*Code)) +
               ".";
    }
    return "+CME ERROR: " + std::string(Trimmed) + ".";
}

bool IsReceiveOverrun(int Errors) {
    return HasLineError(static_cast<std::uint32_t>(Errors), leRxOver | leOverrun);
}

bool IsUnsolicitedLine(std::string_view Line) {
    const std::string_view Text = TrimLine(Line);
    const bool Untagged = std::any_of(
        UntaggedNotices.begin(), UntaggedNotices.end(), [Text](std::string_view Notice) {
            return Notice.back() == ':' ? StartsWithIgnoringCase(Text, Notice)
                                        : EqualsIgnoringCase(Text, Notice);
        });
    return Untagged || HasForeignTag(Text);
}

std::string_view TrimLine(std::string_view Line) {
    while (!Line.empty() && IsBlankOrControl(Line.front())) {
        Line.remove_prefix(1);
    }
    while (!Line.empty() && IsBlankOrControl(Line.back())) {
        Line.remove_suffix(1);
    }
    return Line;
}

TReplyParser::TReplyParser(std::string_view Command) : FCommand(TrimLine(Command)) {
    // "AT+CGMI" has the tag "+CGMI".
    if (StartsWithIgnoringCase(FCommand, "AT+")) {
        const std::string_view Rest = std::string_view(FCommand).substr(2);
        const auto* End = std::find_if_not(Rest.begin() + 1, Rest.end(), IsNameCharacter);
        FTag = Rest.substr(0, static_cast<std::size_t>(End - Rest.begin()));
    }
}

TReplyParser TReplyParser::Unawaited() {
    TReplyParser Parser;
    Parser.FAwaited = false;
    return Parser;
}

TReplyParser TReplyParser::Next(std::string_view Command) const {
    TReplyParser Parser(Command);
    Parser.FLine = FLine;
    Parser.FLineBeforeWrite = !FLine.empty();
    Parser.FAfterCr = FAfterCr;
    Parser.FNoticeTail = FNoticeTail;
    return Parser;
}

TReplyStatus TReplyParser::Append(std::string_view Chunk) {
    const bool Collecting = FAwaited && !Ended();
    if (Collecting) {
        FResponse.append(Chunk);
    }
    for (const char C : Chunk) {
        TakeCharacter(C);
    }
    if (Collecting && !Ended() && FResponse.size() > MaxReplyLength) {
        FStatus = TReplyStatus::rsOverflow;
    }
    return FStatus;
}

std::string TReplyParser::ErrorMessage() const {
    switch (FStatus) {
    case TReplyStatus::rsError:
        return std::string(InvalidCommandMessage);
    case TReplyStatus::rsCmeError:
        return CmeErrorMessage(FCmeDetail);
    case TReplyStatus::rsOverflow:
        return std::string(ReplyTooLongMessage);
    case TReplyStatus::rsPending:
    case TReplyStatus::rsOk:
        break;
    }
    return {};
}

void TReplyParser::TakeCharacter(char C) {
    if (std::exchange(FAfterCr, false) && C == '\n') {
        return; // the CR LF of the line just ended
    }
    if (C == '\r' || C == '\n') {
        FAfterCr = C == '\r';
        EndLine();
        return;
    }
    // Past the bound, a line that no reply awaits is garbage; an awaited one has overflowed.
    if (FLine.size() <= MaxReplyLength) {
        FLine += C;
    }
}

// Takes the line just completed: a notice or a line of one, or a line of the reply.
void TReplyParser::EndLine() {
    const std::string Line = std::exchange(FLine, {});
    const bool BeforeWrite = std::exchange(FLineBeforeWrite, false);
    const std::string_view Text = TrimLine(Line);
    switch (FNoticeTail) {
    case TNoticeTail::ntOneLine:
        FNoticeTail = TNoticeTail::ntNone;
        return;
    case TNoticeTail::ntQuoted:
        if (QuoteCount(Text) % 2 != 0) {
            FNoticeTail = TNoticeTail::ntNone;
        }
        return;
    case TNoticeTail::ntNone:
        break;
    }
    if (IsUnsolicitedLine(Text)) {
        const bool Message = Text.starts_with("+CMT:") || Text.starts_with("+CBM:") ||
                             (Text.starts_with("+CDS:") && IsPduReport(Text));
        if (Message) {
            FNoticeTail = TNoticeTail::ntOneLine;
        } else if (Text.starts_with("+CUSD:") && QuoteCount(Text) % 2 != 0) {
            FNoticeTail = TNoticeTail::ntQuoted;
        }
        return;
    }
    if (FAwaited && !Ended() && !BeforeWrite) {
        HandleLine(Line);
    }
}

// Takes one complete line of the reply. Result codes and the echo are known with blanks and
// control characters around them trimmed; an answer line loses only its blanks (spaces):
// a control character is kept wherever it stands, and shown as every output shows it.
void TReplyParser::HandleLine(std::string_view Line) {
    const std::string_view Text = TrimLine(Line);
    const std::string_view Kept = TrimSpaces(Line);
    if (Kept.empty() || IsEcho(Text)) {
        return;
    }
    if (Text == "OK") {
        FStatus = TReplyStatus::rsOk;
    } else if (std::find(RefusalResults.begin(), RefusalResults.end(), Text) !=
               RefusalResults.end()) {
        FStatus = TReplyStatus::rsError;
    } else if (Text.starts_with(CmeMarker)) {
        FCmeDetail = TrimLine(Text.substr(CmeMarker.size()));
        FStatus = TReplyStatus::rsCmeError;
    } else {
        const std::string_view Value = WithoutOwnTag(Kept);
        if (!Value.empty()) {
            FAnswer += FAnswer.empty() ? "" : " ";
            FAnswer.append(Value);
        }
        return;
    }
    if (FStatus != TReplyStatus::rsOk) {
        FAnswer.clear();
    }
}

// "+CGMI: \"Kestrel\"" answering AT+CGMI is "Kestrel"; any other line stays as it is.
std::string_view TReplyParser::WithoutOwnTag(std::string_view Line) const {
    if (FTag.empty() || !StartsWithIgnoringCase(Line, FTag) || Line.size() == FTag.size() ||
        Line[FTag.size()] != ':') {
        return Line;
    }
    const std::string_view Value = TrimSpaces(Line.substr(FTag.size() + 1));
    const bool Quoted =
        Value.size() >= 2 && Value.front() == '"' && Value.back() == '"' && QuoteCount(Value) == 2;
    return Quoted ? TrimSpaces(Value.substr(1, Value.size() - 2)) : Value;
}

bool TReplyParser::IsEcho(std::string_view Line) const {
    return !FCommand.empty() && EqualsIgnoringCase(Line, FCommand);
}
