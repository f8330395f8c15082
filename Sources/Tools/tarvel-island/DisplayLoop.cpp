#include "Tools/tarvel-island/DisplayLoop.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "TarvelCore/Platform/Signals.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "Tools/tarvel-island/KeyInput.hpp"
#include "Tools/tarvel-island/Terminal.hpp"

namespace tarvel::Island {
namespace {

sigset_t loopSignals() { return Signals::setOf({SIGINT, SIGTERM, SIGHUP, SIGWINCH}); }

}  // namespace

std::string LoopStatistics::summary() const {
  char text[256];
  std::snprintf(text, sizeof text,
                "tarvel-island: %.1f s, %llu events, %llu frames drawn (%.1f per second), "
                "%llu screens built, largest hand-over batch %llu",
                seconds, static_cast<unsigned long long>(events),
                static_cast<unsigned long long>(frames), seconds > 0 ? frames / seconds : 0.0,
                static_cast<unsigned long long>(models),
                static_cast<unsigned long long>(largestDrain));
  return text;
}

void blockLoopSignals() {
  const sigset_t set = loopSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

std::optional<LoopStatistics> runLoop(Display& display, int input, int output,
                                      int maximumFramesPerSecond) {
  const sigset_t set = loopSignals();
  const UniqueFd signals(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals) {
    return std::nullopt;
  }
  auto terminal = TerminalSession::open(input, output);
  if (!terminal) {
    return std::nullopt;
  }
  const auto started = SteadyClock::now();
  const auto frameInterval = std::chrono::microseconds(1000000 / std::max(1, maximumFramesPerSecond));
  LoopStatistics statistics;
  KeyDecoder decoder;
  std::string lastFrame;
  TerminalSize size = terminal->size();
  auto lastDraw = SteadyClock::time_point::min();
  auto nextSecond = started;
  bool dirty = true;
  bool quit = false;

  while (!quit) {
    auto now = SteadyClock::now();
    // Sleep until the next frame may be drawn (when something changed), the next age check, or
    // the display's own deadline; handed-over events, keys and signals wake us earlier.
    auto wake = nextSecond;
    if (dirty) {
      wake = std::min(wake, lastDraw == SteadyClock::time_point::min() ? now : lastDraw + frameInterval);
    }
    if (const auto deadline = display.nextDeadline()) {
      wake = std::min(wake, *deadline);
    }
    const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    std::array<pollfd, 3> descriptors{{
        {.fd = input, .events = POLLIN},
        {.fd = display.wakeDescriptor(), .events = POLLIN},
        {.fd = signals.get(), .events = POLLIN},
    }};
    const int ready = ::poll(descriptors.data(), descriptors.size(),
                             static_cast<int>(std::clamp<long long>(timeout, 0, 1000)));
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if ((descriptors[2].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      while (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGWINCH) {
          size = terminal->size();
          lastFrame.clear();
          dirty = true;
        } else {
          quit = true;
        }
      }
    }
    if ((descriptors[1].revents & POLLIN) != 0) {
      const std::uint64_t before = display.receivedEvents();
      const std::size_t ran = display.drain();
      statistics.largestDrain = std::max<std::uint64_t>(statistics.largestDrain, ran);
      statistics.events += display.receivedEvents() - before;
    }
    display.setTerminalSize(static_cast<std::size_t>(size.columns),
                            static_cast<std::size_t>(size.rows));
    if ((descriptors[0].revents & POLLIN) != 0) {
      char bytes[256];
      const ssize_t count = ::read(input, bytes, sizeof bytes);
      if (count == 0) {
        quit = true;  // the terminal went away
      }
      if (count > 0) {
        for (const Key& key : decoder.feed(std::string_view(bytes, static_cast<std::size_t>(count)))) {
          if (display.handleKey(key)) {
            quit = true;
            break;
          }
        }
      }
    } else if ((descriptors[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      quit = true;
    }
    now = SteadyClock::now();
    display.tick(now);
    if (display.takeChanged()) {
      dirty = true;
    }
    if (now >= nextSecond) {
      dirty = true;  // ages and silent sessions change with the clock
      nextSecond = now + std::chrono::seconds(1);
    }
    if (const std::string controls = display.takeTerminalControls();
        !controls.empty() && !quit && !terminal->write(controls)) {
      quit = true;
    }
    if (quit || !dirty ||
        (lastDraw != SteadyClock::time_point::min() && now < lastDraw + frameInterval)) {
      continue;
    }
    dirty = false;
    lastDraw = now;
    ++statistics.models;
    const std::string bytes =
        frame(render(display.model(Dates::now()), static_cast<std::size_t>(size.columns),
                     static_cast<std::size_t>(size.rows)));
    if (bytes != lastFrame) {
      if (!terminal->write(bytes)) {
        quit = true;
      }
      lastFrame = bytes;
      ++statistics.frames;
    }
  }
  terminal->restore();
  statistics.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
  return statistics;
}

}  // namespace tarvel::Island
