#pragma once
// A serial device's input: the input queue and the decoder of the bytes read from the device.
// Asked to, it reads the device once and says what arrived (Arrival); what that means for
// pending reads, the event wait, the line errors and the modem lines is for the device to
// hand on (SerialDevice.h). Who asks it to read, and when, is InputWatch.h.
//
// Nothing is taken from the kernel that the queue has no room for (ReadLimit): while the queue
// is full nobody watches for input, and the kernel's buffer (and the line's flow control, where
// it has any) holds what comes next until a reader makes room. Where that buffer overflows,
// the device's counters tell, and ClearCommError reports CE_OVERRUN.
//
// Every call runs under the device's lock.

#include "platform/posix/ByteQueue.h"
#include "platform/posix/DeviceState.h"
#include "platform/posix/InputDecoder.h"

#include <string>
#include <vector>

namespace kivo::posix {

// What one read of the device brought.
struct Arrival {
    std::size_t Asked = 0;         // how much the read asked for
    std::size_t Got = 0;           // how many bytes it took from the device
    DWORD Failure = ERROR_SUCCESS; // the device hung up (EIO) or the read failed
    DecodeResult Marks;            // what the bytes carried besides data
    bool Queued = false;           // data went to the queue
    bool Overflowed = false;       // the queue could not take all of it (CE_RXOVER)
    DWORD Events = 0;              // EV_RXCHAR, EV_RXFLAG, EV_RX80FULL from the queued data
};

class InputPath {
public:
    static constexpr std::size_t ReadChunk = 16384; // the most one read takes from the device

    explicit InputPath(const DeviceState& State);

    // The queue.
    [[nodiscard]] ByteQueue& Queue() { return FQueue; }
    [[nodiscard]] std::size_t Queued() const { return FQueue.Size(); }
    void SetCapacity(std::size_t Capacity) { FQueue.SetCapacity(Capacity); }
    // EV_RXCHAR while bytes are queued, EV_RX80FULL while the queue is 80% full.
    [[nodiscard]] DWORD QueuedEvents() const;
    // Decodes what comes from now on as Dcb asks.
    void SetDecoding(const DCB& Dcb);
    // Discards the queue and what the kernel holds for it; false, with errno set, when the
    // kernel's part cannot be.
    [[nodiscard]] bool Discard();

    // The most one read may take: no more than the queue has room for.
    [[nodiscard]] std::size_t ReadLimit() const;
    // Reads the device once into the queue. SeekEventChar: EV_RXFLAG is wanted; Discard: the
    // data is dropped after decoding (ignored while DSR is low).
    Arrival ReadOnce(bool SeekEventChar, bool Discard);

private:
    void Receive(const char* Raw, std::size_t Size, bool SeekEventChar, bool Discard,
                 Arrival& Came);
    [[nodiscard]] bool EightyPercentFull() const;

    const DeviceState& FState;
    ByteQueue FQueue;
    std::vector<char> FRaw = std::vector<char>(ReadChunk); // what one read from the device got
    std::string FDecoded;
    InputDecoder FDecoder;
};

} // namespace kivo::posix
