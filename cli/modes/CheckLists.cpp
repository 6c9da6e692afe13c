#include "cli/lists/CheckList.h"
#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
#include "cli/lists/WindowsList.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Audit.h"
#include "cli/modes/Modes.h"
#include "cli/modes/WindowsNames.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// What one list gave, counted as its lines have their turn.
struct Tally {
  bool formatted = false; // a line listed a file
  bool matched = false;   // a file matched
  std::uint64_t misformatted = 0;
  std::uint64_t unreadable = 0;
  std::uint64_t mismatched = 0;
  bool windows = false; // a line md5sum could not use shows a list written on Windows
};

class ListChecker {
public:
  ListChecker(const Options &options, Output &output, Progress *progress, Audit *audit)
      : options_(options), output_(output), tag_(TagOf(options.method)), parser_(tag_),
        scheduler_(LoopSettings(options, progress, audit != nullptr), output), audit_(audit),
        hint_(!options.windowsLists && !options.status && ::isatty(STDERR_FILENO) == 1) {}

  void Check(const std::string &operand);
  bool Finish();

private:
  // Under --audit, the lists' items wait until every list is read and the folders are walked:
  // a missing file's turn must know every file that no list names. They wait compactly: a listed
  // file as its line gave it, its name among the others in one string; anything else as the
  // action of that number.
  struct Later {
    std::uint64_t nameAt = 0;
    std::uint32_t nameSize = 0;
    std::uint32_t tally = 0; // in tallies_
    std::uint32_t action = kNoAction;
    DigestBytes digest{};
    std::optional<FileTimes> times{};
  };
  static constexpr std::uint32_t kNoAction = std::numeric_limits<std::uint32_t>::max();

  void AddToScheduler(std::function<void()> action);
  void Listed(const std::shared_ptr<Tally> &tally, const ListedFile &file,
              std::optional<FileTimes> times);
  // A listed file that cannot be here (a Windows list's absolute name): missing, in its turn,
  // whatever this machine has under that name.
  void NotHere(const std::shared_ptr<Tally> &tally, const ListedFile &file);
  // What a listed file's digest, in its turn, says of it.
  Scheduler::Then Verdict(std::shared_ptr<Tally> tally, DigestBytes listed,
                          std::optional<FileTimes> times);
  void Summary(const std::string &list, const Tally &tally);

  const Options &options_;
  Output &output_;
  const std::string_view tag_;
  ListParser parser_;
  Scheduler scheduler_;
  Audit *const audit_;
  // Whether a list that fails for its Windows ways says so, after md5sum's messages.
  const bool hint_;
  // With --windows-lists, on the thread that reads the lists; for the hint, on the one handing on.
  WindowsNames windowsNames_;
  std::deque<Later> later_; // no copy of it all when it grows
  std::string names_;
  std::vector<std::shared_ptr<Tally>> tallies_;
  std::vector<std::function<void()>> actions_;
  bool ok_ = true;
};

void ListChecker::AddToScheduler(std::function<void()> action) {
  if (!audit_)
    return scheduler_.Add(std::move(action));
  actions_.push_back(std::move(action)); // one left behind by a refused allocation is never run
  later_.push_back({.action = static_cast<std::uint32_t>(actions_.size() - 1)});
}

bool ListChecker::Finish() {
  if (audit_) {
    audit_->Walk(scheduler_);
    for (const Later &item : later_)
      scheduler_.shortage().Retrying([&] {
        if (item.action != kNoAction)
          return scheduler_.Add(actions_[item.action]);
        std::string name = names_.substr(item.nameAt, item.nameSize);
        const Origin origin = OriginOf(name, false);
        scheduler_.Add(std::move(name), Verdict(tallies_[item.tally], item.digest, item.times),
                       origin);
      });
  }
  scheduler_.Finish();
  return ok_;
}

