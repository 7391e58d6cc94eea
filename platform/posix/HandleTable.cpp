#include "platform/posix/HandleTable.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace kivo::posix {
namespace {

// Handle values step by 4 like Windows' and start well away from 0 and from small integers
// that a caller might confuse with file descriptors. A 64-bit counter never wraps in practice,
// so no value is ever reused.
constexpr std::uintptr_t FirstHandleValue = 0x1000;
constexpr std::uintptr_t HandleStep = 4;

class Table {
public:
    HANDLE Add(std::shared_ptr<KernelObject> Object) {
        const std::lock_guard Guard(FLock);
        const std::uintptr_t Value = FNext;
        FNext += HandleStep;
        FObjects.emplace(Value, std::move(Object));
        return reinterpret_cast<HANDLE>(Value); // NOLINT(performance-no-int-to-ptr): opaque
    }

    std::shared_ptr<KernelObject> Remove(HANDLE Handle) {
        const std::lock_guard Guard(FLock);
        const auto Found = FObjects.find(reinterpret_cast<std::uintptr_t>(Handle));
        if (Found == FObjects.end()) {
            return nullptr;
        }
        auto Object = std::move(Found->second);
        FObjects.erase(Found);
        return Object;
    }

    std::shared_ptr<KernelObject> Find(HANDLE Handle) {
        const std::lock_guard Guard(FLock);
        const auto Found = FObjects.find(reinterpret_cast<std::uintptr_t>(Handle));
        return Found == FObjects.end() ? nullptr : Found->second;
    }

private:
    std::mutex FLock;
    std::uintptr_t FNext = FirstHandleValue;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> FObjects;
};

Table& Handles() {
    // Never destroyed: handles may still be closed by static destructors at exit.
    static auto* const Instance = new Table;
    return *Instance;
}

} // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> Object) {
    return Handles().Add(std::move(Object));
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE Handle) {
    return Handles().Remove(Handle);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE Handle) {
    return Handles().Find(Handle);
}

BOOL CloseHandle(HANDLE hObject) {
    // The object is closed before its handle leaves the table: a thread waiting on one of
    // its operations still finds it until that operation has completed. Of two threads
    // closing one handle, both close the object (it closes once) and one removes it.
    const auto Object = FindHandle(hObject);
    if (Object) {
        Object->Close();
    }
    if (!Object || !RemoveHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // namespace kivo::posix
