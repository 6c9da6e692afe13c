#include "MD5CLSTestPeer.h"
#include "engine/RuntimeError.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace quillsum {
namespace {

using test::ReferenceMd5;

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::u16string Widen(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed) {
  return Bytes(test::RandomBytes(size, seed));
}

std::string DigestInOneUpdate(const std::vector<std::uint8_t> &bytes) {
  MD5CLS md5;
  md5.MD5Init();
  md5.MD5Update(static_cast<std::int32_t>(bytes.size()), bytes);
  md5.MD5Final();
  return md5.GetValues();
}

// Feeds the bytes in pieces of random sizes, some of them empty.
std::string DigestInPieces(const std::vector<std::uint8_t> &bytes, std::uint32_t seed) {
  std::mt19937 random(seed);
  MD5CLS md5;
  md5.MD5Init();
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t size = std::min<std::size_t>(random() % 150, bytes.size() - at);
    md5.MD5Update(static_cast<std::int32_t>(size), {bytes.begin() + at, bytes.begin() + at + size});
    at += size;
  }
  md5.MD5Final();
  return md5.GetValues();
}

struct Golden {
  std::string_view message;
  std::string_view digest;
};

// RFC 1321, appendix A.5.
constexpr Golden kRfc1321Suite[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
};

TEST(MD5CLS, Rfc1321SuiteThroughEveryPath) {
  for (const auto &[message, digest] : kRfc1321Suite) {
    SCOPED_TRACE(message);
    EXPECT_EQ(MD5CLS().DigestStrToHexStr(Widen(message)), digest);
    EXPECT_EQ(DigestInOneUpdate(Bytes(message)), digest);
    EXPECT_EQ(DigestInPieces(Bytes(message), 1), digest);
  }
}

TEST(MD5CLS, EveryLengthUpTo300MatchesOpenSsl) {
  const auto all = RandomBytes(300, 42);
  for (std::size_t length = 0; length <= 300; ++length) {
    SCOPED_TRACE(length);
    const std::vector<std::uint8_t> message(all.begin(), all.begin() + length);
    const auto expected = ReferenceMd5(message);
    EXPECT_EQ(DigestInOneUpdate(message), expected);
    EXPECT_EQ(DigestInPieces(message, static_cast<std::uint32_t>(length)), expected);
  }
}

