#pragma once
// The system's notice of serial ports that come and go, the same on Linux and Windows, without
// polling: the udev monitor of the tty subsystem on Linux; the arrival and removal of COM port
// and modem interfaces on Windows. It only watches, on a thread of its owner's that waits in
// Run; handing a notice to another thread is the owner's business (TSerialPortNotice,
// serial/SerialPortNotice.h, hands it to the main thread).

#include <functional>
#include <memory>
#include <string>

class TPortChangeWatch {
public:
    // Told once by Run: empty when ports are watched, else why the system gives no notice of
    // them.
    using TStarted = std::function<void(const std::string& Problem)>;
    // Told by Run each time ports may have come or gone.
    using TChanged = std::function<void()>;

    // Starts listening (Linux: the udev monitor). The thread that lists the ports, which is
    // also the one that calls Acknowledge.
    TPortChangeWatch();
    // Run must have returned. The thread that created it.
    ~TPortChangeWatch();
    TPortChangeWatch(const TPortChangeWatch&) = delete;
    TPortChangeWatch& operator=(const TPortChangeWatch&) = delete;
    TPortChangeWatch(TPortChangeWatch&&) = delete;
    TPortChangeWatch& operator=(TPortChangeWatch&&) = delete;

    // Watches on the calling thread until Stop: calls Started first, and returns at once when
    // it told a problem; then Changed each time ports may have come or gone, waiting for the
    // next change only once Changed has returned (so Changed may wait for another thread to
    // call Acknowledge). Returns empty once stopped, else why the wait failed. One thread at a
    // time; Windows creates a hidden window on it, of the class "KivoSerialPortNotice".
    std::string Run(const TStarted& Started, const TChanged& Changed);
    // Makes Run return, now or as soon as it is called. Any thread.
    void Stop() noexcept;
    // After Changed: takes the events waiting; true when a port was added or removed (on
    // Windows always). The thread that created the watch, while Run is in Changed or not
    // running (libudev keeps state across the process that two threads must not use at once).
    bool Acknowledge();

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
