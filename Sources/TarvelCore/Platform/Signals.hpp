#pragma once

#include <signal.h>

#include <initializer_list>

namespace tarvel::Signals {

// A signal set holding exactly `signals`, for blocking them and collecting them synchronously
// (sigwait, signalfd) instead of in handlers.
inline sigset_t setOf(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : signals) {
    sigaddset(&set, signal);
  }
  return set;
}

}  // namespace tarvel::Signals
