// KIVO's serial layer: the handler runs when WaitCommEvent's EV_RXCHAR completes; the bytes
// are then taken with ReadFile, as the component does.
#include "bench/peers/PeerRound.h"
#include "bench/platform/LayerPort.h"

namespace {

using kivo::bench::PeerClock;

class LayerReceiver {
public:
    explicit LayerReceiver(const std::string& Path)
        : FPort(kivo::bench::OpenPort(Path, 65536, true)),
          FEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~LayerReceiver() {
        CloseHandle(FPort);
        CloseHandle(FEvent);
    }
    LayerReceiver(const LayerReceiver&) = delete;
    LayerReceiver& operator=(const LayerReceiver&) = delete;

    void Arm() {
        FWait = OVERLAPPED{};
        FWait.hEvent = FEvent;
        if (!WaitCommEvent(FPort, &FEvents, &FWait) && GetLastError() != ERROR_IO_PENDING) {
            throw std::runtime_error("WaitCommEvent failed");
        }
    }
    PeerClock::time_point AwaitByte() {
        WaitForSingleObject(FEvent, INFINITE);
        return PeerClock::now();
    }
    void Consume() { kivo::bench::DrainPort(FPort, FEvent, FBuffer, sizeof FBuffer); }
    std::size_t ReceiveSome(char* Buffer, std::size_t Size) {
        for (;;) {
            if (const std::size_t Got = kivo::bench::DrainPort(FPort, FEvent, Buffer, Size)) {
                return Got;
            }
            Arm();
            if (WaitForSingleObject(FEvent, 10000) != WAIT_OBJECT_0) {
                throw std::runtime_error("no bytes for ten seconds");
            }
        }
    }

private:
    HANDLE FPort;
    HANDLE FEvent;
    OVERLAPPED FWait{};
    DWORD FEvents = 0;
    char FBuffer[64]{};
};

} // namespace

int main(int Argc, char** Argv) {
    return kivo::bench::RunPeer<LayerReceiver>("kivo-layer", Argc, Argv);
}
