// A stand-in for polkit's authority on a test's private system bus (DBUS_SYSTEM_BUS_ADDRESS):
// ModemManager asks it before a scan or an inhibition. It allows every request, or, with
// --deny, refuses every one, as polkit refuses a user without the right. It runs until the
// bus goes away or it is ended by a signal.
//   kivo-polkit-standin [--deny]

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <systemd/sd-bus.h>

namespace {

// CheckAuthorization(subject (sa{sv}), action s, details a{ss}, flags u, cancel id s):
// (is authorised, is challenge, details a{ss}).
// Data: whether to allow.
int CheckAuthorization(sd_bus_message* Call, void* Data, sd_bus_error* /*Error*/) {
    const bool Allow = *static_cast<const bool*>(Data);
    sd_bus_message* Reply = nullptr;
    int Result = sd_bus_message_new_method_return(Call, &Reply);
    if (Result >= 0) {
        Result = sd_bus_message_append(Reply, "(bba{ss})", Allow ? 1 : 0, 0, 0);
    }
    if (Result >= 0) {
        Result = sd_bus_send(nullptr, Reply, nullptr);
    }
    sd_bus_message_unref(Reply);
    return Result;
}

int BackendName(sd_bus* /*Bus*/, const char* /*Path*/, const char* /*Interface*/,
                const char* /*Property*/, sd_bus_message* Reply, void* /*Data*/,
                sd_bus_error* /*Error*/) {
    return sd_bus_message_append(Reply, "s", "kivo-test");
}

const sd_bus_vtable Authority[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CheckAuthorization", "(sa{sv})sa{ss}us", "(bba{ss})", CheckAuthorization,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("BackendName", "s", BackendName, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

} // namespace

int main(int Argc, char** Argv) {
    bool Allow = !(Argc > 1 && std::strcmp(Argv[1], "--deny") == 0);
    sd_bus* Bus = nullptr;
    int Result = sd_bus_open_system(&Bus);
    if (Result >= 0) {
        Result =
            sd_bus_add_object_vtable(Bus, nullptr, "/org/freedesktop/PolicyKit1/Authority",
                                     "org.freedesktop.PolicyKit1.Authority", Authority, &Allow);
    }
    if (Result >= 0) {
        Result = sd_bus_request_name(Bus, "org.freedesktop.PolicyKit1", 0);
    }
    while (Result >= 0) {
        Result = sd_bus_process(Bus, nullptr);
        if (Result == 0) {
            Result = sd_bus_wait(Bus, UINT64_MAX);
        }
    }
    sd_bus_flush_close_unref(Bus);
    // The bus closing is how it ends in a test: no failure then.
    if (Result != -ECONNRESET && Result != -ENOTCONN) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the program has one thread
        std::fprintf(stderr, "kivo-polkit-standin: %s\n", std::strerror(-Result));
        return 1;
    }
    return 0;
}
