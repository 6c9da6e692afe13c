#include "cli/CheckList.h"
#include "cli/Lines.h"
#include "cli/Modes.h"
#include "cli/Pipeline.h"
#include "cli/Quote.h"

#include "engine/UniqueFd.h"

#include <cerrno>
#include <cstdint>
#include <memory>

#include <fcntl.h>
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
  ListChecker(const Options &options, Output &output, Progress *progress)
      : options_(options), output_(output), tag_(TagOf(options.method)), parser_(tag_),
        pipeline_(options.jobs, options.method, progress, output) {}

  void Check(const std::string &operand);
  bool Finish() {
    pipeline_.Finish();
    return ok_;
  }

private:
  void Listed(const std::shared_ptr<Tally> &tally, ListedFile file);
  void Summary(const std::string &list, const Tally &tally);

  const Options &options_;
  Output &output_;
  const std::string_view tag_;
  ListParser parser_;
  Pipeline pipeline_;
  bool ok_ = true;
};

void ListChecker::Check(const std::string &operand) {
  const bool standardInput = operand == "-";
  const UniqueFd opened(standardInput ? -1
                                      : ::open(operand.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  const int error = errno;
  const std::string list = QuoteName(standardInput ? "standard input" : operand);
  if (!standardInput && !opened) {
    const std::string message = QuoteName(operand) + ": " + Reason(error);
    pipeline_.Add([this, message] {
      output_.Error(message);
      ok_ = false;
    });
    return;
  }

  if (standardInput)
    output_.ReadStandardInput();
  auto tally = std::make_shared<Tally>();
  LineReader reader(standardInput ? STDIN_FILENO : opened.get());
  std::string line;
  ListedFile file;
  for (std::uint64_t number = 1; reader.Next(line); ++number) {
    const ListParser::Line kind = parser_.Parse(std::move(line), file);
    if (kind == ListParser::Line::Listed && !(standardInput && file.name == "-")) {
      Listed(tally, std::move(file));
    } else if (kind != ListParser::Line::Skipped) {
      pipeline_.Add([this, tally, number, list] {
        ++tally->misformatted;
        if (options_.warn)
          output_.Error(list + ": " + std::to_string(number) + ": improperly formatted " +
                        std::string(tag_) + " checksum line");
      });
    }
  }
  if (reader.error() != 0) {
    pipeline_.Add([this, list] {
      output_.Error(list + ": read error");
      ok_ = false;
    });
    return;
  }
  pipeline_.Add([this, tally, list] { Summary(list, *tally); });
}

void ListChecker::Listed(const std::shared_ptr<Tally> &tally, ListedFile file) {
  pipeline_.Add(std::move(file.name), [this, tally, hex = std::move(file.hex)](
                                          const std::string &name, const Digest &digest) {
    tally->formatted = true;
    if (digest.hex.empty()) {
      if (options_.ignoreMissing && digest.error == ENOENT)
        return;
      output_.Error(QuoteName(name) + ": " + Reason(digest.error));
      ++tally->unreadable;
      if (!options_.status)
        output_.Out(VerdictLine(name, "FAILED open or read"));
      return;
    }
    const bool match = SameHex(digest.hex, hex);
    if (match)
      tally->matched = true;
    else
      ++tally->mismatched;
    if (!options_.status && (!match || !options_.quiet))
      output_.Out(VerdictLine(name, match ? "OK" : "FAILED"));
  });
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
  ok_ = ok_ && tally.formatted && tally.matched && tally.mismatched == 0 && tally.unreadable == 0 &&
        (!options_.strict || tally.misformatted == 0);
}

} // namespace

bool CheckLists(const Options &options, Output &output, Progress *progress) {
  ListChecker checker(options, output, progress);
  for (const std::string &operand : options.operands)
    checker.Check(operand);
  return checker.Finish();
}

} // namespace quillsum::cli
