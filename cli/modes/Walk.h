#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillsum::cli {

// Gives file() each operand in turn, or with recursive every regular file beneath an operand
// that is a directory: depth first, the entries of each directory in byte order of their names,
// symbolic links beneath it not followed; walked says which. An entry whose own name matches one
// of the excluded patterns (fnmatch, no flags) is left out, a folder with what is beneath it, and
// so is a scratch file of --update's; operands never are. A directory that cannot be listed
// goes to failed() with the errno, and is skipped. Stops early once file() returns false.
void ForEachFile(const std::vector<std::string> &operands, bool recursive,
                 const std::vector<std::string> &excluded,
                 const std::function<bool(std::string path, bool walked)> &file,
                 const std::function<void(const std::string &path, int error)> &failed);

// The names of a folder's entries but . and .., in byte order, the folder opened as the walk
// opens one (through the descriptor budget). False, with error set to the errno, when it cannot
// be read.
bool ListFolder(const std::string &dir, std::vector<std::string> &names, int &error);

// The name --update gives the scratch copy of a list, beside it, before it takes the list's
// place (mkstemp's pattern); and whether a name is one of those.
inline constexpr std::string_view kScratchName = ".quillsum-cli-XXXXXX";
bool IsScratchName(std::string_view name);

// The name as a path, lexically normal ("./a//b/" is "a/b", "a/../b" is "b"): how names in a list
// and names the walk gives are compared.
std::string NormalName(std::string_view name);

} // namespace quillsum::cli
