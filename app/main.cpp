// KIVO: reads the identification data of a phone or modem on a serial port.

#include "app/Start.h"
#include "ui/Forms.h"

#include <exception>
#include <iostream>
#include <memory>

int main() {
    try {
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
