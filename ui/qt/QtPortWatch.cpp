// The Qt backend's watch of serial ports: the udev monitor's descriptor under a
// QSocketNotifier, so the main loop wakes only when a device event waits.

#include "platform/posix/SerialPortMonitor.h"
#include "ui/Backend.h"

#include <QSocketNotifier>

namespace {

class TQtPortWatch : public TWatchPeer {
public:
    explicit TQtPortWatch(std::function<void()> OnChange) : FOnChange(std::move(OnChange)) {
        if (FMonitor.Descriptor() < 0) {
            return;
        }
        FNotifier = std::make_unique<QSocketNotifier>(FMonitor.Descriptor(), QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, FNotifier.get(), [this] {
            if (FMonitor.Acknowledge()) {
                FOnChange();
            }
        });
    }

private:
    std::function<void()> FOnChange;
    TSerialPortMonitor FMonitor;
    std::unique_ptr<QSocketNotifier> FNotifier; // goes before the monitor's descriptor closes
};

} // namespace

namespace UiBackend {

std::unique_ptr<TWatchPeer> WatchSerialPorts(std::function<void()> OnChange) {
    return std::make_unique<TQtPortWatch>(std::move(OnChange));
}

} // namespace UiBackend
