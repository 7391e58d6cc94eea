#pragma once
// Synchronisation objects of the component: manual-reset events with a mapped wait result,
// and a re-entrant lock.

#include "platform/Win32Api.h"
#include "runtime/Classes.h"

#include <cstdint>

enum TVaWaitResult : std::uint8_t { wrSignaled, wrTimeout, wrAbandoned, wrError };

// Owns one operating-system handle and closes it when destroyed.
class TVaHandleObject : public TObject {
public:
    ~TVaHandleObject() override;
    const char* ClassName() const override { return "TVaHandleObject"; }

    // Waits up to Timeout milliseconds (INFINITE: without limit) for the handle.
    [[nodiscard]] TVaWaitResult WaitFor(DWORD Timeout);

    [[nodiscard]] HANDLE Handle() const { return FHandle; }
    // The error code of the last wait that failed; 0 until one does.
    [[nodiscard]] DWORD LastError() const { return FLastError; }

protected:
    explicit TVaHandleObject(HANDLE AHandle) : FHandle(AHandle) {}

private:
    HANDLE FHandle;
    DWORD FLastError = 0;
};

// An event object.
class TVaEvent : public TVaHandleObject {
public:
    const char* ClassName() const override { return "TVaEvent"; }
    void SetEvent();
    void ResetEvent();

protected:
    using TVaHandleObject::TVaHandleObject;
};

// An unnamed manual-reset event, created not signalled. A failed creation leaves an
// invalid handle on which every wait gives wrError.
class TVaWaitEvent : public TVaEvent {
public:
    TVaWaitEvent();
    const char* ClassName() const override { return "TVaWaitEvent"; }
};

// A re-entrant lock: the thread that holds it may enter again and leaves as often.
class TVaCriticalSection : public TObject {
public:
    TVaCriticalSection();
    ~TVaCriticalSection() override;
    const char* ClassName() const override { return "TVaCriticalSection"; }

    void Acquire();
    void Release();
    void Enter() { Acquire(); }
    void Leave() { Release(); }

private:
    CRITICAL_SECTION FSection{};
};

// Holds a critical section for the life of a scope.
class TSectionLock {
public:
    explicit TSectionLock(TVaCriticalSection& ASection) : FSection(ASection) { FSection.Enter(); }
    ~TSectionLock() { FSection.Leave(); }
    TSectionLock(const TSectionLock&) = delete;
    TSectionLock& operator=(const TSectionLock&) = delete;
    TSectionLock(TSectionLock&&) = delete;
    TSectionLock& operator=(TSectionLock&&) = delete;

private:
    TVaCriticalSection& FSection;
};
