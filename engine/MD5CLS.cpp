#include "engine/MD5CLS.h"

#include "engine/CodePage.h"
#include "engine/RuntimeError.h"
#include "engine/UniqueFd.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

namespace quillsum {
namespace {

std::uint32_t Unsigned(std::int32_t word) { return static_cast<std::uint32_t>(word); }
std::int32_t Signed(std::uint32_t word) { return static_cast<std::int32_t>(word); }

// Whole-file reads: large enough that system calls cost nothing next to the transform, small
// enough to stay in the core's L2 cache.
constexpr std::size_t kReadChunk = 128 * 1024;
using Consumer = std::function<void(std::span<const std::uint8_t>)>;

// Reads fd to its end, one chunk at a time, giving each to consume. False if a read fails, with
// errno telling why.
bool ReadInTurn(int fd, const Consumer &consume) {
  const std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[kReadChunk]);
  if (!chunk) {
    errno = ENOMEM;
    return false;
  }
  for (;;) {
    const ssize_t got = ReadFull(fd, {chunk.get(), kReadChunk});
    if (got < 0)
      return false;
    if (got > 0)
      consume({chunk.get(), static_cast<std::size_t>(got)});
    if (static_cast<std::size_t>(got) < kReadChunk)
      return true;
  }
}

} // namespace

std::string MD5CLS::RegisterA() const { return std::to_string(Registers[1]); }
std::string MD5CLS::RegisterB() const { return std::to_string(Registers[2]); }
std::string MD5CLS::RegisterC() const { return std::to_string(Registers[3]); }
std::string MD5CLS::RegisterD() const { return std::to_string(Registers[4]); }

std::string MD5CLS::DigestStrToHexStr(std::u16string_view SourceString) {
  MD5Init();
  // A piece fits in the L1 cache; a whole pasted text's bytes would be one more copy of it.
  std::array<std::uint8_t, 4096> bytes;
  for (std::size_t at = 0; at < SourceString.size(); at += bytes.size()) {
    const std::u16string_view piece = SourceString.substr(at, bytes.size());
    StrToByteArray(piece, bytes);
    Feed(std::span(bytes).first(piece.size()));
  }
  MD5Final();
  return GetValues();
}

std::string MD5CLS::DigestFileToHexStr(const std::filesystem::path &inFIle) {
  const UniqueFd file = OpenForReading(inFIle);
  struct stat info {};
  if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return {};
  return DigestFdToHexStr(file.get());
}

std::string MD5CLS::DigestFdToHexStr(int fd, const std::function<void(std::size_t)> &onRead) {
  // The count is what the reads return, so a file that changes meanwhile still gets the digest
  // of exactly the bytes read.
  const auto feed = [&](std::span<const std::uint8_t> bytes) {
    Feed(bytes);
    if (onRead)
      onRead(bytes.size());
  };
  try {
    MD5Init();
    if (!ReadInTurn(fd, feed))
      return {};
    MD5Final();
  } catch (const RuntimeError &) {
    errno = EOVERFLOW;
    return {};
  }
  return GetValues();
}

std::string MD5CLS::GetValues() const {
  return LongToHexStr(Registers[1]) + LongToHexStr(Registers[2]) + LongToHexStr(Registers[3]) +
         LongToHexStr(Registers[4]);
}

void MD5CLS::MD5Init() {
  TotalBytes = 0;
  Registers[1] = Signed(0x67452301);
  Registers[2] = Signed(0xEFCDAB89);
  Registers[3] = Signed(0x98BADCFE);
  Registers[4] = Signed(0x10325476);
}

void MD5CLS::MD5Final() {
  if (TotalBytes > std::numeric_limits<std::int64_t>::max() / 8)
    throw RuntimeError(6);
  const auto bitCount = static_cast<std::uint64_t>(TotalBytes) * 8;

  // The message is followed by 0x80, zeros up to 56 bytes mod 64, then the bit count as
  // 8 little-endian bytes, which completes the last block.
  std::array<std::uint8_t, 64> padding{0x80};
  const auto buffered = static_cast<std::size_t>(TotalBytes % 64);
  Feed(std::span(padding).first(buffered < 56 ? 56 - buffered : 120 - buffered));
  for (std::size_t k = 0; k < 8; ++k)
    padding[k] = static_cast<std::uint8_t>(bitCount >> (8 * k));
  Feed(std::span(padding).first(8));
}

void MD5CLS::MD5Update(std::int32_t InputLen, const std::vector<std::uint8_t> &InputBuffer) {
  if (InputLen < 0)
    throw RuntimeError(5);
  const auto length = static_cast<std::size_t>(InputLen);
  if (InputBuffer.size() < length)
    throw RuntimeError(9);
  Feed(std::span(InputBuffer).first(length));
}

std::int32_t MD5CLS::LongLeftRotate(std::int32_t &value, std::int32_t &Bits) {
  Bits %= 32;
  if (Bits > 0)
    value = Signed(std::rotl(Unsigned(value), Bits));
  return value;
}

