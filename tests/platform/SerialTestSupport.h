#pragma once
// Helpers for tests of serial device handles on pseudo-terminals.

#include "platform/Win32Api.h"
#include "tests/support/PlainDcb.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>

namespace kivo::test {

inline constexpr DWORD Generous = 10000; // milliseconds; a bound, never an expected time

// An event handle that closes itself.
class OwnedEvent {
public:
    OwnedEvent() : FHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~OwnedEvent() { CloseHandle(FHandle); }
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
    [[nodiscard]] HANDLE Handle() const { return FHandle; }
    [[nodiscard]] bool Signalled(DWORD Timeout = Generous) const {
        return WaitForSingleObject(FHandle, Timeout) == WAIT_OBJECT_0;
    }

private:
    HANDLE FHandle;
};

// An overlapped record with its own event.
struct Overlapped {
    OwnedEvent Event;
    OVERLAPPED Record{};
    Overlapped() { Record.hEvent = Event.Handle(); }
    [[nodiscard]] bool Completed(DWORD Timeout = Generous) const {
        return Event.Signalled(Timeout);
    }
};

// A serial device handle opened as the component opens it; closed on destruction.
class Port {
public:
    explicit Port(const std::string& Name, DWORD Flags = FILE_FLAG_OVERLAPPED)
        : FHandle(CreateFileA(Name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              Flags, nullptr)),
          FError(GetLastError()) {}
    ~Port() { Close(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    [[nodiscard]] HANDLE Handle() const { return FHandle; }
    [[nodiscard]] bool IsOpen() const { return FHandle != INVALID_HANDLE_VALUE; }
    [[nodiscard]] DWORD OpenError() const { return FError; }
    void Close() {
        if (FHandle != INVALID_HANDLE_VALUE) {
            CloseHandle(FHandle);
            FHandle = INVALID_HANDLE_VALUE;
        }
    }

    // The settings the component makes: 19200 8N1, no flow control, reads return at once.
    void Configure(DWORD InQueue = 512) const {
        DCB Dcb = PlainDcb();
        ASSERT_TRUE(SetCommState(FHandle, &Dcb));
        ASSERT_TRUE(SetupComm(FHandle, InQueue, 512));
        COMMTIMEOUTS Timeouts{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(FHandle, &Timeouts));
    }

    static DCB PlainDcb() { return kivo::test::PlainDcb(); }

    // Waits for the next event set in Mask; 0 when none came within the bound.
    [[nodiscard]] DWORD WaitEvents(DWORD Timeout = Generous) const {
        Overlapped Op;
        DWORD Events = 0;
        if (WaitCommEvent(FHandle, &Events, &Op.Record) == FALSE) {
            if (GetLastError() != ERROR_IO_PENDING || !Op.Completed(Timeout)) {
                CancelIo(FHandle);
                return 0;
            }
        }
        return Events;
    }

    // Everything in the input queue (the component's time-outs: reads return at once).
    [[nodiscard]] std::string ReadQueued() const {
        std::string All;
        for (;;) {
            char Buffer[4096];
            Overlapped Op;
            DWORD Got = 0;
            if (ReadFile(FHandle, Buffer, sizeof Buffer, &Got, &Op.Record) == FALSE) {
                return All + "<read failed>";
            }
            if (Got == 0) {
                return All;
            }
            All.append(Buffer, Got);
        }
    }

    // Reads until Count bytes arrived, waiting for each receive event.
    [[nodiscard]] std::string ReadExactly(std::size_t Count) const {
        std::string Got = ReadQueued();
        while (Got.size() < Count && (WaitEvents() & EV_RXCHAR) != 0) {
            Got += ReadQueued();
        }
        return Got;
    }

    [[nodiscard]] COMSTAT Status(DWORD* Errors = nullptr) const {
        COMSTAT Stat{};
        DWORD Ignored = 0;
        EXPECT_TRUE(ClearCommError(FHandle, Errors != nullptr ? Errors : &Ignored, &Stat));
        return Stat;
    }

    // The error bits since the last query, which this query clears.
    [[nodiscard]] DWORD TakeErrors() const {
        DWORD Errors = 0;
        (void)Status(&Errors);
        return Errors;
    }

private:
    HANDLE FHandle;
    DWORD FError;
};

// Count letters of the alphabet from First on, over and over: data whose order shows.
inline std::string Letters(int Count, char First = 'a') {
    std::string Text;
    for (int I = 0; I < Count; ++I) {
        Text.push_back(static_cast<char>(First + I % 26));
    }
    return Text;
}

// Starts a wait for Events on P; it must stay pending.
inline void StartWaiting(const Port& P, Overlapped& Wait, DWORD& Events) {
    ASSERT_FALSE(WaitCommEvent(P.Handle(), &Events, &Wait.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
}

inline double ProcessCpuSeconds() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
           static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

// The processor time the whole process takes while this thread sleeps for Milliseconds: an
// idle open port takes next to none, a thread that polls in a loop a whole core.
inline double CpuSecondsWhileIdle(DWORD Milliseconds = 500) {
    const double Before = ProcessCpuSeconds();
    const OwnedEvent NeverSet;
    EXPECT_FALSE(NeverSet.Signalled(Milliseconds));
    return ProcessCpuSeconds() - Before;
}

inline std::string MessageOf(DWORD Code) {
    char Buffer[512] = {};
    const DWORD Length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, Code, 0, Buffer,
                                        sizeof Buffer, nullptr);
    std::string Text(Buffer, Length);
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) {
        Text.pop_back();
    }
    return Text;
}

} // namespace kivo::test
