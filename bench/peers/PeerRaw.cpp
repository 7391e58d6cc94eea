// Raw poll + read on the terminal: the handler runs when read() has the byte.
#include "bench/peers/PeerRound.h"

#include <poll.h>
#include <stdexcept>

namespace {

using kivo::bench::PeerClock;

class RawReceiver {
public:
    explicit RawReceiver(const std::string& Path) : FFd(kivo::bench::OpenRaw(Path)) {}
    ~RawReceiver() { close(FFd); }
    RawReceiver(const RawReceiver&) = delete;
    RawReceiver& operator=(const RawReceiver&) = delete;

    void Arm() {}
    PeerClock::time_point AwaitByte() {
        char Byte = 0;
        ReceiveSome(&Byte, 1);
        return PeerClock::now();
    }
    void Consume() {}
    std::size_t ReceiveSome(char* Buffer, std::size_t Size) {
        for (;;) {
            pollfd Ready{FFd, POLLIN, 0};
            poll(&Ready, 1, -1);
            const ssize_t Got = read(FFd, Buffer, Size);
            if (Got > 0) {
                return static_cast<std::size_t>(Got);
            }
            if (Got == 0 || (errno != EAGAIN && errno != EINTR)) {
                throw std::runtime_error("read failed");
            }
        }
    }

private:
    int FFd;
};

} // namespace

int main(int Argc, char** Argv) {
    return kivo::bench::RunPeer<RawReceiver>("raw", Argc, Argv);
}