// Flattened, so that the transform runs inline in the block loop and the state words stay in
// registers from one block to the next rather than being reloaded from Registers.
[[gnu::flatten]] void MD5CLS::Feed(std::span<const std::uint8_t> bytes) {
  if (bytes.empty())
    return;
  if (bytes.size() >
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - TotalBytes))
    throw RuntimeError(6);
  const auto buffered = static_cast<std::size_t>(TotalBytes % 64);
  TotalBytes += static_cast<std::int64_t>(bytes.size());

  std::size_t i = 0;
  if (buffered > 0) {
    const std::size_t room = 64 - buffered;
    if (bytes.size() < room) {
      std::memcpy(BlockBuffer.data() + buffered, bytes.data(), bytes.size());
      return;
    }
    std::memcpy(BlockBuffer.data() + buffered, bytes.data(), room);
    MD5Transform(BlockBuffer);
    i = room;
  }
  // Whole blocks of the caller's bytes need no trip through BlockBuffer.
  for (; bytes.size() - i >= 64; i += 64)
    MD5Transform(bytes.subspan(i).first<64>());
  std::memcpy(BlockBuffer.data(), bytes.data() + i, bytes.size() - i);
}

void MD5CLS::StrToByteArray(std::u16string_view text, std::span<std::uint8_t> bytes) {
  // ASCII, most of any pasted text, is its own byte; the code page is asked for the rest.
  for (std::size_t k = 0; k < text.size(); ++k)
    bytes[k] = text[k] < 0x80 ? static_cast<std::uint8_t>(text[k]) : CharToAnsi(text[k]);
}

std::string MD5CLS::LongToHexStr(std::int32_t word) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex(8, '0');
  for (std::size_t k = 0; k < 4; ++k) {
    const auto byte = Unsigned(word) >> (8 * k);
    hex[2 * k] = kDigits[(byte >> 4) & 0xF];
    hex[2 * k + 1] = kDigits[byte & 0xF];
  }
  return hex;
}

// The 64 steps of RFC 1321, section 3.4; the constants are floor(2^32 * |sin(i)|), i = 1 to 64.
void MD5CLS::MD5Transform(Block block) {
  std::array<std::uint32_t, 16> x;
  Decode(x, block);
  std::uint32_t a = Unsigned(Registers[1]);
  std::uint32_t b = Unsigned(Registers[2]);
  std::uint32_t c = Unsigned(Registers[3]);
  std::uint32_t d = Unsigned(Registers[4]);

  FF(a, b, c, d, x[0], 7, 0xD76AA478);
  FF(d, a, b, c, x[1], 12, 0xE8C7B756);
  FF(c, d, a, b, x[2], 17, 0x242070DB);
  FF(b, c, d, a, x[3], 22, 0xC1BDCEEE);
  FF(a, b, c, d, x[4], 7, 0xF57C0FAF);
  FF(d, a, b, c, x[5], 12, 0x4787C62A);
  FF(c, d, a, b, x[6], 17, 0xA8304613);
  FF(b, c, d, a, x[7], 22, 0xFD469501);
  FF(a, b, c, d, x[8], 7, 0x698098D8);
  FF(d, a, b, c, x[9], 12, 0x8B44F7AF);
  FF(c, d, a, b, x[10], 17, 0xFFFF5BB1);
  FF(b, c, d, a, x[11], 22, 0x895CD7BE);
  FF(a, b, c, d, x[12], 7, 0x6B901122);
  FF(d, a, b, c, x[13], 12, 0xFD987193);
  FF(c, d, a, b, x[14], 17, 0xA679438E);
  FF(b, c, d, a, x[15], 22, 0x49B40821);

  GG(a, b, c, d, x[1], 5, 0xF61E2562);
  GG(d, a, b, c, x[6], 9, 0xC040B340);
  GG(c, d, a, b, x[11], 14, 0x265E5A51);
  GG(b, c, d, a, x[0], 20, 0xE9B6C7AA);
  GG(a, b, c, d, x[5], 5, 0xD62F105D);
  GG(d, a, b, c, x[10], 9, 0x02441453);
  GG(c, d, a, b, x[15], 14, 0xD8A1E681);
  GG(b, c, d, a, x[4], 20, 0xE7D3FBC8);
  GG(a, b, c, d, x[9], 5, 0x21E1CDE6);
  GG(d, a, b, c, x[14], 9, 0xC33707D6);
  GG(c, d, a, b, x[3], 14, 0xF4D50D87);
  GG(b, c, d, a, x[8], 20, 0x455A14ED);
  GG(a, b, c, d, x[13], 5, 0xA9E3E905);
  GG(d, a, b, c, x[2], 9, 0xFCEFA3F8);
  GG(c, d, a, b, x[7], 14, 0x676F02D9);
  GG(b, c, d, a, x[12], 20, 0x8D2A4C8A);

  HH(a, b, c, d, x[5], 4, 0xFFFA3942);
  HH(d, a, b, c, x[8], 11, 0x8771F681);
  HH(c, d, a, b, x[11], 16, 0x6D9D6122);
  HH(b, c, d, a, x[14], 23, 0xFDE5380C);
  HH(a, b, c, d, x[1], 4, 0xA4BEEA44);
  HH(d, a, b, c, x[4], 11, 0x4BDECFA9);
  HH(c, d, a, b, x[7], 16, 0xF6BB4B60);
  HH(b, c, d, a, x[10], 23, 0xBEBFBC70);
  HH(a, b, c, d, x[13], 4, 0x289B7EC6);
  HH(d, a, b, c, x[0], 11, 0xEAA127FA);
  HH(c, d, a, b, x[3], 16, 0xD4EF3085);
  HH(b, c, d, a, x[6], 23, 0x04881D05);
  HH(a, b, c, d, x[9], 4, 0xD9D4D039);
  HH(d, a, b, c, x[12], 11, 0xE6DB99E5);
  HH(c, d, a, b, x[15], 16, 0x1FA27CF8);
  HH(b, c, d, a, x[2], 23, 0xC4AC5665);

  II(a, b, c, d, x[0], 6, 0xF4292244);
  II(d, a, b, c, x[7], 10, 0x432AFF97);
  II(c, d, a, b, x[14], 15, 0xAB9423A7);
  II(b, c, d, a, x[5], 21, 0xFC93A039);
  II(a, b, c, d, x[12], 6, 0x655B59C3);
  II(d, a, b, c, x[3], 10, 0x8F0CCC92);
  II(c, d, a, b, x[10], 15, 0xFFEFF47D);
  II(b, c, d, a, x[1], 21, 0x85845DD1);
  II(a, b, c, d, x[8], 6, 0x6FA87E4F);
  II(d, a, b, c, x[15], 10, 0xFE2CE6E0);
  II(c, d, a, b, x[6], 15, 0xA3014314);
  II(b, c, d, a, x[13], 21, 0x4E0811A1);
  II(a, b, c, d, x[4], 6, 0xF7537E82);
  II(d, a, b, c, x[11], 10, 0xBD3AF235);
  II(c, d, a, b, x[2], 15, 0x2AD7D2BB);
  II(b, c, d, a, x[9], 21, 0xEB86D391);

  Registers[1] = Signed(AddLongs(Unsigned(Registers[1]), a));
  Registers[2] = Signed(AddLongs(Unsigned(Registers[2]), b));
  Registers[3] = Signed(AddLongs(Unsigned(Registers[3]), c));
  Registers[4] = Signed(AddLongs(Unsigned(Registers[4]), d));
}

