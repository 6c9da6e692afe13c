// Digests a fuzzed set of messages through MD5Lanes with 16, 8 and 1 lane (as many as the CPU
// has), in fuzzed pieces, with lanes left waiting and messages dropped midway; every digest must
// match OpenSSL's MD5 of the same bytes, and only the dropped messages may lack one.

#include "support/Reference.h"
#include "support/ThroughLanes.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::string> messages(input.ConsumeIntegralInRange<std::size_t>(1, 40));
  for (auto &message : messages)
    if (input.ConsumeBool()) // a long run of one byte crosses many blocks for few input bytes
      message.assign(input.ConsumeIntegralInRange<std::size_t>(0, 20'000),
                     input.ConsumeIntegral<char>());
    else
      message = input.ConsumeBytesAsString(input.ConsumeIntegralInRange(0, 300));
  const auto schedule = input.ConsumeRemainingBytes<std::uint8_t>();

  for (const char *lanes : {"16", "8", "1"}) {
    ::setenv("QUILLSUM_LANES", lanes, 1);
    // Once the schedule is used up: whole pieces, no drops, no lane left waiting.
    FuzzedDataProvider choose(schedule.data(), schedule.size());
    std::set<std::size_t> dropped;
    const auto digests = quillsum::test::DigestThroughLanes(
        messages, {[&](std::size_t left) {
                     return choose.remaining_bytes() > 0
                                ? choose.ConsumeIntegralInRange<std::size_t>(0, left)
                                : left;
                   },
                   [&](std::size_t message, bool) {
                     const bool drop = choose.ConsumeIntegralInRange(0, 15) == 15;
                     if (drop)
                       dropped.insert(message);
                     return drop;
                   },
                   [&] { return choose.ConsumeIntegralInRange(0, 3) == 1; }});
    for (std::size_t k = 0; k < messages.size(); ++k)
      if (digests[k] != (dropped.count(k) ? "" : quillsum::test::ReferenceMd5(messages[k]))) {
        std::fprintf(stderr, "QUILLSUM_LANES=%s, message %zu of %zu bytes: digest %s\n", lanes, k,
                     messages[k].size(), digests[k].c_str());
        std::abort();
      }
  }
  return 0;
}
