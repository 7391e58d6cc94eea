// The notice of serial ports: a thread of its own runs the system's watch (platform/
// PortChangeWatch.h) and hands each change to the main thread, where the watch's events are
// taken (libudev is used there for the port list too) and the owner is told.

#include "serial/SerialPortNotice.h"

#include "platform/PortChangeWatch.h"
#include "runtime/Thread.h"

#include <future>

namespace {

using TOnChange = std::function<void(const std::string&)>;

class TNoticeThread : public TThread {
public:
    TNoticeThread(TPortChangeWatch& Watch, TOnChange OnChange)
        : TThread(true), FWatch(Watch), FOnChange(std::move(OnChange)) {}
    ~TNoticeThread() override { TerminateAndWait(); }
    TNoticeThread(const TNoticeThread&) = delete;
    TNoticeThread& operator=(const TNoticeThread&) = delete;
    TNoticeThread(TNoticeThread&&) = delete;
    TNoticeThread& operator=(TNoticeThread&&) = delete;

    // Starts the thread; empty once the watch runs, else why it cannot.
    std::string Start() {
        std::future<std::string> Ready = FReady.get_future();
        Resume();
        return Ready.get();
    }

protected:
    void Execute() override {
        const std::string Failure =
            FWatch.Run([this](const std::string& Problem) { FReady.set_value(Problem); },
                       [this] {
                           Synchronize([this] {
                               if (FWatch.Acknowledge()) {
                                   FOnChange({});
                               }
                           });
                       });
        if (!Failure.empty()) {
            Synchronize([this, &Failure] { FOnChange(Failure); });
        }
    }

private:
    TPortChangeWatch& FWatch;
    const TOnChange FOnChange;
    std::promise<std::string> FReady;
};

} // namespace

struct TSerialPortNotice::TImpl {
    TPortChangeWatch Watch;
    std::string Problem;
    std::unique_ptr<TNoticeThread> Thread; // ends before the watch goes
};

TSerialPortNotice::TSerialPortNotice(std::function<void(const std::string& Failure)> OnChange)
    : FImpl(std::make_unique<TImpl>()) {
    FImpl->Thread = std::make_unique<TNoticeThread>(FImpl->Watch, std::move(OnChange));
    FImpl->Problem = FImpl->Thread->Start();
}

TSerialPortNotice::~TSerialPortNotice() {
    // Stopped first, so that a released hand-over finds the watch ending, not a change to wait
    // for again.
    FImpl->Watch.Stop();
    FImpl->Thread->CancelSynchronize();
    FImpl->Thread.reset();
}

const std::string& TSerialPortNotice::Problem() const noexcept {
    return FImpl->Problem;
}
