#pragma once

#include <string>
#include <string_view>

namespace quillsum::cli {

// The name as a path, lexically normal ("./a//b/" is "a/b", "a/../b" is "b"): how names in a list
// and names the walk gives are compared.
std::string NormalName(std::string_view name);

// The name --update gives the scratch copy of a list, beside it, before it takes the list's
// place (mkstemp's pattern); and whether a name is one of those, which walks leave out.
inline constexpr std::string_view kScratchName = ".quillsum-cli-XXXXXX";
bool IsScratchName(std::string_view name);

} // namespace quillsum::cli
