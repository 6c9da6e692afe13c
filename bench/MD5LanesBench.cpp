// MD5Lanes in memory beside MD5CLS: the same messages through the lanes at once and through
// MD5CLS one after another, with each kernel forced by QUILLSUM_LANES.

#include "Interleaved.h"
#include "engine/MD5CLS.h"
#include "engine/MD5Lanes.h"
#include "support/Reference.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// (QUILLSUM_LANES, message size, messages): 16 messages of 4 MiB for each kernel, and many small
// messages, where the work around each message counts.
struct Row {
  int lanes;
  std::int64_t size;
  std::size_t count;
};
constexpr Row kRows[] = {{16, 4 << 20, 16}, {8, 4 << 20, 16}, {1, 4 << 20, 16},
                         {16, 4096, 4096},  {8, 4096, 4096},  {16, 64, 16384}};

const std::vector<std::vector<std::uint8_t>> &Messages(std::int64_t size) {
  static std::map<std::int64_t, std::vector<std::vector<std::uint8_t>>> messages;
  auto &all = messages[size];
  if (all.empty())
    for (const auto &row : kRows)
      if (row.size == size)
        for (std::size_t k = 0; k < row.count; ++k) {
          const auto bytes = quillsum::test::RandomBytes(static_cast<std::size_t>(size),
                                                         static_cast<std::uint32_t>(k));
          all.emplace_back(bytes.begin(), bytes.end());
        }
  return all;
}

// Each iteration digests the messages through MD5Lanes, each fed whole as a lane frees, and
// through MD5CLS one after another, as a pair; the "speedup" counter is MD5CLS's CPU time over
// the lanes'. The arguments are QUILLSUM_LANES and the message size.
void LanesBesideMD5CLS(benchmark::State &state) {
  ::setenv("QUILLSUM_LANES", std::to_string(state.range(0)).c_str(), 1);
  const auto &messages = Messages(state.range(1));
  state.counters["lanes"] = static_cast<double>(quillsum::MD5Lanes().Width());
  const auto lanes = [&] {
    quillsum::MD5Lanes lanes;
    std::size_t next = 0;
    for (auto ready = lanes.Run(); !ready.empty(); ready = lanes.Run())
      for (std::size_t lane : ready) {
        if (lanes.Done(lane))
          benchmark::DoNotOptimize(lanes.Digest(lane));
        if (next < messages.size())
          lanes.Feed(lane, messages[next++], true);
      }
  };
  const auto oneAfterAnother = [&] {
    quillsum::MD5CLS md5;
    for (const auto &message : messages) {
      md5.MD5Init();
      md5.MD5Update(static_cast<std::int32_t>(message.size()), message);
      md5.MD5Final();
      benchmark::DoNotOptimize(md5.GetValues());
    }
  };
  const auto [lanesSeconds, md5clsSeconds] =
      quillsum::bench::RunPairs(state, lanes, oneAfterAnother);
  const auto bytes = static_cast<double>(state.iterations()) *
                     static_cast<double>(messages.size() * messages[0].size());
  state.counters["lanes_MBps"] = bytes / lanesSeconds * 1e-6;
  state.counters["MD5CLS_MBps"] = bytes / md5clsSeconds * 1e-6;
  state.counters["speedup"] = md5clsSeconds / lanesSeconds;
}

void RowArguments(benchmark::internal::Benchmark *benchmark) {
  for (const auto &row : kRows)
    benchmark->Args({row.lanes, row.size});
}

BENCHMARK(LanesBesideMD5CLS)->Apply(RowArguments)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
  const auto medians = quillsum::bench::RunInterleaved(argc, argv);
  for (const auto &row : kRows)
    if (const auto pair = medians.find("LanesBesideMD5CLS/" + std::to_string(row.lanes) + "/" +
                                       std::to_string(row.size));
        pair != medians.end()) {
      const std::string name = std::to_string(row.count) + " x " +
                               quillsum::bench::SizeText(row.size) +
                               ", QUILLSUM_LANES=" + std::to_string(row.lanes);
      std::printf("%s / MD5CLS one after another: %.3f (%g lanes)\n", name.c_str(),
                  pair->second.counters.at("speedup"), pair->second.counters.at("lanes"));
      std::printf("%s, lanes alone: %.0f MB/s\n", name.c_str(),
                  pair->second.counters.at("lanes_MBps"));
    }
}
