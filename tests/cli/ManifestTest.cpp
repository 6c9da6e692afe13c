// Manifests over time: what --audit says of a tree edited since its list, against a small model
// of it, and what --update does to the list's bytes, mode and folder, whether or not the new
// list can be written.

#include "support/Launch.h"
#include "support/Reference.h"
#include "support/Watch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include <unistd.h>

namespace quillsum {
namespace {

namespace fs = std::filesystem;
using test::Ran;
using test::RunCli;
using test::TempDir;

// The user that Launch::unprivileged runs as when the tests run as root.
constexpr uid_t kNobody = 65534;

// A name as lines escape it: \\, \n and \r.
std::string Escaped(const std::string &name) {
  std::string escaped;
  for (const char c : name)
    escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
  return escaped;
}

// How a digest line is written: the MD5 or the fingerprint, GNU or BSD form, ending in a newline
// or a NUL.
struct Form {
  bool fingerprint = false, tag = false, zero = false;

  std::vector<std::string> Options() const {
    std::vector<std::string> options;
    for (const auto &[on, option] :
         {std::pair{fingerprint, "--fingerprint"}, std::pair{tag, "--tag"}, std::pair{zero, "-z"}})
      if (on)
        options.push_back(option);
    return options;
  }
  char End() const { return zero ? '\0' : '\n'; }
  std::string Digest(const std::string &content) const {
    if (fingerprint)
      return test::ReferenceFingerprint(content);
    std::string hex = test::ReferenceMd5(content);
    std::transform(hex.begin(), hex.end(), hex.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return hex;
  }
  std::string Line(const std::string &name, const std::string &content) const {
    const bool escape = !zero && name.find_first_of("\\\n\r") != std::string::npos;
    const std::string shown = escape ? Escaped(name) : name;
    const std::string tagName = fingerprint ? "FINGERPRINT" : "MD5";
    return std::string(escape ? "\\" : "") +
           (tag ? tagName + " (" + shown + ") = " + Digest(content)
                : Digest(content) + "  " + shown) +
           End();
  }
};

using Tree = std::map<std::string, std::string>; // name beneath the folder -> content

void Plant(const fs::path &folder, const Tree &tree) {
  for (const auto &[name, content] : tree) {
    fs::create_directories((folder / name).parent_path());
    std::ofstream(folder / name, std::ios::binary) << content;
  }
}

// The regular files beneath folder as -r gives them: depth first, each folder's entries in byte
// order of their names.
void Walk(const fs::path &folder, const std::string &prefix, std::vector<std::string> &names) {
  std::vector<std::string> entries;
  for (const fs::directory_entry &entry : fs::directory_iterator(folder))
    entries.push_back(entry.path().filename().native());
  std::sort(entries.begin(), entries.end());
  for (const std::string &entry : entries) {
    if (fs::is_directory(fs::symlink_status(folder / entry)))
      Walk(folder / entry, prefix + entry + '/', names);
    else
      names.push_back(prefix + entry);
  }
}

// Files written (with their new content) or gone (nullopt) since the list was made.
using Edits = std::map<std::string, std::optional<std::string>>;

// "<name>: <what>", or "<name>: MOVED to <target>", each name quoted as md5sum quotes it.
std::string Verdict(const std::string &name, const std::string &what,
                    const std::string &target = {}) {
  return test::Md5sumQuoted(name) + ": " + what +
         (target.empty() ? "" : test::Md5sumQuoted(target)) + "\n";
}

// What --audit says: each list line as -c says it, except that a file whose line has a times line
// that no longer holds and whose digest differs is CHANGED, and a missing file takes the first
// unlisted file (in walk order, once) with its digest as where it moved; then each other unlisted
// file as NEW; then the warnings, md5sum's first. Names beneath the folder, with the prefixes
// the list and the walk give them.
Ran Model(const Tree &before, const std::vector<std::string> &listOrder, const Tree &after,
          const std::vector<std::string> &walked, const std::string &walkPrefix, const Form &form,
          const std::string &option, const std::set<std::string> &timesChanged) {
  std::vector<std::string> unlisted;
  for (const std::string &name : walked)
    if (std::find(listOrder.begin(), listOrder.end(), name) == listOrder.end())
      unlisted.push_back(name);
  std::vector<bool> taken(unlisted.size());
  Ran audited;
  const auto say = [&](const std::string &line) {
    audited.out += option == "--status" ? "" : line;
  };
  int unreadable = 0, mismatched = 0, changed = 0, moved = 0, fresh = 0;
  for (const std::string &name : listOrder) {
    const std::string digest = form.Digest(before.at(name)), listed = "tree/" + name;
    if (after.contains(name)) {
      const bool match = form.Digest(after.at(name)) == digest;
      const bool edited = !match && timesChanged.contains(name);
      mismatched += !match && !edited;
      changed += edited;
      if (!match || option != "--quiet")
        say(Verdict(listed, match ? "OK" : edited ? "CHANGED" : "FAILED"));
    } else if (option != "--ignore-missing") {
      std::size_t k = 0;
      while (k < unlisted.size() && (taken[k] || form.Digest(after.at(unlisted[k])) != digest))
        ++k;
      if (k < unlisted.size()) {
        taken[k] = true;
        ++moved;
        say(Verdict(listed, "MOVED to ", walkPrefix + unlisted[k]));
      } else {
        ++unreadable;
        audited.err += "quillsum-cli: " + listed + ": No such file or directory\n";
        say(Verdict(listed, "FAILED open or read"));
      }
    }
  }
  for (std::size_t k = 0; k < unlisted.size(); ++k)
    if (!taken[k]) {
      ++fresh;
      say(Verdict(walkPrefix + unlisted[k], "NEW"));
    }
  const auto warn = [&](int n, const std::string &one, const std::string &more) {
    if (n != 0 && option != "--status")
      audited.err +=
          "quillsum-cli: WARNING: " + std::to_string(n) + ' ' + (n == 1 ? one : more) + '\n';
  };
  warn(unreadable, "listed file could not be read", "listed files could not be read");
  warn(mismatched, "computed checksum did NOT match", "computed checksums did NOT match");
  warn(changed, "listed file was changed since the list",
       "listed files were changed since the list");
  warn(moved, "listed file was moved", "listed files were moved");
  warn(fresh, "file is not listed", "files are not listed");
  audited.status = unreadable + mismatched + changed + moved + fresh == 0 ? 0 : 1;
  return audited;
}

// The times line of a file as it is now: "#size=SIZE mtime=YYYY-MM-DDTHH:MM:SS.NNNNNNNNNZ".
std::string TimesLine(const fs::path &file, char end) {
  struct stat info {};
  EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
  tm utc{};
  ::gmtime_r(&info.st_mtim.tv_sec, &utc);
  char day[64], nanoseconds[16];
  std::strftime(day, sizeof day, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(nanoseconds, sizeof nanoseconds, "%09ld", info.st_mtim.tv_nsec);
  return "#size=" + std::to_string(info.st_size) + " mtime=" + day + '.' + nanoseconds + 'Z' + end;
}

const Tree kTree = {
    {"a.txt", "alpha"},
    {"b.txt", "bravo"},
    {"g.txt", "golf"},
    {"sub/c.txt", "charlie"},
    {"sub/d.txt", "delta"},
    {"sub/deep/e.txt", "echo"},
    {"sub/new\nline", "hotel"},
    {"twin/1", "twins' content"},
    {"twin/2", "twins' content"},
    {"with space/f g.txt", "foxtrot"},
};

// Audits the tree after each row's edits, and with times lines in the list updates it too: the
// listed files whose times changed get new lines where theirs were, the new ones are appended.
TEST(Manifest, AuditAndUpdateTellEditedDamagedMissingMovedAndNewFilesApart) {
  const std::nullopt_t gone = std::nullopt;
  const Edits changed = {{"b.txt", "bravo, edited"}};
  const Edits deleted = {{"sub/d.txt", gone}};
  const Edits moved = {{"sub/deep/e.txt", gone}, {"elsewhere/e.txt", "echo"}};
  const Edits renamed = {{"a.txt", gone}, {"a-renamed.txt", "alpha"}};
  const Edits added = {{"new.txt", "india"}, {"sub/new2.txt", "juliet"}};
  const Edits copied = {{"g.txt", gone}, {"sub/golf copy", "golf"}};
  const Edits oddNames = {{"with space/f g.txt", gone},  {"with space/f  h.txt", "foxtrot"},
                          {"sub/new\nline", gone},       {"sub/newer\nline", "hotel"},
                          {"sub/c.txt", gone},           {"sub/c\nmoved", "charlie"},
                          {"with space/k l.txt", "kilo"}};
  // Two listed files gone, one copy of them: it is the first one's only.
  const Edits twins = {{"twin/1", gone}, {"twin/2", gone}, {"twins/b", "twins' content"}};
  // Two copies of one gone: the first in walk order is where it went.
  const Edits copies = {{"g.txt", gone}, {"zz/golf", "golf"}, {"sub/golf", "golf"}};
  Edits all;
  for (const Edits &edits : {changed, deleted, moved, renamed, added, copies, oddNames})
    all.insert(edits.begin(), edits.end());
  // Every file written since the list gets a new time, but those whose time is put back (with
  // its nanoseconds): same size and time, other content, is damage.
  struct Row {
    const char *what;
    Edits edits;
    std::set<std::string> timePutBack = {};
  };
  const Row rows[] = {
      {"nothing", {}},
      {"edited: new content and time", {{"b.txt", "bravo, edited"}, {"sub/d.txt", "delt4"}}},
      {"damaged: new content of the same size, its time put back",
       {{"b.txt", "brav0"}, {"sub/deep/e.txt", "ech0"}},
       {"b.txt", "sub/deep/e.txt"}},
      {"touched: new time, same content", {{"b.txt", "bravo"}}},
      {"a file changed", changed},
      {"one deleted", deleted},
      {"one moved", moved},
      {"one renamed within its folder", renamed},
      {"two added", added},
      {"one added with the content of a deleted one", copied},
      {"names with spaces and a newline", oddNames},
      {"two twins deleted, one copy added", twins},
      {"one deleted, two copies added", copies},
      {"all at once", all},
  };
  struct Variant {
    Form form;
    std::string option; // one of -c's, or a folder within the other
    std::string folder; // as --audit gives it
    bool times = false; // a times line before each digest line of the list
  };
  const Variant variants[] = {
      {{}, "", "tree"},
      {{}, "--quiet", "tree"},
      {{}, "--status", "tree"},
      {{}, "--ignore-missing", "tree"},
      {{}, "--audit=tree/sub", "tree"},
      {{.fingerprint = true}, "", "./tree/"},
      {{}, "", "tree", true},
      {{}, "--quiet", "tree", true},
      {{.fingerprint = true, .tag = true}, "", "tree", true},
  };
  // The list names the files in an order of its own; the walk's is another.
  std::vector<std::string> listOrder;
  for (const auto &[name, content] : kTree)
    listOrder.insert(listOrder.begin(), name);

  const timespec kLater[2] = {{1'600'000'000, 123'456'789}, {1'600'000'000, 123'456'789}};

  for (const auto &[row, edits, timePutBack] : rows)
    for (const Variant &variant : variants) {
      SCOPED_TRACE(std::string(row) + ": " + testing::PrintToString(variant.form.Options()) +
                   variant.option + ' ' + variant.folder + (variant.times ? " with times" : ""));
      TempDir dir;
      const fs::path tree = dir.path() / "tree";
      Plant(tree, kTree);
      // The list lies in the folder it lists: it is never reported.
      std::map<std::string, std::string> listedLines;
      std::map<std::string, timespec> planted;
      std::string list;
      for (const std::string &name : listOrder) {
        struct stat info {};
        ASSERT_EQ(::stat((tree / name).c_str(), &info), 0);
        planted[name] = info.st_mtim;
        listedLines[name] = (variant.times ? TimesLine(tree / name, variant.form.End()) : "") +
                            variant.form.Line("tree/" + name, kTree.at(name));
        list += listedLines[name];
      }
      dir.Write("tree/tree.md5", list);
      Tree after = kTree;
      for (const auto &[name, content] : edits)
        if (content)
          after[name] = *content;
        else if (after.erase(name))
          fs::remove(tree / name);
      Plant(tree, after);
      std::set<std::string> timesChanged;
      for (const auto &[name, content] : after) {
        const fs::path file = tree / name;
        if (!timePutBack.contains(name))
          ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), kLater, 0), 0);
        else if (const timespec old[2] = {{0, UTIME_OMIT}, planted.at(name)};
                 ::utimensat(AT_FDCWD, file.c_str(), old, 0) != 0)
          FAIL() << std::strerror(errno);
        if (kTree.contains(name) && TimesLine(file, variant.form.End()) +
                                            variant.form.Line("tree/" + name, kTree.at(name)) !=
                                        listedLines.at(name))
          timesChanged.insert(name);
      }
      std::vector<std::string> walked;
      Walk(tree, "", walked);
      std::erase(walked, "tree.md5");
      const std::string prefix =
          variant.folder.ends_with('/') ? variant.folder : variant.folder + '/';
      const Ran expected =
          Model(kTree, listOrder, after, walked, prefix, variant.form, variant.option,
                variant.times ? timesChanged : std::set<std::string>{});

