// MD5CLS in memory beside OpenSSL's MD5 on the same bytes, and the window's worst keystroke.

#include "Interleaved.h"
#include "engine/MD5CLS.h"

#define OPENSSL_SUPPRESS_DEPRECATED // MD5_Init and friends: the reference needs the bare MD5
#include <openssl/md5.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kMessageSizes[] = {64, 1024, 64 << 20};
constexpr std::int64_t kBatchBytes = 8 << 20;   // per side and iteration, for small messages
constexpr std::size_t kWorstKeystroke = 32'767; // the longest text the old program could take

const std::vector<std::uint8_t> &Message(std::int64_t size) {
  static std::map<std::int64_t, std::vector<std::uint8_t>> messages;
  auto &bytes = messages[size];
  if (bytes.empty()) {
    std::mt19937 random(static_cast<std::uint32_t>(size));
    bytes.resize(static_cast<std::size_t>(size));
    for (auto &b : bytes)
      b = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

// Each iteration digests a batch of messages with MD5CLS and the same batch with OpenSSL's MD5,
// as a pair; the "ratio" counter is MD5CLS's CPU time over OpenSSL's.
void MD5CLSBesideOpenSsl(benchmark::State &state) {
  const auto &bytes = Message(state.range(0));
  const std::int64_t count = std::max<std::int64_t>(1, kBatchBytes / state.range(0));
  const auto ours = [&] {
    quillsum::MD5CLS md5;
    for (std::int64_t k = 0; k < count; ++k) {
      md5.MD5Init();
      md5.MD5Update(static_cast<std::int32_t>(bytes.size()), bytes);
      md5.MD5Final();
      benchmark::DoNotOptimize(md5);
    }
  };
  const auto theirs = [&] {
    MD5_CTX context;
    unsigned char digest[MD5_DIGEST_LENGTH];
    for (std::int64_t k = 0; k < count; ++k) {
      MD5_Init(&context);
      MD5_Update(&context, bytes.data(), bytes.size());
      MD5_Final(digest, &context);
      benchmark::DoNotOptimize(digest);
    }
  };

  const auto [oursSeconds, theirsSeconds] = quillsum::bench::RunPairs(state, ours, theirs);
  const auto messages = static_cast<double>(state.iterations() * count);
  state.counters["MD5CLS_ns"] = oursSeconds * 1e9 / messages;
  state.counters["OpenSSL_ns"] = theirsSeconds * 1e9 / messages;
  state.counters["ratio"] = oursSeconds / theirsSeconds;
}

// What the window does on every keystroke: a fresh MD5CLS digests the whole text.
void WorstKeystroke(benchmark::State &state) {
  std::mt19937 random(1);
  std::u16string text(kWorstKeystroke, u' ');
  for (auto &c : text)
    c = static_cast<char16_t>(0x20 + random() % 0x160); // in the code page and not
  for (auto _ : state)
    benchmark::DoNotOptimize(quillsum::MD5CLS().DigestStrToHexStr(text));
}

void SizeArguments(benchmark::internal::Benchmark *benchmark) {
  for (const auto size : kMessageSizes)
    benchmark->Arg(size);
}

BENCHMARK(MD5CLSBesideOpenSsl)->Apply(SizeArguments)->Unit(benchmark::kMillisecond);
BENCHMARK(WorstKeystroke)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
  const auto medians = quillsum::bench::RunInterleaved(argc, argv);
  for (const auto size : kMessageSizes)
    if (const auto pair = medians.find("MD5CLSBesideOpenSsl/" + std::to_string(size));
        pair != medians.end())
      std::printf("MD5CLS / OpenSSL MD5 time, %s message: %.3f\n",
                  quillsum::bench::SizeText(size).c_str(), pair->second.counters.at("ratio"));
  if (const auto keystroke = medians.find("WorstKeystroke"); keystroke != medians.end())
    std::printf("DigestStrToHexStr of %zu characters: %.3f ms\n", kWorstKeystroke,
                keystroke->second.cpuSeconds * 1e3);
}