// One load per word: a single copy of the whole block would go through the stack, and the
// first steps of every block would wait for it.
void MD5CLS::Decode(std::array<std::uint32_t, 16> &words, Block bytes) {
  for (std::size_t k = 0; k < words.size(); ++k) {
    if constexpr (std::endian::native == std::endian::little)
      std::memcpy(&words[k], bytes.data() + 4 * k, 4);
    else
      words[k] = std::uint32_t{bytes[4 * k]} | std::uint32_t{bytes[4 * k + 1]} << 8 |
                 std::uint32_t{bytes[4 * k + 2]} << 16 | std::uint32_t{bytes[4 * k + 3]} << 24;
  }
}

// Each step is a = b + ((a + f(b, c, d) + x + ac) <<< s). Only f waits for b, the word the
// previous step has just made, so x and ac go into a first and f is added last. The forms of
// f are the ones with the fewest operations after b arrives: F as ((c ^ d) & b) ^ d, and G as
// two additions, since ~d & c and d & b never share a bit.

void MD5CLS::FF(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                std::uint32_t x, int s, std::uint32_t ac) {
  a = AddLongs(std::rotl(AddLongs4(a, x, ac, ((c ^ d) & b) ^ d), s), b);
}

void MD5CLS::GG(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                std::uint32_t x, int s, std::uint32_t ac) {
  // Pinned, or Clang merges the two halves back into ((b ^ c) & d) ^ c: three operations after b.
  std::uint32_t early = AddLongs4(a, x, ac, ~d & c);
  asm("" : "+r"(early));
  a = AddLongs(std::rotl(AddLongs(early, d & b), s), b);
}

void MD5CLS::HH(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                std::uint32_t x, int s, std::uint32_t ac) {
  // Pinned, or Clang computes (b ^ c) ^ d to share b ^ c with the next step, which puts two
  // operations after b in every other step.
  std::uint32_t early = c ^ d;
  asm("" : "+r"(early));
  a = AddLongs(std::rotl(AddLongs4(a, x, ac, b ^ early), s), b);
}

void MD5CLS::II(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                std::uint32_t x, int s, std::uint32_t ac) {
  a = AddLongs(std::rotl(AddLongs4(a, x, ac, c ^ (b | ~d)), s), b);
}

std::uint32_t MD5CLS::AddLongs(std::uint32_t a, std::uint32_t b) { return a + b; }

// a + b + c first, then d: in a step, d is f, the one term that waits for the previous step.
// The empty asm keeps compilers from folding the constant c back in after d.
std::uint32_t MD5CLS::AddLongs4(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                std::uint32_t d) {
  std::uint32_t early = a + b + c;
  asm("" : "+r"(early));
  return early + d;
}

} // namespace quillsum
