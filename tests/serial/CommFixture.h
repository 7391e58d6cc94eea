#pragma once
// A component on one end of a pseudo-terminal, with the test's thread standing in for the
// user-interface thread: it runs the hand-over queue while it waits for a condition.

#include "runtime/Thread.h"
#include "serial/VaCommPrivate.h"
#include "tests/support/PtyPair.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// Runs handed-over calls until Done holds or Bound passes; true when Done held.
inline bool PumpUntil(const std::function<bool()>& Done,
                      std::chrono::milliseconds Bound = std::chrono::seconds(10)) {
    const auto Deadline = std::chrono::steady_clock::now() + Bound;
    for (;;) {
        CheckSynchronize();
        if (Done()) {
            return true;
        }
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        if (Left <= std::chrono::milliseconds::zero()) {
            return false;
        }
        (void)WaitForSynchronize(Left);
    }
}

class CommTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetMainThread();
        SetApplicationExceptionHandler([this](TObject* /*Sender*/, const std::exception& E) {
            Reports.emplace_back(E.what());
            const auto* Comm = dynamic_cast<const EVaCommError*>(&E);
            ReportCodes.push_back(Comm != nullptr ? Comm->Code() : TVaCommErrorCode::ecOther);
        });
        Comm = std::make_unique<TVaComm>(nullptr);
        Comm->SetDeviceName(Pty.DevicePath());
        Comm->SetBaudrate(br19200);
    }

    void TearDown() override {
        Comm.reset();
        CheckSynchronize();
        SetApplicationExceptionHandler({});
    }

    // The main window's settings: watch errors and received characters, queued writes.
    void UseMainWindowSettings() {
        Comm->SetMonitorEvents({ceError, ceRxChar});
        Comm->Buffers()->SetReadSize(512);
        Comm->Buffers()->SetWriteSize(512);
    }

    PtyPair Pty;
    std::unique_ptr<TVaComm> Comm;
    std::vector<std::string> Reports;
    std::vector<TVaCommErrorCode> ReportCodes; // the cause of each report
};
