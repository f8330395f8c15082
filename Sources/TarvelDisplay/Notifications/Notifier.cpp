#include "TarvelDisplay/Notifications/Notifier.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "TarvelCore/Platform/Log.hpp"
#include "TarvelDisplay/Notifications/NotificationBus.hpp"

namespace tarvel::Display {
namespace {

// How long the follower waits for a revision before it looks at the stop flag again.
constexpr std::chrono::milliseconds followInterval{1000};

}  // namespace

Notifier::Notifier(const StateHub& hub, AnswerFunction answer, NotifierOptions options,
                   Answerers* answerers)
    : hub(hub),
      answer(std::move(answer)),
      options(options),
      answerers(answerers),
      wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Notifier::~Notifier() { stop(); }

void Notifier::start() {
  if (follower.joinable() || busThread.joinable() || !wake) {
    return;
  }
  busThread = std::thread([this] { serve(); });
  follower = std::thread([this] { follow(); });
}

void Notifier::stop() {
  stopping = true;
  if (wake) {
    const std::uint64_t one = 1;
    static_cast<void>(::write(wake.get(), &one, sizeof one));
  }
  if (follower.joinable()) {
    follower.join();
  }
  if (busThread.joinable()) {
    busThread.join();
  }
}

void Notifier::follow() {
  std::uint64_t revision = 0;
  while (!stopping) {
    const auto state = hub.waitForNewer(revision, followInterval);
    if (hub.isClosed() && (!state || state->revision == revision)) {
      return;
    }
    if (state && state->revision != revision) {
      revision = state->revision;
      const std::uint64_t one = 1;
      static_cast<void>(::write(wake.get(), &one, sizeof one));
    }
  }
}

void Notifier::serve() {
  NotificationBus bus(answer, options.finishedAfter, options.opener, answerers);
  if (!bus.connect()) {
    return;
  }
  std::uint64_t revision = 0;
  bool again = false;  // the live prompts go to a new notification service
  while (!stopping) {
    again = bus.followOwner() || again;
    if (const auto state = hub.latest(); state && (state->revision != revision || again)) {
      revision = state->revision;
      again = false;
      bus.update(hub, *state);
    }
    // Signals, replies and queued calls.
    int processed = 0;
    while ((processed = sd_bus_process(bus.get(), nullptr)) > 0) {
    }
    if (bus.ownerChangePending()) {
      continue;
    }
    const int busDescriptor = sd_bus_get_fd(bus.get());
    const int busEvents = sd_bus_get_events(bus.get());
    if (processed < 0 || busDescriptor < 0 || busEvents < 0) {
      notificationLog().error("The session bus connection was lost: desktop notifications are off");
      return;
    }
    pollfd descriptors[2] = {{.fd = busDescriptor, .events = static_cast<short>(busEvents)},
                             {.fd = wake.get(), .events = POLLIN}};
    // sd-bus's own deadline (a call's timeout) is absolute on the monotonic clock.
    int timeout = -1;
    if (std::uint64_t until = 0;
        sd_bus_get_timeout(bus.get(), &until) >= 0 && until != UINT64_MAX) {
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t current = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000U +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
      timeout =
          until <= current
              ? 0
              : static_cast<int>(std::min<std::uint64_t>((until - current) / 1000 + 1, 60'000));
    }
    if (::poll(descriptors, 2, timeout) < 0 && errno != EINTR) {
      break;
    }
    if ((descriptors[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      static_cast<void>(::read(wake.get(), &count, sizeof count));
    }
  }
  bus.closeAll();
  sd_bus_flush(bus.get());
}

}  // namespace tarvel::Display
