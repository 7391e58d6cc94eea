// The serial port component as an application uses it: the handler is OnRxChar, run on this
// (the user-interface) thread, which waits in WaitForSynchronize for the event thread's
// hand-over; the bytes are then taken with ReadText.
#include "bench/peers/PeerRound.h"
#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

using kivo::bench::PeerClock;

class ComponentReceiver {
public:
    explicit ComponentReceiver(const std::string& Path)
        : FComm(std::make_unique<TVaComm>(nullptr)) {
        FComm->SetDevicePath(Path);
        FComm->SetBaudrate(br19200);
        FComm->SetMonitorEvents({ceRxChar});
        FComm->Buffers()->SetReadSize(65536);
        FComm->OnRxChar = [this](TObject*, int) {
            FHandled = PeerClock::now();
            FReady = true;
        };
        FComm->Open();
    }

    void Arm() { FReady = false; }
    PeerClock::time_point AwaitByte() {
        while (!FReady) {
            Pump();
        }
        return FHandled;
    }
    void Consume() { (void)FComm->ReadText(); }
    std::size_t ReceiveSome(char* Buffer, std::size_t Size) {
        for (;;) {
            // A full input queue leaves the rest in the kernel, which holds the sender back.
            const int Queued = std::min(FComm->InQueueCount(), static_cast<int>(Size));
            if (Queued > 0) {
                return static_cast<std::size_t>(FComm->ReadBuf(Buffer, Queued));
            }
            FReady = false;
            while (!FReady) {
                Pump();
            }
        }
    }

private:
    static void Pump() {
        if (!WaitForSynchronize(std::chrono::seconds(10))) {
            throw std::runtime_error("no event from the port for ten seconds");
        }
        CheckSynchronize();
    }

    std::unique_ptr<TVaComm> FComm;
    bool FReady = false;
    PeerClock::time_point FHandled;
};

} // namespace

int main(int Argc, char** Argv) {
    SetMainThread();
    return kivo::bench::RunPeer<ComponentReceiver>("kivo-component", Argc, Argv);
}
