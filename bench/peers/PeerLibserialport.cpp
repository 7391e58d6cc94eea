// libserialport: the handler runs when sp_wait reports the port readable.
//
// libserialport looks every port up in sysfs by its name, and a pseudo-terminal has no entry
// there, so it refuses /dev/pts/N. This program makes the terminal its controlling terminal
// (a new session, then an open without O_NOCTTY) and hands libserialport "/dev/tty", which
// sysfs lists and which then opens that same terminal (a process that leads its process group
// cannot start a session: bench/run.sh starts it through setsid(1)). libserialport also reads and
// sets the modem lines, which a pseudo-terminal rejects: bench/run.sh runs this program with the
// modem-line library of bench/preload preloaded.
#include "bench/peers/PeerRound.h"

#include <csignal>
#include <fcntl.h>
#include <libserialport.h>
#include <stdexcept>

namespace {

using kivo::bench::PeerClock;

void Check(sp_return Result, const char* What) {
    if (Result < 0) {
        char* Message = sp_last_error_message();
        const std::string Text = std::string(What) + ": " + (Message ? Message : "failed");
        sp_free_error_message(Message);
        throw std::runtime_error(Text);
    }
}

// Makes Path this process's controlling terminal; holds it open while the port is in use.
// The terminal's hang-up when the round closes its master is expected, not a reason to end.
int ControlTerminal(const std::string& Path) {
    std::signal(SIGHUP, SIG_IGN);
    if (setsid() < 0 && getsid(0) != getpid()) {
        throw std::runtime_error("no session of its own: run it with setsid(1)");
    }
    const int Fd = open(Path.c_str(), O_RDWR | O_CLOEXEC);
    if (Fd < 0) {
        throw std::runtime_error("cannot open " + Path);
    }
    return Fd;
}

class SpReceiver {
public:
    explicit SpReceiver(const std::string& Path) : FControl(ControlTerminal(Path)) {
        Check(sp_get_port_by_name("/dev/tty", &FPort), "sp_get_port_by_name");
        Check(sp_open(FPort, SP_MODE_READ_WRITE), "sp_open");
        // The port keeps the flow control it had (a new terminal's XON/XOFF); the others
        // receive without it, and so does this one.
        Check(sp_set_flowcontrol(FPort, SP_FLOWCONTROL_NONE), "sp_set_flowcontrol");
        Check(sp_new_event_set(&FEvents), "sp_new_event_set");
        Check(sp_add_port_events(FEvents, FPort, SP_EVENT_RX_READY), "sp_add_port_events");
    }
    ~SpReceiver() {
        sp_free_event_set(FEvents);
        sp_close(FPort);
        sp_free_port(FPort);
        close(FControl);
    }
    SpReceiver(const SpReceiver&) = delete;
    SpReceiver& operator=(const SpReceiver&) = delete;

    void Arm() {}
    PeerClock::time_point AwaitByte() {
        Check(sp_wait(FEvents, 0), "sp_wait");
        return PeerClock::now();
    }
    void Consume() {
        Check(sp_nonblocking_read(FPort, FByte, sizeof FByte), "sp_nonblocking_read");
    }
    std::size_t ReceiveSome(char* Buffer, std::size_t Size) {
        for (;;) {
            Check(sp_wait(FEvents, 0), "sp_wait");
            const sp_return Got = sp_nonblocking_read(FPort, Buffer, Size);
            Check(Got, "sp_nonblocking_read");
            if (Got > 0) {
                return static_cast<std::size_t>(Got);
            }
        }
    }

private:
    int FControl;
    sp_port* FPort = nullptr;
    sp_event_set* FEvents = nullptr;
    char FByte[64]{};
};

} // namespace

int main(int Argc, char** Argv) {
    return kivo::bench::RunPeer<SpReceiver>("libserialport", Argc, Argv);
}
