#include "platform/posix/InputDecoder.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace kivo::posix {
namespace {
constexpr char Mark = '\377';
} // namespace

void InputDecoder::Deliver(char Byte, std::string& Data, DecodeResult& Result) const {
    if (Byte == '\0' && FOptions.StripNulls) {
        return;
    }
    if (Byte == FOptions.EventChar) {
        Result.EventCharSeen = true;
    }
    Data.push_back(Byte);
}

bool InputDecoder::PassesUnchanged(const char* Raw, std::size_t Size) const {
    return FState == State::Data && !FOptions.StripNulls &&
           (!FOptions.Marked || std::memchr(Raw, Mark, Size) == nullptr);
}

// Appends a run of plain data bytes, the common case, without looking at them one by one.
void InputDecoder::DeliverRun(const char* Run, std::size_t Size, std::string& Data,
                              DecodeResult& Result) const {
    const std::size_t Start = Data.size();
    if (FOptions.StripNulls) {
        std::remove_copy(Run, Run + Size, std::back_inserter(Data), '\0');
    } else {
        Data.append(Run, Size);
    }
    if (Data.find(FOptions.EventChar, Start) != std::string::npos) {
        Result.EventCharSeen = true;
    }
}

DecodeResult InputDecoder::Decode(const char* Raw, std::size_t Size, std::string& Data) {
    DecodeResult Result;
    if (!FOptions.Marked) {
        DeliverRun(Raw, Size, Data, Result);
        return Result;
    }
    const char* const End = Raw + Size;
    const char* Next = Raw;
    while (Next < End) {
        if (FState == State::Data) {
            const void* Found = std::memchr(Next, Mark, static_cast<std::size_t>(End - Next));
            const char* Stop = Found != nullptr ? static_cast<const char*>(Found) : End;
            DeliverRun(Next, static_cast<std::size_t>(Stop - Next), Data, Result);
            if (Stop == End) {
                break;
            }
            FState = State::AfterMark;
            Next = Stop + 1;
            continue;
        }
        const char Byte = *Next++;
        if (FState == State::AfterMark) {
            if (Byte == '\0') {
                FState = State::AfterMarkZero;
            } else {
                // "\377\377" is an escaped 0xFF; anything else cannot follow a mark, keep it.
                FState = State::Data;
                Deliver(Mark, Data, Result);
                if (Byte != Mark) {
                    Deliver(Byte, Data, Result);
                }
            }
            continue;
        }
        FState = State::Data;
        if (Byte == '\0') {
            Result.BreakMarked = true;
        } else {
            Result.ErrorMarked = true;
            Deliver(FOptions.ReplaceErrors ? FOptions.ErrorChar : Byte, Data, Result);
        }
    }
    return Result;
}

} // namespace kivo::posix
