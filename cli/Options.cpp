#include "cli/Options.h"

#include "cli/lists/Quote.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <getopt.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

enum LongOnly {
  kIgnoreMissing = 256,
  kQuiet,
  kStatus,
  kStrict,
  kTag,
  kFingerprint,
  kAudit,
  kUpdate,
  kTimes,
  kExclude,
  kDuplicates,
  kDedupe,
  kHardlink,
  kHelp,
  kVersion,
};

// md5sum's options in md5sum's order, which is the order getopt_long lists them in when an
// abbreviation is ambiguous; then this program's. --string and --windows-lists are not here: see
// TakeOwnOptions.
constexpr option kLongOptions[] = {
    {"check", no_argument, nullptr, 'c'},
    {"ignore-missing", no_argument, nullptr, kIgnoreMissing},
    {"quiet", no_argument, nullptr, kQuiet},
    {"status", no_argument, nullptr, kStatus},
    {"warn", no_argument, nullptr, 'w'},
    {"strict", no_argument, nullptr, kStrict},
    {"tag", no_argument, nullptr, kTag},
    {"zero", no_argument, nullptr, 'z'},
    {"binary", no_argument, nullptr, 'b'},
    {"text", no_argument, nullptr, 't'},
    {"recursive", no_argument, nullptr, 'r'},
    {"fingerprint", no_argument, nullptr, kFingerprint},
    {"jobs", required_argument, nullptr, 'j'},
    {"audit", required_argument, nullptr, kAudit},
    {"update", required_argument, nullptr, kUpdate},
    {"times", no_argument, nullptr, kTimes},
    {"exclude", required_argument, nullptr, kExclude},
    {"duplicates", no_argument, nullptr, kDuplicates},
    {"dedupe", no_argument, nullptr, kDedupe},
    {"hardlink", no_argument, nullptr, kHardlink},
    // md5sum's --h is --help, which --hardlink would make ambiguous: an exact name wins.
    {"h", no_argument, nullptr, kHelp},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};
constexpr char kShortOptions[] = "bcj:rtwz";
constexpr unsigned kMostThreads = 1024;

constexpr std::string_view kHelpText = R"(Usage: quillsum-cli [OPTION]... [FILE]...
Print or check MD5 (128-bit) checksums, sampled fingerprints or text digests.

With no FILE, or when FILE is -, read standard input.
  -b, --binary          read in binary mode
  -c, --check           read checksums from the FILEs and check them
      --tag             create a BSD-style checksum
  -t, --text            read in text mode (default)
  -z, --zero            end each output line with NUL, not newline,
                          and disable file name escaping
  -r, --recursive       a directory stands for every regular file beneath it,
                          depth first, in byte order of names; symbolic links
                          beneath it are not followed
      --fingerprint     print or check Quillsum's sampled fingerprint instead:
                          the MD5 of sixteen 16-byte samples of a regular file,
                          in upper case, as Quillsum's window shows it
      --string          the operands are texts: print the MD5 of each, one
                          Windows-1252 byte per character, in upper case, as
                          Quillsum's window shows it
  -j, --jobs=N          hash on N threads (default: the online CPUs)
      --audit=DIR       with --check: also walk DIR as --recursive does; a
                          missing listed file whose checksum a file there
                          that no list names has is reported 'MOVED to' that
                          file, then each other such file as 'NEW'; a listed
                          file whose checksum and times line both differ
                          is reported 'CHANGED' (edited), not 'FAILED'
      --update=LIST     hash only the files that LIST does not name yet, print
                          their lines and add them at the end of LIST; where
                          LIST has times, also hash again the listed files
                          whose size or time changed, and replace their lines
      --times           before each checksum line, a line md5sum skips:
                          '#size=SIZE mtime=YYYY-MM-DDTHH:MM:SS.NNNNNNNNNZ',
                          of a regular file as it was read (in UTC)
      --exclude=GLOB    leave out what --recursive, --audit and --update
                          find whose own name matches GLOB, and do not enter
                          such folders; FILE operands are never left out
      --duplicates      print the lines of files with the same bytes, each
                          group of two or more after an empty line but the
                          first, in the order of the FILEs; empty files and
                          second names of one file are left out
      --dedupe          with --duplicates: then have the kernel share each
                          group's first file's bytes with its other files,
                          where it finds them still equal (btrfs, XFS);
                          names, inodes, owners, modes and times stay
      --hardlink        with --duplicates: then make each group's other
                          files names of its first file, those of the same
                          file system, owner, group, mode and attributes
                          whose bytes are still the same
      --windows-lists   with --check: read lists written on Windows too: a
                          byte-order mark, UTF-16, ';' comments, '\' between
                          folders, Windows-1252 names, names in another case;
                          each result names the file as found here

