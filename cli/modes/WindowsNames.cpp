#include "cli/modes/WindowsNames.h"

#include "cli/lists/Unicode.h"
#include "cli/lists/WindowsList.h"
#include "cli/modes/Walk.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <locale.h>
#include <sys/stat.h>
#include <wctype.h>

namespace quillsum::cli {
namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A drive (C:\..., C:...), a server (\\server\...) or the root of the current drive (\...).
bool AbsoluteOnWindows(std::string_view name) {
  return name.starts_with('\\') || (name.size() >= 2 && IsAsciiLetter(name[0]) && name[1] == ':');
}

// A name in upper case, as Windows compares names: each character where it is UTF-8 (with the
// C.UTF-8 locale's table; where that is missing, ASCII letters only), its ASCII letters where
// it is not.
std::string Folded(std::string_view name) {
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  const auto upper = [](char32_t code) -> char32_t {
    if (code < 0x80)
      return code >= 'a' && code <= 'z' ? code - 32 : code;
    return utf8 ? static_cast<char32_t>(::towupper_l(static_cast<wint_t>(code), utf8)) : code;
  };
  std::string key;
  key.reserve(name.size());
  if (!IsUtf8(name)) {
    for (const char c : name)
      key += c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    return key;
  }
  char32_t code;
  for (std::size_t at = 0; NextUtf8(name, at, code);)
    AppendUtf8(key, upper(code));
  return key;
}

} // namespace

bool WindowsNames::ToFileHere(std::string &name, bool escaped) {
  if (name == "-") // standard input, as for md5sum
    return true;
  if (!escaped) {
    if (AbsoluteOnWindows(name))
      return false;
    std::replace(name.begin(), name.end(), '\\', '/');
  }
  if (std::optional<std::string> found = Find(name))
    name = std::move(*found);
  return true;
}

bool WindowsNames::FoundWhenReadAsWindows(const std::string &name) {
  std::string windows = WindowsText(name);
  return ToFileHere(windows, false) && windows != name && Find(windows).has_value();
}

std::optional<std::string> WindowsNames::Find(const std::string &name) {
  struct stat info {};
  if (::lstat(name.c_str(), &info) == 0)
    return name;
  if (errno != ENOENT)
    return std::nullopt;
  const std::size_t slash = name.rfind('/');
  const std::string_view writtenFolder =
      std::string_view(name).substr(0, slash == std::string::npos ? 0 : slash + 1);
  const std::string_view written = std::string_view(name).substr(writtenFolder.size());
  std::string here;
  if (!writtenFolder.empty()) {
    const std::optional<std::string> folder = FolderHere(name.substr(0, slash));
    if (!folder)
      return std::nullopt;
    here = *folder + '/';
  }
  const bool special = written.empty() || written == "." || written == "..";
  if (special || here != writtenFolder) {
    // In a folder found in another case, the name may yet be there as written.
    const std::string asWritten = here + std::string(written);
    if (::lstat(asWritten.c_str(), &info) == 0)
      return asWritten;
    if (special || errno != ENOENT)
      return std::nullopt;
  }
  const std::optional<std::string> entry = Match(here.empty() ? "." : here, written);
  return entry ? std::optional(here + *entry) : std::nullopt;
}

std::optional<std::string> WindowsNames::FolderHere(const std::string &folder) {
  if (folder.empty()) // of "/name"
    return folder;
  if (const auto known = foldersHere_.find(folder); known != foldersHere_.end())
    return known->second;
  std::optional<std::string> here = Find(folder);
  if (!here) // perhaps a folder that could not be read this time
    return here;
  if (foldersHere_.size() >= kMostRemembered)
    foldersHere_.clear();
  return foldersHere_.emplace(folder, std::move(*here)).first->second;
}

std::optional<std::string> WindowsNames::Match(const std::string &folder,
                                               std::string_view written) {
  auto entries = folders_.find(folder);
  if (entries == folders_.end()) {
    // A folder that cannot be read matches nothing, this time.
    std::vector<std::string> names;
    if (ListFolder(folder, names) != 0)
      return std::nullopt;
    if (remembered_ + names.size() > kMostRemembered) {
      folders_.clear();
      remembered_ = 0;
    }
    remembered_ += names.size();
    entries = folders_.try_emplace(folder).first;
    for (std::string &name : names) {
      const auto [at, fresh] = entries->second.try_emplace(Folded(name), std::move(name));
      if (!fresh)
        at->second.clear();
    }
  }
  const auto found = entries->second.find(Folded(written));
  if (found == entries->second.end() || found->second.empty())
    return std::nullopt;
  return found->second;
}

} // namespace quillsum::cli
