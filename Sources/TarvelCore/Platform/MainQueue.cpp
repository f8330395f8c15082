#include "TarvelCore/Platform/MainQueue.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace tarvel {
namespace {

WakePipe makeWakePipe() {
  auto pipe = WakePipe::make();
  if (!pipe) {
    throw std::system_error(pipe.error().errorNumber, std::generic_category(),
                            "MainQueue wake-up pipe");
  }
  return std::move(*pipe);
}

}  // namespace

MainQueue::MainQueue() : owner(std::this_thread::get_id()), wakePipe(makeWakePipe()) {}

void MainQueue::checkOwner() const {
#ifndef NDEBUG
  if (std::this_thread::get_id() != owner) {
    std::fputs("TarvelCore/MainQueue: drained from a thread that does not own the queue\n", stderr);
    std::abort();
  }
#endif
}

void MainQueue::post(std::function<void()> task) {
  {
    const std::scoped_lock lock(mutex);
    tasks.push_back(std::move(task));
  }
  wakePipe.notify();
}

std::size_t MainQueue::drain() {
  checkOwner();
  wakePipe.drain();
  std::deque<std::function<void()>> batch;
  {
    const std::scoped_lock lock(mutex);
    batch.swap(tasks);
  }
  for (auto& task : batch) {
    try {
      task();
    } catch (...) {  // NOLINT(bugprone-empty-catch): one failing closure must not stop the rest
    }
  }
  return batch.size();
}

bool MainQueue::wait(std::chrono::milliseconds timeout) {
  checkOwner();
  {
    const std::scoped_lock lock(mutex);
    if (!tasks.empty() || stopped) {
      return true;
    }
  }
  pollfd descriptor{.fd = wakePipe.readDescriptor(), .events = POLLIN, .revents = 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = ::poll(&descriptor, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    break;
  }
  const std::scoped_lock lock(mutex);
  return !tasks.empty() || stopped;
}

void MainQueue::run() {
  checkOwner();
  while (!isStopped()) {
    wait(std::chrono::milliseconds(1000));
    drain();
  }
  drain();
}

void MainQueue::stop() {
  {
    const std::scoped_lock lock(mutex);
    stopped = true;
  }
  wakePipe.notify();
}

bool MainQueue::isStopped() const {
  const std::scoped_lock lock(mutex);
  return stopped;
}

}  // namespace tarvel
