#include "app/PortChooser.h"

#include <algorithm>
#include <utility>

TPortChooser::TPortChooser(std::vector<std::string> Stored)
    : FStored(std::move(Stored)), FItems(FStored), FConsolePaths(FStored.size()),
      FChosen(StartPortNumber - 1), FAutomaticKey(Key(FChosen)) {}

std::vector<std::string> TPortChooser::DefaultStoredItems() {
    std::vector<std::string> Items;
    for (int Number = 1; Number <= StoredPortCount; ++Number) {
        Items.push_back("COM " + std::to_string(Number));
    }
    return Items;
}

std::string TPortChooser::Key(int Index) const {
    if (IsStored(Index)) {
        return FStored.at(static_cast<std::size_t>(Index));
    }
    const auto Listed = static_cast<std::size_t>(Index - StoredCount());
    return Index >= 0 && Listed < FListed.size() ? FListed.at(Listed).Path : "";
}

std::string TPortChooser::ConsolePath(int Index) const {
    const bool Listed = Index >= 0 && Index < static_cast<int>(FConsolePaths.size());
    return Listed ? FConsolePaths.at(static_cast<std::size_t>(Index)) : "";
}

void TPortChooser::Refresh(const std::vector<TSerialPortInfo>& Found, bool StartNamed) {
    const std::string Chosen = Key(FChosen);
    FListed = PortsBeyondStored(Found, StoredCount());
    FItems = FStored;
    FConsolePaths.assign(FItems.size(), std::string());
    for (int Item = 0; Item < StoredCount(); ++Item) {
        if (const TSerialPortInfo* Console = StoredConsole(Found, StoredCount(), Item + 1)) {
            FItems.at(static_cast<std::size_t>(Item)) += ConsoleMark;
            FConsolePaths.at(static_cast<std::size_t>(Item)) = Console->Path;
        }
    }
    for (const TListedPort& Port : FListed) {
        FItems.push_back(Port.Label);
        FConsolePaths.push_back(Port.Console ? Port.Path : std::string());
    }
    FStartPresent = StartNamed || StoredPortPresent(Found, StoredCount(), StartPortNumber);
    // A choice stays while it is listed, except a stored item chosen for the person, which
    // gives way to a device plugged in unless a device is behind it too.
    int Kept = -1;
    for (int Item = 0; Item < static_cast<int>(FItems.size()); ++Item) {
        if (Key(Item) == Chosen) {
            Kept = Item;
        }
    }
    if (Kept >= 0 && !(Chosen == FAutomaticKey && IsStored(Kept))) {
        FChosen = Kept;
        return;
    }
    FChosen = AutomaticChoice(FListed, StoredCount(), StartPortNumber - 1, FStartPresent);
    FAutomaticKey = Key(FChosen);
}

std::vector<TListedPort> TPortChooser::UsbDevices() const {
    std::vector<TListedPort> Devices;
    for (const TListedPort& Port : FListed) {
        const bool Seen = std::any_of(Devices.begin(), Devices.end(), [&](const TListedPort& D) {
            return D.DeviceId == Port.DeviceId;
        });
        if (!Port.DeviceId.empty() && !Seen) {
            Devices.push_back(Port);
        }
    }
    return Devices;
}
