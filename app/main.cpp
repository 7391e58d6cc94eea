// KIVO: reads the identification data of a phone or modem on a serial port.

#include "app/Start.h"
#include "ui/Backend.h"
#include "ui/Forms.h"

#include <exception>
#include <iostream>
#include <memory>
#include <string_view>

namespace {

constexpr std::string_view Help =
    "usage: kivo [--help] [--version] [toolkit options]\n"
    "\n"
    "Shows the window that reads the identity of a GSM phone or modem on a serial port:\n"
    "choose the port, press Read. The port list holds COM 1 to COM 8 and the ports found.\n"
    "On Linux, COM<n> opens the device in the environment variable KIVO_COM<n> when it is\n"
    "set, else /dev/ttyS<n-1>.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help\n"
    "  -V, --version  show the version\n"
    "The toolkit's own options are taken as well (Qt: -style NAME, -platform NAME...).\n"
    "\n"
    "On a terminal, kivo-read reads the same fields: kivo-read --help.\n";

} // namespace

int main(int Argc, char** Argv) {
    for (int I = 1; I < Argc; ++I) {
        const std::string_view Argument = Argv[I];
        if (Argument == "--help" || Argument == "-h") {
            std::cout << Help;
            return std::cout.flush() ? 0 : 1;
        }
        if (Argument == "--version" || Argument == "-V") {
            std::cout << "kivo " KIVO_VERSION "\n";
            return std::cout.flush() ? 0 : 1;
        }
    }
    try {
        UiBackend::SetArguments(Argc, Argv);
        TApplication App;
        App.SetTitle("Kivo");
        auto frmStart = std::make_unique<TfrmStart>(nullptr);
        App.Run(*frmStart);
        frmStart.reset();
        return 0;
    } catch (const std::exception& E) {
        std::cerr << "kivo: " << E.what() << '\n';
        return 1;
    }
}
