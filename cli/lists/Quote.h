#pragma once

#include <string>
#include <string_view>

namespace quillsum::cli {

// A file name as md5sum shows it in a message: bare when the shell would take it as it stands,
// else quoted for the shell ('a b', "it's", 'n'$'\n''l'), byte for byte as md5sum quotes it.
// What counts as printable follows the locale's character type (LC_CTYPE).
std::string QuoteName(std::string_view name);

} // namespace quillsum::cli
