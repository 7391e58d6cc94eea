// The last error, message texts, the tick count and critical sections.

#include "platform/posix/Win32Posix.h"

#include <cstring>
#include <ctime>
#include <string>

namespace kivo::posix {
namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

constexpr DWORD ErrorInsufficientBuffer = 122;

// Texts for the codes that keep their Windows values and have no errno twin: Windows' own,
// but for a network port's end, which names who ended it.
const char* WindowsText(DWORD Code) {
    switch (Code) {
    case ERROR_SUCCESS:
        return "The operation completed successfully.";
    case ERROR_OPERATION_ABORTED:
        return "The I/O operation has been aborted because of either a thread exit or an "
               "application request.";
    case ERROR_IO_INCOMPLETE:
        return "Overlapped I/O event is not in a signaled state.";
    case ERROR_IO_PENDING:
        return "Overlapped I/O operation is in progress.";
    case ERROR_GRACEFUL_DISCONNECT:
        return "The server closed the network connection.";
    case WSAHOST_NOT_FOUND:
        return "No such host is known.";
    case WSATRY_AGAIN:
        return "This is usually a temporary error during hostname resolution and means that "
               "the local server did not receive a response from an authoritative server.";
    default:
        return nullptr;
    }
}

// The system's text for an errno value; empty when the system knows no such error.
std::string ErrnoText(DWORD Code) {
    if (Code > 4095) {
        return {};
    }
    char Buffer[256] = {};
    // The GNU strerror_r returns the text, which may or may not be in Buffer.
    const char* Text = strerror_r(static_cast<int>(Code), Buffer, sizeof Buffer);
    std::string Result = Text != nullptr ? Text : "";
    if (Result.rfind("Unknown error", 0) == 0) {
        return {};
    }
    return Result;
}

std::string SystemMessage(DWORD Code) {
    if (const char* Text = WindowsText(Code)) {
        return Text;
    }
    return ErrnoText(Code);
}

} // namespace

DWORD GetLastError() {
    return LastError;
}

void SetLastError(DWORD dwErrCode) {
    LastError = dwErrCode;
}

DWORD GetTickCount() {
    timespec Now{};
    // The monotonic clock always exists and Now is valid: nothing can fail.
    (void)clock_gettime(CLOCK_MONOTONIC, &Now);
    const auto Milliseconds = static_cast<unsigned long long>(Now.tv_sec) * 1000ULL +
                              static_cast<unsigned long long>(Now.tv_nsec) / 1000000ULL;
    return static_cast<DWORD>(Milliseconds); // wraps after 49.7 days, as on Windows
}

DWORD FormatMessageA(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId, DWORD /*dwLanguageId*/,
                     LPSTR lpBuffer, DWORD nSize, va_list* /*Arguments*/) {
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string Text = SystemMessage(dwMessageId);
    if (Text.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND); // Windows: ERROR_MR_MID_NOT_FOUND; no twin here
        if (nSize > 0) {
            lpBuffer[0] = '\0';
        }
        return 0;
    }
    const std::string Line = Text + "\r\n"; // system messages end with a line break on Windows
    if (Line.size() + 1 > nSize) {
        SetLastError(ErrorInsufficientBuffer);
        if (nSize > 0) {
            lpBuffer[0] = '\0';
        }
        return 0;
    }
    std::memcpy(lpBuffer, Line.c_str(), Line.size() + 1);
    return static_cast<DWORD>(Line.size());
}

// The Win32 calls return nothing, and the glibc mutex calls below cannot fail as used here:
// a recursive mutex needs no resources beyond its own memory, the attribute values are
// valid, and only the owner leaves a section (as on Windows, leaving one not entered is the
// caller's fault). Their results are therefore deliberately not looked at.
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t Attributes;
    (void)pthread_mutexattr_init(&Attributes);
    (void)pthread_mutexattr_settype(&Attributes, PTHREAD_MUTEX_RECURSIVE);
    (void)pthread_mutex_init(&lpCriticalSection->Mutex, &Attributes);
    (void)pthread_mutexattr_destroy(&Attributes);
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    (void)pthread_mutex_lock(&lpCriticalSection->Mutex);
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    (void)pthread_mutex_unlock(&lpCriticalSection->Mutex);
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    (void)pthread_mutex_destroy(&lpCriticalSection->Mutex);
}

} // namespace kivo::posix
