#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace quillsum::bench {

// The median, over a benchmark's repetitions, of its CPU time per iteration and of each of its
// counters.
struct Median {
  double cpuSeconds = 0;
  std::map<std::string, double> counters;
};

// Runs the registered benchmarks, shows Google Benchmark's table and returns each benchmark's
// medians, by name ("WorstKeystroke", "MD5dariFile/1KiB"). Unless the command line says
// otherwise, every benchmark runs 15 times, the runs of all benchmarks interleaved at random, so
// that a busy moment of the machine falls on every side alike; CPU time is not inflated by time
// spent waiting for a core that other work shares.
std::map<std::string, Median> RunInterleaved(int argc, char **argv);

// CPU seconds of each side of a pair: every iteration runs both, back to back and in alternating
// order, so that both meet the machine in the same state.
struct PairSeconds {
  double first = 0;
  double second = 0;
};
PairSeconds RunPairs(benchmark::State &state, const std::function<void()> &first,
                     const std::function<void()> &second);

// "64 B", "1 KiB", "4 MiB".
std::string SizeText(std::int64_t size);

} // namespace quillsum::bench
