#pragma once

#include <string>
#include <string_view>

namespace quillsum::cli {

// A file name as md5sum shows it in a message: bare when the shell would take it as it stands,
// else quoted for the shell ('a b', "it's", 'n'$'\n''l'), byte for byte as md5sum quotes it.
// What counts as printable follows the locale's character type (LC_CTYPE).
std::string QuoteName(std::string_view name);

// "name: reason", as a failure about a file shows in messages: the name quoted as md5sum quotes
// it, the reason the system's text for errno, or ours.
std::string Failure(std::string_view name, int error);
std::string Failure(std::string_view name, std::string_view reason);

} // namespace quillsum::cli
