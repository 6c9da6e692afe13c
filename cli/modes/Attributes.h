#pragma once

#include <map>
#include <optional>
#include <string>

namespace quillsum::cli {

// The extended attributes of an open file (POSIX ACLs among them), value by name; none where its
// file system keeps none. Nothing, with errno, when they cannot be read.
std::optional<std::map<std::string, std::string>> AttributesOf(int fd);

// Gives a file the extended attributes of another: after its mode, as an ACL sets the group bits
// to its mask. One it already has with the same value (a security label the system gives every
// file) is left as it is. False, with errno, when one cannot be read or given.
bool CopyAttributes(int from, int to);

} // namespace quillsum::cli
