#pragma once

#include "cli/lists/Lines.h"
#include "cli/lists/WindowsList.h"

#include <optional>
#include <string>
#include <string_view>

namespace quillsum::cli {

// A file named in a checksum list, with the digest the list gives it.
struct ListedFile {
  DigestBytes digest; // read from its 32 hex digits, of either case
  std::string name;
  bool escaped = false; // the line was in md5sum's escaped form, a backslash first
};

// Reads the lines of checksum lists as md5sum reads them: "<hex>  <name>", "<hex> *<name>",
// "<hex> <name>" and "<TAG> (<name>) = <hex>", each possibly escaped (a leading backslash,
// then \\, \n and \r in the name). Blank lines and lines starting with '#' are skipped, and a
// carriage return before the newline is dropped. The first line in GNU form fixes for all the
// lists read after it whether a single space after the hex ends the separator or starts the name.
class ListParser {
public:
  enum class Line { Skipped, Misformatted, Listed };

  explicit ListParser(std::string_view tag) : tag_(tag) {}

  // Parses one line, given without its newline; on Line::Listed, file holds what it lists.
  Line Parse(std::string line, ListedFile &file);

private:
  enum class Separator { Unknown, TypeFlag, SingleBlank };

  std::string_view tag_;
  Separator separator_ = Separator::Unknown;
};

// The lines of a file, stream or pipe, split at newlines; the last one may lack its newline. With
// windows, those of a list written on Windows, in md5sum's form (cli/lists/WindowsList.h).
class LineReader {
public:
  explicit LineReader(int fd, bool windows = false);

  // The next line, without its newline. False at the end, after a failed read, when error()
  // gives its errno, or at a line that is not valid UTF-16 in a Windows list, when invalid()
  // says so; a line that the failure cut short is not given. After std::bad_alloc, it may be
  // called again: no byte read is lost.
  bool Next(std::string &line);
  int error() const { return error_; }
  bool invalid() const { return invalid_; }

private:
  int fd_;
  std::optional<WindowsListDecoder> windows_;
  std::string buffer_;
  std::size_t at_ = 0;
  bool ended_ = false;
  int error_ = 0;
  bool invalid_ = false;
};

} // namespace quillsum::cli
