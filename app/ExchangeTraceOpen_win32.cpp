#include "app/ExchangeTraceOpen.h"

#include <cerrno>
#include <system_error>

std::FILE* OpenTraceForWriting(const std::string& Path, std::string& Why) {
    // Windows' named pipes are no files of a path a user gives here: a plain open never
    // waits for a reader.
    std::FILE* File = std::fopen(Path.c_str(), "w");
    if (File == nullptr) {
        Why = std::generic_category().message(errno);
    }
    return File;
}
