#pragma once

#include <array>
#include <csignal>

namespace quillsum::cli {

// While an act that must be done whole is under way (a new list put in place, a name swapped for
// another file's), Ctrl-C, a hang-up or a request to terminate waits until it is done or undone,
// so that nothing is left half done; it then takes effect. One at a time.
class SignalsHeld {
public:
  SignalsHeld() {
    struct sigaction hold {};
    hold.sa_handler = [](int signal) { held_ = signal; };
    sigemptyset(&hold.sa_mask);
    hold.sa_flags = SA_RESTART;
    for (std::size_t k = 0; k < kSignals.size(); ++k)
      if (::sigaction(kSignals[k], nullptr, &before_[k]) == 0 && before_[k].sa_handler != SIG_IGN)
        ::sigaction(kSignals[k], &hold, nullptr);
  }
  SignalsHeld(const SignalsHeld &) = delete;
  SignalsHeld &operator=(const SignalsHeld &) = delete;
  ~SignalsHeld() {
    for (std::size_t k = 0; k < kSignals.size(); ++k)
      ::sigaction(kSignals[k], &before_[k], nullptr);
    if (held_ != 0)
      ::raise(held_);
  }

private:
  static constexpr std::array kSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  static inline volatile std::sig_atomic_t held_ = 0;
  std::array<struct sigaction, kSignals.size()> before_{};
};

} // namespace quillsum::cli
