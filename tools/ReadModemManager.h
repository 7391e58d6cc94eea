#pragma once
// kivo-read and ModemManager, which holds the port of every modem it manages: the identity
// it read, for a port it holds (a partial read: it has no answer to +GMI, +GMM and +GMR),
// and --inhibit, which has it let go of the modem for the read.

#include "app/PhoneReader.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {
class TModemInhibition;
}

// The bound of each question to ModemManager.
inline constexpr std::chrono::milliseconds ModemManagerBound{5000};

// What kivo-read says where ModemManager's read stands in for the port's.
inline constexpr std::string_view NoModemManagerAnswer = "ModemManager has no answer for this.";

// When Result is a port another program holds and ModemManager manages a modem on it: fills
// the fields from what ModemManager read (manufacturer, model, revision, IMEI), the others
// named in Errors as NoModemManagerAnswer, Source "ModemManager", the open's error cleared;
// Note then says so for standard error. False, Result untouched, otherwise. Main thread.
bool ReadThroughModemManager(TReadResult& Result, std::string& Note);

// ReadThroughModemManager for each of Reads; the notes for standard error, one for each port
// read so. Main thread.
[[nodiscard]] std::vector<std::string>
ReadHeldPortsThroughModemManager(std::vector<TReadResult>& Reads);

// How long --watch waits for ModemManager to probe a new port: it opens one about 2 s after
// it appears and probes it for 2 to 10 s (longer for a device no plugin of its own claims).
inline constexpr std::chrono::milliseconds ModemManagerProbeBound{20000};

// --watch: for the new ports that ModemManager will probe, waits until it has made a modem
// of each, all within ModemManagerProbeBound, or until Stopped (asked at least every quarter
// of a second) says to stop. Main thread.
void WaitForModemManagerProbes(const std::vector<std::string>& Ports,
                               const std::function<bool()>& Stopped);

// --inhibit: ModemManager lets go of the modems on the ports given for as long as this lives,
// and takes them back when it is destroyed (or the process ends). Main thread.
class TModemManagerRelease {
public:
    // Asks for each of Ports (as given: a COM name or a path) that ModemManager manages a
    // modem on. Complain receives the warning for each modem let go of (an active data
    // connection on it is dropped) and the reason for each it was refused (polkit's refusal
    // among them).
    TModemManagerRelease(const std::vector<std::string>& Ports,
                         const std::function<void(const std::string&)>& Complain);
    ~TModemManagerRelease();
    TModemManagerRelease(const TModemManagerRelease&) = delete;
    TModemManagerRelease& operator=(const TModemManagerRelease&) = delete;
    TModemManagerRelease(TModemManagerRelease&&) = delete;
    TModemManagerRelease& operator=(TModemManagerRelease&&) = delete;

private:
    std::vector<std::unique_ptr<kivo::TModemInhibition>> FInhibitions;
};
