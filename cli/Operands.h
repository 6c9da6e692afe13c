#pragma once

#include <string_view>

#include <sys/stat.h>

namespace quillsum::cli {

// Where a name to read came from, which decides how it is read.
enum class Origin {
  StandardInput, // "-" on the command line or in a list
  Named,         // any other name there: opened whatever it is, as md5sum would open it
  Walked,        // found by a walk, which gives regular files only
};
// The origin of a name the user gave (on the command line or in a list), or a walk found.
Origin OriginOf(std::string_view name, bool walked);

// How a name is read, from its origin and the status of what it leads to: stat before it is
// opened, so that nothing that can be read only once is opened out of its turn (opening a FIFO
// lets its writer go on), and fstat after, as it may have changed in between.
enum class Reading {
  Now,       // a regular file: by any thread, at once
  InTurn,    // what can be read only once (standard input, a pipe, FIFO, terminal or device): in
             // its turn, one at a time, as md5sum reads it
  Skipped,   // a walked name that is no longer a regular file: it gives no line
  Directory, // fails as md5sum's read of it would (EISDIR)
  Missing,   // a closed standard input reached by name: no such file, as for md5sum (ENOENT)
};
Reading ReadingOf(Origin origin, const struct stat &info);

// Whether the file with this status is standard input, whatever its name: the same file as
// descriptor 0.
bool IsStandardInput(const struct stat &info);

} // namespace quillsum::cli
