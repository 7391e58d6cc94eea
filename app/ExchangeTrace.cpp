#include "app/ExchangeTrace.h"

#include "app/DeviceText.h"
#include "app/ExchangeTraceOpen.h"

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

TExchangeTrace::TExchangeTrace(TSink Sink, TClock::time_point Start)
    : FSink(std::move(Sink)), FStart(Start) {}

void TExchangeTrace::Sent(std::string_view Port, std::string_view Bytes, TClock::time_point At) {
    Record(Port, '>', Bytes, At);
}

void TExchangeTrace::Received(std::string_view Port, std::string_view Bytes,
                              TClock::time_point At) {
    if (!Bytes.empty()) {
        Record(Port, '<', Bytes, At);
    }
}

void TExchangeTrace::Noted(std::string_view Port, std::string_view Text, TClock::time_point At) {
    Record(Port, '!', Text, At);
}

std::string TExchangeTrace::Line(TClock::duration SinceStart, std::string_view Port, char Direction,
                                 std::string_view Bytes) {
    const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(SinceStart).count();
    std::array<char, 32> Time{};
    // Cannot fail: the buffer holds any 64-bit count with its sign and point.
    (void)std::snprintf(Time.data(), Time.size(), "+%lld.%03lld", static_cast<long long>(Ms / 1000),
                        static_cast<long long>(Ms % 1000));
    return std::string(Time.data()) + " " + EscapedForTerminal(Port) + " " + Direction + " " +
           EscapedBytes(Bytes) + "\n";
}

void TExchangeTrace::Record(std::string_view Port, char Direction, std::string_view Bytes,
                            TClock::time_point At) {
    const std::string Text = Line(At - FStart, Port, Direction, Bytes);
    const std::scoped_lock Hold(FLock);
    if (FSink) {
        FSink(Text);
    }
}

TTraceFile::TTraceFile(const std::string& Path) : FPath(Path), FOwned(true) {
    std::string Why;
    FFile = OpenTraceForWriting(Path, Why);
    if (FFile == nullptr) {
        FError = "Cannot write the trace to " + Path + ": " + Why;
    }
}

TTraceFile::TTraceFile(std::FILE* Stream) : FPath("standard error"), FFile(Stream) {}

TTraceFile::~TTraceFile() {
    if (FOwned && FFile != nullptr) {
        // A failure to close is no longer reported: the lines were flushed as they came.
        (void)std::fclose(FFile);
    }
}

void TTraceFile::Write(std::string_view Line) {
    if (FFile == nullptr || !FError.empty()) {
        return;
    }
    if (std::fwrite(Line.data(), 1, Line.size(), FFile) != Line.size() || std::fflush(FFile) != 0) {
        FError =
            "Cannot write the trace to " + FPath + ": " + std::generic_category().message(errno);
    }
}

std::optional<std::string> TTraceFile::TakeFailure() {
    if (FError.empty() || std::exchange(FFailureTaken, true)) {
        return std::nullopt;
    }
    return FError;
}
