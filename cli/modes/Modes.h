#pragma once

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/lists/Lines.h"
#include "cli/loop/FileDigest.h"

namespace quillsum::cli {

// The five kinds of work, each giving whether all of it went well. progress may be null.

// A file's digest line, with its times line before it when times are asked for and known.
std::string PrintedLines(const std::string &name, const Digest &digest, const LineStyle &style,
                         bool times);

// Prints the digest line of each file the operands stand for.
bool DigestFiles(const Options &options, Output &output, Progress *progress);
// Reads each operand as a checksum list and checks the files it lists.
bool CheckLists(const Options &options, Output &output, Progress *progress);
// Hashes the files the operands stand for that options.update does not list yet, prints their
// lines and adds them at its end.
bool UpdateList(const Options &options, Output &output, Progress *progress);
// Prints the digest lines of the files the operands stand for that have the same bytes as
// another, group by group.
bool FindDuplicates(const Options &options, Output &output, Progress *progress);
// Prints the text digest of each operand.
bool DigestTexts(const Options &options, Output &output);

// Tells progress how much work the operands stand for, going through them as the work will, as
// far as that can be done without reading what the work reads (standard input).
void Survey(const Options &options, Progress &progress);

} // namespace quillsum::cli
