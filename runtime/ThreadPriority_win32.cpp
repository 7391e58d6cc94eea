#include "platform/Win32Api.h"
#include "runtime/SysUtils.h"
#include "runtime/ThreadPriority.h"

#include <array>
#include <string>

namespace {

// THREAD_PRIORITY_* values, tpIdle to tpTimeCritical.
constexpr std::array<int, 7> PriorityValues = {
    THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,       THREAD_PRIORITY_BELOW_NORMAL,
    THREAD_PRIORITY_NORMAL,       THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
    THREAD_PRIORITY_TIME_CRITICAL};

std::string SystemErrorText(DWORD Code) {
    std::array<char, 256> buffer{};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, Code, 0,
                       buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
    std::string text(buffer.data(), length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

} // namespace

std::uintptr_t CurrentPriorityTarget() {
    HANDLE handle =
        OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, GetCurrentThreadId());
    return reinterpret_cast<std::uintptr_t>(handle);
}

void ReleasePriorityTarget(std::uintptr_t Target) noexcept {
    if (Target != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(Target));
    }
}

void ApplyThreadPriority(std::uintptr_t Target, TThreadPriority Priority) {
    if (SetThreadPriority(reinterpret_cast<HANDLE>(Target), PriorityValues.at(Priority))) {
        return;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_PRIVILEGE_NOT_HELD) {
        return; // a raise this user may not make: keep running at the current priority
    }
    throw EThread(Format("Thread Error: %s (%d)", {SystemErrorText(code), code}));
}
