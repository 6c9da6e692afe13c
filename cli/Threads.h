#pragma once

#include <functional>
#include <thread>

namespace quillsum::cli {

// Threads start with small stacks: their work needs little, and a process limited in memory
// (ulimit -v) can then still have several. Run once, before any thread starts.
void UseSmallThreadStacks();

// Starts body on a thread of its own; a thread that is not joinable when the system gives no
// more threads, or no memory for one. An exception that leaves body ends the program at once
// (Output::Abandon): the thread's work cannot be handed to another.
std::thread StartThread(std::function<void()> body) noexcept;

} // namespace quillsum::cli
