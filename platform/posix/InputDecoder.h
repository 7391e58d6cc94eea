#pragma once
// Turns the bytes a terminal delivers into received data. In PARMRK mode (Marked) an error mark
// "\377\0 c" becomes c (or the error character), "\377\0\0" a break, "\377\377" a 0xFF byte;
// a mark split between two reads is completed by the next one. Strips nulls when asked and
// notices the event character.

#include <string>

namespace kivo::posix {

struct DecodeOptions {
    bool Marked = true; // the terminal marks errors and escapes 0xFF (PARMRK)
    bool StripNulls = false;
    bool ReplaceErrors = false;
    char ErrorChar = 0;
    char EventChar = 0;
};

struct DecodeResult {
    bool EventCharSeen = false;
    bool ErrorMarked = false; // a byte was received with a parity or framing error
    bool BreakMarked = false;
};

class InputDecoder {
public:
    void SetOptions(const DecodeOptions& Options) { FOptions = Options; }
    // Forgets a mark begun in the bytes decoded so far.
    void Reset() { FState = State::Data; }

    // True when Raw holds plain data only, which Decode would pass on unchanged (apart from
    // noticing the event character).
    [[nodiscard]] bool PassesUnchanged(const char* Raw, std::size_t Size) const;

    // Appends the data bytes of Raw to Data and tells what the bytes carried besides.
    DecodeResult Decode(const char* Raw, std::size_t Size, std::string& Data);

private:
    enum class State { Data, AfterMark, AfterMarkZero };
    void Deliver(char Byte, std::string& Data, DecodeResult& Result) const;
    void DeliverRun(const char* Run, std::size_t Size, std::string& Data,
                    DecodeResult& Result) const;

    DecodeOptions FOptions;
    State FState = State::Data;
};

} // namespace kivo::posix
