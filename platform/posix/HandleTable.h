#pragma once
// The process's table of handles. A handle is an opaque number naming a kernel object; a
// closed handle's number is never given out again, so a stale handle fails cleanly with
// ERROR_INVALID_HANDLE instead of reaching another object.

#include "platform/posix/Win32Posix.h"

#include <memory>

namespace kivo::posix {

// Something a handle names. Close() runs when its handle is closed, before the handle leaves
// the table; it must be idempotent, since two threads may close one handle. The object itself
// lives on until the last call that still uses it has returned.
class KernelObject {
public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject() = default;
    virtual void Close() {}
};

// Registers Object under a new handle and returns that handle.
HANDLE AddHandle(std::shared_ptr<KernelObject> Object);

// Removes Handle from the table and returns its object; null for a closed or unknown handle.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE Handle);

// The object named by Handle, or null for a closed or unknown handle.
std::shared_ptr<KernelObject> FindHandle(HANDLE Handle);

// The object named by Handle if it is a T; otherwise null with ERROR_INVALID_HANDLE as the
// last error.
template <class T> std::shared_ptr<T> FindHandleOf(HANDLE Handle) {
    auto Object = std::dynamic_pointer_cast<T>(FindHandle(Handle));
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return Object;
}

} // namespace kivo::posix
