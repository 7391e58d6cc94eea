#include "app/PortList.h"

#include <algorithm>

std::vector<TListedPort> PortsBeyondStored(const std::vector<TSerialPortInfo>& Found,
                                           int StoredCount) {
    std::vector<TListedPort> Listed;
    for (const TSerialPortInfo& Port : Found) {
        if (ComNumberOf(Port, StoredCount) != 0) {
            continue;
        }
        std::string Label = Port.Name;
        if (!Port.Description.empty()) {
            Label += " - " + Port.Description;
        }
        Listed.push_back({Label, Port.Path, Port.VendorId.empty() ? "" : Port.DeviceId});
    }
    return Listed;
}

bool StoredPortPresent(const std::vector<TSerialPortInfo>& Found, int StoredCount, int Number) {
    return std::any_of(Found.begin(), Found.end(), [&](const TSerialPortInfo& Port) {
        return ComNumberOf(Port, StoredCount) == Number;
    });
}

int AutomaticChoice(const std::vector<TListedPort>& Listed, int StoredCount, int Stored,
                    bool StoredPresent) {
    if (StoredPresent) {
        return Stored;
    }
    const auto FirstUsb = std::find_if(Listed.begin(), Listed.end(), [](const TListedPort& Port) {
        return !Port.DeviceId.empty();
    });
    if (FirstUsb == Listed.end()) {
        return Stored;
    }
    const bool OneDevice = std::all_of(Listed.begin(), Listed.end(), [&](const TListedPort& Port) {
        return Port.DeviceId.empty() || Port.DeviceId == FirstUsb->DeviceId;
    });
    return OneDevice ? StoredCount + static_cast<int>(FirstUsb - Listed.begin()) : Stored;
}
