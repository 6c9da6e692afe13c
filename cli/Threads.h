#pragma once

#include <functional>
#include <thread>

namespace quillsum::cli {

// Readies the process for its threads; run once, before any thread starts. Threads start with
// small stacks: their work needs little, and a process limited in memory (ulimit -v) can then
// still have several. And malloc's arenas are capped now, as glibc would otherwise count the CPUs
// in /sys at the first allocation of some later thread: a descriptor no budget counts, which
// under a tight limit would make another thread's open fail.
void PrepareThreads();

// The CPUs this process may run on, told without reading any file.
unsigned UsableCpus();

// Starts body on a thread of its own; a thread that is not joinable when the system gives no
// more threads, or no memory for one. An exception that leaves body ends the program at once
// (Output::Abandon): the thread's work cannot be handed to another.
std::thread StartThread(std::function<void()> body) noexcept;

} // namespace quillsum::cli