      // -c reads either form of line, and takes no --tag.
      std::vector<std::string> args = variant.form.Options();
      std::erase(args, "--tag");
      args.insert(args.end(), {"-c", "tree/tree.md5", "--audit=" + variant.folder});
      if (!variant.option.empty())
        args.push_back(variant.option);
      const Ran ran = RunCli(args, dir.path());
      EXPECT_EQ(ran.out, expected.out);
      EXPECT_EQ(ran.err, expected.err);
      EXPECT_EQ(ran.status, expected.status);
      if (!variant.times || !variant.option.empty())
        continue;

      // The update: what was edited or touched gets new lines where its lines were; damage
      // and what is gone keep theirs; what is new is appended, in walk order.
      std::string printed, updated;
      for (const std::string &name : walked) {
        const bool listed = kTree.contains(name);
        if (listed && !timesChanged.contains(name))
          continue;
        const std::string lines = TimesLine(tree / name, variant.form.End()) +
                                  variant.form.Line("tree/" + name, after.at(name));
        printed += lines;
        if (listed)
          listedLines[name] = lines;
        else
          updated += lines;
      }
      for (auto name = listOrder.rbegin(); name != listOrder.rend(); ++name)
        updated.insert(0, listedLines.at(*name));
      args = variant.form.Options();
      args.insert(args.end(), {"-r", "tree", "--update=tree/tree.md5"});
      const Ran update = RunCli(args, dir.path());
      EXPECT_EQ(update.out, printed);
      EXPECT_EQ(update.err, "");
      EXPECT_EQ(update.status, 0);
      EXPECT_EQ(test::ReadFile(tree / "tree.md5"), updated);
    }
}

// The names of the files opened in folder (not beneath it) while the command ran.
std::multiset<std::string> OpenedIn(const fs::path &folder, const std::vector<std::string> &args,
                                    const fs::path &at) {
  test::Watch watch(folder, IN_OPEN);
  RunCli(args, at);
  const std::vector<std::string> names = watch.Names();
  return {names.begin(), names.end()};
}

TEST(Manifest, AuditReadsUnlistedFilesOnlyWhenAListedFileIsMissing) {
  const Form md5;
  struct Case {
    bool missing;
    std::multiset<std::string> opened;
  };
  for (const Case &c : {Case{false, {"a", "b"}}, Case{true, {"a", "new"}}}) {
    SCOPED_TRACE(c.missing);
    TempDir dir;
    Plant(dir.path() / "tree", {{"a", "alpha"}, {"b", "bravo"}, {"new", "india"}});
    dir.Write("list", md5.Line("tree/a", "alpha") + md5.Line("tree/b", "bravo"));
    if (c.missing)
      fs::remove(dir.path() / "tree" / "b");
    EXPECT_EQ(OpenedIn(dir.path() / "tree", {"-c", "list", "--audit=tree"}, dir.path()), c.opened);
  }
}

// What --update must keep of a list, or leave alone.
struct Seen {
  std::string bytes;
  mode_t mode = 0;
  std::int64_t modified = 0; // ns
  bool operator==(const Seen &) const = default;
};

Seen Look(const fs::path &file) {
  struct stat info {};
  EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
  return {test::ReadFile(file), info.st_mode & 07777,
          info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec};
}

std::set<std::string> Entries(const fs::path &folder) {
  std::set<std::string> names;
  for (const fs::directory_entry &entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().native());
  return names;
}

TEST(Manifest, UpdateAddsOnlyWhatIsNewAfterTheListsOwnBytes) {
  const Tree tree = {{"a", "alpha"},         {"b c", "bravo"},  {"back\\slash", "charlie"},
                     {"new\nline", "delta"}, {"sub/d", "echo"}, {"sub/e", "foxtrot"}};
  const Form forms[] = {{}, {.tag = true}, {.zero = true}, {.fingerprint = true, .tag = true}};
  for (const Form &form : forms) {
    SCOPED_TRACE(testing::PrintToString(form.Options()));
    TempDir dir;
    Plant(dir.path() / "tree", tree);
    // Written by hand: a comment, a carriage return, a line no list reader takes, a file since
    // gone, another spelling of a name, and no end to the last line.
    std::string old = std::string("# mine") + form.End() + form.Line("tree/a", "alpha");
    old.insert(old.size() - 1, 1, '\r');
    old += std::string("not a checksum line") + form.End() + form.Line("tree/gone", "gone") +
           form.Line("./tree//sub/d", "echo");
    old.pop_back();
    // The list lies in the folder it lists: it never lists itself.
    const fs::path list = dir.Write("tree/list", old);
    fs::permissions(list, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::string added;
    std::vector<std::string> walked;
    Walk(dir.path() / "tree", "", walked);
    for (const std::string &name : walked)
      if (name != "a" && name != "sub/d" && name != "list")
        added += form.Line("tree/" + name, tree.at(name));
    const std::set<std::string> entries = Entries(dir.path() / "tree");

    std::vector<std::string> args = form.Options();
    args.insert(args.end(), {"-r", "tree", "--update=tree/list"});
    const Ran ran = RunCli(args, dir.path());
    EXPECT_EQ(ran.out, added);
    EXPECT_EQ(ran.err, "");
    EXPECT_EQ(ran.status, 0);
    const Seen updated = Look(list);
    EXPECT_EQ(updated.bytes, old + form.End() + added);
    EXPECT_EQ(updated.mode, 0640);
    EXPECT_EQ(Entries(dir.path() / "tree"), entries); // no scratch file left

    // Nothing new, also with listed files named otherwise than the list names them: not
    // written again, its time set long ago showing it.
    const timespec longAgo[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, list.c_str(), longAgo, 0), 0);
    const Seen before = Look(list);
    std::vector<std::string> spelt = form.Options();
    spelt.insert(spelt.end(), {"./tree/a", "tree/sub/..//b c", "--update=tree/list"});
    for (const std::vector<std::string> &same : {args, spelt}) {
      SCOPED_TRACE(testing::PrintToString(same));
      const Ran again = RunCli(same, dir.path());
      EXPECT_EQ(again.out, "");
      EXPECT_EQ(again.status, 0);
      EXPECT_EQ(Look(list), before);
    }
  }
}

// The extended attributes of a file, POSIX ACLs among them, value by name.
std::map<std::string, std::string> Attributes(const fs::path &file) {
  std::map<std::string, std::string> attributes;
  std::string names(4096, '\0');
  names.resize(static_cast<std::size_t>(
      std::max<ssize_t>(0, ::listxattr(file.c_str(), names.data(), names.size()))));
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
    std::string value(4096, '\0');
    value.resize(static_cast<std::size_t>(std::max<ssize_t>(
        0, ::getxattr(file.c_str(), names.c_str() + at, value.data(), value.size()))));
    attributes[names.c_str() + at] = value;
  }
  return attributes;
}

