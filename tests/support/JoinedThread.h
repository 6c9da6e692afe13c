#pragma once

// A thread a test starts beside its own work, joined however the case leaves (a failed ASSERT
// returns early): a std::thread still running there would end the whole test program.

#include <functional>
#include <thread>
#include <utility>

namespace quillsum::test {

class JoinedThread {
public:
  // stop, called before the join, must let body end: set the flag it loops on, or open what it
  // waits for.
  explicit JoinedThread(std::function<void()> body, std::function<void()> stop = {})
      : stop_(std::move(stop)), thread_(std::move(body)) {}
  JoinedThread(const JoinedThread &) = delete;
  JoinedThread &operator=(const JoinedThread &) = delete;
  ~JoinedThread() { Join(); }

  void Join() {
    if (!thread_.joinable())
      return;
    if (stop_)
      stop_();
    thread_.join();
  }

private:
  std::function<void()> stop_;
  std::thread thread_;
};

} // namespace quillsum::test
