#include "tests/faults/ScriptedPhone.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

TScriptedPhone::TScriptedPhone(TPhoneScript Script) : FScript(std::move(Script)) {
    if (::pipe2(FWake, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    // Writes wait in poll, where the end of the test can wake them, never in write.
    ::fcntl(FPty.MasterFd(), F_SETFL, ::fcntl(FPty.MasterFd(), F_GETFL) | O_NONBLOCK);
    FThread = std::thread([this] { Run(); });
}

TScriptedPhone::~TScriptedPhone() {
    const char Stop = 0;
    (void)::write(FWake[1], &Stop, 1);
    FThread.join();
    ::close(FWake[0]);
    ::close(FWake[1]);
}

void TScriptedPhone::Run() {
    std::string Line;
    while (!FStopping) {
        pollfd Fds[2] = {{FPty.MasterFd(), POLLIN, 0}, {FWake[0], POLLIN, 0}};
        const int Count = FHungUp ? ::poll(&Fds[1], 1, -1) : ::poll(Fds, 2, -1);
        if (Count < 0 && errno == EINTR) {
            continue;
        }
        if (Count < 0 || Fds[1].revents != 0) {
            return;
        }
        char Buffer[512];
        const ssize_t Got = ::read(FPty.MasterFd(), Buffer, sizeof Buffer);
        if (Got <= 0) {
            continue; // the terminal side is not open yet (EIO) or was closed
        }
        for (ssize_t I = 0; I < Got && !FStopping; ++I) {
            if (Buffer[I] != '\r' && Buffer[I] != '\n') {
                Line += Buffer[I];
            } else if (!Line.empty()) {
                const bool Alive = Answer(Line);
                Line.clear();
                if (!Alive) {
                    break;
                }
            }
        }
    }
}

// Writes all of Data unless the test ends first (a reader that stopped reading must not
// keep this thread blocked on a full terminal queue).
bool TScriptedPhone::Send(std::string_view Data) {
    while (!Data.empty()) {
        pollfd Fds[2] = {{FPty.MasterFd(), POLLOUT, 0}, {FWake[0], POLLIN, 0}};
        if (::poll(Fds, 2, -1) < 0 && errno != EINTR) {
            return false;
        }
        if (Fds[1].revents != 0) {
            FStopping = true;
            return false;
        }
        if ((Fds[0].revents & POLLOUT) == 0) {
            continue;
        }
        const ssize_t Put = ::write(FPty.MasterFd(), Data.data(), Data.size());
        if (Put < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
        Data.remove_prefix(Put > 0 ? static_cast<std::size_t>(Put) : 0);
    }
    return true;
}

bool TScriptedPhone::Answer(const std::string& Command) {
    const TScriptStep Step = FScript(FIndex++, Command);
    for (const std::string& Piece : Step.Pieces) {
        if (!Send(Piece)) {
            return false;
        }
    }
    if (Step.HangUpAfter) {
        FPty.HangUp();
        FHungUp = true;
        return false;
    }
    return true;
}

std::string StandardReply(const std::string& Command) {
    static const std::map<std::string, std::string> Identity{
        {"AT+CGMI", "Kestrel Mobile"},  {"AT+CGMM", "KM-310"},    {"AT+CGMR", "KM310_R2.14"},
        {"AT+GMI", "Kestrel Mobile"},   {"AT+GMM", "KM-310 GSM"}, {"AT+GMR", "R2.14 (modem 4.02)"},
        {"AT+CGSN", "357421098765438"},
    };
    const auto Found = Identity.find(Command);
    return Found == Identity.end() ? std::string() : "\r\n" + Found->second + "\r\n\r\nOK\r\n";
}
