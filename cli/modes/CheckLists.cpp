#include "cli/lists/CheckList.h"
#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
#include "cli/lists/WindowsList.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Audit.h"
#include "cli/modes/Modes.h"
#include "cli/modes/WindowsNames.h"

#include "engine/UniqueFd.h"

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

bool SameHex(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c + 32) : c; };
  for (std::size_t k = 0; k < a.size(); ++k)
    if (lower(a[k]) != lower(b[k]))
      return false;
  return a.size() == b.size();
}

class ListChecker {
public:
  ListChecker(const Options &options, Output &output, Progress *progress, Audit *audit)
      : options_(options), output_(output), tag_(TagOf(options.method)), parser_(tag_),
        scheduler_(options.threads, options.method, progress, output, audit != nullptr),
        audit_(audit),
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
    std::array<char, 32> hex{};
    std::optional<FileTimes> times{};
  };
  static constexpr std::uint32_t kNoAction = std::numeric_limits<std::uint32_t>::max();

  void AddToScheduler(std::function<void()> action);
  void Listed(const std::shared_ptr<Tally> &tally, ListedFile file, std::optional<FileTimes> times);
  // A listed file that cannot be here (a Windows list's absolute name): missing, in its turn,
  // whatever this machine has under that name.
  void NotHere(const std::shared_ptr<Tally> &tally, ListedFile file);
  // What a listed file's digest, in its turn, says of it.
  Scheduler::Then Verdict(std::shared_ptr<Tally> tally, std::string hex,
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
  later_.push_back({.action = static_cast<std::uint32_t>(actions_.size())});
  actions_.push_back(std::move(action));
}

bool ListChecker::Finish() {
  if (audit_) {
    audit_->Walk(scheduler_);
    for (const Later &item : later_)
      if (item.action != kNoAction)
        scheduler_.Add(std::move(actions_[item.action]));
      else
        scheduler_.Add(names_.substr(item.nameAt, item.nameSize),
                       Verdict(tallies_[item.tally], std::string(item.hex.data(), item.hex.size()),
                               item.times));
  }
  scheduler_.Finish();
  return ok_;
}

void ListChecker::Check(const std::string &operand) {
  const bool standardInput = operand == "-";
  // A list that can be read only once is read after every file before it that can: one of them
  // may be the same stream.
  struct stat info {};
  if (standardInput || ::stat(operand.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    scheduler_.Drain();
  UniqueFd opened(standardInput ? -1 : ::open(operand.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  int error = errno;
  if (opened && ::fstat(opened.get(), &info) == 0 && NoSuchStandardInput(info)) {
    opened = UniqueFd(-1); // a closed standard input by name: no such file, as for md5sum
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
  std::uint64_t number = 1;
  for (; reader.Next(line); ++number) {
    // Under --audit, a times line tells an edit from damage for the next listed file.
    if (FileTimes listed; audit_ && ReadTimesLine(line, listed.size, listed.mtime)) {
      times = listed;
      continue;
    }
    const bool windowsSign = hint_ && LooksWrittenOnWindows(line, number == 1);
    const ListParser::Line kind = parser_.Parse(std::move(line), file);
    if (kind == ListParser::Line::Listed && !(standardInput && file.name == "-")) {
      if (options_.windowsLists && !windowsNames_.ToFileHere(file.name, file.escaped)) {
        NotHere(tally, std::move(file));
        times.reset();
        continue;
      }
      // A listed file that is the list's own stream reads what follows in it, as md5sum's
      // would: in its turn, before the list is read on.
      const bool sameStream =
          fromStandardInput && ::stat(file.name.c_str(), &info) == 0 && IsStandardInput(info);
      Listed(tally, std::move(file), times);
      times.reset();
      if (sameStream)
        scheduler_.Drain();
    } else if (kind != ListParser::Line::Skipped) {
      AddToScheduler([this, tally, number, list, windowsSign] {
        ++tally->misformatted;
        tally->windows = tally->windows || windowsSign;
        if (options_.warn)
          output_.Error(list + ": " + std::to_string(number) + ": improperly formatted " +
                        std::string(tag_) + " checksum line");
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

void ListChecker::Listed(const std::shared_ptr<Tally> &tally, ListedFile file,
                         std::optional<FileTimes> times) {
  if (!audit_)
    return scheduler_.Add(std::move(file.name), Verdict(tally, std::move(file.hex), times));
  audit_->Listed(file.name);
  if (tallies_.empty() || tallies_.back() != tally)
    tallies_.push_back(tally);
  Later later{names_.size(),
              static_cast<std::uint32_t>(file.name.size()),
              static_cast<std::uint32_t>(tallies_.size() - 1),
              kNoAction,
              {},
              times};
  std::copy_n(file.hex.begin(), std::min(file.hex.size(), later.hex.size()), later.hex.begin());
  names_ += file.name;
  later_.push_back(later);
}

void ListChecker::NotHere(const std::shared_ptr<Tally> &tally, ListedFile file) {
  if (audit_)
    audit_->Listed(file.name, false);
  AddToScheduler([then = Verdict(tally, std::move(file.hex), std::nullopt),
                  name = std::move(file.name)] { then(name, Digest{.hex = {}, .error = ENOENT}); });
}

Scheduler::Then ListChecker::Verdict(std::shared_ptr<Tally> tally, std::string hex,
                                     std::optional<FileTimes> times) {
  return [this, tally = std::move(tally), hex = std::move(hex), times](const std::string &name,
                                                                       const Digest &digest) {
    tally->formatted = true;
    if (digest.hex.empty()) {
      if (hint_ && digest.error == ENOENT && !tally->windows)
        tally->windows = windowsNames_.FoundWhenReadAsWindows(name);
      if (options_.ignoreMissing && digest.error == ENOENT)
        return;
      if (audit_ && digest.error == ENOENT && audit_->Moved(name, hex))
        return;
      output_.Error(Failure(name, digest.error));
      ++tally->unreadable;
      if (!options_.status)
        output_.Out(VerdictLine(name, "FAILED open or read"));
      return;
    }
    const bool match = SameHex(digest.hex, hex);
    if (!match && times && audit_->Changed(name, *times, digest))
      return;
    if (match)
      tally->matched = true;
    else
      ++tally->mismatched;
    if (!options_.status && (!match || !options_.quiet))
      output_.Out(VerdictLine(name, match ? "OK" : "FAILED"));
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
