#pragma once

// Checksum lists written on Windows, turned into md5sum's form as they are read (-c
// --windows-lists): a byte-order mark at the start is dropped; a list that starts with a UTF-16
// one is decoded from UTF-16; a line that starts with ';', a comment there, is skipped; a line
// that is not UTF-8 is decoded from Windows-1252, the window's code page. The names in the lines
// stay as written ('\' between folders): cli/modes/WindowsNames.h finds their files.

#include <string>
#include <string_view>

namespace quillsum::cli {

// The text of a Windows list from its bytes, as they are read: in UTF-8, without its mark.
class WindowsListDecoder {
public:
  // Appends to text what bytes, the next ones read, decode to; last says that no more follow.
  // False, with what came before it appended, at what is not UTF-16 in a UTF-16 list: a lone
  // surrogate, or an odd byte at its end.
  bool Decode(std::string_view bytes, bool last, std::string &text);

private:
  enum class Form { Unknown, Bytes, Utf16Le, Utf16Be };

  bool DecodeUtf16(bool last, std::string &text);

  Form form_ = Form::Unknown;
  std::string held_; // the start, until it tells the form; then part of a UTF-16 unit or pair
};

// A decoded line of a Windows list in md5sum's form: a comment empty (md5sum skips it), any other
// line in UTF-8 (WindowsText).
void ToMd5sumLine(std::string &line);

// Text from a Windows list in UTF-8: as it is when it is UTF-8, else decoded from Windows-1252.
std::string WindowsText(std::string bytes);

// Whether a line that md5sum finds improperly formatted shows that its list was written on
// Windows: a ';' comment, or a byte-order mark (UTF-8 or UTF-16) starting the list's first line.
bool LooksWrittenOnWindows(std::string_view line, bool first);

} // namespace quillsum::cli
