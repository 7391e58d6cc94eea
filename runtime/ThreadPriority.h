#pragma once
// The operating system's side of thread priorities, one implementation per platform.

#include "runtime/Thread.h"

#include <cstdint>

// Identifies the calling thread for later priority changes from any thread.
[[nodiscard]] std::uintptr_t CurrentPriorityTarget();

// Frees what CurrentPriorityTarget took; called once the thread has ended.
void ReleasePriorityTarget(std::uintptr_t Target) noexcept;

// Gives the thread Target the system priority of Priority. A raise refused for lack of
// privilege is skipped; any other refusal raises EThread "Thread Error: %s (%d)".
void ApplyThreadPriority(std::uintptr_t Target, TThreadPriority Priority);
