#pragma once

// Independent references for tests, fuzzers and benchmarks: OpenSSL's MD5, coreutils' md5sum
// and glibc's Windows-1252 table.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace quillsum::test {

// Upper-case hex digits of the bytes.
std::string ToHex(std::span<const std::uint8_t> bytes);

// OpenSSL's MD5 of the bytes, as 32 upper-case hex digits.
std::string ReferenceMd5(std::span<const std::uint8_t> bytes);
std::string ReferenceMd5(std::string_view bytes);

// The byte the text digest must use for a character: glibc's Windows-1252 byte, the byte of the
// same value for the five bytes that code page leaves unassigned, else '?'.
std::uint8_t ReferenceAnsi(char16_t c);

// The window's sampled fingerprint, modelled byte by byte: OpenSSL's MD5 of the 16 bytes at each
// of the offsets 0, 429, 979, 1999, 2999, ..., 13999. A sample is read when its offset lies below
// the length taken; it holds the file's bytes there, zeros past file's end.
std::string ReferenceFingerprint(std::string_view file, std::int64_t lengthTaken);
std::string ReferenceFingerprint(std::string_view file);
inline constexpr std::int64_t kSampleOffsets[] = {
    0, 429, 979, 1999, 2999, 3999, 4999, 5999, 6999, 7999, 8999, 9999, 10999, 11999, 12999, 13999};

// The window's text digest of UTF-8 text, modelled: each UTF-16 unit as its ReferenceAnsi byte,
// then OpenSSL's MD5.
std::string ReferenceTextDigest(std::string_view utf8);

// md5sum's digest of the file, upper case.
std::string Md5sumOf(const std::filesystem::path &file);

// Writes a file whose first bytes are head and whose length is length; the rest is a hole, so a
// file of several GiB costs no disk.
void MakeFile(const std::filesystem::path &file, std::string_view head, std::int64_t length);

// The whole content of a file; "" if it cannot be read.
std::string ReadFile(const std::filesystem::path &file);

// Random bytes, the same for the same seed.
std::string RandomBytes(std::size_t size, std::uint32_t seed);

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
public:
  TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir();

  const std::filesystem::path &path() const { return path_; }
  // Writes a file of the given bytes in this directory and returns its path.
  std::filesystem::path Write(const std::string &name, std::string_view bytes) const;

private:
  std::filesystem::path path_;
};

} // namespace quillsum::test
