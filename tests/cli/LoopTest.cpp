// The hashing loop's rooms on their own: the ordered window driven by fake claimers, the
// read-ahead that feeds a large file's digest, a disk's reader, the words of the progress line,
// and the threads that share a run of items where memory may be refused.

#include "cli/Progress.h"
#include "cli/Threads.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/DiskReaders.h"
#include "cli/loop/Disks.h"
#include "cli/loop/Job.h"
#include "cli/loop/OrderedWindow.h"
#include "cli/loop/ReadAhead.h"

#include "engine/UniqueFd.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <latch>
#include <map>
#include <random>
#include <semaphore>
#include <stdexcept>
#include <thread>

namespace quillsum::cli {
namespace {

namespace fs = std::filesystem;

struct Item {
  int number = -1;
  int claims = 0; // how often a claimer took it
};

// A window of a few slots, and what it handed on, in order.
struct Harness {
  explicit Harness(std::size_t slots)
      : window(slots, [this](Item &item) {
          handedOn.push_back(item.number);
          claimsOf.push_back(item.claims);
        }) {}
  void Add(bool done) { window.Add({added++, 0}, done); }
  std::vector<int> Claim(std::size_t held, std::size_t most) {
    std::vector<Item *> items;
    window.Claim({}, held, most, false, items);
    std::vector<int> numbers;
    for (Item *item : items) {
      ++item->claims;
      numbers.push_back(item->number);
      claimed.push_back(item);
    }
    return numbers;
  }
  void Complete(int number) {
    const auto it =
        std::find_if(claimed.begin(), claimed.end(), [&](Item *i) { return i->number == number; });
    ASSERT_NE(it, claimed.end());
    Item *item = *it;
    claimed.erase(it);
    window.Complete(std::span(&item, 1));
  }

