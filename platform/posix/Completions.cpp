#include "platform/posix/Completions.h"

#include "platform/posix/LastError.h"

#include <atomic>

namespace kivo::posix {
namespace {

std::atomic_ref<ULONG_PTR> StatusOf(OVERLAPPED& Record) {
    return std::atomic_ref<ULONG_PTR>(Record.Internal);
}

ULONG_PTR LoadStatus(const OVERLAPPED& Record) {
    // The layer writes Internal only through atomic stores; reading it the same way lets any
    // thread poll a record while the driver thread completes it.
    return std::atomic_ref<ULONG_PTR>(const_cast<OVERLAPPED&>(Record).Internal)
        .load(std::memory_order_acquire);
}

} // namespace

Operation Completions::Begin(OVERLAPPED* Overlapped) {
    Operation Op;
    Op.Issuer = std::this_thread::get_id();
    Op.Record = Overlapped;
    Op.Event = Overlapped->hEvent;
    if (Op.Event != nullptr) {
        ResetEvent(Op.Event);
    }
    Overlapped->InternalHigh = 0;
    StatusOf(*Overlapped).store(STATUS_PENDING, std::memory_order_release);
    return Op;
}

void Completions::Finish(Operation& Op, DWORD Error) {
    if (Op.Watched) {
        SetEventSource(Op.Event, {});
    }
    Op.Record->InternalHigh = Op.Done;
    StatusOf(*Op.Record).store(Error, std::memory_order_release);
    if (Op.Event != nullptr) {
        SetEvent(Op.Event);
    }
    FCompleted.notify_all();
}

BOOL Completions::FinishNow(Operation& Op, DWORD Error, DWORD* Done) {
    if (Done != nullptr) {
        *Done = Op.Done;
    }
    Finish(Op, Error);
    return Error == ERROR_SUCCESS ? TRUE : Refuse(Error);
}

void Completions::Watch(Operation& Op) {
    if (FOverlapped && Op.Event != nullptr) {
        Op.Watched = SetEventSource(Op.Event, FSource);
    }
}

void Completions::Await(std::unique_lock<std::mutex>& Lock, const OVERLAPPED& Overlapped) {
    FCompleted.wait(Lock, [&] { return !Pending(Overlapped); });
}

bool Completions::Pending(const OVERLAPPED& Record) {
    return LoadStatus(Record) == STATUS_PENDING;
}

DWORD Completions::Result(const OVERLAPPED& Record) {
    return static_cast<DWORD>(LoadStatus(Record));
}

void Completions::SetStatus(OVERLAPPED& Record, DWORD Status) {
    StatusOf(Record).store(Status, std::memory_order_release);
}

} // namespace kivo::posix
