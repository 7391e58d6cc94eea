#pragma once
// Notice of serial ports that come and go, the same on Linux and Windows: a thread of the
// notice's own waits for the system's device events (the udev monitor of the tty subsystem on
// Linux; the arrival and removal of COM port and modem interfaces on Windows) and hands each
// notice to the main thread. Nothing polls. A notice says only that the set of ports changed:
// ListSerialPorts (platform/SerialPorts.h) tells what the ports are now.

#include <functional>
#include <memory>
#include <string>

// A watch of the serial ports that come and go, handing each notice to the main thread.
class TSerialPortNotice {
public:
    // Starts watching. OnChange runs on the main thread, the next time that thread takes its
    // hand-overs (CheckSynchronize, runtime/Thread.h): with an empty Failure after ports came
    // or went (several changes may come as one notice), with the reason when the watch failed
    // and has ended. Create and destroy on the main thread; after destruction OnChange runs
    // no more. Raises EThread when no thread can be started; when the system gives no notice
    // of ports, Problem() says why and OnChange never runs.
    explicit TSerialPortNotice(std::function<void(const std::string& Failure)> OnChange);
    // Ends the watch and waits for its thread, which is blocked at most until the hand-over
    // it waits in is released. The main thread.
    ~TSerialPortNotice();
    TSerialPortNotice(const TSerialPortNotice&) = delete;
    TSerialPortNotice& operator=(const TSerialPortNotice&) = delete;
    TSerialPortNotice(TSerialPortNotice&&) = delete;
    TSerialPortNotice& operator=(TSerialPortNotice&&) = delete;

    // Empty while ports are watched; otherwise one line that says why the system gives no
    // notice of them (Linux without a device manager: no udev). The main thread.
    [[nodiscard]] const std::string& Problem() const noexcept;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
