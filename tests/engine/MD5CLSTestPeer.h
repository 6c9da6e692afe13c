#pragma once

#include "engine/MD5CLS.h"

namespace quillsum {

// Reaches MD5CLS's private operations and state for tests.
class MD5CLSTestPeer {
public:
  explicit MD5CLSTestPeer(MD5CLS &md5) : md5_(md5) {}

  std::array<std::int32_t, 5> &Registers() { return md5_.Registers; }
  std::int64_t &TotalBytes() { return md5_.TotalBytes; }
  std::array<std::uint8_t, 64> &BlockBuffer() { return md5_.BlockBuffer; }

  void MD5Transform(MD5CLS::Block block) { md5_.MD5Transform(block); }
  static void Decode(std::array<std::uint32_t, 16> &words, MD5CLS::Block bytes) {
    MD5CLS::Decode(words, bytes);
  }
  static std::uint32_t AddLongs(std::uint32_t a, std::uint32_t b) { return MD5CLS::AddLongs(a, b); }
  static std::uint32_t AddLongs4(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                 std::uint32_t d) {
    return MD5CLS::AddLongs4(a, b, c, d);
  }
  static std::string LongToHexStr(std::int32_t word) { return MD5CLS::LongToHexStr(word); }

private:
  MD5CLS &md5_;
};

} // namespace quillsum