The following five options are useful only when verifying checksums:
      --ignore-missing  don't fail or report status for missing files
      --quiet           don't print OK for each successfully verified file
      --status          don't output anything, status code shows success
      --strict          exit non-zero for improperly formatted checksum lines
  -w, --warn            warn about improperly formatted checksum lines

      --help        display this help and exit
      --version     output version information and exit

The sums are computed as described in RFC 1321.
When checking, the input should be a former output of this program, and
each result names its file quoted as in error messages, as md5sum does since
GNU coreutils 9.11.
The default mode is to print a line with: checksum, a space,
a character indicating input mode ('*' for binary, ' ' for text
or where binary is insignificant), and name for each FILE.
Output keeps the order of the FILEs, whatever the number of jobs.

Note: There is no difference between binary mode and text mode on GNU systems.
)";

constexpr std::string_view kVersionText = "quillsum-cli (Quillsum) " QUILLSUM_VERSION "\n";

int UsageError(Output &output, std::string_view message) {
  if (!message.empty())
    output.Error(message);
  output.Err(std::string("Try '") + std::string(kProgram) + " --help' for more information.\n");
  return EXIT_FAILURE;
}

bool PosixlyCorrect() { return std::getenv("POSIXLY_CORRECT") != nullptr; }

// Whether the long option, maybe abbreviated, takes the next argument as its own.
bool TakesArgument(std::string_view name) {
  for (const option &known : kLongOptions)
    if (known.name && known.has_arg == required_argument &&
        std::string_view(known.name).starts_with(name))
      return true;
  return false;
}

// This program's options that share a start with md5sum's are taken from the arguments before
// getopt_long reads them, each only when spelt out so far that md5sum's abbreviations keep their
// meaning: --strin (--str is --strict, and --s or --st ambiguous between --status and --strict
// alone) and --wi (--w, --wa and --war are --warn). It skips what getopt_long would skip: the
// arguments of -j and of the long options that take one, operands, and everything after "--".
// Gives false, with the message given, for one with "=..."; each flag says whether its option
// was there.
struct OwnOption {
  std::string_view name;
  std::size_t shortest;
  bool &given;
};
bool TakeOwnOptions(std::vector<char *> &arguments, std::span<const OwnOption> own,
                    Output &output) {
  const bool posixlyCorrect = PosixlyCorrect();
  for (std::size_t k = 1; k < arguments.size(); ++k) {
    const std::string_view argument = arguments[k];
    if (argument == "--")
      return true;
    if (argument.size() < 2 || argument[0] != '-') {
      if (posixlyCorrect)
        return true;
      continue;
    }
    if (argument.starts_with("--")) {
      const std::string_view name = argument.substr(2, argument.find('=') - 2);
      const auto taken = std::find_if(own.begin(), own.end(), [name](const OwnOption &option) {
        return name.size() >= option.shortest && option.name.starts_with(name);
      });
      if (taken != own.end()) {
        if (name.size() + 2 < argument.size()) {
          output.Err(std::string(kProgram) + ": option '--" + std::string(taken->name) +
                     "' doesn't allow an argument\n");
          return false;
        }
        taken->given = true;
        arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(k--));
      } else if (!name.empty() && name.size() + 2 == argument.size() && TakesArgument(name)) {
        ++k;
      }
    } else if (argument.find('j') == argument.size() - 1) {
      ++k; // "-j N", "-bj N"
    }
  }
  return true;
}

bool ParseThreads(const char *text, unsigned &threads) {
  char *end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || text[0] == '+' || value < 1 ||
      value > kMostThreads)
    return false;
  threads = static_cast<unsigned>(value);
  return true;
}

// Whether the operands from first on, up to the null that ends them, stand for standard input:
// none at all, or "-".
bool ReadsStandardInput(const std::vector<char *> &arguments, int first) {
  const auto operands = std::span(arguments).subspan(static_cast<std::size_t>(first));
  return operands.size() == 1 ||
         std::any_of(operands.begin(), operands.end() - 1,
                     [](const char *operand) { return std::string_view(operand) == "-"; });
}

unsigned OnlineCpus() {
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  return cpus < 1 ? 1 : cpus > kMostThreads ? kMostThreads : static_cast<unsigned>(cpus);
}

