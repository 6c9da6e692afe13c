#pragma once

#include "engine/UniqueFd.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include <fcntl.h>

namespace quillsum::cli {

// The descriptors the loop's readers and the walk hold open, as one budget: the process's
// descriptor limit less a reserve for everything else (standard streams, a list, the disk
// lookup). Readers that hold files for a while (lanes, a disk's reader and the file it reads
// next) size their holding by Capacity(). What is held for long (a list being read) is opened
// outside it: a thread waiting for a descriptor must be able to count on every holder to close
// its own soon. An open that finds no descriptor left tells a limit
// that others will soon lift (it waits for one of their descriptors to close) from one that
// nothing will lift (it fails, as md5sum's open would). Any thread may call it.
class DescriptorBudget {
public:
  // A descriptor opened through the budget: it counts against it, and against the thread that
  // opened it, until it is closed, on whatever thread that happens. A thread closes what it
  // opened before it ends.
  class Held {
  public:
    Held() = default;
    Held(Held &&other) noexcept;
    Held &operator=(Held &&other) noexcept;
    ~Held() { Close(); }

    int get() const noexcept { return file_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(file_); }
    void Close() noexcept;
    // The descriptor was closed by whatever it was handed to (closedir): it no longer counts.
    void ClosedElsewhere() noexcept;

  private:
    friend class DescriptorBudget;
    Held(UniqueFd file, DescriptorBudget *budget, std::atomic<std::size_t> *owner) noexcept;

    UniqueFd file_{-1};
    DescriptorBudget *budget_ = nullptr;
    std::atomic<std::size_t> *owner_ = nullptr; // the opening thread's count
  };

  DescriptorBudget();
  // The process's one budget, which every reader of files and folders opens through.
  static DescriptorBudget &OfProcess();
  DescriptorBudget(const DescriptorBudget &) = delete;
  DescriptorBudget &operator=(const DescriptorBudget &) = delete;

  // Opens name with flags, relative to folder (a folder's descriptor, or AT_FDCWD). On EMFILE or
  // ENFILE, with mayWait, waits while other threads hold descriptors of the budget until one is
  // closed and tries again; fails with errno when only this thread holds any, or none is held at
  // all. A thread that holds descriptors it could close itself passes mayWait false: two such
  // threads would wait for each other.
  Held Open(const char *name, int flags, bool mayWait, int folder = AT_FDCWD);
  // Opens name only if the budget has room, without waiting: for reading ahead of need.
  Held TryOpen(const char *name, int flags);

  // The descriptors the loop's readers may hold at once; at least 1.
  std::size_t Capacity() const { return capacity_; }

private:
  void Release();
  void Wake();

  const std::size_t capacity_;
  std::atomic<std::size_t> held_ = 0;       // by every thread, opens under way included
  std::atomic<std::uint64_t> releases_ = 0; // so far
  std::atomic<std::size_t> waiting_ = 0;
  std::mutex mutex_; // for those that wait
  std::condition_variable released_;
};

} // namespace quillsum::cli
