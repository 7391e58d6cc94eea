// The floor of a design with an event thread: raw poll + read on a thread of its own, which
// hands each arrival to this thread and waits until the handler has run there (a mutex and
// two condition variables, the least a blocking hand-over needs). Two thread wake-ups per
// byte, and the event thread sleeps a second time until the handler is done.
#include "bench/peers/PeerRound.h"

#include <array>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <stdexcept>

namespace {

using kivo::bench::PeerClock;

class HandOverReceiver {
public:
    explicit HandOverReceiver(const std::string& Path)
        : FFd(kivo::bench::OpenRaw(Path)), FStop(MakePipe()), FReader([this] { Run(); }) {}
    ~HandOverReceiver() {
        {
            const std::lock_guard Guard(FLock);
            FStopping = true;
        }
        FDone.notify_all();
        const char Byte = 0;
        (void)::write(FStop[1], &Byte, 1);
        FReader.join();
        close(FStop[0]);
        close(FStop[1]);
        close(FFd);
    }
    HandOverReceiver(const HandOverReceiver&) = delete;
    HandOverReceiver& operator=(const HandOverReceiver&) = delete;

    void Arm() { FReady = false; }
    PeerClock::time_point AwaitByte() {
        while (!FReady) {
            Pump();
        }
        return FHandled;
    }
    void Consume() {
        const std::lock_guard Guard(FLock);
        FHeld.clear();
    }
    std::size_t ReceiveSome(char* Buffer, std::size_t Size) {
        for (;;) {
            {
                const std::lock_guard Guard(FLock);
                if (!FHeld.empty()) {
                    const std::size_t Got = std::min(Size, FHeld.size());
                    std::copy_n(FHeld.begin(), Got, Buffer);
                    FHeld.erase(FHeld.begin(), FHeld.begin() + static_cast<std::ptrdiff_t>(Got));
                    return Got;
                }
            }
            Pump();
        }
    }

private:
    // The user-interface side: waits for a hand-over, runs the handler, lets the thread go on.
    void Pump() {
        std::unique_lock Lock(FLock);
        FArrived.wait(Lock, [this] { return FCalls > FRuns; });
        FHandled = PeerClock::now();
        FReady = true;
        ++FRuns;
        Lock.unlock();
        FDone.notify_one();
    }

    // The event thread: polls, reads, hands over and waits until the handler has run.
    void Run() {
        std::vector<char> Chunk(65536);
        for (;;) {
            pollfd Ready[2] = {{FFd, POLLIN, 0}, {FStop[0], POLLIN, 0}};
            ::poll(Ready, 2, -1);
            if (Ready[1].revents != 0) {
                return;
            }
            const ssize_t Got = ::read(FFd, Chunk.data(), Chunk.size());
            if (Got <= 0) {
                continue;
            }
            std::unique_lock Lock(FLock);
            FHeld.insert(FHeld.end(), Chunk.data(), Chunk.data() + Got);
            ++FCalls;
            FArrived.notify_one();
            FDone.wait(Lock, [this] { return FRuns == FCalls || FStopping; });
            if (FStopping) {
                return;
            }
        }
    }

    static std::array<int, 2> MakePipe() {
        std::array<int, 2> Ends{};
        if (::pipe(Ends.data()) != 0) {
            throw std::runtime_error("pipe failed");
        }
        return Ends;
    }

    int FFd;
    std::array<int, 2> FStop; // written to stop the event thread
    std::mutex FLock;
    std::condition_variable FArrived;
    std::condition_variable FDone;
    std::vector<char> FHeld;
    std::uint64_t FCalls = 0;
    std::uint64_t FRuns = 0;
    bool FStopping = false;
    bool FReady = false;
    PeerClock::time_point FHandled;
    std::thread FReader;
};

} // namespace

int main(int Argc, char** Argv) {
    return kivo::bench::RunPeer<HandOverReceiver>("handover", Argc, Argv);
}
