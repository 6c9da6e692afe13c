#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>

namespace quillsum::cli {

// The loop's answer to a refused allocation, on any of its threads. From the first refusal on,
// the loop is lean: no more threads start (hashing, reading ahead, warming), and idle hashing
// threads beyond one end, their memory and stacks given back. The refused thread takes no more
// work: it waits a moment while other work of the run is in flight, whose memory comes back as it
// ends, and tries again. Only a refusal with nothing else at work and no thread left to end is
// final: the caller's to report, as md5sum would. Once one is final, every one is.
class Shortage {
public:
  // What the loop tells of its threads.
  class Threads {
  public:
    // At work: hashing threads not idle, disk readers with files.
    virtual std::size_t Busy() = 0;
    // Hashing threads waiting for work, and waking them so that they ask whether to end.
    virtual std::size_t Idle() = 0;
    virtual void WakeIdle() = 0;
    // Hashing threads started and not joined yet, and those among the window's claimers (the
    // others are starting or ending); joining those that ended, giving how many.
    virtual std::size_t Alive() = 0;
    virtual std::size_t Claimers() = 0;
    virtual std::size_t Reap() = 0;

  protected:
    ~Threads() = default;
  };

  explicit Shortage(Threads &threads) : threads_(threads) {}

  bool lean() const { return lean_; }
  // True: try again (something was or may be given back); false: the refusal is final.
  bool Await();
  // Runs work, trying again after each refusal while Await says so; the final std::bad_alloc
  // leaves it.
  template <class Work> void Retrying(Work &&work) {
    for (;;)
      try {
        work();
        return;
      } catch (const std::bad_alloc &) {
        if (!Await())
          throw;
      }
  }

  // A hashing thread joins, and asks once idle whether to end: true, once lean, for all but one.
  void Hired() { ++staying_; }
  bool Retire();

  // The calling thread is one of those busy() counts while this lasts, so that it does not wait
  // for itself.
  class AtWork {
  public:
    AtWork() noexcept;
    ~AtWork();
    AtWork(const AtWork &) = delete;
    AtWork &operator=(const AtWork &) = delete;

  private:
    bool previous_;
  };

private:
  Threads &threads_;
  std::atomic<bool> lean_ = false, final_ = false;
  std::atomic<std::size_t> awaitingAtWork_ = 0; // busy threads waiting here themselves
  std::mutex mutex_;
  std::size_t staying_ = 0; // hashing threads not told to end
};

} // namespace quillsum::cli
