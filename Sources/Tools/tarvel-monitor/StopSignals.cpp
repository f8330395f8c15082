#include "Tools/tarvel-monitor/StopSignals.hpp"

#include <pthread.h>
#include <signal.h>

#include <cerrno>

#include "TarvelCore/Platform/Signals.hpp"

namespace tarvel::Monitor::StopSignals {
namespace {

sigset_t stopSet() { return Signals::setOf({SIGINT, SIGTERM}); }

}  // namespace

void block() {
  const sigset_t set = stopSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

int wait() {
  const sigset_t set = stopSet();
  int signal = 0;
  while (::sigwait(&set, &signal) != 0) {
  }
  return signal;
}

}  // namespace tarvel::Monitor::StopSignals
