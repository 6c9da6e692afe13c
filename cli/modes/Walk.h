#pragma once

#include "cli/Operands.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace quillsum::cli {

class Shortage;

// A file as a walk meets it.
struct Met {
  std::size_t folder;      // the walked file's folder, numbered as the walk entered them, from 0
  std::string_view prefix; // that folder's path and a '/'; empty for an operand
  std::string_view name;   // the file's own name, or the operand as given
  Origin origin;
  // The walk's lstat of it, where the file system did not say what it is; else null.
  const struct stat *status;
};
// An operand's folder in Met.
inline constexpr std::size_t kNoFolder = SIZE_MAX;

// Gives file() each operand in turn, or with recursive every regular file beneath an operand
// that is a directory: depth first, the entries of each directory in byte order of their names,
// symbolic links beneath it not followed; origin says which. An entry whose own name matches one
// of the excluded patterns (fnmatch, no flags) is left out, a folder with what is beneath it, and
// so is a scratch file of --update's; operands never are. entered() hears each folder's prefix as
// it is entered, before its files (it may be null). A directory that cannot be listed goes to
// failed() with the errno, and is skipped; with a shortage, one that memory was short for is
// listed again as the shortage says. Stops early once file() returns false.
void WalkFiles(const std::vector<std::string> &operands, bool recursive,
               const std::vector<std::string> &excluded,
               const std::function<void(std::string_view prefix)> &entered,
               const std::function<bool(const Met &met)> &file,
               const std::function<void(const std::string &path, int error)> &failed,
               Shortage *shortage);

// WalkFiles, each file given by its whole name.
void ForEachFile(const std::vector<std::string> &operands, bool recursive,
                 const std::vector<std::string> &excluded,
                 const std::function<bool(std::string path, Origin origin)> &file,
                 const std::function<void(const std::string &path, int error)> &failed,
                 Shortage *shortage);

// The names of a folder's entries but . and .., in byte order, the folder opened as the walk
// opens one (through the descriptor budget). Gives 0, or the errno of the failure.
int ListFolder(const std::string &dir, std::vector<std::string> &names);

} // namespace quillsum::cli
