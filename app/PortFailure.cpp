#include "app/PortFailure.h"

#include "platform/OpenFailure.h"

TVaCommErrorCode ErrorCodeOf(const std::exception& E) {
    const auto* Comm = dynamic_cast<const EVaCommError*>(&E);
    return Comm != nullptr ? Comm->Code() : TVaCommErrorCode::ecOther;
}

std::string PortFailureMessage(const std::exception& E, const std::string& Device) {
    std::string Advice;
    switch (ErrorCodeOf(E)) {
    case TVaCommErrorCode::ecNotFound:
        Advice = kivo::MissingDeviceAdvice(Device);
        break;
    case TVaCommErrorCode::ecDenied:
        Advice = kivo::DeniedDeviceAdvice(Device);
        break;
    case TVaCommErrorCode::ecBusy:
        Advice = kivo::BusyDeviceAdvice(Device);
        break;
    default:
        break;
    }
    std::string Message = E.what();
    if (!Advice.empty()) {
        Message += Message.ends_with('.') ? " " : ". ";
        Message += Advice;
    }
    return Message;
}

std::string DeviceLostMessage(std::string_view Device) {
    if (Device.find("://") != std::string_view::npos) {
        return "Lost the connection to " + std::string(Device) +
               ": the server closed it or the network failed. Check that the server runs and "
               "can be reached, then read again.";
    }
    return "Lost the device " + std::string(Device) +
           ": it went away (unplugged, powered off or reset). Plug it in or switch it on, "
           "then read again.";
}