// A file edited since a list with times was made is refreshed in every entry of it, once, each
// replaced line ending as its own did; the list keeps its extended attributes. Before, -c
// --audit calls it CHANGED, even when it was edited within the same second at the same size.
TEST(Manifest, UpdateRefreshesEveryEntryOfAnEditedFileOnce) {
  const auto crlf = [](std::string lines) {
    for (std::size_t at = 0; (at = lines.find('\n', at)) != std::string::npos; at += 2)
      lines.insert(at, 1, '\r');
    return lines;
  };
  const auto same = [](std::string lines) { return lines; };
  const auto twice = [](std::string lines) { return lines + lines; };
  const struct {
    const char *what;
    std::function<std::string(std::string)> list; // made of -r --times's lines
    std::string edit;                             // q/x's new content
    std::vector<std::string> also;                // operands beside -r q
    bool attributes = false;
  } rows[] = {
      {"listed twice: lists put together", twice, "edited", {}},
      {"CR LF lines", crlf, "edited", {}},
      {"walked and named", same, "edited", {"q/x", "./q/x"}},
      {"edited in the same second, at the same size", same, "xxxxx", {}},
      {"with an ACL and an attribute of its own", same, "edited", {}, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    Plant(dir.path() / "q", {{"x", "alpha"}, {"y", "bravo"}});
    const fs::path x = dir.path() / "q" / "x";
    const timespec then[2] = {{1'600'000'000, 5}, {1'600'000'000, 5}};
    ASSERT_EQ(::utimensat(AT_FDCWD, x.c_str(), then, 0), 0);
    const fs::path list =
        dir.Write("list", row.list(RunCli({"-r", "--times", "q"}, dir.path()).out));
    if (row.attributes) {
      const std::string note = "kept";
      if (::setxattr(list.c_str(), "user.note", note.data(), note.size(), 0) != 0 ||
          test::Shell("setfacl -m u:nobody:rw- \"$1\" && echo set", {list}) != "set\n")
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    const auto attributes = Attributes(list);
    std::ofstream(x, std::ios::binary | std::ios::trunc) << row.edit;
    const timespec now[2] = {{1'600'000'000, 6}, {1'600'000'000, 6}};
    if (row.edit.size() == 5) { // the same size, and a time in the same second
      ASSERT_EQ(::utimensat(AT_FDCWD, x.c_str(), now, 0), 0);
    }

    const Ran audited = RunCli({"-c", "--quiet", "list", "--audit=q"}, dir.path());
    EXPECT_NE(audited.out.find("q/x: CHANGED\n"), std::string::npos) << audited.out;
    std::vector<std::string> args = {"-r", "q"};
    args.insert(args.end(), row.also.begin(), row.also.end());
    args.push_back("--update=list");
    const Ran updated = RunCli(args, dir.path());
    const std::string fresh = RunCli({"-r", "--times", "q"}, dir.path()).out;
    EXPECT_EQ(updated.out, fresh.substr(0, fresh.find("  q/x\n") + 6)); // x's lines, once
    EXPECT_EQ(updated.status, 0) << updated.err;
    EXPECT_EQ(test::ReadFile(list), row.list(fresh));
    EXPECT_EQ(Attributes(list), attributes);
    EXPECT_EQ(RunCli({"-c", "--quiet", "list", "--audit=q"}, dir.path()).status, 0);
  }
}

// A 64 KiB tmpfs, mounted for the test and gone with it.
struct SmallFileSystem {
  explicit SmallFileSystem(const fs::path &at) : at(at) {
    fs::create_directory(at);
    mounted = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=64k") == 0;
    error = errno;
  }
  ~SmallFileSystem() {
    if (mounted)
      ::umount2(at.c_str(), MNT_DETACH);
  }
  fs::path at;
  bool mounted = false;
  int error = 0;
};

// Run by "nobody": a file it may not read is reported and left out, the others are printed; and
// when the new list cannot be written, the old one stays as it was.
TEST(Manifest, UpdateLeavesTheListWholeWhenTheNewOneCannotBeWritten) {
  TempDir dir;
  Plant(dir.path() / "tree", {{"a", "alpha"}, {"b", "bravo"}, {"locked", "secret"}});
  const Form md5;
  struct Case {
    std::string folder;
    fs::perms perms;
    std::string reason;
  };
  const Case cases[] = {
      {"read-only", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec,
       "Permission denied"},
      {"full", fs::perms::all, "No space left on device"},
  };
  const SmallFileSystem full(dir.path() / "full");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.folder);
    if (c.folder == "full" && !full.mounted)
      GTEST_SKIP() << "mounting a tmpfs needs root: " << std::strerror(full.error);
    // More than half of the small file system: a copy cannot fit beside it.
    std::string old;
    for (int k = 0; old.size() < 40'000; ++k)
      old += md5.Line("photo-" + std::to_string(k), std::to_string(k));
    fs::create_directories(dir.path() / c.folder);
    const fs::path list = dir.Write(c.folder + "/list", old);
    for (const fs::path &reachable : {dir.path(), dir.path() / "tree", list})
      fs::permissions(reachable, fs::perms::all);
    // The list is the runner's own: one it could not keep as it is would be refused first.
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(list.c_str(), kNobody, kNobody), 0);
    }
    fs::permissions(dir.path() / "tree" / "locked", fs::perms::none);
    fs::permissions(dir.path() / c.folder, c.perms);
    const Seen before = Look(list);
    test::Launch launch =
        test::CliLaunch({"-r", "tree", "--update=" + c.folder + "/list"}, dir.path());
    launch.unprivileged = true;
    const Ran ran = test::Run(launch);
    EXPECT_EQ(ran.out, md5.Line("tree/a", "alpha") + md5.Line("tree/b", "bravo"));
    EXPECT_EQ(ran.err, "quillsum-cli: tree/locked: Permission denied\nquillsum-cli: " + c.folder +
                           "/list was not updated: " + c.reason + "\n");
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(Look(list), before);
    EXPECT_EQ(Entries(dir.path() / c.folder), std::set<std::string>{"list"});
  }
}

