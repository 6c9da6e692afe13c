#include "Reference.h"

#include <fcntl.h>
#include <iconv.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace quillsum::test {

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (std::uint8_t b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

std::string ReferenceMd5(std::span<const std::uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr) != 1)
    throw std::runtime_error("EVP_Digest failed");
  return ToHex({digest, size});
}

std::string ReferenceMd5(std::string_view bytes) {
  return ReferenceMd5({reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()});
}

std::uint8_t ReferenceAnsi(char16_t c) {
  static const auto table = [] {
    std::array<std::uint8_t, 0x10000> bytes{};
    const iconv_t cd = iconv_open("CP1252", "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1))
      throw std::runtime_error("iconv has no CP1252");
    for (std::size_t code = 0; code < bytes.size(); ++code) {
      char in[2] = {static_cast<char>(code & 0xFF), static_cast<char>(code >> 8)};
      char out[4] = {};
      char *inPtr = in;
      char *outPtr = out;
      std::size_t inLeft = sizeof in, outLeft = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr); // a lone surrogate must not linger
      const bool converted =
          iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
          outLeft == sizeof out - 1;
      const bool unassigned =
          code == 0x81 || code == 0x8D || code == 0x8F || code == 0x90 || code == 0x9D;
      bytes[code] = unassigned  ? static_cast<std::uint8_t>(code)
                    : converted ? static_cast<std::uint8_t>(out[0])
                                : '?';
    }
    iconv_close(cd);
    return bytes;
  }();
  return table[c];
}

std::string ReferenceFingerprint(std::string_view file, std::int64_t lengthTaken) {
  std::string samples;
  for (std::int64_t offset : kSampleOffsets)
    for (std::int64_t at = offset; at < offset + 16; ++at)
      samples += offset < lengthTaken && at < static_cast<std::int64_t>(file.size())
                     ? file[static_cast<std::size_t>(at)]
                     : '\0';
  return ReferenceMd5(samples);
}

std::string ReferenceFingerprint(std::string_view file) {
  return ReferenceFingerprint(file, static_cast<std::int64_t>(file.size()));
}

std::string ReferenceTextDigest(std::string_view utf8) {
  const iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  std::string units(utf8.size() * 2, '\0');
  char *in = const_cast<char *>(utf8.data());
  char *out = units.data();
  std::size_t inLeft = utf8.size(), outLeft = units.size();
  const bool converted = iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  if (!converted)
    throw std::runtime_error("not UTF-8");
  units.resize(units.size() - outLeft);
  std::string bytes;
  for (std::size_t k = 0; k + 1 < units.size(); k += 2)
    bytes += static_cast<char>(ReferenceAnsi(static_cast<char16_t>(
        static_cast<unsigned char>(units[k]) | static_cast<unsigned char>(units[k + 1]) << 8)));
  return ReferenceMd5(bytes);
}

std::string Md5sumOf(const std::filesystem::path &file) {
  // The name goes through the environment, so no quoting can go wrong.
  ::setenv("QUILLSUM_MD5SUM_FILE", file.c_str(), 1);
  FILE *pipe = ::popen("md5sum -b -- \"$QUILLSUM_MD5SUM_FILE\"", "r");
  if (!pipe)
    throw std::runtime_error("cannot run md5sum");
  char line[33] = {};
  const std::size_t got = std::fread(line, 1, 32, pipe);
  ::pclose(pipe);
  if (got != 32)
    throw std::runtime_error("md5sum failed on " + file.string());
  std::string hex(line, 32);
  for (char &c : hex)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex;
}

void MakeFile(const std::filesystem::path &file, std::string_view head, std::int64_t length) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written = fd >= 0 &&
                       ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size()) &&
                       ::ftruncate(fd, length) == 0;
  if (fd >= 0)
    ::close(fd);
  if (!written)
    throw std::runtime_error("cannot write " + file.string());
}

std::string ReadFile(const std::filesystem::path &file) {
  std::ostringstream text;
  text << std::ifstream(file, std::ios::binary).rdbuf();
  return text.str();
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto &b : bytes)
    b = static_cast<char>(random());
  return bytes;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillsum-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::Write(const std::string &name, std::string_view bytes) const {
  const auto file = path_ / name;
  std::ofstream(file, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

} // namespace quillsum::test
