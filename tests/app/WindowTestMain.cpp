// The entry point of the window tests: one application object on Qt's offscreen platform.

#include "ui/Forms.h"

#include <cstdlib>
#include <gtest/gtest.h>

// fontconfig keeps caches for the life of the process, which LeakSanitizer reports.
extern "C" const char* __lsan_default_suppressions() { // NOLINT: the sanitizer's hook
    return "leak:libfontconfig.so\n";
}

int main(int Argc, char** Argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0); // NOLINT(concurrency-mt-unsafe)
    ::testing::InitGoogleTest(&Argc, Argv);
    TApplication App;
    App.SetTitle("Kivo");
    return RUN_ALL_TESTS();
}