// What the command line gave, before its conflicts are looked at.
struct Given {
  Options options;
  int binary = -1; // -t 0, -b 1, neither -1
  bool check = false, string = false, update = false, duplicates = false, dedupe = false,
       hardlink = false;
  bool noOperand = false;     // none, with --string
  bool standardInput = false; // an operand, or none, stands for standard input
};

// Options that do not go together, md5sum's first in md5sum's order, then this program's: the
// first that holds is the usage error.
struct Conflict {
  bool (*holds)(const Given &);
  const char *message;
};
constexpr Conflict kConflicts[] = {
    {[](const Given &g) { return g.options.tag && g.binary == 0; },
     "--tag does not support --text mode"},
    {[](const Given &g) { return g.options.zero && g.check; },
     "the --zero option is not supported when verifying checksums"},
    {[](const Given &g) { return g.options.tag && g.check; },
     "the --tag option is meaningless when verifying checksums"},
    {[](const Given &g) { return g.binary >= 0 && g.check; },
     "the --binary and --text options are meaningless when verifying checksums"},
    {[](const Given &g) { return g.options.ignoreMissing && !g.check; },
     "the --ignore-missing option is meaningful only when verifying checksums"},
    {[](const Given &g) { return g.options.status && !g.check; },
     "the --status option is meaningful only when verifying checksums"},
    {[](const Given &g) { return g.options.warn && !g.check; },
     "the --warn option is meaningful only when verifying checksums"},
    {[](const Given &g) { return g.options.quiet && !g.check; },
     "the --quiet option is meaningful only when verifying checksums"},
    {[](const Given &g) { return g.options.strict && !g.check; },
     "the --strict option is meaningful only when verifying checksums"},
    {[](const Given &g) { return g.options.recursive && g.check; },
     "the --recursive option is meaningless when verifying checksums"},
    {[](const Given &g) { return g.string && g.check; },
     "the --check option is meaningless with --string"},
    {[](const Given &g) { return g.string && g.options.recursive; },
     "the --recursive option is meaningless with --string"},
    {[](const Given &g) { return g.string && g.options.method == Method::Fingerprint; },
     "the --fingerprint option is meaningless with --string"},
    {[](const Given &g) { return g.string && g.binary >= 0; },
     "the --binary, --text and --tag options are meaningless with --string"},
    {[](const Given &g) { return g.string && g.noOperand; }, "missing text operand"},
    {[](const Given &g) { return g.duplicates && g.check; },
     "the --duplicates option is meaningless when verifying checksums"},
    {[](const Given &g) { return g.duplicates && g.string; },
     "the --duplicates option is meaningless with --string"},
    {[](const Given &g) { return g.duplicates && g.options.method == Method::Fingerprint; },
     "the --fingerprint option is meaningless with --duplicates"},
    {[](const Given &g) { return g.duplicates && g.update; },
     "the --update option is meaningless with --duplicates"},
    {[](const Given &g) { return g.duplicates && g.options.times; },
     "the --times option is meaningless with --duplicates"},
    {[](const Given &g) { return g.duplicates && g.standardInput; },
     "the --duplicates option needs FILE operands, not standard input"},
    {[](const Given &g) { return g.dedupe && g.hardlink; },
     "the --dedupe and --hardlink options do not go together"},
    {[](const Given &g) { return g.dedupe && !g.duplicates; },
     "the --dedupe option is meaningful only with --duplicates"},
    {[](const Given &g) { return g.hardlink && !g.duplicates; },
     "the --hardlink option is meaningful only with --duplicates"},
    {[](const Given &g) { return !g.options.audit.empty() && !g.check; },
     "the --audit option is meaningful only when verifying checksums"},
    {[](const Given &g) { return !g.options.excluded.empty() && g.string; },
     "the --exclude option is meaningless with --string"},
    {[](const Given &g) { return g.options.times && g.check; },
     "the --times option is meaningless when verifying checksums"},
    {[](const Given &g) { return g.options.times && g.string; },
     "the --times option is meaningless with --string"},
    {[](const Given &g) { return g.update && g.check; },
     "the --update option is meaningless when verifying checksums"},
    {[](const Given &g) { return g.update && g.string; },
     "the --update option is meaningless with --string"},
    {[](const Given &g) { return g.update && g.options.update.empty(); },
     "the --update option needs the name of a list"},
    {[](const Given &g) { return g.update && g.standardInput; },
     "the --update option needs FILE operands, not standard input"},
    {[](const Given &g) { return g.options.windowsLists && !g.check; },
     "the --windows-lists option is meaningful only when verifying checksums"},
};

