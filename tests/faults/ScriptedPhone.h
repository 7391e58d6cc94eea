#pragma once
// A phone played by the test on a pseudo-terminal: each command line the program writes is
// answered by a script, piece by piece, and the script may pull the plug afterwards.

#include "tests/support/PtyPair.h"

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct TScriptStep {
    std::vector<std::string> Pieces; // each written with its own write call
    bool HangUpAfter = false;        // then close the device side for good
};

// Index counts commands from 0; Command is the line without its line end.
using TPhoneScript = std::function<TScriptStep(int Index, const std::string& Command)>;

class TScriptedPhone {
public:
    explicit TScriptedPhone(TPhoneScript Script);
    ~TScriptedPhone();
    TScriptedPhone(const TScriptedPhone&) = delete;
    TScriptedPhone& operator=(const TScriptedPhone&) = delete;
    TScriptedPhone(TScriptedPhone&&) = delete;
    TScriptedPhone& operator=(TScriptedPhone&&) = delete;

    [[nodiscard]] const std::string& DevicePath() const { return FPty.DevicePath(); }
    [[nodiscard]] bool HungUp() const { return FHungUp.load(); }

private:
    void Run();
    bool Answer(const std::string& Command); // false once hung up or stopping
    bool Send(std::string_view Data);

    PtyPair FPty;
    TPhoneScript FScript;
    int FWake[2] = {-1, -1};
    int FIndex = 0;
    std::atomic<bool> FHungUp{false};
    bool FStopping = false; // the test ends: set and read on the phone's thread only
    std::thread FThread;
};

// The usual answer to Command: echo off, the identity line, OK; empty for other lines.
[[nodiscard]] std::string StandardReply(const std::string& Command);
