#include "serial/VaObjects.h"

TVaHandleObject::~TVaHandleObject() {
    if (FHandle != nullptr && FHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(FHandle);
    }
}

TVaWaitResult TVaHandleObject::WaitFor(DWORD Timeout) {
    switch (WaitForSingleObject(FHandle, Timeout)) {
    case WAIT_OBJECT_0:
        return wrSignaled;
    case WAIT_TIMEOUT:
        return wrTimeout;
    case WAIT_ABANDONED:
        return wrAbandoned;
    case WAIT_FAILED:
        FLastError = GetLastError();
        return wrError;
    default:
        return wrError;
    }
}

void TVaEvent::SetEvent() {
    ::SetEvent(Handle());
}

void TVaEvent::ResetEvent() {
    ::ResetEvent(Handle());
}

TVaWaitEvent::TVaWaitEvent() : TVaEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

TVaCriticalSection::TVaCriticalSection() {
    InitializeCriticalSection(&FSection);
}

TVaCriticalSection::~TVaCriticalSection() {
    DeleteCriticalSection(&FSection);
}

void TVaCriticalSection::Acquire() {
    EnterCriticalSection(&FSection);
}

void TVaCriticalSection::Release() {
    LeaveCriticalSection(&FSection);
}
