// A build without a D-Bus library: ModemManager is never there.

#include "platform/ModemManager.h"

#include <utility>

namespace kivo {

struct TModemInhibition::TImpl {};

bool ModemManagerSupported() {
    return false;
}

std::optional<TManagedModem> FindManagedModem(const std::string& /*Name*/,
                                              std::chrono::milliseconds /*Bound*/,
                                              std::string& Problem) {
    Problem.clear();
    return std::nullopt;
}

TModemInhibition::TModemInhibition(std::unique_ptr<TImpl> Impl) : FImpl(std::move(Impl)) {}

TModemInhibition::~TModemInhibition() = default;

std::unique_ptr<TModemInhibition> TModemInhibition::Inhibit(const TManagedModem& /*Modem*/,
                                                            const std::string& /*Port*/,
                                                            std::chrono::milliseconds /*Bound*/,
                                                            std::string& Problem) {
    Problem = "this build of KIVO cannot talk to ModemManager (built without libsystemd)";
    return nullptr;
}

bool WaitForModemManagerProbe(const std::string& /*Name*/, std::chrono::milliseconds /*Bound*/,
                              const std::function<bool()>& /*Stopped*/) {
    return false;
}

} // namespace kivo
