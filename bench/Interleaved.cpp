#include "Interleaved.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <vector>

#include <unistd.h>

namespace quillsum::bench {
namespace {

class MedianReporter : public benchmark::ConsoleReporter {
public:
  explicit MedianReporter(std::map<std::string, Median> &medians)
      : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular), medians_(medians) {
  }

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const auto &run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        Median &median = medians_[run.run_name.str()];
        median.cpuSeconds =
            run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        for (const auto &[name, counter] : run.counters)
          median.counters[name] = counter.value;
      }
    ConsoleReporter::ReportRuns(runs);
  }

private:
  std::map<std::string, Median> &medians_;
};

double CpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

} // namespace

std::map<std::string, Median> RunInterleaved(int argc, char **argv) {
  // Flags from the command line come after these and win.
  std::string defaults[] = {"--benchmark_enable_random_interleaving=true",
                            "--benchmark_repetitions=15", "--benchmark_min_time=0.1",
                            "--benchmark_report_aggregates_only=true"};
  std::vector<char *> arguments{argv[0]};
  for (auto &flag : defaults)
    arguments.push_back(flag.data());
  arguments.insert(arguments.end(), argv + 1, argv + argc);
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data()))
    std::exit(2);

  std::map<std::string, Median> medians;
  MedianReporter reporter(medians);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return medians;
}

PairSeconds RunPairs(benchmark::State &state, const std::function<void()> &first,
                     const std::function<void()> &second) {
  PairSeconds seconds;
  bool firstFirst = true;
  for (auto _ : state) {
    const double start = CpuSeconds();
    firstFirst ? first() : second();
    const double middle = CpuSeconds();
    firstFirst ? second() : first();
    const double end = CpuSeconds();
    seconds.first += firstFirst ? middle - start : end - middle;
    seconds.second += firstFirst ? end - middle : middle - start;
    firstFirst = !firstFirst;
  }
  return seconds;
}

std::string SizeText(std::int64_t size) {
  if (size >= 1 << 20)
    return std::to_string(size >> 20) + " MiB";
  if (size >= 1 << 10)
    return std::to_string(size >> 10) + " KiB";
  return std::to_string(size) + " B";
}

} // namespace quillsum::bench
