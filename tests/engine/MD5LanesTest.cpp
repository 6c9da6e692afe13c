#include "engine/MD5Lanes.h"
#include "engine/MD5CLS.h"
#include "engine/RuntimeError.h"
#include "support/Reference.h"
#include "support/ThroughLanes.h"

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
      // Pieces of random sizes, some empty; some lanes left waiting, done or hungry, while the
      // others go on; a message numbered 3 mod dropEvery dropped in place of its last piece.
      std::mt19937 random(static_cast<std::uint32_t>(width));
      const auto digests = test::DigestThroughLanes(
          set.messages,
          {[&](std::size_t left) { return std::min(random() % (set.longestPiece + 1), left); },
           [&](std::size_t message, bool last) { return last && message % set.dropEvery == 3; },
           [&] { return random() % 4 != 0; }});
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
  EXPECT_EQ(test::ToHex(lanes.Digest(0)), MD5CLSDigest(message));
}

} // namespace
} // namespace quillsum
