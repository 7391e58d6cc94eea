#pragma once
// Asking until a condition holds, as a program that only looks would: for conditions that no
// event announces (a count, a thread's state), up to a generous bound that is never an
// expected time.

#include <chrono>
#include <functional>
#include <thread>

// Asks Done until it holds or Bound passes; returns its last answer.
inline bool AskUntil(const std::function<bool()>& Done,
                     std::chrono::milliseconds Bound = std::chrono::seconds(10)) {
    const auto Deadline = std::chrono::steady_clock::now() + Bound;
    while (!Done() && std::chrono::steady_clock::now() < Deadline) {
        std::this_thread::yield();
    }
    return Done();
}
