#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace quillsum::cli {

// Items taken in one order, worked on by several claimers in any order, and handed on in the
// order they came, each as soon as it and all before it are done. A fixed number of slots bounds
// the items in between, so memory stays bounded however many items there are.
//
// Every item has an index, counted from 0 for the window's whole life; item i lives in slot
// i % slots. Three counters split the indices, handedOn <= claimed <= added (claimed is raised
// to handedOn whenever it falls behind):
//   [0, handedOn)         handed on; their slots may hold newer items
//   [handedOn, added)     in the window, at most `slots` of them
//   [claimed, added)      not claimed yet, though some may be done: an item added done needs no
//                         claimer, and is handed on in its turn
// Invariants:
// - An item is claimed at most once, and never when it is done: Claim takes from `claimed`
//   upward and skips done items; an item added done may be handed on before any claimer passes
//   it, so claiming restarts from handedOn when that is further on.
// - A claimed item belongs to its claimer alone until Complete marks it done; after that only
//   the thread handing on touches it, and only until its slot is reused.
// - Items are handed on in index order, one thread at a time, outside the lock: whoever makes
//   the next item done (Add of a done item, or Complete) hands on every done item from there.
//   Another thread that completes items meanwhile leaves them to the one handing on.
// - Only Add moves `added` (one adding thread); Claim moves `claimed`; the thread handing on
//   moves `handedOn`. Each moves under the lock.
// - handOn runs on whichever thread made the next item done (the adding thread, or a claimer in
//   Claim or Complete), never two at once. It must not Add to its own window: that would wait
//   for room only its return can make, so it throws std::logic_error instead. An exception
//   from handOn counts its item as handed on and reaches the caller of Add, Claim or Complete;
//   the window stays usable.
//
// Claimers share the work by one rule: while fewer than two items a claimer are in flight (those
// not claimed plus those claimed and not done), a claimer may hold its share of them, counted
// over the claimers that joined or are expected, rounded up, one at least; from then on, `most`.
// Two or three large items then spread over every claimer rather than going all to the first one
// awake; more go to as few claimers as can hold them. A thread's MD5 lanes each hash as fast
// beside fifteen others as beside one: sixteen large files in one thread's lanes, read ahead by
// another core, take less time than eight in each of two threads that read their own.
// The rule counts the items that came: while they still come, too few yet to fill every claimer,
// a claimer that holds none lets the burst end (nothing added for kBurst) before it takes any,
// or the first claimer awake would take the first of sixteen alone and leave fifteen to another.
template <typename Item> class OrderedWindow {
public:
  static constexpr std::chrono::microseconds kBurst{200};

  // handOn runs for each item in order; handedOn after each run of items handed on together.
  OrderedWindow(
      std::size_t slots, std::function<void(Item &)> handOn, std::function<void()> handedOn = [] {})
      : items_(slots), done_(slots), handOn_(std::move(handOn)), afterHandOn_(std::move(handedOn)) {
  }

  // Adds an item; done says it needs no claimer. While every slot is taken, waits until half
  // of them are free, so that the adding thread and the claimers do not take turns at each item.
  void Add(Item &&item, bool done) {
    while (!TryAdd(std::move(item), done))
      WaitForRoom(kForever);
  }
  // Adds the item unless every slot is taken: false then, with the item still the caller's, as
  // after an exception (no memory for a block of slots).
  bool TryAdd(Item &&item, bool done) {
    if (HandingOn::current == this) // it would wait for room that only its own return makes
      throw std::logic_error("an item's hand-on added to its own window");
    items_.Reach(added_ % items_.size()); // only this thread moves added_
    Item taken;                           // what the slot held, let go after the lock
    std::unique_lock lock(mutex_);
    if (FullLocked())
      return false;
    const std::size_t slot = added_++ % items_.size();
    taken = std::exchange(items_[slot], std::move(item));
    done_[slot] = done;
    if (done) {
      HandOn(lock);
    } else {
      lock.unlock();
      work_.notify_one();
    }
    return true;
  }

  // For the adding thread: waits, for as long as timeout at most, while every slot is taken, until
  // half of them are free; whether there is room.
  bool WaitForRoom(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!FullLocked())
      return true;
    return AdderWaits(roomMade_, lock, timeout,
                      [this] { return added_ - handedOn_ <= items_.size() / 2; });
  }

  // How many claimers the work will have at most, while fewer have joined: the share of those
  // who join first leaves room for the others.
  void Expect(std::size_t claimers) {
    const std::lock_guard lock(mutex_);
    expected_ = claimers;
  }

  // A claimer joins before its first Claim and leaves after its last; Leave tells how many
  // claimers stay.
  void Join() {
    const std::lock_guard lock(mutex_);
    ++claimers_;
  }
  std::size_t Leave() {
    const std::lock_guard lock(mutex_);
    return --claimers_;
  }

  // Marks done what the claimer finished, as Complete does, then claims items for it, which then
  // holds `held` of them, oldest first, appending them to claimed. With wait, waits while there
  // is nothing to claim (until nudged). False once the window is closed and nothing is left to
  // claim.
  bool Claim(std::span<Item *const> finished, std::size_t held, std::size_t most, bool wait,
             std::vector<Item *> &claimed) {
    // Room first: once the finished items are marked done, nothing may throw before they are
    // forgotten by the caller.
    claimed.reserve(claimed.size() + std::max<std::size_t>(most, 1));
    std::unique_lock lock(mutex_);
    MarkDone(finished, lock);
    const std::size_t room = std::max<std::size_t>(most, 1);
    for (bool burstOver = false;;) {
      claimed_ = std::max(claimed_, handedOn_);
      const std::uint64_t flight = added_ - claimed_ + inFlight_;
      const std::size_t claimers = std::max<std::size_t>({claimers_, expected_, 1});
      if (held == 0 && !burstOver && !closed_ && added_ > claimed_ && flight < claimers * room) {
        const std::uint64_t seen = added_;
        burstOver = !work_.wait_for(lock, kBurst, [&] { return closed_ || added_ != seen; });
        continue;
      }
      const std::uint64_t share = flight < 2 * claimers ? (flight + claimers - 1) / claimers : most;
      const std::uint64_t take = std::clamp<std::uint64_t>(share, 1, room);
      std::size_t got = 0;
      for (; claimed_ < added_ && held + got < take; ++claimed_)
        if (const std::size_t slot = claimed_ % items_.size(); !done_[slot]) {
          claimed.push_back(&items_[slot]);
          ++got;
        }
      inFlight_ += got;
      // An Add's wake-up may have gone to a claimer waiting for the burst to end, while another
      // sleeps idle: what this one leaves is for that one.
      if (claimed_ < added_ && idle_ > 0)
        work_.notify_one();
      if (got > 0 || !wait)
        return true;
      if (closed_)
        return false;
      const std::uint64_t nudges = nudges_;
      ++idle_;
      work_.wait(lock);
      --idle_;
      if (nudges_ != nudges)
        return true;
      burstOver = false; // what comes now is another burst
    }
  }

  // For those that look ahead of the claimers (reading a file before its claimer does): visits,
  // under the window's lock, the items not claimed yet from index `from` on (or from where
  // claiming stands, if that is further on), `most` of them at most and none `ahead` or more past
  // where claiming stands. visit must only read the item and copy what it needs. Gives the index
  // after the last item visited.
  std::uint64_t Peek(std::uint64_t from, std::size_t most, std::uint64_t ahead,
                     const std::function<void(const Item &)> &visit) {
    const std::lock_guard lock(mutex_);
    const std::uint64_t claimed = std::max(claimed_, handedOn_);
    std::uint64_t index = std::max(from, claimed);
    for (const std::uint64_t end = std::min(added_, claimed + ahead); index < end && most > 0;
         ++index, --most)
      visit(items_[index % items_.size()]);
    return index;
  }

  // Marks claimed items done and hands on what is next in order.
  void Complete(std::span<Item *const> items) {
    std::unique_lock lock(mutex_);
    MarkDone(items, lock);
  }

  // No more items will come: claimers waiting with nothing to claim are let go.
  void Close() {
    {
      const std::lock_guard lock(mutex_);
      closed_ = true;
    }
    work_.notify_all();
  }

  // Waits until every item added so far has been handed on, for as long as timeout at most;
  // whether they have.
  bool WaitForDrain(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return AdderWaits(drained_, lock, timeout, [this] { return handedOn_ == added_; });
  }
  void Drain() { WaitForDrain(kForever); }
  bool Drained() {
    const std::lock_guard lock(mutex_);
    return handedOn_ == added_;
  }

  // Whether Add would wait for room.
  bool Full() {
    const std::lock_guard lock(mutex_);
    return FullLocked();
  }
  // Items not claimed yet, and claimers waiting for one: for those that decide whether another
  // claimer would help.
  std::uint64_t Unclaimed() {
    const std::lock_guard lock(mutex_);
    return added_ - std::max(claimed_, handedOn_);
  }
  std::size_t Idle() {
    const std::lock_guard lock(mutex_);
    return idle_;
  }
  // Whether nothing more will be claimed until what is claimed is done: every item added is
  // claimed, no claimer is at work, and none is being added (the adder waits for room or for the
  // window to drain, or closed it).
  bool Settled() {
    const std::lock_guard lock(mutex_);
    return (closed_ || adderWaits_) && added_ == std::max(claimed_, handedOn_) &&
           claimers_ == idle_;
  }
  // Claimers that joined and are not waiting; claimers that joined.
  std::size_t Busy() {
    const std::lock_guard lock(mutex_);
    return claimers_ - idle_;
  }
  std::size_t Claimers() {
    const std::lock_guard lock(mutex_);
    return claimers_;
  }
  // Wakes the claimers waiting for items: each such Claim returns, with nothing claimed if
  // nothing came, so that they can look at what else they should do.
  void Nudge() {
    {
      const std::lock_guard lock(mutex_);
      ++nudges_;
    }
    work_.notify_all();
  }

