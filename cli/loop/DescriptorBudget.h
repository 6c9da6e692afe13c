#pragma once

#include "engine/UniqueFd.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace quillsum::cli {

// The descriptors the run holds for itself, as one budget: the process's descriptor limit less
// those open before the work began. Every descriptor the run opens (files, lists, folders, the
// disk lookups, scratch files) takes a permit first; the permit travels with its descriptor to
// whichever thread reads it, and comes back when it closes, on any thread.
//
// Permits are held by holders: a thread's work (the default), or a disk's reader and the files
// queued for it. A refused open (the budget used up, or EMFILE or ENFILE from the system) waits
// while another holder has permits it is not parked on, and tries again once one comes back; it
// fails as md5sum's open would only when no other holder has any (and, where the system refused
// it with room in the budget, for a descriptor the budget does not count, once that stayed open
// a few moments). A holder waiting on others' work parks its permits meanwhile (a waiting open
// parks its own), so that no open waits for permits that can only come back after it. A
// holder's permits are taken, parked and given back on the thread working for it; HandTo moves
// them to another. Any thread may call it.
class DescriptorBudget {
public:
  // What one holder has of the budget's permits.
  class Holder {
  private:
    friend class DescriptorBudget;
    std::atomic<std::size_t> held_ = 0;
    std::atomic<bool> parked_ = false;
  };

  // A descriptor opened with a permit of the budget, held by one holder until it is closed or
  // handed to another.
  class Held {
  public:
    Held() = default;
    Held(Held &&other) noexcept;
    Held &operator=(Held &&other) noexcept;
    ~Held() { Close(); }

    int get() const noexcept { return file_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(file_); }
    void Close() noexcept;
    // The descriptor was closed by whatever it was handed to (closedir): the permit comes back.
    void ClosedElsewhere() noexcept;
    // The descriptor and its permit go to another holder (a disk's reader and its queue).
    void HandTo(Holder &holder) noexcept;

  private:
    friend class DescriptorBudget;
    Held(UniqueFd file, DescriptorBudget *budget, Holder *holder) noexcept;

    UniqueFd file_{-1};
    DescriptorBudget *budget_ = nullptr;
    Holder *holder_ = nullptr;
  };

  // The process's one budget; made at the start of the work, before anything is opened.
  static DescriptorBudget &OfProcess();
  DescriptorBudget();
  DescriptorBudget(const DescriptorBudget &) = delete;
  DescriptorBudget &operator=(const DescriptorBudget &) = delete;

  // Takes a permit for the calling thread's holder, then opens name with flags. A refusal waits
  // as the class says with mayWait, else fails at once with EMFILE: a holder that could go on
  // with what it has (lanes with files) passes false. Other failures are the open's, with errno.
  Held Open(const char *name, int flags, bool mayWait = true);
  // The same for a descriptor that open() makes some other way (mkostemp, opendir's): it gives
  // the descriptor, or -1 with errno.
  Held Acquire(const std::function<int()> &open, bool mayWait = true);
  // Opens name only if a permit is free now, without waiting: for reading ahead of need.
  Held TryOpen(const char *name, int flags);

  // The calling thread works for holder (its default holder again once this ends).
  class Working {
  public:
    explicit Working(Holder &holder) noexcept;
    ~Working();
    Working(const Working &) = delete;
    Working &operator=(const Working &) = delete;

  private:
    Holder *previous_;
  };
  // The calling thread's holder is parked while this lasts: it waits on others' work (the adding
  // thread, for room in the window), and no open may wait for its permits meanwhile.
  class Parked {
  public:
    explicit Parked(DescriptorBudget &budget) noexcept;
    ~Parked();
    Parked(const Parked &) = delete;
    Parked &operator=(const Parked &) = delete;

  private:
    DescriptorBudget &budget_;
    Holder &holder_;
  };

  // The permits there are; at least 1.
  std::size_t Capacity() const { return capacity_; }
  // Whether permits are short now (none free, or an open waits for one): a holder that keeps
  // files for a while to read them in a better order (a disk's reader gathering them) reads them
  // now instead.
  bool Short() const { return waiting_ > 0 || held_ >= capacity_; }

private:
  static Holder &Current() noexcept;
  void Park(Holder &holder) noexcept;
  void Unpark(Holder &holder) noexcept;
  void Release(Holder &holder) noexcept;
  void Wake(bool all) noexcept;

  const std::size_t capacity_;
  std::atomic<std::size_t> held_ = 0;       // every holder's, opens under way included
  std::atomic<std::size_t> parked_ = 0;     // of those, held by parked holders
  std::atomic<std::uint64_t> releases_ = 0; // so far
  std::atomic<std::size_t> waiting_ = 0;
  std::mutex mutex_; // for those that wait
  std::condition_variable released_;
};

} // namespace quillsum::cli
