#include "platform/posix/InputDecoder.h"

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

DecodeResult InputDecoder::Decode(const char* Raw, std::size_t Size, std::string& Data) {
    DecodeResult Result;
    for (std::size_t I = 0; I < Size; ++I) {
        const char Byte = Raw[I];
        switch (FState) {
        case State::Data:
            if (Byte == Mark) {
                FState = State::AfterMark;
            } else {
                Deliver(Byte, Data, Result);
            }
            break;
        case State::AfterMark:
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
            break;
        case State::AfterMarkZero:
            FState = State::Data;
            if (Byte == '\0') {
                Result.BreakMarked = true;
            } else {
                Result.ErrorMarked = true;
                Deliver(FOptions.ReplaceErrors ? FOptions.ErrorChar : Byte, Data, Result);
            }
            break;
        }
    }
    return Result;
}

} // namespace kivo::posix