// --times puts a times line before the digest line of a regular file, ended as that line is;
// what is read as a stream (standard input, a device) gets none.
TEST(Manifest, TimesLinesComeBeforeRegularFilesLinesOnly) {
  TempDir dir;
  const fs::path file = dir.Write("a", "alpha");
  const std::string md5 = Form{}.Digest("alpha"), empty = Form{}.Digest("");
  struct Case {
    std::vector<std::string> args;
    std::string input, out;
  };
  const Case cases[] = {
      {{"a"}, "", TimesLine(file, '\n') + md5 + "  a\n"},
      {{"-z", "a"}, "", TimesLine(file, '\0') + md5 + "  a" + '\0'},
      {{"--tag", "a"}, "", TimesLine(file, '\n') + "MD5 (a) = " + md5 + "\n"},
      {{"-", "/dev/null"}, "alpha", md5 + "  -\n" + empty + "  /dev/null\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--times");
    const Ran ran = RunCli(args, dir.path(), c.input);
    EXPECT_EQ(ran.out, c.out);
    EXPECT_EQ(ran.status, 0);
  }
}

// Two updates of one list at once, and lines appended with ">>" meanwhile: every line either adds
// is in the list at the end.
TEST(Manifest, UpdateKeepsEveryLineAnotherWriterAdds) {
  const Form md5;
  TempDir dir;
  // Large enough that the updates are still hashing while the appends come.
  Tree one, two;
  for (int k = 0; k < 24; ++k) {
    one["f" + std::to_string(k)] = test::RandomBytes(256 * 1024, static_cast<std::uint32_t>(k));
    two["g" + std::to_string(k)] = std::to_string(k);
  }
  Plant(dir.path() / "one", one);
  Plant(dir.path() / "two", two);
  const fs::path list = dir.path() / "list";
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (const std::string jobs : {"1", "2", "8"}) {
    SCOPED_TRACE("-j " + jobs);
    fs::remove(list);
    std::multiset<std::string> expected;
    for (const auto &[folder, tree] : {std::pair{"one/", &one}, std::pair{"two/", &two}})
      for (const auto &[name, content] : *tree)
        expected.insert(md5.Line(folder + name, content));
    std::vector<test::Child> runs;
    for (const std::string folder : {"one", "two"}) {
      test::Launch launch =
          test::CliLaunch({"-j", jobs, "-r", folder, "--update=list"}, dir.path());
      launch.out = null;
      runs.push_back(test::Start(launch));
    }
    for (int k = 0; k < 20; ++k) {
      const std::string line = md5.Line("appended " + std::to_string(k), "");
      const int appending = ::open(list.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_EQ(::write(appending, line.data(), line.size()), static_cast<ssize_t>(line.size()));
      ::close(appending);
      expected.insert(line);
      ::usleep(2000);
    }
    for (test::Child &run : runs)
      EXPECT_EQ(run.Wait(), 0);
    std::multiset<std::string> lines;
    std::istringstream listed(test::ReadFile(list));
    for (std::string line; std::getline(listed, line);)
      lines.insert(line + '\n');
    std::vector<std::string> lost, more;
    std::ranges::set_difference(expected, lines, std::back_inserter(lost));
    std::ranges::set_difference(lines, expected, std::back_inserter(more));
    EXPECT_EQ(lost, std::vector<std::string>{});
    EXPECT_EQ(more, std::vector<std::string>{});
  }
  ::close(null);
}

// Where --update writes, or why it does not: a list the user may not write, or whose hard links
// or owner a new copy would not keep, is refused before any work; a symbolic link's target is
// updated, or created when it does not exist; a scratch file a killed run left is neither listed
// nor kept.
TEST(Manifest, UpdateWritesTheListWhereItLeadsOrRefusesIt) {
  const Form md5;
  const std::string old = md5.Line("tree/old", "old"), fresh = md5.Line("tree/a", "alpha");
  const bool root = ::geteuid() == 0;
  struct Case {
    const char *what;
    std::string list;                                 // as --update names it
    std::function<void(const fs::path &dir)> prepare; // with "list" holding old, and the tree
    bool unprivileged;
    std::string err;
    std::string written; // the file that should then hold old and the new line; "" if none
  };
  const std::string refused = "quillsum-cli: cannot update list: ";
  const Case cases[] = {
      {"read-only", "list",
       [&](const fs::path &dir) {
         if (root) {
           ASSERT_EQ(::chown((dir / "list").c_str(), kNobody, kNobody), 0);
         }
         fs::permissions(dir / "list",
                         fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
       },
       true, "quillsum-cli: list: Permission denied\n", ""},
      {"another user's, in a folder all may write", "list",
       [](const fs::path &dir) { fs::permissions(dir / "list", fs::perms::all); }, true,
       refused + "it belongs to another user, whom a new copy could not keep as its owner\n", ""},
      {"hard-linked", "list",
       [](const fs::path &dir) { fs::create_hard_link(dir / "list", dir / "other name"); }, false,
       refused + "it has other hard links, which a new copy would leave with the old one\n", ""},
      {"a symbolic link", "link",
       [](const fs::path &dir) {
         fs::create_directory(dir / "real");
         fs::rename(dir / "list", dir / "real" / "list");
         fs::create_symlink("real/list", dir / "link");
       },
       false, "", "real/list"},
      {"a dangling symbolic link", "link",
       [](const fs::path &dir) {
         fs::remove(dir / "list");
         fs::create_directory(dir / "real");
         fs::create_symlink("real/new", dir / "link");
       },
       false, "", "real/new"},
      {"a stale scratch file beside it and in the tree", "tree/list",
       [](const fs::path &dir) {
         fs::rename(dir / "list", dir / "tree" / "list");
         std::ofstream(dir / "tree" / ".quillsum-cli-AbC123") << "half a list";
       },
       false, "", "tree/list"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.unprivileged && !root)
      GTEST_SKIP() << "needs root, to run as another user";
    TempDir dir;
    Plant(dir.path() / "tree", {{"a", "alpha"}});
    dir.Write("list", old);
    fs::permissions(dir.path(), fs::perms::all);
    c.prepare(dir.path());
    const std::set<std::string> entries = Entries(dir.path());
    test::Launch launch = test::CliLaunch({"-r", "tree", "--update=" + c.list}, dir.path());
    launch.unprivileged = c.unprivileged;
    const Ran ran = test::Run(launch);
    const bool written = !c.written.empty();
    EXPECT_EQ(ran.out, written ? fresh : "");
    EXPECT_EQ(ran.err, c.err);
    EXPECT_EQ(ran.status, written ? 0 : 1);
    EXPECT_EQ(Entries(dir.path()), entries);
    if (written) {
      const bool created = c.written == "real/new";
      EXPECT_EQ(test::ReadFile(dir.path() / c.written), (created ? "" : old) + fresh);
      std::set<std::string> tree = {"a"};
      if (c.written == "tree/list")
        tree.insert("list");
      EXPECT_EQ(Entries(dir.path() / "tree"), tree);
    } else {
      EXPECT_EQ(test::ReadFile(dir.path() / "list"), old);
    }
  }
}

// --exclude leaves out what a walk finds by its own name, and does not enter a folder so named;
// operands are never left out.
TEST(Manifest, ExcludedNamesAreLeftOutOfWalksButNotOperands) {
  const Form md5;
  const Tree tree = {{"a.txt", "alpha"},         {"b.tmp", "bravo"},
                     {".git/HEAD", "head"},      {"sub/.git/config", "cfg"},
                     {"sub/c.txt", "charlie"},   {"sub/deep/d.tmp", "delta"},
                     {"sub/deep/e.txt", "echo"}, {"sub/deep/tmp/f", "foxtrot"}};
  const std::vector<std::string> excluded = {"--exclude=.git", "--exclude=*.tmp", "--exclude=tmp"};
  const std::string kept = md5.Line("tree/a.txt", "alpha") + md5.Line("tree/sub/c.txt", "charlie") +
                           md5.Line("tree/sub/deep/e.txt", "echo");
  const std::string operand = md5.Line("tree/b.tmp", "bravo");
  struct Case {
    std::vector<std::string> args;
    std::string out, list; // the list's bytes after, for --update
  };
  const Case cases[] = {
      {{"-r", "tree", "tree/b.tmp"}, kept + operand, ""},
      {{"-r", "tree", "tree/b.tmp", "--update=list"}, kept + operand, kept + operand},
      {{"-c", "list", "--audit=tree"},
       "tree/a.txt: OK\ntree/sub/c.txt: NEW\ntree/sub/deep/e.txt: NEW\n",
       md5.Line("tree/a.txt", "alpha")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    TempDir dir;
    Plant(dir.path() / "tree", tree);
    if (c.args[0] == "-c")
      dir.Write("list", md5.Line("tree/a.txt", "alpha"));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), excluded.begin(), excluded.end());
    const Ran ran = RunCli(args, dir.path());
    EXPECT_EQ(ran.out, c.out);
    if (!c.list.empty()) {
      EXPECT_EQ(test::ReadFile(dir.path() / "list"), c.list);
    }
  }
}

// md5sum -c skips times lines as comments, even under --strict: -c without --audit gives the same
// output and status as it for a list with or without them.
TEST(Manifest, CheckOfAListWithTimesLinesIsMd5sums) {
  const Form md5;
  TempDir dir;
  Plant(dir.path() / "tree", {{"a", "alpha"}, {"b", "bravo"}});
  std::string plain, timed;
  for (const auto &[name, listed] : {std::pair{"a", "alpha"}, std::pair{"b", "BRAVO"}}) {
    plain += md5.Line(std::string("tree/") + name, listed);
    timed +=
        TimesLine(dir.path() / "tree" / name, '\n') + md5.Line(std::string("tree/") + name, listed);
  }
  dir.Write("plain.md5", plain);
  dir.Write("timed.md5", timed);
  for (const std::string list : {"plain.md5", "timed.md5"})
    for (const std::string option : {"--strict", "--warn", "--quiet"}) {
      SCOPED_TRACE(list + ' ' + option);
      test::Launch md5sum;
      md5sum.argv = {"md5sum", "-c", option, list};
      md5sum.folder = dir.path();
      Ran expected = test::Run(md5sum);
      for (std::size_t at; (at = expected.err.find("md5sum:")) != std::string::npos;)
        expected.err.replace(at, 6, "quillsum-cli");
      const Ran ran = RunCli({"-c", option, list}, dir.path());
      EXPECT_EQ(ran.out, expected.out);
      EXPECT_EQ(ran.err, expected.err);
      EXPECT_EQ(ran.status, expected.status);
    }
}

} // namespace
} // namespace quillsum
