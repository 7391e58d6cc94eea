#pragma once
// Which port a person means, by one set of rules for the window and kivo-read: the stored
// items "COM 1" to "COM 8" (COM 4 chosen at start, as the window's description stores it), a
// COM n that KIVO_COM<n> maps to a device, the ports found beyond them (hot-plug included),
// the single USB device plugged in, and the ports the kernel's console writes to. The window
// shows its items and follows its choice; kivo-read asks it for the port a read without one
// reads. Reads the environment and the file system; used on one thread at a time.

#include "app/PortList.h"

#include <optional>
#include <string>
#include <vector>

// The stored items: "COM 1" to "COM StoredPortCount", and the one chosen at start.
inline constexpr int StoredPortCount = 8;
inline constexpr int StartPortNumber = 4;

class TPortChooser {
public:
    // Stored: the stored items' labels, "COM 1" to "COM 8"; the start item is chosen.
    explicit TPortChooser(std::vector<std::string> Stored = DefaultStoredItems());

    // "COM 1" to "COM 8".
    [[nodiscard]] static std::vector<std::string> DefaultStoredItems();

    // Takes the ports found now (at start and whenever a port comes or goes): lists those no
    // stored item opens below the stored items, marks the consoles, and keeps the choice while
    // it is listed, except a stored item chosen for the person, which gives way to the one
    // USB device plugged in unless a device is behind it too. StartNamed: the person has
    // named the start item's device (kivo-read's KIVO_COM4), which then counts as present.
    void Refresh(const std::vector<TSerialPortInfo>& Found, bool StartNamed = false);
    // The item the person has chosen now (the list's index); Refresh keeps it where it can.
    void Select(int Index) { FChosen = Index; }

    // The labels: the stored items (a console's marked), then the ports found.
    [[nodiscard]] const std::vector<std::string>& Items() const { return FItems; }
    [[nodiscard]] int Chosen() const { return FChosen; }
    [[nodiscard]] int StoredCount() const { return static_cast<int>(FStored.size()); }
    [[nodiscard]] bool IsStored(int Index) const { return Index >= 0 && Index < StoredCount(); }
    // What stands for the item: a stored item's label, the path of a found port; empty for
    // no item.
    [[nodiscard]] std::string Key(int Index) const;
    // The console's path when the kernel's console writes to the item's port; else empty.
    [[nodiscard]] std::string ConsolePath(int Index) const;
    // Whether a device is behind the start item (as of the last Refresh).
    [[nodiscard]] bool StartPresent() const { return FStartPresent; }
    // The first port of each USB device found, in the order found.
    [[nodiscard]] std::vector<TListedPort> UsbDevices() const;

private:
    std::vector<std::string> FStored;
    std::vector<TListedPort> FListed;       // found, beyond the stored items
    std::vector<std::string> FItems;        // the labels shown
    std::vector<std::string> FConsolePaths; // per item: the console's path, or empty
    int FChosen;
    std::string FAutomaticKey; // the last choice made for the person
    bool FStartPresent = false;
};
