#pragma once
// Short ways to describe a simulated phone in tests.

#include "tools/PhoneSim.h"

#include <string>

inline TPhoneSimOptions WithEcho(TEchoMode Echo) {
    TPhoneSimOptions O;
    O.Echo = Echo;
    return O;
}

inline TPhoneSimOptions Failing(std::string Command, TFailure Failure, std::string Detail = "10") {
    TPhoneSimOptions O;
    O.FailCommand = std::move(Command);
    O.Failure = Failure;
    O.FailDetail = std::move(Detail);
    return O;
}

inline TPhoneSimOptions Chunked(TPhoneSimOptions O, std::size_t Size) {
    O.ChunkSize = Size;
    return O;
}

inline TPhoneSimOptions MultiLine(TPhoneSimOptions O, std::string Command) {
    O.MultiLineCommand = std::move(Command);
    return O;
}

inline TPhoneSimOptions Delayed(TPhoneSimOptions O, int Ms) {
    O.ReplyDelayMs = Ms;
    return O;
}

// Line joins the notices sent with each reply, at Place.
inline TPhoneSimOptions WithUrc(TPhoneSimOptions O, std::string Line,
                                TUrcPlace Place = TUrcPlace::upBefore) {
    O.Urcs.push_back(std::move(Line));
    O.UrcPlace = Place;
    return O;
}

inline TPhoneSimOptions Streaming() {
    TPhoneSimOptions O;
    O.Stream = true;
    return O;
}
