// The Win32 file and communication calls on serial device handles.

#include "platform/posix/ComName.h"
#include "platform/posix/SerialDevice.h"

#include <atomic>

namespace kivo::posix {
namespace {

std::shared_ptr<SerialDevice> FindDevice(HANDLE Handle) {
    return FindHandleOf<SerialDevice>(Handle);
}

BOOL InvalidParameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// Calls Call with the device that Handle names; FALSE (ERROR_INVALID_HANDLE) for no device.
template <class Call> BOOL OnDevice(HANDLE Handle, Call C) {
    const auto Device = FindDevice(Handle);
    return Device ? C(*Device) : FALSE;
}

// The same for calls that take a record, which must be given.
template <class Record, class Call> BOOL OnDeviceWith(HANDLE Handle, Record* Given, Call C) {
    if (Given == nullptr) {
        return InvalidParameter();
    }
    return OnDevice(Handle, [&](SerialDevice& Device) { return C(Device, *Given); });
}

// Waits for a pending operation as Windows does: on the record's event where it names one,
// which ends the wait whoever signals it, otherwise until the operation itself completes.
// False (with the last error set) when the wait fails.
bool AwaitOperation(HANDLE File, OVERLAPPED& Record) {
    if (Record.hEvent != nullptr) {
        return WaitForSingleObject(Record.hEvent, INFINITE) != WAIT_FAILED;
    }
    // A handle closed meanwhile has completed all its operations before it went, so the
    // record then holds its result; only a still pending one is an error.
    if (const auto Device = FindDevice(File)) {
        Device->AwaitCompletion(&Record);
        return true;
    }
    return std::atomic_ref<ULONG_PTR>(Record.Internal).load(std::memory_order_acquire) !=
           STATUS_PENDING;
}

} // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD /*dwCreationDisposition*/,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
    // Serial devices are always opened for exclusive use, whatever share mode is asked.
    const auto Path = lpFileName != nullptr ? DevicePathFor(lpFileName) : std::nullopt;
    if (!Path) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD Error = ERROR_SUCCESS;
    auto Device = SerialDevice::Open(*Path, dwDesiredAccess,
                                     (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, Error);
    if (!Device) {
        SetLastError(Error);
        return INVALID_HANDLE_VALUE;
    }
    return AddHandle(std::move(Device));
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    return OnDevice(hFile, [&](SerialDevice& Device) {
        return Device.Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    });
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    return OnDevice(hFile, [&](SerialDevice& Device) {
        return Device.Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
    });
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) {
        return InvalidParameter();
    }
    std::atomic_ref<ULONG_PTR> Status(lpOverlapped->Internal);
    if (Status.load(std::memory_order_acquire) == STATUS_PENDING) {
        if (bWait == FALSE) {
            // Whoever only asks must still see the operation end one day.
            if (const auto Device = FindDevice(hFile)) {
                Device->AwaitWithoutWatching();
            }
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (!AwaitOperation(hFile, *lpOverlapped)) {
            return FALSE;
        }
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    // A record that still reads pending after its event came counts as a success, as on
    // Windows: the caller named that event as the operation's completion.
    const auto Error = static_cast<DWORD>(Status.load(std::memory_order_acquire));
    if (Error != ERROR_SUCCESS && Error != STATUS_PENDING) {
        SetLastError(Error);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
    return OnDevice(hFile, [](SerialDevice& Device) { return Device.Cancel(); });
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD /*dwOutQueue*/) {
    // Output is written from the caller's buffer, so there is no output queue to size.
    return OnDevice(hFile, [&](SerialDevice& Device) { return Device.Setup(dwInQueue); });
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    return OnDeviceWith(hFile, lpDCB,
                        [](SerialDevice& Device, DCB& Dcb) { return Device.GetState(Dcb); });
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    return OnDeviceWith(hFile, lpDCB,
                        [](SerialDevice& Device, DCB& Dcb) { return Device.SetState(Dcb); });
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return OnDeviceWith(hFile, lpCommTimeouts, [](SerialDevice& Device, COMMTIMEOUTS& Timeouts) {
        return Device.GetTimeouts(Timeouts);
    });
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return OnDeviceWith(hFile, lpCommTimeouts, [](SerialDevice& Device, COMMTIMEOUTS& Timeouts) {
        return Device.SetTimeouts(Timeouts);
    });
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    return OnDeviceWith(hFile, lpEvtMask,
                        [](SerialDevice& Device, DWORD& Mask) { return Device.GetMask(Mask); });
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return OnDevice(hFile, [&](SerialDevice& Device) { return Device.SetMask(dwEvtMask); });
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    return OnDevice(
        hFile, [&](SerialDevice& Device) { return Device.WaitEvent(lpEvtMask, lpOverlapped); });
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    return OnDevice(hFile,
                    [&](SerialDevice& Device) { return Device.ClearErrors(lpErrors, lpStat); });
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    return OnDevice(hFile, [&](SerialDevice& Device) { return Device.Escape(dwFunc); });
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    return OnDeviceWith(hFile, lpModemStat, [](SerialDevice& Device, DWORD& Status) {
        return Device.GetModemStatus(Status);
    });
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return OnDevice(hFile, [&](SerialDevice& Device) { return Device.Purge(dwFlags); });
}

BOOL FlushFileBuffers(HANDLE hFile) {
    return OnDevice(hFile, [](SerialDevice& Device) { return Device.Flush(); });
}

bool AttachLineSource(HANDLE hDevice, std::shared_ptr<LineSource> Source) {
    const auto Device = FindDevice(hDevice);
    if (!Device || !Source) {
        return false;
    }
    Device->AttachLineSource(std::move(Source));
    return true;
}

} // namespace kivo::posix