void ListChecker::Check(const std::string &operand) {
  const bool standardInput = OriginOf(operand, false) == Origin::StandardInput;
  // A list that can be read only once is read after every file before it that can: one of them
  // may be the same stream.
  struct stat info {};
  if (standardInput || ::stat(operand.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    scheduler_.Drain();
  DescriptorBudget::Held opened;
  if (!standardInput)
    opened = DescriptorBudget::OfProcess().Open(operand.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  int error = errno;
  if (opened && ::fstat(opened.get(), &info) == 0 &&
      ReadingOf(Origin::Named, info) == Reading::Missing) {
    opened.Close(); // a closed standard input by name: no such file, as for md5sum
    error = ENOENT;
  }
  const std::string list = QuoteName(standardInput ? "standard input" : operand);
  if (!standardInput && !opened) {
    const std::string message = Failure(operand, error);
    AddToScheduler([this, message] {
      output_.Error(message);
      ok_ = false;
    });
    return;
  }
  const bool fromStandardInput =
      standardInput || (::fstat(opened.get(), &info) == 0 && IsStandardInput(info));

  if (standardInput)
    output_.ReadStandardInput();
  if (audit_)
    audit_->ReadingList(standardInput ? STDIN_FILENO : opened.get());
  auto tally = std::make_shared<Tally>();
  LineReader reader(standardInput ? STDIN_FILENO : opened.get(), options_.windowsLists);
  std::string line;
  std::optional<FileTimes> times;
  ListedFile file;
  // Each step may be tried again after a refused allocation: it reads no byte twice and adds
  // nothing twice.
  Shortage &shortage = scheduler_.shortage();
  std::uint64_t number = 1;
  for (;; ++number) {
    bool read = false;
    shortage.Retrying([&] { read = reader.Next(line); });
    if (!read)
      break;
    // Under --audit, a times line tells an edit from damage for the next listed file.
    if (FileTimes listed; audit_ && ReadTimesLine(line, listed.size, listed.mtime)) {
      times = listed;
      continue;
    }
    const bool windowsSign = hint_ && LooksWrittenOnWindows(line, number == 1);
    ListParser::Line kind = ListParser::Line::Skipped;
    shortage.Retrying([&] { kind = parser_.Parse(line, file); });
    if (kind == ListParser::Line::Listed &&
        !(standardInput && OriginOf(file.name, false) == Origin::StandardInput)) {
      bool here = true;
      if (options_.windowsLists)
        shortage.Retrying([&] { here = windowsNames_.ToFileHere(file.name, file.escaped); });
      if (!here) {
        shortage.Retrying([&] { NotHere(tally, file); });
        times.reset();
        continue;
      }
      // A listed file that is the list's own stream reads what follows in it, as md5sum's
      // would: in its turn, before the list is read on.
      const bool sameStream =
          fromStandardInput && ::stat(file.name.c_str(), &info) == 0 && IsStandardInput(info);
      shortage.Retrying([&] { Listed(tally, file, times); });
      times.reset();
      if (sameStream)
        scheduler_.Drain();
    } else if (kind != ListParser::Line::Skipped) {
      shortage.Retrying([&] {
        AddToScheduler([this, tally, number, list, windowsSign] {
          ++tally->misformatted;
          tally->windows = tally->windows || windowsSign;
          if (options_.warn)
            output_.Error(list + ": " + std::to_string(number) + ": improperly formatted " +
                          std::string(tag_) + " checksum line");
        });
      });
    }
  }
  if (reader.error() != 0 || reader.invalid()) {
    // As md5sum does after a read error, the rest of the list goes unread and uncounted.
    const std::string message = reader.invalid()
                                    ? list + ": " + std::to_string(number) + ": not valid UTF-16"
                                    : list + ": read error";
    AddToScheduler([this, message] {
      output_.Error(message);
      ok_ = false;
    });
    return;
  }
  AddToScheduler([this, tally, list] { Summary(list, *tally); });
}

void ListChecker::Listed(const std::shared_ptr<Tally> &tally, const ListedFile &file,
                         std::optional<FileTimes> times) {
  if (!audit_)
    return scheduler_.Add(file.name, Verdict(tally, file.digest, times),
                          OriginOf(file.name, false));
  audit_->Listed(file.name, true);
  if (tallies_.empty() || tallies_.back() != tally)
    tallies_.push_back(tally);
  names_.reserve(names_.size() + file.name.size());
  later_.push_back({names_.size(), static_cast<std::uint32_t>(file.name.size()),
                    static_cast<std::uint32_t>(tallies_.size() - 1), kNoAction, file.digest,
                    times});
  names_ += file.name;
}

void ListChecker::NotHere(const std::shared_ptr<Tally> &tally, const ListedFile &file) {
  if (audit_)
    audit_->Listed(file.name, false);
  AddToScheduler([then = Verdict(tally, file.digest, std::nullopt), name = file.name] {
    then(name, Failed{ENOENT});
  });
}

// Allocates before it counts, so that it can be tried again (Job::Then).
Scheduler::Then ListChecker::Verdict(std::shared_ptr<Tally> tally, DigestBytes listed,
                                     std::optional<FileTimes> times) {
  return [this, tally = std::move(tally), listed, times](const std::string &name,
                                                         const Outcome &outcome) {
    tally->formatted = true;
    const auto *digested = std::get_if<Digested>(&outcome);
    if (!digested) {
      const auto *failed = std::get_if<Failed>(&outcome);
      const bool missing = failed && failed->error == ENOENT;
      if (missing && hint_ && !tally->windows)
        tally->windows = windowsNames_.FoundWhenReadAsWindows(name);
      if (missing && options_.ignoreMissing)
        return;
      if (missing && audit_ && audit_->Moved(name, listed))
        return;
      const std::string line = options_.status ? "" : VerdictLine(name, "FAILED open or read");
      if (const std::optional<std::string> failure = FailureOf(name, outcome))
        output_.Error(*failure);
      ++tally->unreadable;
      output_.Out(line);
      return;
    }
    const bool match = digested->digest == listed;
    if (!match && times && audit_->Changed(name, *times, *digested))
      return;
    const std::string line = options_.status || (match && options_.quiet)
                                 ? ""
                                 : VerdictLine(name, match ? "OK" : "FAILED");
    if (match)
      tally->matched = true;
    else
      ++tally->mismatched;
    output_.Out(line);
  };
}

void ListChecker::Summary(const std::string &list, const Tally &tally) {
  if (!tally.formatted) {
    output_.Error(list + ": no properly formatted checksum lines found");
  } else if (!options_.status) {
    if (tally.misformatted)
      output_.Warning(tally.misformatted, "line is improperly formatted",
                      "lines are improperly formatted");
    if (tally.unreadable)
      output_.Warning(tally.unreadable, "listed file could not be read",
                      "listed files could not be read");
    if (tally.mismatched)
      output_.Warning(tally.mismatched, "computed checksum did NOT match",
                      "computed checksums did NOT match");
    if (options_.ignoreMissing && !tally.matched)
      output_.Error(list + ": no file was verified");
  }
  if (tally.windows)
    output_.Error(list + " looks written on Windows: try again with --windows-lists");
  ok_ = ok_ && tally.formatted && tally.matched && tally.mismatched == 0 && tally.unreadable == 0 &&
        (!options_.strict || tally.misformatted == 0);
}

} // namespace

bool CheckLists(const Options &options, Output &output, Progress *progress) {
  std::optional<Audit> audit;
  if (!options.audit.empty())
    audit.emplace(options, output);
  ListChecker checker(options, output, progress, audit ? &*audit : nullptr);
  for (const std::string &operand : options.operands)
    checker.Check(operand);
  const bool checked = checker.Finish();
  return (!audit || audit->Report()) && checked;
}

} // namespace quillsum::cli
