#pragma once

#include <map>
#include <string>

namespace quillsum::bench {

// Runs the registered benchmarks, shows Google Benchmark's table and returns each benchmark's
// median CPU time in seconds, by name ("MD5CLSMessage/64"). Unless the command line says
// otherwise, every benchmark runs 15 times, the runs of all benchmarks interleaved at random, so
// that a busy moment of the machine falls on every side alike; CPU time is not inflated by time
// spent waiting for a core that other work shares.
std::map<std::string, double> RunInterleaved(int argc, char **argv);

} // namespace quillsum::bench
