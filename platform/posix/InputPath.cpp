#include "platform/posix/InputPath.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <termios.h>
#include <unistd.h>

namespace kivo::posix {
namespace {

constexpr std::size_t DefaultInputQueue = 4096;

} // namespace

InputPath::InputPath(const DeviceState& State) : FState(State), FQueue(DefaultInputQueue) {}

DWORD InputPath::QueuedEvents() const {
    DWORD Events = FQueue.Empty() ? 0 : EV_RXCHAR;
    if (EightyPercentFull()) {
        Events |= EV_RX80FULL;
    }
    return Events;
}

bool InputPath::EightyPercentFull() const {
    return FQueue.Size() * 5 >= FQueue.Capacity() * 4;
}

// Only a device with a line marks its errors.
void InputPath::SetDecoding(const DCB& Dcb) {
    FDecoder.SetOptions({.Marked = !FState.PseudoTerminal,
                         .StripNulls = Dcb.fNull != 0,
                         .ReplaceErrors = Dcb.fErrorChar != 0 && Dcb.fParity != 0,
                         .ErrorChar = Dcb.ErrorChar,
                         .EventChar = Dcb.EvtChar});
}

// A mark split between two reads goes with them.
bool InputPath::Discard() {
    FQueue.Clear();
    FDecoder.Reset();
    return tcflush(FState.Fd, TCIFLUSH) == 0;
}

// The rest stays in the kernel, whose buffer and flow control hold it; nothing read is ever
// thrown away. A marked byte takes three bytes in the kernel's stream but one in the queue.
std::size_t InputPath::ReadLimit() const {
    return std::min(ReadChunk, FQueue.Room());
}

// Under the device's lock, so the bytes of concurrent reads (the driver's, a caller's) keep
// their order.
Arrival InputPath::ReadOnce(bool SeekEventChar, bool Discard) {
    Arrival Came;
    Came.Asked = ReadLimit();
    if (!FState.Readable || FState.Failure != ERROR_SUCCESS || Came.Asked == 0) {
        return Came;
    }
    const ssize_t Got = ::read(FState.Fd, FRaw.data(), Came.Asked);
    if (Got > 0) {
        Came.Got = static_cast<std::size_t>(Got);
        Receive(FRaw.data(), Came.Got, SeekEventChar, Discard, Came);
    } else if (Got == 0) {
        Came.Failure = EIO; // end of file on a terminal: it hung up
    } else if (errno != EAGAIN && errno != EINTR) {
        Came.Failure = static_cast<DWORD>(errno);
    }
    return Came;
}

void InputPath::Receive(const char* Raw, std::size_t Size, bool SeekEventChar, bool Discard,
                        Arrival& Came) {
    std::string_view Data(Raw, Size);
    if (FDecoder.PassesUnchanged(Raw, Size)) {
        // The common case: plain bytes go to the queue as they are.
        Came.Marks.EventCharSeen =
            SeekEventChar && std::memchr(Raw, FState.Dcb.EvtChar, Size) != nullptr;
    } else {
        FDecoded.clear();
        Came.Marks = FDecoder.Decode(Raw, Size, FDecoded);
        Data = FDecoded;
    }
    if (Data.empty() || Discard) {
        return; // nothing received, or ignored while DSR is low
    }
    const bool WasBelow80 = !EightyPercentFull();
    Came.Queued = true;
    Came.Events = EV_RXCHAR | (Came.Marks.EventCharSeen ? EV_RXFLAG : 0);
    // Reads take no more than the queue has room for, so this overflows only on a mark the
    // kernel never sends ("\377" then a plain byte gives two bytes for one): reported, not
    // silent.
    Came.Overflowed = FQueue.Push(Data.data(), Data.size()) < Data.size();
    if (WasBelow80 && EightyPercentFull()) {
        Came.Events |= EV_RX80FULL;
    }
}

} // namespace kivo::posix
