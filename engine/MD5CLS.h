#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillsum {

// MD5 (RFC 1321) of texts, byte arrays and whole files, rendered as 32 upper-case hex digits.
//
// Texts become one byte per UTF-16 code unit through the ANSI code page (engine/CodePage.h).
// MD5Update and MD5Final raise quillsum::RuntimeError and then leave the object as it was;
// DigestFileToHexStr and DigestFdToHexStr never raise: any failure gives the empty text.
class MD5CLS {
public:
  // The state words A to D as signed decimal text.
  std::string RegisterA() const;
  std::string RegisterB() const;
  std::string RegisterC() const;
  std::string RegisterD() const;

  // Restarts the digest, feeds the text's bytes, finishes and returns GetValues(). The text is
  // converted a piece at a time: it is never copied whole.
  std::string DigestStrToHexStr(std::u16string_view SourceString);
  // MD5 of a regular file's content; "" for anything that cannot be read to its end, and at
  // once for a directory, FIFO, socket or device. Reads in large chunks; memory stays constant.
  std::string DigestFileToHexStr(const std::filesystem::path &inFIle);
  // MD5 of all that is left to read from an open descriptor (a regular file, pipe, terminal or
  // device), read as DigestFileToHexStr reads; "" if a read fails, errno then telling why.
  // onRead, if set, hears the size of every chunk as it is digested.
  std::string DigestFdToHexStr(int fd, const std::function<void(std::size_t)> &onRead = nullptr);
  // The state words A, B, C, D, each as its four bytes from least significant on.
  std::string GetValues() const;

  void MD5Init();
  // Pads, appends the message's 64-bit bit count and leaves the digest in the state words.
  // Error 6 if that bit count would overflow.
  void MD5Final();
  // Feeds InputBuffer[0, InputLen). Error 5 for a negative InputLen, 9 when InputBuffer is
  // shorter, 6 when the message's byte count would overflow.
  void MD5Update(std::int32_t InputLen, const std::vector<std::uint8_t> &InputBuffer);
  // Bits becomes Bits % 32 (sign of Bits); for a remainder of 1 to 31, value is rotated left
  // by it. Returns value.
  static std::int32_t LongLeftRotate(std::int32_t &value, std::int32_t &Bits);

private:
  friend class MD5CLSTestPeer;
  friend class MD5Lanes; // runs single lanes through this transform
  using Block = std::span<const std::uint8_t, 64>;

  // Writes the byte of each character of text to bytes, which holds at least as many.
  static void StrToByteArray(std::u16string_view text, std::span<std::uint8_t> bytes);
  static std::string LongToHexStr(std::int32_t word);
  void MD5Transform(Block block);
  static void Decode(std::array<std::uint32_t, 16> &words, Block bytes);
  static void FF(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t x, int s, std::uint32_t ac);
  static void GG(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t x, int s, std::uint32_t ac);
  static void HH(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t x, int s, std::uint32_t ac);
  static void II(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t x, int s, std::uint32_t ac);
  static std::uint32_t AddLongs(std::uint32_t a, std::uint32_t b);
  static std::uint32_t AddLongs4(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                 std::uint32_t d);
  // MD5Update's work once its arguments are known good.
  void Feed(std::span<const std::uint8_t> bytes);

  std::array<std::int32_t, 5> Registers{}; // A to D at 1 to 4
  std::int64_t TotalBytes = 0;             // bytes fed since MD5Init, padding included
  std::array<std::uint8_t, 64> BlockBuffer{};
};

} // namespace quillsum
