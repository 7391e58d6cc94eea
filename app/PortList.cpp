#include "app/PortList.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

// True when the path that "COM Number" opens by its own environment variable names a
// device that exists. On Windows no variable maps a COM name, so none does.
bool MappedDeviceExists(int Number) {
    const std::string Name = "COM" + std::to_string(Number);
    const std::string Variable = "KIVO_" + Name;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in KIVO changes the environment
    const char* Path = std::getenv(Variable.c_str());
    if (Path == nullptr || *Path == '\0' || !SamePortDevice(Name, Path)) {
        return false;
    }
    std::error_code Error;
    return std::filesystem::is_character_file(Path, Error);
}

} // namespace

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
        if (Port.Console) {
            Label += ConsoleMark;
        }
        Listed.push_back(
            {Label, Port.Path, Port.VendorId.empty() ? "" : Port.DeviceId, Port.Console});
    }
    return Listed;
}

bool StoredPortPresent(const std::vector<TSerialPortInfo>& Found, int StoredCount, int Number) {
    return std::any_of(Found.begin(), Found.end(),
                       [&](const TSerialPortInfo& Port) {
                           return ComNumberOf(Port, StoredCount) == Number;
                       }) ||
           MappedDeviceExists(Number);
}

const TSerialPortInfo* StoredConsole(const std::vector<TSerialPortInfo>& Found, int StoredCount,
                                     int Number) {
    const auto Console = std::find_if(Found.begin(), Found.end(), [&](const TSerialPortInfo& Port) {
        return Port.Console && ComNumberOf(Port, StoredCount) == Number;
    });
    return Console == Found.end() ? nullptr : &*Console;
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
