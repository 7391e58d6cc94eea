#include "tools/ReadModemManager.h"

#include "platform/ModemManager.h"
#include "serial/VaTypes.h"

#include <array>
#include <utility>

namespace {

// The fields ModemManager has, by their place in QueryCommands.
std::array<const std::string*, QueryCommands.size()> FieldsOf(const kivo::TManagedModem& Modem) {
    static_assert(QueryCommands[0].Key == "CGMI" && QueryCommands[1].Key == "CGMM" &&
                  QueryCommands[2].Key == "CGMR" && QueryCommands[6].Key == "CGSN");
    return {&Modem.Manufacturer, &Modem.Model, &Modem.Revision, nullptr, nullptr, nullptr,
            &Modem.Imei};
}

} // namespace

bool ReadThroughModemManager(TReadResult& Result, std::string& Note) {
    if (Result.Outcome != TReadOutcome::roOpenFailed ||
        Result.OpenCode != TVaCommErrorCode::ecBusy) {
        return false;
    }
    std::string Problem;
    const auto Modem = kivo::FindManagedModem(Result.Device, ModemManagerBound, Problem);
    if (!Modem) {
        return false;
    }
    const auto Fields = FieldsOf(*Modem);
    for (std::size_t I = 0; I < Fields.size(); ++I) {
        const bool Known = Fields.at(I) != nullptr && !Fields.at(I)->empty();
        Result.Answers.at(I) = Known ? *Fields.at(I) : std::string();
        Result.Errors.at(I) = Known ? std::string() : std::string(NoModemManagerAnswer);
    }
    Result.Count = Fields.size();
    Result.Outcome = TReadOutcome::roPhoneError; // a partial read
    Result.Error.clear();
    Result.Source = "ModemManager";
    Note = Result.Device + " is held by ModemManager: the fields are those it read of its modem ";
    Note.append(Modem->Object).append(" (kivo-read --inhibit reads the port itself).");
    return true;
}

std::vector<std::string> ReadHeldPortsThroughModemManager(std::vector<TReadResult>& Reads) {
    std::vector<std::string> Notes;
    for (TReadResult& Result : Reads) {
        if (std::string Note; ReadThroughModemManager(Result, Note)) {
            Notes.push_back(std::move(Note));
        }
    }
    return Notes;
}

void WaitForModemManagerProbes(const std::vector<std::string>& Ports,
                               const std::function<bool()>& Stopped) {
    const auto Deadline = std::chrono::steady_clock::now() + ModemManagerProbeBound;
    for (const std::string& Port : Ports) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        if (Left.count() <= 0 || Stopped()) {
            return;
        }
        (void)kivo::WaitForModemManagerProbe(Port, Left, Stopped);
    }
}

TModemManagerRelease::TModemManagerRelease(
    const std::vector<std::string>& Ports,
    const std::function<void(const std::string&)>& Complain) {
    for (const std::string& Port : Ports) {
        std::string Problem;
        const auto Modem = kivo::FindManagedModem(Port, ModemManagerBound, Problem);
        if (!Modem) {
            if (!Problem.empty()) {
                Complain(Port + ": " += Problem);
            }
            continue;
        }
        auto Inhibition = kivo::TModemInhibition::Inhibit(*Modem, Port, ModemManagerBound, Problem);
        if (!Inhibition) {
            Complain(Port + ": " += Problem);
            continue;
        }
        Complain("ModemManager lets go of " + Port +=
                 " for the read: an active data connection of the modem is dropped, and the "
                 "modem comes back disabled.");
        FInhibitions.push_back(std::move(Inhibition));
    }
}

TModemManagerRelease::~TModemManagerRelease() = default;
