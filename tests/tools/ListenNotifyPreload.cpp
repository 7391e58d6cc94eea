// Preloaded into a server under test (ser2net) so that the test learns, as an event, that the
// server listens and on which port: after each successful listen() on a TCP socket, the port
// number and a line break are written to the descriptor named by KIVO_LISTEN_NOTIFY_FD. The
// test then gives the server port 0 and never guesses a free port or polls for readiness.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using ListenFn = int (*)(int, int);

ListenFn RealListen() {
    static const auto Real = reinterpret_cast<ListenFn>(dlsym(RTLD_NEXT, "listen"));
    return Real;
}

int ListeningPort(int Fd) {
    sockaddr_storage Address{};
    socklen_t Length = sizeof Address;
    if (getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        return 0;
    }
    if (Address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&Address)->sin_port);
    }
    if (Address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&Address)->sin6_port);
    }
    return 0;
}

} // namespace

extern "C" int listen(int Fd, int Backlog) {
    const int Result = RealListen()(Fd, Backlog);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the server changes no environment variables
    const char* Target = std::getenv("KIVO_LISTEN_NOTIFY_FD");
    const int Port = Result == 0 ? ListeningPort(Fd) : 0;
    if (Target != nullptr && Port != 0) {
        const std::string Line = std::to_string(Port) + "\n";
        // The test reads the line; a failed write only leaves it waiting to its bound.
        (void)write(std::atoi(Target), Line.data(), Line.size());
    }
    return Result;
}
