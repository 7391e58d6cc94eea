// Boost.Asio's serial_port (header-only): the handler is async_read_some's completion.
#include "bench/peers/PeerRound.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>

namespace {

using kivo::bench::PeerClock;

class AsioReceiver {
public:
    explicit AsioReceiver(const std::string& Path) : FPort(FContext, Path) {}

    void Arm() {}
    PeerClock::time_point AwaitByte() {
        PeerClock::time_point Handled;
        Read(FByte, sizeof FByte, [&] { Handled = PeerClock::now(); });
        return Handled;
    }
    void Consume() {}
    std::size_t ReceiveSome(char* Buffer, std::size_t Size) {
        return Read(Buffer, Size, [] {});
    }

private:
    template <class Handler> std::size_t Read(char* Buffer, std::size_t Size, Handler Then) {
        std::size_t Got = 0;
        FPort.async_read_some(boost::asio::buffer(Buffer, Size),
                              [&](const boost::system::error_code& Error, std::size_t Count) {
                                  Then();
                                  if (Error) {
                                      throw boost::system::system_error(Error);
                                  }
                                  Got = Count;
                              });
        FContext.restart();
        FContext.run();
        return Got;
    }

    boost::asio::io_context FContext;
    boost::asio::serial_port FPort;
    char FByte[64]{};
};

} // namespace

int main(int Argc, char** Argv) {
    return kivo::bench::RunPeer<AsioReceiver>("asio", Argc, Argv);
}
