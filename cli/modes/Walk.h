#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillsum::cli {

// Gives file() each operand in turn, or with recursive every regular file beneath an operand
// that is a directory: depth first, the entries of each directory in byte order of their names,
// symbolic links beneath it not followed; walked says which. A directory that cannot be listed
// goes to failed() with the errno, and is skipped. Stops early once file() returns false.
void ForEachFile(const std::vector<std::string> &operands, bool recursive,
                 const std::function<bool(std::string path, bool walked)> &file,
                 const std::function<void(const std::string &path, int error)> &failed);

// The name as a path, lexically normal ("./a//b/" is "a/b", "a/../b" is "b"): how names in a list
// and names the walk gives are compared.
std::string NormalName(std::string_view name);

} // namespace quillsum::cli
