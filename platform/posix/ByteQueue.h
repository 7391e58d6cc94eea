#pragma once
// A bounded first-in first-out queue of bytes on a ring buffer: a device's input queue.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace kivo::posix {

class ByteQueue {
public:
    explicit ByteQueue(std::size_t Capacity) : FBuffer(std::max(Capacity, std::size_t{1})) {}

    [[nodiscard]] std::size_t Size() const { return FSize; }
    [[nodiscard]] std::size_t Capacity() const { return FBuffer.size(); }
    [[nodiscard]] std::size_t Room() const { return FBuffer.size() - FSize; }
    [[nodiscard]] bool Empty() const { return FSize == 0; }

    // Changes the capacity, never below what is queued; keeps the queued bytes.
    void SetCapacity(std::size_t Capacity) {
        std::vector<char> Bigger(std::max({Capacity, FSize, std::size_t{1}}));
        const std::size_t Kept = FSize;
        Take(Bigger.data(), Kept);
        FBuffer.swap(Bigger);
        FHead = 0;
        FSize = Kept;
    }

    void Clear() {
        FHead = 0;
        FSize = 0;
    }

    // Appends as much of Data as fits; returns how much that was.
    std::size_t Push(const char* Data, std::size_t Count) {
        Count = std::min(Count, Room());
        std::size_t Tail = (FHead + FSize) % FBuffer.size();
        std::size_t Copied = 0;
        while (Copied < Count) {
            const std::size_t Run = std::min(Count - Copied, FBuffer.size() - Tail);
            std::memcpy(FBuffer.data() + Tail, Data + Copied, Run);
            Copied += Run;
            Tail = (Tail + Run) % FBuffer.size();
        }
        FSize += Count;
        return Count;
    }

    // Moves up to Count bytes from the front into To; returns how many.
    std::size_t Take(char* To, std::size_t Count) {
        Count = std::min(Count, FSize);
        std::size_t Copied = 0;
        while (Copied < Count) {
            const std::size_t Run = std::min(Count - Copied, FBuffer.size() - FHead);
            std::memcpy(To + Copied, FBuffer.data() + FHead, Run);
            Copied += Run;
            FHead = (FHead + Run) % FBuffer.size();
        }
        FSize -= Count;
        if (FSize == 0) {
            FHead = 0;
        }
        return Count;
    }

private:
    std::vector<char> FBuffer;
    std::size_t FHead = 0;
    std::size_t FSize = 0;
};

} // namespace kivo::posix
