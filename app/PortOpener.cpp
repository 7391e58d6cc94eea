#include "app/PortOpener.h"

#include "app/PortFailure.h"
#include "serial/VaComm.h"

#include <utility>

TPortOpener::TPortOpener(TVaComm& Comm, TOpened Opened)
    : TThread(true), FComm(Comm), FOpened(std::move(Opened)) {
    Resume();
}

void TPortOpener::Execute() {
    std::optional<std::string> Failure;
    TVaCommErrorCode Code = TVaCommErrorCode::ecOther;
    try {
        FComm.Open();
    } catch (const std::exception& E) {
        Code = ErrorCodeOf(E);
        Failure = PortFailureMessage(E, FComm.GetPortName());
    }
    if (Synchronize([&] { FOpened(Failure, Code); }) || !FComm.Active()) {
        return;
    }
    try {
        FComm.Close();
    } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): the read has ended
    }
}
