// Digests a fuzzed set of messages through MD5Lanes with 16, 8 and 1 lane (as many as the CPU
// has), fed in fuzzed pieces from buffers that are scribbled over once the lanes give them back,
// with lanes left waiting and messages dropped midway; every finished digest is checked against
// OpenSSL's MD5 of the same bytes.

#include "engine/MD5Lanes.h"
#include "support/Reference.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Message = std::vector<std::uint8_t>;

void Expect(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

// Works the lanes with the choices in schedule (once it is used up: whole pieces, no drops, no
// lane left waiting); checks every finished digest, and that each message is finished or
// dropped.
void Digest(const std::vector<Message> &messages, const std::vector<std::uint8_t> &schedule) {
  struct Job {
    std::size_t message = 0;
    std::size_t at = 0;
    bool open = false;
    Message buffer;
  };
  FuzzedDataProvider choose(schedule.data(), schedule.size());
  quillsum::MD5Lanes lanes;
  std::vector<Job> jobs(lanes.Width());
  std::vector<std::size_t> waiting;
  std::size_t next = 0;
  std::size_t finished = 0;
  for (;;) {
    const auto ready = lanes.Run();
    waiting.insert(waiting.end(), ready.begin(), ready.end());
    if (waiting.empty())
      break;
    const auto served =
        ready.empty() ? waiting.begin() : std::partition(waiting.begin(), waiting.end(), [&](auto) {
          return choose.ConsumeIntegralInRange(0, 3) == 1;
        });
    const std::vector<std::size_t> serve(served, waiting.end());
    waiting.erase(served, waiting.end());
    for (std::size_t lane : serve) {
      Job &job = jobs[lane];
      std::fill(job.buffer.begin(), job.buffer.end(), 0xEE);
      if (lanes.Done(lane)) {
        Expect(job.open, "a lane done that had no message");
        Expect(lanes.Digest(lane) == quillsum::test::ReferenceMd5(messages[job.message]), "digest");
        job.open = false;
        ++finished;
      }
      while (job.open || next < messages.size()) {
        if (!job.open) {
          job.message = next++;
          job.at = 0;
          job.open = true;
        }
        const Message &message = messages[job.message];
        if (choose.ConsumeIntegralInRange(0, 15) == 15) {
          lanes.Drop(lane);
          job.open = false;
          ++finished;
          continue;
        }
        const std::size_t left = message.size() - job.at;
        const std::size_t size = choose.remaining_bytes() > 0
                                     ? choose.ConsumeIntegralInRange<std::size_t>(0, left)
                                     : left;
        job.buffer.assign(message.begin() + static_cast<std::ptrdiff_t>(job.at),
                          message.begin() + static_cast<std::ptrdiff_t>(job.at + size));
        job.at += size;
        lanes.Feed(lane, job.buffer, job.at == message.size());
        break;
      }
    }
  }
  Expect(finished == messages.size(), "a message neither finished nor dropped");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<Message> messages(input.ConsumeIntegralInRange<std::size_t>(1, 40));
  for (auto &message : messages)
    if (input.ConsumeBool()) // a long run of one byte crosses many blocks for few input bytes
      message.assign(input.ConsumeIntegralInRange<std::size_t>(0, 20'000),
                     input.ConsumeIntegral<std::uint8_t>());
    else
      message = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 300));
  const auto schedule = input.ConsumeRemainingBytes<std::uint8_t>();
  for (const char *lanes : {"16", "8", "1"}) {
    ::setenv("QUILLSUM_LANES", lanes, 1);
    Digest(messages, schedule);
  }
  return 0;
}