private:
  static constexpr std::chrono::milliseconds kForever = std::chrono::milliseconds::max();

  bool FullLocked() const { return added_ - handedOn_ == items_.size(); }

  template <class Done>
  bool AdderWaits(std::condition_variable &change, std::unique_lock<std::mutex> &lock,
                  std::chrono::milliseconds timeout, Done done) {
    adderWaits_ = true;
    bool happened = true;
    if (timeout == kForever)
      change.wait(lock, done);
    else
      happened = change.wait_for(lock, timeout, done);
    adderWaits_ = false;
    return happened;
  }

  void MarkDone(std::span<Item *const> items, std::unique_lock<std::mutex> &lock) {
    if (items.empty())
      return;
    for (Item *item : items)
      done_[items_.SlotOf(item)] = true;
    inFlight_ -= items.size();
    HandOn(lock);
  }

  void HandOn(std::unique_lock<std::mutex> &lock) {
    if (handingOn_)
      return; // the thread handing on sees these items before it stops
    handingOn_ = true;
    const auto done = [this](std::uint64_t index) { return done_[index % items_.size()] != 0; };
    while (handedOn_ < added_ && done(handedOn_)) {
      const std::uint64_t first = handedOn_;
      std::uint64_t end = first;
      while (end < added_ && done(end))
        ++end;
      lock.unlock();
      std::uint64_t index = first;
      try {
        const HandingOn mark(this);
        for (; index < end; ++index)
          handOn_(items_[index % items_.size()]);
        afterHandOn_();
      } catch (...) {
        // The item that threw counts as handed on; the window stays whole for the caller.
        lock.lock();
        Advance(std::min(index + 1, end));
        handingOn_ = false;
        throw;
      }
      lock.lock();
      Advance(end);
    }
    handingOn_ = false;
  }

  void Advance(std::uint64_t to) {
    handedOn_ = to;
    // Woken only when what they wait for holds: waking them at every item would make the
    // adding thread and this one take turns at every item.
    if (added_ - handedOn_ <= items_.size() / 2)
      roomMade_.notify_one();
    if (handedOn_ == added_)
      drained_.notify_all();
  }

  // Marks the thread as handing on for this window, so that an Add from handOn is caught.
  struct HandingOn {
    explicit HandingOn(const OrderedWindow *window) : previous(current) { current = window; }
    ~HandingOn() { current = previous; }
    const OrderedWindow *previous;
    static inline thread_local const OrderedWindow *current = nullptr;
  };

  // The slots, in blocks allocated as they are first reached: a short run needs little memory.
  // An item never moves while it is in the window.
  class Slots {
  public:
    explicit Slots(std::size_t count) : count_(count), blocks_((count + kBlock - 1) / kBlock) {}
    std::size_t size() const { return count_; }
    Item &operator[](std::size_t slot) { return blocks_[slot / kBlock][slot % kBlock]; }
    void Reach(std::size_t slot) {
      if (std::unique_ptr<Item[]> &block = blocks_[slot / kBlock]; !block)
        block = std::make_unique<Item[]>(kBlock);
    }
    std::size_t SlotOf(const Item *item) const {
      const std::less<const Item *> before;
      for (std::size_t k = 0; k < blocks_.size(); ++k)
        if (const Item *first = blocks_[k].get();
            first && !before(item, first) && before(item, first + kBlock))
          return k * kBlock + static_cast<std::size_t>(item - first);
      return count_; // not an item of this window's
    }

  private:
    static constexpr std::size_t kBlock = 256;
    const std::size_t count_;
    std::vector<std::unique_ptr<Item[]>> blocks_;
  };

  Slots items_;
  std::vector<char> done_; // by slot, as items_
  const std::function<void(Item &)> handOn_;
  const std::function<void()> afterHandOn_;
  std::mutex mutex_;
  std::condition_variable work_, roomMade_, drained_;
  std::uint64_t added_ = 0, claimed_ = 0, handedOn_ = 0;
  std::uint64_t inFlight_ = 0; // claimed and not done
  std::uint64_t nudges_ = 0;
  std::size_t claimers_ = 0, expected_ = 0, idle_ = 0;
  bool handingOn_ = false;
  bool closed_ = false;
  bool adderWaits_ = false; // in Add for room, or in Drain
};

} // namespace quillsum::cli
