#include "runtime/SysUtils.h"
#include "runtime/ThreadPriority.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Nice values, tpIdle to tpTimeCritical.
constexpr std::array<int, 7> NiceValues = {19, 10, 5, 0, -5, -10, -20};

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills the buffer).
[[maybe_unused]] const char* ErrorText(const char* Result, const char* /*Buffer*/) {
    return Result;
}
[[maybe_unused]] const char* ErrorText(int /*Result*/, const char* Buffer) {
    return Buffer;
}

std::string SystemErrorText(int Code) {
    std::array<char, 256> buffer{};
    return ErrorText(strerror_r(Code, buffer.data(), buffer.size()), buffer.data());
}

} // namespace

std::uintptr_t CurrentPriorityTarget() {
    return static_cast<std::uintptr_t>(gettid());
}

void ReleasePriorityTarget(std::uintptr_t /*Target*/) noexcept {}

void ApplyThreadPriority(std::uintptr_t Target, TThreadPriority Priority) {
    const auto tid = static_cast<id_t>(Target);
    if (setpriority(PRIO_PROCESS, tid, NiceValues.at(Priority)) == 0) {
        return;
    }
    const int code = errno;
    if (code == EACCES || code == EPERM) {
        return; // a raise this user may not make: keep running at the current priority
    }
    throw EThread(Format("Thread Error: %s (%d)", {SystemErrorText(code), code}));
}
