#pragma once
// What the fuzz targets share: a check that ends the run, with a message, when an invariant
// does not hold, so that libFuzzer records the input as a crash.

#include <cstdio>
#include <cstdlib>

inline void FuzzCheck(bool Holds, const char* What) {
    if (!Holds) {
        std::fprintf(stderr, "invariant broken: %s\n", What);
        std::abort();
    }
}
