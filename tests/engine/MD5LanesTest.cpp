#include "engine/MD5Lanes.h"
#include "engine/MD5CLS.h"
#include "engine/RuntimeError.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

namespace quillsum {
namespace {

constexpr auto kNone = std::string::npos;

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

std::string MD5CLSDigest(std::string_view message) {
  MD5CLS md5;
  md5.MD5Init();
  md5.MD5Update(static_cast<std::int32_t>(message.size()), {message.begin(), message.end()});
  md5.MD5Final();
  return md5.GetValues();
}

// The widest kernel this CPU has, found without asking MD5Lanes.
std::size_t WidestLanes() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f"))
    return 16;
  if (__builtin_cpu_supports("avx2"))
    return 8;
#endif
  return 1;
}

// The digests of the messages through the lanes, worked as a file-hashing thread works them: a
// free lane takes the next message, fed in random pieces (some empty, none longer than
// longestPiece) through one buffer per lane that is scribbled over once the lanes give it back;
// a lane may be left waiting, done or hungry, while the others go on.
// A message numbered 3 mod dropEvery is dropped in place of its last piece, as after a read
// error; its digest stays empty.
std::vector<std::string> ThroughLanes(const std::vector<std::string> &messages,
                                      std::size_t longestPiece, std::size_t dropEvery,
                                      std::uint32_t seed) {
  struct Job {
    std::size_t message = kNone;
    std::size_t at = 0;
    std::string buffer;
  };
  std::mt19937 random(seed);
  MD5Lanes lanes;
  std::vector<Job> jobs(lanes.Width());
  std::vector<std::string> digests(messages.size());
  std::size_t next = 0;
  std::vector<std::size_t> waiting;
  for (;;) {
    const auto ready = lanes.Run();
    waiting.insert(waiting.end(), ready.begin(), ready.end());
    if (waiting.empty())
      break;
    // Some lanes are left waiting a while, unless that would leave the lanes nothing to do.
    const auto served = ready.empty()
                            ? waiting.begin()
                            : std::partition(waiting.begin(), waiting.end(),
                                             [&](std::size_t) { return random() % 4 == 0; });
    std::vector<std::size_t> serve(served, waiting.end());
    waiting.erase(served, waiting.end());
    for (std::size_t lane : serve) {
      Job &job = jobs[lane];
      std::fill(job.buffer.begin(), job.buffer.end(), '\xEE');
      if (lanes.Done(lane)) {
        digests[job.message] = lanes.Digest(lane);
        job.message = kNone;
      }
      for (;;) {
        if (job.message == kNone) {
          if (next == messages.size())
            break;
          job.message = next++;
          job.at = 0;
        }
        const std::string &message = messages[job.message];
        const std::size_t size = std::min(random() % (longestPiece + 1), message.size() - job.at);
        if (job.message % dropEvery == 3 && job.at + size == message.size()) {
          lanes.Drop(lane);
          job.message = kNone;
          continue;
        }
        job.buffer.assign(message, job.at, size);
        job.at += size;
        lanes.Feed(lane, Bytes(job.buffer), job.at == message.size());
        break;
      }
    }
  }
  return digests;
}

// 1 to 40 messages, most of them short, a few of up to 200 KB.
std::vector<std::string> RandomMessages(std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::string> messages(1 + random() % 40);
  for (auto &message : messages) {
    const std::size_t kind = random() % 20;
    const std::size_t length = kind < 14   ? random() % 301
                               : kind < 19 ? random() % 5000
                                           : random() % 200'000;
    message = test::RandomBytes(length, static_cast<std::uint32_t>(random()));
  }
  return messages;
}

std::vector<std::string> OfLengths(std::initializer_list<std::size_t> lengths, std::size_t repeat) {
  std::vector<std::string> messages;
  for (std::size_t r = 0; r < repeat; ++r)
    for (std::size_t length : lengths)
      messages.push_back(test::RandomBytes(length, static_cast<std::uint32_t>(messages.size())));
  return messages;
}

struct MessageSet {
  std::string name;
  std::vector<std::string> messages;
  std::size_t longestPiece;
  std::size_t dropEvery = kNone;
};

std::vector<MessageSet> MessageSets() {
  std::vector<MessageSet> sets;
  std::vector<std::string> upTo300;
  for (std::size_t length = 0; length <= 300; ++length)
    upTo300.push_back(test::RandomBytes(length, static_cast<std::uint32_t>(length)));
  sets.push_back({"every length 0 to 300, whole", upTo300, 1000});
  sets.push_back({"every length 0 to 300, in pieces", upTo300, 70});
  // Padding of one block and of two ending in the same pass, and a little later.
  sets.push_back({"around 55, 56, 63, 64, 65 mod 64",
                  OfLengths({55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 64 * 17 + 55,
                             64 * 17 + 56, 64 * 17 + 63, 64 * 17 + 64, 64 * 17 + 65, 64000 + 55},
                            3),
                  1 << 20});
  sets.push_back({"all ending in the same block", OfLengths({1000}, 16), 1 << 20});
  sets.push_back({"one long message while the other lanes are reused",
                  OfLengths({300'000, 7, 64, 100, 0, 129, 56}, 1), 4096});
  sets.back().messages.resize(400, std::string(90, 'q'));
  for (std::uint32_t seed = 0; seed < 12; ++seed) {
    const std::size_t longestPiece =
        std::array<std::size_t, 6>{1, 63, 64, 65, 1000, 1 << 17}[seed % 6];
    sets.push_back({"random set " + std::to_string(seed), RandomMessages(seed), longestPiece,
                    seed % 3 == 0 ? std::size_t{5} : kNone});
  }
  return sets;
}

TEST(MD5Lanes, EveryKernelDigestsEveryMessageAsMD5CLSDoes) {
  const auto sets = MessageSets();
  for (const std::size_t width : {1, 8, 16}) {
    ::setenv("QUILLSUM_LANES", std::to_string(width).c_str(), 1);
    SCOPED_TRACE("QUILLSUM_LANES=" + std::to_string(width));
    EXPECT_EQ(MD5Lanes().Width(), std::min(width, WidestLanes()));
    for (const auto &set : sets) {
      SCOPED_TRACE(set.name);
      const auto digests = ThroughLanes(set.messages, set.longestPiece, set.dropEvery,
                                        static_cast<std::uint32_t>(width));
      for (std::size_t k = 0; k < set.messages.size(); ++k) {
        SCOPED_TRACE(set.messages[k].size());
        EXPECT_EQ(digests[k], k % set.dropEvery == 3 ? "" : MD5CLSDigest(set.messages[k]));
      }
    }
  }
  ::unsetenv("QUILLSUM_LANES");
}

TEST(MD5Lanes, QuillsumLanesCapsTheLanes) {
  struct Case {
    const char *value;
    std::size_t widest;
  };
  for (const auto &[value, widest] :
       {Case{nullptr, 16}, Case{"16", 16}, Case{"32", 16}, Case{"8", 8}, Case{"15", 8},
        Case{"1", 1}, Case{"4", 1}, Case{"0", 1}, Case{"", 16}, Case{"eight", 16}, Case{"8 ", 16},
        Case{"-8", 16}}) {
    SCOPED_TRACE(value ? value : "unset");
    value ? ::setenv("QUILLSUM_LANES", value, 1) : ::unsetenv("QUILLSUM_LANES");
    EXPECT_EQ(MD5Lanes().Width(), std::min(widest, WidestLanes()));
  }
  ::unsetenv("QUILLSUM_LANES");
}

TEST(MD5Lanes, CallsOutOfTurnAreRefusedAndChangeNothing) {
  const std::string message(5000, 'm');
  MD5Lanes lanes;
  lanes.Run();
  lanes.Feed(0, Bytes(message), true);
  const auto raises5 = [](const auto &call) {
    try {
      call();
      ADD_FAILURE() << "no error raised";
    } catch (const RuntimeError &e) {
      EXPECT_EQ(e.Number(), 5);
    }
  };
  raises5([&] { lanes.Feed(0, Bytes("more"), true); }); // still busy
  raises5([&] { lanes.Digest(0); });
  raises5([&] { lanes.Feed(lanes.Width(), Bytes("x"), true); });
  raises5([&] { lanes.Drop(lanes.Width()); });
  while (!lanes.Run().empty()) {
  }
  EXPECT_EQ(lanes.Digest(0), MD5CLSDigest(message));
}

} // namespace
} // namespace quillsum
