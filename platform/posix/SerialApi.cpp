// The Win32 file and communication calls on serial device handles.

#include "platform/posix/ComName.h"
#include "platform/posix/SerialDevice.h"

#include <atomic>

using kivo::posix::FindHandleOf;
using kivo::posix::SerialDevice;

namespace {

std::shared_ptr<SerialDevice> FindDevice(HANDLE Handle) {
    return FindHandleOf<SerialDevice>(Handle);
}

BOOL InvalidParameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

constexpr ULONG_PTR StatusPending = 0x103;

} // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD /*dwCreationDisposition*/,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
    // Serial devices are always opened for exclusive use, whatever share mode is asked.
    const auto Path = lpFileName != nullptr ? kivo::posix::DevicePathFor(lpFileName) : std::nullopt;
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
    return kivo::posix::AddHandle(std::move(Device));
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    const auto Device = FindDevice(hFile);
    return Device ? Device->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped)
                  : FALSE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    const auto Device = FindDevice(hFile);
    return Device ? Device->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                                  lpOverlapped)
                  : FALSE;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) {
        return InvalidParameter();
    }
    std::atomic_ref<ULONG_PTR> Status(lpOverlapped->Internal);
    if (Status.load(std::memory_order_acquire) == StatusPending) {
        if (bWait == FALSE) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        const auto Device = FindDevice(hFile);
        if (!Device) {
            return FALSE;
        }
        Device->AwaitCompletion(lpOverlapped);
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    const auto Error = static_cast<DWORD>(Status.load(std::memory_order_acquire));
    if (Error != ERROR_SUCCESS) {
        SetLastError(Error);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
    const auto Device = FindDevice(hFile);
    return Device ? Device->Cancel() : FALSE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD /*dwOutQueue*/) {
    // Output is written from the caller's buffer, so there is no output queue to size.
    const auto Device = FindDevice(hFile);
    return Device ? Device->Setup(dwInQueue) : FALSE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr) {
        return InvalidParameter();
    }
    const auto Device = FindDevice(hFile);
    return Device ? Device->GetState(*lpDCB) : FALSE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr) {
        return InvalidParameter();
    }
    const auto Device = FindDevice(hFile);
    return Device ? Device->SetState(*lpDCB) : FALSE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) {
        return InvalidParameter();
    }
    const auto Device = FindDevice(hFile);
    return Device ? Device->GetTimeouts(*lpCommTimeouts) : FALSE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) {
        return InvalidParameter();
    }
    const auto Device = FindDevice(hFile);
    return Device ? Device->SetTimeouts(*lpCommTimeouts) : FALSE;
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (lpEvtMask == nullptr) {
        return InvalidParameter();
    }
    const auto Device = FindDevice(hFile);
    return Device ? Device->GetMask(*lpEvtMask) : FALSE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    const auto Device = FindDevice(hFile);
    return Device ? Device->SetMask(dwEvtMask) : FALSE;
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    const auto Device = FindDevice(hFile);
    return Device ? Device->WaitEvent(lpEvtMask, lpOverlapped) : FALSE;
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    const auto Device = FindDevice(hFile);
    return Device ? Device->ClearErrors(lpErrors, lpStat) : FALSE;
}

bool kivo::posix::AttachLineSource(HANDLE hDevice, std::shared_ptr<LineSource> Source) {
    const auto Device = FindDevice(hDevice);
    if (!Device || !Source) {
        return false;
    }
    Device->AttachLineSource(std::move(Source));
    return true;
}
