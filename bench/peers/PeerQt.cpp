// QSerialPort in a Qt event loop: the handler is the readyRead slot.
#include "bench/peers/PeerRound.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <stdexcept>

namespace {

using kivo::bench::PeerClock;

class QtReceiver {
public:
    explicit QtReceiver(const std::string& Path) {
        FPort.setPortName(QString::fromStdString(Path));
        if (!FPort.open(QIODevice::ReadWrite)) {
            throw std::runtime_error("QSerialPort: " + FPort.errorString().toStdString());
        }
        QObject::connect(&FPort, &QSerialPort::readyRead, [this] {
            FHandled = PeerClock::now();
            FReady = true;
        });
    }

    void Arm() { FReady = false; }
    PeerClock::time_point AwaitByte() {
        while (!FReady) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return FHandled;
    }
    void Consume() { FPort.readAll(); }
    std::size_t ReceiveSome(char* Buffer, std::size_t Size) {
        while (FPort.bytesAvailable() == 0) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return static_cast<std::size_t>(FPort.read(Buffer, static_cast<qint64>(Size)));
    }

private:
    QSerialPort FPort;
    bool FReady = false;
    PeerClock::time_point FHandled;
};

} // namespace

int main(int Argc, char** Argv) {
    QCoreApplication App(Argc, Argv);
    return kivo::bench::RunPeer<QtReceiver>("qserialport", Argc, Argv);
}
