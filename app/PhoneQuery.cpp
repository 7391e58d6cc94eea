#include "app/PhoneQuery.h"

#include "platform/Win32Api.h"

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

// Unsolicited result codes: those of 3GPP TS 27.007 and 27.005 and of V.250, and vendor codes
// of common modems (the "^" codes of Huawei sticks and others). An entry ending in ":"
// starts a line with parameters; any other entry is a whole line.
constexpr auto UnsolicitedCodes = std::to_array<std::string_view>({
    // V.250 and 3GPP TS 27.007: calls, registration, supplementary services, indicators
    "RING",
    "NO CARRIER",
    "+CRING:",
    "+CLIP:",
    "+CCWA:",
    "+CDIP:",
    "+CNAP:",
    "+COLP:",
    "+CREG:",
    "+CGREG:",
    "+CEREG:",
    "+C5GREG:",
    "+CUSD:",
    "+CSSI:",
    "+CSSU:",
    "+CGEV:",
    "+CIEV:",
    "+CCCM:",
    "+CTZV:",
    "+CTZE:",
    "+CTZEU:",
    "+CKEV:",
    "+CMER:",
    "+CALV:",
    "+CPIN:",
    "+CSQN:",
    "+CMCCSI:",
    "+CIREPI:",
    "+CIREPH:",
    "+CCWV",
    // 3GPP TS 27.005: short messages and cell broadcasts
    "+CMTI:",
    "+CMT:",
    "+CBM:",
    "+CBMI:",
    "+CDS:",
    "+CDSI:",
    // Vendor codes
    "^RSSI:",
    "^HCSQ:",
    "^MODE:",
    "^BOOT:",
    "^DSFLOWRPT:",
    "^SYSSTART",
    "^SRVST:",
    "^SIMST:",
    "^CEND:",
    "^ORIG:",
    "^CONF:",
    "^CONN:",
    "^STIN:",
    "^NDISSTAT:",
    "^RFSWITCH:",
    "^NWTIME:",
    "^ACTIVEBAND:",
    "^SYSINFOEX:",
    "^CSNR:",
});

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

std::string DeviceLostMessage(std::string_view Device, std::string_view Reason) {
    std::string Message =
        "Lost the device " + std::string(Device) + ": " + std::string(TrimLine(Reason));
    if (!Message.ends_with('.')) {
        Message += '.';
    }
    return Message;
}

bool IsReceiveOverrun(int Errors) {
    return (static_cast<DWORD>(Errors) & (CE_RXOVER | CE_OVERRUN)) != 0;
}

bool IsUnsolicitedLine(std::string_view Line) {
    const std::string_view Text = TrimLine(Line);
    return std::any_of(UnsolicitedCodes.begin(), UnsolicitedCodes.end(),
                       [Text](std::string_view Code) {
                           const bool WithParameters = Code.back() == ':';
                           return WithParameters ? Text.starts_with(Code) : Text == Code;
                       });
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

TReplyParser::TReplyParser(std::string_view Command) : FCommand(TrimLine(Command)) {}

TReplyStatus TReplyParser::Append(std::string_view Chunk) {
    if (Ended()) {
        return FStatus;
    }
    FResponse.append(Chunk);
    ScanCompleteLines();
    if (!Ended() && FResponse.size() > MaxReplyLength) {
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

void TReplyParser::ScanCompleteLines() {
    while (!Ended()) {
        const std::size_t End = FResponse.find_first_of("\r\n", FScanned);
        if (End == std::string::npos) {
            return;
        }
        const std::string_view Line(FResponse.data() + FScanned, End - FScanned);
        FScanned = End + 1;
        HandleLine(Line);
    }
}

// Takes one complete line; true when it ended the reply.
bool TReplyParser::HandleLine(std::string_view Line) {
    const std::string_view Text = TrimLine(Line);
    if (Text.empty() || IsEcho(Text) || IsUnsolicitedLine(Text)) {
        return false;
    }
    if (Text == "OK") {
        FStatus = TReplyStatus::rsOk;
    } else if (Text == "ERROR") {
        FStatus = TReplyStatus::rsError;
    } else if (Text.starts_with(CmeMarker)) {
        FCmeDetail = TrimLine(Text.substr(CmeMarker.size()));
        FStatus = TReplyStatus::rsCmeError;
    } else {
        if (!FAnswer.empty()) {
            FAnswer += ' ';
        }
        FAnswer.append(Text);
        return false;
    }
    if (FStatus != TReplyStatus::rsOk) {
        FAnswer.clear();
    }
    return true;
}

bool TReplyParser::IsEcho(std::string_view Line) const {
    return !FCommand.empty() && EqualsIgnoringCase(Line, FCommand);
}
