#pragma once

// Independent references for tests and benchmarks: OpenSSL's MD5 and coreutils' md5sum.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace quillsum::test {

// OpenSSL's MD5 of the bytes, as 32 upper-case hex digits.
std::string ReferenceMd5(std::span<const std::uint8_t> bytes);
std::string ReferenceMd5(std::string_view bytes);

// md5sum's digest of the file, upper case.
std::string Md5sumOf(const std::filesystem::path &file);

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