// Reads the options into given, with md5sum's grammar; false when the command line asks for no
// work (--help, --version) or is wrong, and has been answered on output with status.
bool ReadOptions(std::vector<char *> &arguments, Given &given, Output &output, int &status) {
  Options &options = given.options;
  optind = 0; // a full restart of getopt_long, so that it looks at POSIXLY_CORRECT again
  for (;;) {
    const int option = ::getopt_long(static_cast<int>(arguments.size() - 1), arguments.data(),
                                     kShortOptions, kLongOptions, nullptr);
    if (option == -1)
      return true;
    switch (option) {
    case 'b':
      given.binary = 1;
      break;
    case 'c':
      given.check = true;
      break;
    case 'j':
      if (!ParseThreads(optarg, options.threads)) {
        std::string shown = QuoteName(optarg);
        if (shown == optarg)
          shown = "'" + shown + "'";
        status = UsageError(output, "invalid number of jobs: " + shown);
        return false;
      }
      break;
    case 'r':
      options.recursive = true;
      break;
    case 't':
      given.binary = 0;
      break;
    case 'w':
      options.status = options.quiet = false;
      options.warn = true;
      break;
    case 'z':
      options.zero = true;
      break;
    case kIgnoreMissing:
      options.ignoreMissing = true;
      break;
    case kQuiet:
      options.status = options.warn = false;
      options.quiet = true;
      break;
    case kStatus:
      options.quiet = options.warn = false;
      options.status = true;
      break;
    case kStrict:
      options.strict = true;
      break;
    case kTag:
      options.tag = true;
      given.binary = 1;
      break;
    case kFingerprint:
      options.method = Method::Fingerprint;
      break;
    case kAudit:
      options.audit.emplace_back(optarg);
      break;
    case kUpdate:
      options.update = optarg;
      given.update = true;
      break;
    case kTimes:
      options.times = true;
      break;
    case kExclude:
      options.excluded.emplace_back(optarg);
      break;
    case kDuplicates:
      given.duplicates = true;
      break;
    case kDedupe:
      given.dedupe = true;
      break;
    case kHardlink:
      given.hardlink = true;
      break;
    case kHelp:
      output.Out(kHelpText);
      status = EXIT_SUCCESS;
      return false;
    case kVersion:
      output.Out(kVersionText);
      status = EXIT_SUCCESS;
      return false;
    default:
      status = UsageError(output, {});
      return false;
    }
  }
}

} // namespace

std::variant<Options, int> ReadCommandLine(int argc, char **argv, Output &output) {
  // getopt_long's own messages start with argv[0].
  std::string program(kProgram);
  std::vector<char *> arguments(argv, argv + argc);
  if (arguments.empty())
    arguments.push_back(program.data());
  else
    arguments[0] = program.data();
  Given given;
  Options &options = given.options;
  const OwnOption own[] = {{"string", 5, given.string}, {"windows-lists", 2, options.windowsLists}};
  if (!TakeOwnOptions(arguments, own, output))
    return UsageError(output, {});
  arguments.push_back(nullptr);
  options.threads = OnlineCpus();
  if (int status = 0; !ReadOptions(arguments, given, output, status))
    return status;

  given.noOperand = optind == static_cast<int>(arguments.size() - 1);
  given.standardInput = ReadsStandardInput(arguments, optind);
  for (const Conflict &conflict : kConflicts)
    if (conflict.holds(given))
      return UsageError(output, conflict.message);

  options.mode = given.check        ? Options::Mode::Check
                 : given.string     ? Options::Mode::Texts
                 : given.update     ? Options::Mode::Update
                 : given.duplicates ? Options::Mode::Duplicates
                                    : Options::Mode::Digest;
  options.reclaim = given.dedupe     ? Options::Reclaim::Dedupe
                    : given.hardlink ? Options::Reclaim::Hardlink
                                     : Options::Reclaim::Nothing;
  options.binary = given.binary == 1;
  const std::string_view road = std::getenv("QUILLSUM_ROAD") ? std::getenv("QUILLSUM_ROAD") : "";
  options.road = road == "lanes" ? Road::Lanes : road == "disk" ? Road::Disk : Road::Automatic;
  for (int k = optind; k < static_cast<int>(arguments.size() - 1); ++k)
    options.operands.emplace_back(arguments[static_cast<std::size_t>(k)]);
  if (options.operands.empty())
    options.operands.emplace_back("-");
  return options;
}

} // namespace quillsum::cli
