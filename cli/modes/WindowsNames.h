#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillsum::cli {

// Where the files that lists written on Windows name are here: '\' separates folders there, and
// a name matches whatever its case. It reads folders, and remembers those it read; one thread at a
// time may use it.
class WindowsNames {
public:
  // Turns a name from a Windows list (decoded: cli/lists/WindowsList.h) into the name of its file
  // here: '\' between folders becomes '/', but in a line of md5sum's escaped form (escaped),
  // which is read as md5sum reads it; then a name not found as written is matched without regard
  // to case, component by component, where exactly one entry of its folder matches. It stays as
  // written, with '/', where no file matches. False, the name left as it was, for a name that is
  // absolute in Windows terms (C:\..., \\server\..., \...): no file here is that one.
  bool ToFileHere(std::string &name, bool escaped);

  // Whether a name that md5sum did not find names a file here once read as a Windows list's is
  // (decoded from Windows-1252 where it is not UTF-8): a sign that its list was written there.
  bool FoundWhenReadAsWindows(const std::string &name);

private:
  // The file here that the name, with '/' between folders, names as written or else without
  // regard to case; nothing when there is none.
  std::optional<std::string> Find(const std::string &name);
  // Find for a folder, remembered: a list names a folder's files one after another.
  std::optional<std::string> FolderHere(const std::string &folder);
  // The one entry of the folder whose name matches written whatever the case; nothing when none
  // or several do.
  std::optional<std::string> Match(const std::string &folder, std::string_view written);

  // Each is forgotten whole before it would hold more than this many names.
  static constexpr std::size_t kMostRemembered = 1 << 17;
  // The folders found, by their names as written.
  std::unordered_map<std::string, std::string> foldersHere_;
  // The folders read, each with its entries by their names in upper case ("" where several
  // have the same).
  std::unordered_map<std::string, std::unordered_map<std::string, std::string>> folders_;
  std::size_t remembered_ = 0; // entries in folders_
};

} // namespace quillsum::cli
