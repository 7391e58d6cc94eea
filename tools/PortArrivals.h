#pragma once
// kivo-read's notice of serial devices that come and go, without polling: on Linux the udev
// monitor, on Windows the device-change messages of COM port and modem interfaces. A thread
// of its own waits for them and hands each notice to the main thread. One implementation
// per platform (PortArrivals_posix.cpp, PortArrivals_win32.cpp).

#include <functional>
#include <memory>
#include <string>

class TPortArrivals {
public:
    // Starts watching. OnChange runs on the main thread, the next time that thread takes its
    // hand-overs: with an empty Failure after devices came or went (several changes may come
    // as one notice); with the reason when the watch failed and has ended. Create and destroy
    // on the main thread; after destruction OnChange runs no more.
    explicit TPortArrivals(std::function<void(const std::string& Failure)> OnChange);
    ~TPortArrivals();
    TPortArrivals(const TPortArrivals&) = delete;
    TPortArrivals& operator=(const TPortArrivals&) = delete;
    TPortArrivals(TPortArrivals&&) = delete;
    TPortArrivals& operator=(TPortArrivals&&) = delete;

    // Empty while devices are watched; otherwise why the system gives no notice of them
    // (Linux without udev). The main thread.
    [[nodiscard]] const std::string& Problem() const noexcept;

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};
