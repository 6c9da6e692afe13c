#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <time.h>

namespace quillsum::cli {

// A digest as RFC 1321's 16 bytes: an MD5, or a sampled fingerprint. Digests stay bytes until a
// line is written.
using DigestBytes = std::array<std::uint8_t, 16>;

// How a digest line looks: "<hex>  <name>", "<hex> *<name>" (binary), or with a tag
// "<TAG> (<name>) = <hex>"; each ends with a newline, or with a NUL (which also turns escaping
// off).
struct LineStyle {
  std::string_view tag;   // "MD5" or "FINGERPRINT"
  bool upperCase = false; // hex digits as the window shows them, not as md5sum prints them
  bool tagged = false;
  bool binary = false;
  bool zero = false;
};

// The digest line of a file. A name holding a backslash, newline or carriage return is escaped
// (\\, \n, \r) and the line then starts with a backslash, so that every line reads back whole.
std::string DigestLine(const DigestBytes &digest, std::string_view name, const LineStyle &style);

// The digest that 32 hex digits of either case give; nothing for anything else.
std::optional<DigestBytes> ReadHex(std::string_view hex);

// A list's digest line (given with its end, if it has one) with another digest in place of its
// own, in the same form and with the name as it was written.
std::string WithDigest(std::string line, const DigestBytes &digest, const LineStyle &style);

// A verdict on a listed file: "<name>: <verdict>\n", the name quoted as in messages (QuoteName), as
// md5sum -c writes it since coreutils 9.11: a name from a list never reaches a terminal raw.
std::string VerdictLine(std::string_view name, std::string_view verdict);

// A listed file found under another name: "<name>: MOVED to <target>\n", both quoted as a
// verdict's name is.
std::string MovedLine(std::string_view name, std::string_view target);

// The line --times puts before a regular file's digest line, which md5sum skips as a comment:
// "#size=SIZE mtime=YYYY-MM-DDTHH:MM:SS.NNNNNNNNNZ", the time in UTC, ended as the digest line.
std::string TimesLine(std::int64_t size, const timespec &mtime, bool zero);

// Reads a list's line (given without its end; a carriage return at its end is dropped) as such
// a times line: false if it is not one.
bool ReadTimesLine(std::string_view line, std::int64_t &size, timespec &mtime);

} // namespace quillsum::cli
