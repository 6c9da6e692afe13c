#pragma once

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/loop/Outcome.h"
#include "cli/loop/Scheduler.h"

#include <string>

namespace quillsum::cli {

// The five kinds of work, each giving whether all of it went well. progress may be null.

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

// What the modes share: the hashing loop as the options set it, and a file's lines (its times
// line before its digest line when times are asked for and known).
Scheduler::Settings LoopSettings(const Options &options, Progress *progress, bool keepTimes);
std::string PrintedLines(const std::string &name, const Digested &digested, const LineStyle &style,
                         bool times);

} // namespace quillsum::cli