  OrderedWindow<Item> window;
  int added = 0;
  std::vector<Item *> claimed;
  std::vector<int> handedOn, claimsOf;
};

// One claimer, four slots: items added done are never claimed and wait for their turn; what is
// completed out of order goes on in order; slots are reused.
TEST(OrderedWindow, HandsOnInOrderWhatIsDoneInAnyOrder) {
  Harness h(4);
  h.window.Join();
  h.Add(false); // 0
  h.Add(true);  // 1
  h.Add(false); // 2
  h.Add(false); // 3
  EXPECT_EQ(h.Claim(0, 2), (std::vector{0, 2}));
  h.Complete(2);
  EXPECT_TRUE(h.handedOn.empty());
  h.Complete(0);
  EXPECT_EQ(h.handedOn, (std::vector{0, 1, 2}));
  h.Add(true);  // 4: done, behind 3
  h.Add(false); // 5
  h.Add(true);  // 6: the window is full again
  EXPECT_TRUE(h.window.Full());
  EXPECT_EQ(h.Claim(0, 8), (std::vector{3, 5}));
  h.Complete(5);
  h.Complete(3);
  EXPECT_EQ(h.handedOn, (std::vector{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(h.Claim(0, 8), std::vector<int>{});
}

// Items added done are handed on at once when nothing waits before them, and newer items take
// their slots: claiming must go on from where the window stands, not from where it stood.
TEST(OrderedWindow, ClaimingRestartsWhereTheWindowStands) {
  Harness h(2);
  h.window.Join();
  h.Add(true);
  h.Add(true);
  h.Add(true); // slots reused twice over before any claim
  h.Add(false);
  h.Add(true);
  EXPECT_EQ(h.Claim(0, 4), (std::vector{3}));
  h.Complete(3);
  EXPECT_EQ(h.handedOn, (std::vector{0, 1, 2, 3, 4}));
  EXPECT_EQ(h.claimsOf, (std::vector{0, 0, 0, 1, 0}));
}

// Claimers share a few items in flight: two claimers of three items take two and one, rather
// than the first taking all; one holding its share takes no more; a claimer always gets one.
// From two items a claimer on, a claimer takes as many as it may hold.
TEST(OrderedWindow, ClaimersShareAFewItemsAndFillUpWithMany) {
  Harness h(32);
  h.window.Join();
  h.window.Join();
  for (int k = 0; k < 3; ++k)
    h.Add(false);
  EXPECT_EQ(h.Claim(0, 16), (std::vector{0, 1}));
  EXPECT_EQ(h.Claim(2, 16), std::vector<int>{});
  EXPECT_EQ(h.Claim(0, 16), (std::vector{2}));
  for (int k = 0; k < 5; ++k)
    h.Add(false); // eight in flight: a claimer of none takes all five waiting, not half of eight
  EXPECT_EQ(h.Claim(0, 16), (std::vector{3, 4, 5, 6, 7}));
  for (int k = 0; k < 3; ++k)
    h.Add(false);
  EXPECT_EQ(h.Claim(6, 8), (std::vector{8, 9}));
}

// A fake claimer holding up to eight items, completing one at random at each step, through many
// more items than slots, a third of them added done: each is claimed exactly once unless added
// done, and all are handed on in order. Seeded, single-threaded: the same run every time.
TEST(OrderedWindow, EveryItemClaimedOnceAndHandedOnInOrder) {
  for (std::size_t slots : {1, 2, 3, 8, 64}) {
    SCOPED_TRACE(slots);
    Harness h(slots);
    h.window.Join();
    std::mt19937 random(static_cast<std::uint32_t>(slots));
    std::vector<bool> addedDone;
    while (h.added < 2000 || !h.claimed.empty() || h.window.Unclaimed() > 0) {
      if (h.added < 2000 && !h.window.Full() && random() % 2 == 0) {
        addedDone.push_back(random() % 3 == 0);
        h.Add(addedDone.back());
      } else if (!h.claimed.empty() && (h.claimed.size() >= 8 || random() % 2 == 0)) {
        h.Complete(h.claimed[random() % h.claimed.size()]->number);
      } else {
        h.Claim(h.claimed.size(), 8);
      }
    }
    ASSERT_EQ(h.handedOn.size(), 2000u);
    for (int k = 0; k < 2000; ++k) {
      EXPECT_EQ(h.handedOn[static_cast<std::size_t>(k)], k);
      EXPECT_EQ(h.claimsOf[static_cast<std::size_t>(k)],
                addedDone[static_cast<std::size_t>(k)] ? 0 : 1);
    }
  }
}

// Real threads through a small window: the same promises, and a run for ThreadSanitizer.
TEST(OrderedWindow, ThreadsClaimEachItemOnceAndHandOnInOrder) {
  constexpr int kItems = 20'000;
  std::vector<int> handedOn, claimsOf;
  OrderedWindow<Item> window(16, [&](Item &item) {
    handedOn.push_back(item.number);
    claimsOf.push_back(item.claims);
  });
  std::vector<std::thread> claimers;
  for (int k = 0; k < 4; ++k)
    claimers.emplace_back([&window] {
      window.Join();
      std::vector<Item *> items;
      while (window.Claim({}, 0, 4, true, items)) {
        for (Item *item : items)
          ++item->claims;
        std::reverse(items.begin(), items.end()); // completed out of order
        window.Complete(items);
        items.clear();
      }
      window.Leave();
    });
  for (int k = 0; k < kItems; ++k)
    window.Add({k, 0}, k % 5 == 0);
  window.Drain();
  window.Close();
  for (std::thread &claimer : claimers)
    claimer.join();
  ASSERT_EQ(handedOn.size(), static_cast<std::size_t>(kItems));
  for (int k = 0; k < kItems; ++k) {
    EXPECT_EQ(handedOn[static_cast<std::size_t>(k)], k);
    EXPECT_EQ(claimsOf[static_cast<std::size_t>(k)], k % 5 == 0 ? 0 : 1);
  }
}

// A hand-on that throws reaches the thread that completed the item, and the window goes on; one
// that adds to its own window fails at once rather than waiting for room it holds itself.
TEST(OrderedWindow, AHandOnThatThrowsOrAddsFailsLoudly) {
  std::vector<int> handedOn;
  OrderedWindow<Item> *self = nullptr;
  OrderedWindow<Item> window(2, [&](Item &item) {
    if (item.number == 1)
      throw std::runtime_error("no line");
    if (item.number == 3)
      self->Add({9, 0}, true);
    handedOn.push_back(item.number);
  });
  self = &window;
  window.Add({0, 0}, true);
  EXPECT_THROW(window.Add({1, 0}, true), std::runtime_error);
  window.Add({2, 0}, false);
  std::vector<Item *> items;
  window.Claim({}, 0, 1, false, items);
  window.Complete(items);
  EXPECT_THROW(window.Add({3, 0}, true), std::logic_error);
  window.Add({4, 0}, true);
  window.Drain(); // returns: nothing is left waiting for a hand-on that never ends
  EXPECT_EQ(handedOn, (std::vector{0, 2, 4}));
}

// The descriptor budget: an open that finds none left waits while another thread holds one, and
// goes on once that one is closed, on whatever thread; it fails at once when no other thread holds
// any. The threads start and end while the limit is loose: sanitizers need descriptors there.
TEST(DescriptorBudget, WaitsForAnotherThreadsDescriptorElseFails) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  DescriptorBudget budget;
  DescriptorBudget::Held held;
  bool heldOne = false;
  std::binary_semaphore tightened{0};
  std::counting_semaphore<2> opened{0};
  std::latch started{2}, restored{1};
  std::thread opener([&] {
    started.count_down();
    tightened.acquire();
    held = budget.Open("/dev/null", O_RDONLY, true);
    heldOne = static_cast<bool>(held);
    opened.release(2);
    restored.wait();
  });
  std::thread closer([&] {
    started.count_down();
    opened.acquire();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    held.Close();
    restored.wait();
  });
  started.wait();
  // One descriptor left: the lowest free number, and the limit just above it.
  UniqueFd lowest{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest.get() + 1);
  const bool isTight = lowest && ::setrlimit(RLIMIT_NOFILE, &tight) == 0;
  lowest = UniqueFd(-1);

  tightened.release();
  opened.acquire();
  DescriptorBudget::Held waited = budget.Open("/dev/null", O_RDONLY | O_CLOEXEC, true);
  DescriptorBudget::Held failed = budget.Open("/dev/null", O_RDONLY | O_CLOEXEC, true);
  const int error = errno;
  ::setrlimit(RLIMIT_NOFILE, &saved);
  restored.count_down();
  opener.join();
  closer.join();
  EXPECT_TRUE(isTight);
  EXPECT_TRUE(heldOne);
  EXPECT_TRUE(waited);
  EXPECT_FALSE(failed);
  EXPECT_EQ(error, EMFILE);
}

// Items shared by threads where memory is refused: a thread refused (making its work, or in an
// item) takes no more, and its item is done again by the calling thread once the others ended;
// only a refusal with nothing else at work leaves, whatever the number of threads.
TEST(InParallel, ARefusedThreadLeavesItsItemToTheCallingThread) {
  const struct {
    const char *what;
    unsigned threads;
    bool othersRefusedWork;              // every thread but the calling one is refused its work
    std::map<std::size_t, int> refusals; // of an item: how many of its first tries are refused
    bool raises;
  } cases[] = {
      {"nothing refused", 4, false, {}, false},
      {"every other thread refused its work", 4, true, {}, false},
      {"an item refused once, wherever it runs", 2, false, {{7, 1}}, false},
      {"items refused once on each of several threads", 8, false, {{1, 1}, {2, 1}, {3, 1}}, false},
      {"refused again alone: final", 2, false, {{5, 2}}, true},
      {"one thread, refused once: tried again alone", 1, false, {{0, 1}}, false},
      {"one thread, refused twice: final", 1, false, {{0, 2}}, true},
  };
  constexpr std::size_t kItems = 40;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::atomic<int>> tries(kItems), done(kItems);
    const std::thread::id caller = std::this_thread::get_id();
    bool raised = false;
    try {
      InParallel(c.threads, kItems, [&] {
        if (c.othersRefusedWork && std::this_thread::get_id() != caller)
          throw std::bad_alloc();
        return [&](std::size_t k) {
          const auto refused = c.refusals.find(k);
          if (++tries[k] <= (refused == c.refusals.end() ? 0 : refused->second))
            throw std::bad_alloc();
          ++done[k];
        };
      });
    } catch (const std::bad_alloc &) {
      raised = true;
    }
    EXPECT_EQ(raised, c.raises);
    for (std::size_t k = 0; k < kItems; ++k) {
      SCOPED_TRACE(k);
      EXPECT_LE(done[k], 1);
      if (!c.raises) {
        EXPECT_EQ(done[k], 1);
      }
    }
  }
}

// The system refuses an open the budget has room for while a descriptor the budget does not count
// is open (glibc opens one for a moment): an open that may wait tries again a few times, then
// fails as the system said; one that may not wait fails at once.
TEST(DescriptorBudget, TriesAgainAnOpenTheSystemRefusedWithRoomInTheBudget) {
  const struct {
    const char *what;
    int refusals; // by the system, first
    bool mayWait, opened;
  } cases[] = {
      {"refused once, then opened", 1, true, true},
      {"refused a few times, then opened", 3, true, true},
      {"refused every time: fails", 1000, true, false},
      {"refused once, not waiting: fails at once", 1, false, false},
  };
  DescriptorBudget budget;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    int calls = 0;
    const DescriptorBudget::Held held = budget.Acquire(
        [&] {
          if (++calls <= c.refusals) {
            errno = EMFILE;
            return -1;
          }
          return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        },
        c.mayWait);
    const int error = errno;
    EXPECT_EQ(static_cast<bool>(held), c.opened);
    if (!c.opened) {
      EXPECT_EQ(error, EMFILE);
    }
    if (c.opened)
      EXPECT_EQ(calls, c.refusals + 1);
    else if (c.mayWait)
      EXPECT_GT(calls, 1);
    else
      EXPECT_EQ(calls, 1);
  }
}

// Reading ahead gives every byte of each file once, in order, however many files one thread
// reads at once: around the ring of four 128 KiB chunks, and at the end; a read that fails ends
// its file with its errno, and the others go on.
TEST(ReadAhead, GivesEachFileWholeInOrder) {
  const test::TempDir dir;
  constexpr std::size_t kChunk = 128 * 1024;
  const std::size_t sizes[] = {0, 1, 8 * kChunk, 12 * kChunk + 5, (21 << 20) + 3};
  const auto reader = ReadAhead::Start();
  ASSERT_TRUE(reader);
  struct Read {
    std::string content, read;
    UniqueFd fd{-1};
    std::unique_ptr<ReadAhead::File> ahead;
  };
  std::vector<Read> files;
  for (std::size_t size : sizes) {
    Read &file = files.emplace_back();
    file.content = test::RandomBytes(size, static_cast<std::uint32_t>(size));
    const std::string name = "f" + std::to_string(size);
    file.fd = UniqueFd(::open(dir.Write(name, file.content).c_str(), O_RDONLY | O_CLOEXEC));
    file.ahead = reader->Read(file.fd.get());
    ASSERT_TRUE(file.ahead);
  }
  // A file opened for writing only: its first read fails.
  const UniqueFd unreadable(::open((dir.path() / "f0").c_str(), O_WRONLY | O_CLOEXEC));
  auto failing = reader->Read(unreadable.get());
  ASSERT_TRUE(failing);
  // A chunk of each in turn, as a thread's lanes take them.
  for (bool more = true; more;) {
    more = false;
    for (Read &file : files)
      if (file.ahead) {
        const auto chunk = file.ahead->Next();
        file.read.append(reinterpret_cast<const char *>(chunk.data()), chunk.size());
        if (chunk.empty()) {
          EXPECT_EQ(file.ahead->error(), 0);
          file.ahead.reset();
        }
        more = true;
      }
  }
  for (const Read &file : files)
    EXPECT_EQ(test::ReferenceMd5(file.read), test::ReferenceMd5(file.content))
        << file.content.size();
  EXPECT_TRUE(failing->Next().empty());
  EXPECT_EQ(failing->error(), EBADF);
}

// A disk's reader reads the descriptor the hashing thread opened and handed it, never the name
// again: a file replaced after it was opened is digested, and its times taken, as it was opened.
TEST(DiskReaders, ReadTheFileTheHashingThreadOpened) {
  const test::TempDir dir;
  const std::string opened = test::RandomBytes(20'000, 1), replacing = test::RandomBytes(20'000, 2);
  const fs::path name = dir.Write("f", opened);
  Window window(4, [](Job &job) { job.then(job.name, job.outcome); });
  DiskReaders readers(window, nullptr, true);
  Outcome outcome;
  window.Add(Job{name, [&](const std::string &, const Outcome &given) { outcome = given; },
                 Origin::Walked, NothingToRead{}},
             false);
  std::vector<Job *> jobs;
  window.Join();
  window.Claim({}, 0, 1, false, jobs);
  window.Leave();
  ASSERT_EQ(jobs.size(), 1u);
  DescriptorBudget::Held file = DescriptorBudget::OfProcess().Open(name.c_str(), O_RDONLY);
  struct stat info {};
  ASSERT_EQ(::fstat(file.get(), &info), 0);
  fs::rename(dir.Write("g", replacing), name);
  ASSERT_TRUE(readers.Take(*jobs[0], file, info, info.st_dev));
  EXPECT_FALSE(file); // the reader's now, with its permit
  window.Close();
  window.Drain();
  readers.Finish();
  const auto *digested = std::get_if<Digested>(&outcome);
  ASSERT_TRUE(digested);
  EXPECT_EQ(test::ToHex(digested->digest), test::ReferenceMd5(opened));
  ASSERT_TRUE(digested->times);
  EXPECT_EQ(digested->times->size, static_cast<std::int64_t>(opened.size()));
  EXPECT_EQ(digested->times->mtime.tv_nsec, info.st_mtim.tv_nsec);
}

// Once the whole is known, the line counts against it, and the word follows the whole: "1 of 3
// files", "0 of 1 file". Two seconds into the work.
TEST(Progress, LineCountsFilesAsEnglishDoes) {
  const struct {
    Progress::Counts counts;
    bool countBytes;
    const char *line;
  } cases[] = {
      {{.files = 1, .known = true, .allFiles = 3}, false, "1 of 3 files, 0:04 left"},
      {{.known = true, .allFiles = 1}, false, "0 of 1 file"},
      {{.files = 1, .known = true, .allFiles = 1}, false, "1 of 1 file"},
      {{.files = 1, .bytes = 1024, .known = true, .allFiles = 3, .allBytes = 4096},
       true,
       "1 of 3 files, 1.0 KiB of 4.0 KiB, 512 B/s, 0:06 left"},
      {{.files = 1, .bytes = 3 << 20}, true, "1 file, 3.0 MiB, 1.5 MiB/s"},
      {{.files = 2}, false, "2 files"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Progress::Line(c.counts, c.countBytes, 2.0), c.line);
  }
}

} // namespace
} // namespace quillsum::cli