TEST(MD5CLS, LargeMessagesInRandomPiecesMatchOpenSsl) {
  for (std::size_t length : {4095u, 65536u, 100'003u}) {
    SCOPED_TRACE(length);
    const auto message = RandomBytes(length, static_cast<std::uint32_t>(length));
    EXPECT_EQ(DigestInPieces(message, 7), ReferenceMd5(message));
    EXPECT_EQ(DigestInOneUpdate(message), ReferenceMd5(message));
  }
}

TEST(MD5CLS, LongTextsHaveNoLengthLimit) {
  for (std::size_t length : {32'767u, 32'768u, 100'000u}) {
    SCOPED_TRACE(length);
    std::u16string text(length, u'x');
    for (std::size_t k = 0; k < length; ++k)
      text[k] = static_cast<char16_t>(u'a' + k % 26);
    std::string bytes(text.begin(), text.end());
    EXPECT_EQ(MD5CLS().DigestStrToHexStr(text), ReferenceMd5(bytes));
  }
}

TEST(MD5CLS, StateWordsAsTextAtEachStage) {
  MD5CLS md5;
  EXPECT_EQ(md5.GetValues(), std::string(32, '0'));
  EXPECT_EQ(md5.RegisterA() + md5.RegisterB() + md5.RegisterC() + md5.RegisterD(), "0000");

  md5.MD5Init();
  EXPECT_EQ(md5.GetValues(), "0123456789ABCDEFFEDCBA9876543210");
  EXPECT_EQ(md5.RegisterA(), "1732584193");
  EXPECT_EQ(md5.RegisterB(), "-271733879");
  EXPECT_EQ(md5.RegisterC(), "-1732584194");
  EXPECT_EQ(md5.RegisterD(), "271733878");

  EXPECT_EQ(md5.DigestStrToHexStr(u""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(md5.GetValues(), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(md5.RegisterA(), "-645128748");
  EXPECT_EQ(md5.RegisterB(), "78774415");
  EXPECT_EQ(md5.RegisterC(), "-1744207639");
  EXPECT_EQ(md5.RegisterD(), "2118318316");
}

TEST(MD5CLS, LongToHexStrWritesBytesLeastSignificantFirst) {
  struct Case {
    std::int32_t word;
    std::string_view hex;
  };
  for (const auto &[word, hex] :
       {Case{0, "00000000"}, Case{0x0A, "0A000000"}, Case{-1, "FFFFFFFF"},
        Case{0x12345678, "78563412"}, Case{std::numeric_limits<std::int32_t>::min(), "00000080"}}) {
    SCOPED_TRACE(hex);
    EXPECT_EQ(MD5CLSTestPeer::LongToHexStr(word), hex);
  }
}

TEST(MD5CLS, TotalBytesAfterFinalCountsPadding) {
  struct Case {
    std::size_t length;
    std::int64_t totalAfterFinal;
  };
  for (const auto &[length, total] :
       {Case{0, 64}, Case{3, 64}, Case{55, 64}, Case{56, 128}, Case{63, 128}, Case{64, 128}}) {
    SCOPED_TRACE(length);
    MD5CLS md5;
    MD5CLSTestPeer peer(md5);
    md5.MD5Init();
    md5.MD5Update(static_cast<std::int32_t>(length), std::vector<std::uint8_t>(length, 'q'));
    EXPECT_EQ(peer.TotalBytes(), static_cast<std::int64_t>(length));
    md5.MD5Final();
    EXPECT_EQ(peer.TotalBytes(), total);
  }
}

// A bad call must leave the computation exactly as it was, so that it can go on.
TEST(MD5CLS, RejectedUpdateChangesNothing) {
  struct Case {
    std::string_view name;
    std::int32_t inputLen;
    std::size_t bufferSize;
    std::int64_t totalBytes;
    int error;
  };
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  for (const auto &c :
       {Case{"negative length", -1, 10, 5, 5},
        Case{"most negative length", std::numeric_limits<std::int32_t>::min(), 0, 5, 5},
        Case{"buffer too short", 11, 10, 5, 9},
        Case{"byte count overflows", 10, 10, kMax - 5, 6}}) {
    SCOPED_TRACE(c.name);
    MD5CLS md5;
    MD5CLSTestPeer peer(md5);
    md5.MD5Init();
    md5.MD5Update(5, Bytes("hello"));
    peer.TotalBytes() = c.totalBytes;
    const auto registers = peer.Registers();
    const auto buffer = peer.BlockBuffer();
    try {
      md5.MD5Update(c.inputLen, std::vector<std::uint8_t>(c.bufferSize, 'x'));
      ADD_FAILURE() << "no error raised";
    } catch (const RuntimeError &e) {
      EXPECT_EQ(e.Number(), c.error);
    }
    EXPECT_EQ(peer.TotalBytes(), c.totalBytes);
    EXPECT_EQ(peer.Registers(), registers);
    EXPECT_EQ(peer.BlockBuffer(), buffer);
  }
}

TEST(MD5CLS, ComputationGoesOnAfterRejectedUpdate) {
  MD5CLS md5;
  md5.MD5Init();
  md5.MD5Update(3, Bytes("abc"));
  EXPECT_THROW(md5.MD5Update(4, Bytes("abc")), RuntimeError);
  EXPECT_THROW(md5.MD5Update(-3, Bytes("abc")), RuntimeError);
  md5.MD5Update(0, {});
  md5.MD5Final();
  EXPECT_EQ(md5.GetValues(), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(MD5CLS, FinalRaisesOverflowOnlyWhenTheBitCountCannotBeHeld) {
  MD5CLS md5;
  MD5CLSTestPeer peer(md5);
  md5.MD5Init();
  peer.TotalBytes() = std::numeric_limits<std::int64_t>::max() / 8 + 1;
  const auto registers = peer.Registers();
  try {
    md5.MD5Final();
    ADD_FAILURE() << "no error raised";
  } catch (const RuntimeError &e) {
    EXPECT_EQ(e.Number(), 6);
    EXPECT_STREQ(e.what(), "Overflow");
  }
  EXPECT_EQ(peer.Registers(), registers);
  EXPECT_EQ(peer.TotalBytes(), std::numeric_limits<std::int64_t>::max() / 8 + 1);

  peer.TotalBytes() = std::numeric_limits<std::int64_t>::max() / 8 / 64 * 64;
  EXPECT_NO_THROW(md5.MD5Final());
}

// The length field holds the full 64-bit bit count: a message said to start after 2^40 bytes
// (all folded into the state already) must be finished with that count, as OpenSSL does.
TEST(MD5CLS, FinalWritesTheWhole64BitCount) {
  for (std::int64_t skipped :
       {std::int64_t{1} << 29, std::int64_t{1} << 40, (std::int64_t{1} << 60) - 64}) {
    SCOPED_TRACE(skipped);
    MD5CLS md5;
    MD5CLSTestPeer peer(md5);
    md5.MD5Init();
    peer.TotalBytes() = skipped;
    md5.MD5Update(3, Bytes("abc"));
    md5.MD5Final();

    MD5CLS expected;
    MD5CLSTestPeer expectedPeer(expected);
    expected.MD5Init();
    std::array<std::uint8_t, 64> block{'a', 'b', 'c', 0x80};
    const auto bits = static_cast<std::uint64_t>(skipped + 3) * 8;
    for (int k = 0; k < 8; ++k)
      block[56 + k] = static_cast<std::uint8_t>(bits >> (8 * k));
    expectedPeer.MD5Transform(block);
    EXPECT_EQ(md5.GetValues(), expected.GetValues());
  }
}

TEST(MD5CLS, TransformFoldsOneBlockIntoTheState) {
  struct Case {
    std::string_view name;
    std::array<std::uint8_t, 64> block;
    std::array<std::int32_t, 4> registers;
  };
  const Case cases[] = {
      {"empty message", {0x80}, {-645128748, 78774415, -1744207639, 2118318316}},
      {"abc",
       {0x61, 0x62, 0x63, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x18},
       {static_cast<std::int32_t>(0x98500190), static_cast<std::int32_t>(0xB04FD23C), 0x7D3F96D6,
        0x727FE128}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    MD5CLS md5;
    MD5CLSTestPeer peer(md5);
    md5.MD5Init();
    const auto block = c.block;
    peer.MD5Transform(block);
    EXPECT_EQ(block, c.block);
    EXPECT_EQ(peer.Registers()[1], c.registers[0]);
    EXPECT_EQ(peer.Registers()[2], c.registers[1]);
    EXPECT_EQ(peer.Registers()[3], c.registers[2]);
    EXPECT_EQ(peer.Registers()[4], c.registers[3]);
    EXPECT_EQ(peer.TotalBytes(), 0);
  }
}

TEST(MD5CLS, DecodeReadsLittleEndianWords) {
  std::array<std::uint8_t, 64> bytes{};
  for (std::size_t k = 0; k < bytes.size(); ++k)
    bytes[k] = static_cast<std::uint8_t>(k + 1);
  std::array<std::uint32_t, 16> words;
  MD5CLSTestPeer::Decode(words, bytes);
  EXPECT_EQ(words[0], 0x04030201u);
  EXPECT_EQ(words[15], 0x403F3E3Du);

  bytes.fill(0xFF);
  MD5CLSTestPeer::Decode(words, bytes);
  for (auto word : words)
    EXPECT_EQ(word, 0xFFFFFFFFu);
}

TEST(MD5CLS, AdditionsWrapModulo2To32) {
  struct Case {
    std::uint32_t a, b, c, d, sum2, sum4;
  };
  for (const auto &t :
       {Case{0x7FFFFFFF, 1, 0, 0, 0x80000000, 0x80000000}, Case{0xFFFFFFFF, 1, 0, 0, 0, 0},
        Case{0x80000000, 0x80000000, 0, 0, 0, 0},
        Case{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFC},
        Case{0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFC}}) {
    EXPECT_EQ(MD5CLSTestPeer::AddLongs(t.a, t.b), t.sum2);
    EXPECT_EQ(MD5CLSTestPeer::AddLongs4(t.a, t.b, t.c, t.d), t.sum4);
  }
}

TEST(MD5CLS, LongLeftRotateWritesBackBothArguments) {
  struct Case {
    std::uint32_t value;
    std::int32_t bits;
    std::uint32_t rotated;
    std::int32_t bitsAfter;
  };
  for (const auto &c :
       {Case{0x80000000, 1, 0x00000001, 1}, Case{0x40000000, 1, 0x80000000, 1},
        Case{0xC0000001, 1, 0x80000003, 1}, Case{0x12345678, 4, 0x23456781, 4},
        Case{0x12345678, 31, 0x091A2B3C, 31}, Case{0x12345678, 32, 0x12345678, 0},
        Case{0x12345678, 33, 0x2468ACF0, 1}, Case{0x12345678, -1, 0x12345678, -1},
        Case{0x12345678, -32, 0x12345678, 0}, Case{0x12345678, -33, 0x12345678, -1}}) {
    SCOPED_TRACE(c.bits);
    auto value = static_cast<std::int32_t>(c.value);
    std::int32_t bits = c.bits;
    const std::int32_t result = MD5CLS::LongLeftRotate(value, bits);
    EXPECT_EQ(static_cast<std::uint32_t>(result), c.rotated);
    EXPECT_EQ(static_cast<std::uint32_t>(value), c.rotated);
    EXPECT_EQ(bits, c.bitsAfter);
  }
}

TEST(MD5CLS, InitRestartsAComputationMidway) {
  MD5CLS md5;
  md5.MD5Init();
  md5.MD5Update(100, std::vector<std::uint8_t>(100, 7));
  md5.MD5Init();
  md5.MD5Update(3, Bytes("abc"));
  md5.MD5Final();
  EXPECT_EQ(md5.GetValues(), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(MD5CLS, RuntimeErrorMessages) {
  struct Case {
    int number;
    std::string_view message;
  };
  for (const auto &[number, message] : {Case{5, "Invalid procedure call or argument"},
                                        Case{6, "Overflow"}, Case{9, "Subscript out of range"}}) {
    const RuntimeError error(number);
    EXPECT_EQ(error.Number(), number);
    EXPECT_EQ(error.what(), message);
  }
}

} // namespace
} // namespace quillsum
