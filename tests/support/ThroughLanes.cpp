#include "ThroughLanes.h"

#include "Reference.h"

#include "engine/MD5Lanes.h"

#include <algorithm>
#include <stdexcept>

namespace quillsum::test {

std::vector<std::string> DigestThroughLanes(const std::vector<std::string> &messages,
                                            const LaneChoices &choose) {
  constexpr auto kNone = std::string::npos;
  struct Job {
    std::size_t message = kNone;
    std::size_t at = 0;
    std::string buffer;
  };
  MD5Lanes lanes;
  std::vector<Job> jobs(lanes.Width());
  std::vector<std::string> digests(messages.size());
  std::size_t next = 0;
  const auto serve = [&](std::size_t lane) {
    Job &job = jobs[lane];
    std::fill(job.buffer.begin(), job.buffer.end(), '\xEE');
    if (lanes.Done(lane)) {
      if (job.message == kNone)
        throw std::logic_error("a lane finished without a message");
      digests[job.message] = ToHex(lanes.Digest(lane));
      job.message = kNone;
    }
    while (job.message != kNone || next < messages.size()) {
      if (job.message == kNone) {
        job.message = next++;
        job.at = 0;
      }
      const std::string &message = messages[job.message];
      const std::size_t size = choose.piece(message.size() - job.at);
      if (choose.drop(job.message, job.at + size == message.size())) {
        lanes.Drop(lane);
        job.message = kNone;
        continue;
      }
      job.buffer.assign(message, job.at, size);
      job.at += size;
      lanes.Feed(lane, {reinterpret_cast<const std::uint8_t *>(job.buffer.data()), size},
                 job.at == message.size());
      return;
    }
  };

  std::vector<std::size_t> waiting;
  for (;;) {
    const auto ready = lanes.Run();
    waiting.insert(waiting.end(), ready.begin(), ready.end());
    if (waiting.empty())
      return digests;
    // Leaving every lane waiting would leave Run nothing to do.
    const auto served = ready.empty() ? waiting.begin()
                                      : std::partition(waiting.begin(), waiting.end(),
                                                       [&](std::size_t) { return choose.wait(); });
    const std::vector<std::size_t> now(served, waiting.end());
    waiting.erase(served, waiting.end());
    for (std::size_t lane : now)
      serve(lane);
  }
}

} // namespace quillsum::test
