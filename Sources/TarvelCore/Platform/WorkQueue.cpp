#include "TarvelCore/Platform/WorkQueue.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace tarvel {
namespace {

// The queue whose task the current thread is running, if any.
thread_local const WorkQueue* currentQueue = nullptr;

}  // namespace

void setCurrentThreadName(std::string_view label) {
  constexpr std::string_view prefix = "com.tarvel.";
  if (label.starts_with(prefix)) {
    label.remove_prefix(prefix.size());
  }
  const std::string name(label.substr(0, 15));
  ::pthread_setname_np(::pthread_self(), name.c_str());
}

LabeledThread::LabeledThread(std::string label, std::function<void()> body)
    : name(std::move(label)) {
  thread = std::thread([label = name, body = std::move(body)] {
    setCurrentThreadName(label);
    body();
  });
}

LabeledThread& LabeledThread::operator=(LabeledThread&& other) noexcept {
  if (this != &other) {
    join();
    name = std::move(other.name);
    thread = std::move(other.thread);
  }
  return *this;
}

void LabeledThread::join() {
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
    thread.join();
  }
}

WorkQueue::WorkQueue(std::string label, std::size_t width) : name(std::move(label)) {
  width = std::max<std::size_t>(width, 1);
  workers.reserve(width);
  try {
    for (std::size_t index = 0; index < width; ++index) {
      workers.emplace_back([this] {
        setCurrentThreadName(name);
        currentQueue = this;
        work();
      });
    }
  } catch (...) {
    {
      const std::scoped_lock lock(mutex);
      finishing = true;
    }
    wake.notify_all();
    for (auto& worker : workers) {
      worker.join();
    }
    throw;
  }
}

WorkQueue::~WorkQueue() {
  {
    const std::scoped_lock lock(mutex);
    finishing = true;
  }
  wake.notify_all();
  for (auto& worker : workers) {
    worker.join();
  }
}

void WorkQueue::async(std::function<void()> task) {
  {
    const std::scoped_lock lock(mutex);
    tasks.push_back(std::move(task));
  }
  wake.notify_one();
}

void WorkQueue::waitUntilIdle() {
  const std::size_t own = isCurrentWorker() ? 1 : 0;
  std::unique_lock lock(mutex);
  idle.wait(lock, [&] { return tasks.empty() && running == own; });
}

bool WorkQueue::isCurrentWorker() const { return currentQueue == this; }

void WorkQueue::work() {
  std::unique_lock lock(mutex);
  for (;;) {
    wake.wait(lock, [&] { return finishing || !tasks.empty(); });
    if (tasks.empty()) {
      return;  // finishing, and nothing left to run
    }
    std::function<void()> task = std::move(tasks.front());
    tasks.pop_front();
    ++running;
    lock.unlock();
    try {
      task();
    } catch (...) {
      // A failing task must not end the worker; the task reports its own failures.
    }
    task = nullptr;  // release what the task captured before reporting idle
    lock.lock();
    --running;
    if (tasks.empty()) {
      idle.notify_all();
    }
  }
}

Result<WakePipe, AgentSocketError> WakePipe::make() {
  std::array<int, 2> ends{-1, -1};
  if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    return AgentSocketError::systemCall("pipe", errno);
  }
  return WakePipe(UniqueFd(ends[0]), UniqueFd(ends[1]));
}

void WakePipe::notify() const {
  const char byte = 1;
  ssize_t written = 0;
  do {
    written = ::write(writeEnd.get(), &byte, 1);
  } while (written < 0 && errno == EINTR);
  // EAGAIN means the pipe is already full of wake-ups: the reader will wake anyway.
}

void WakePipe::drain() const {
  std::array<char, 64> bytes{};
  for (;;) {
    const ssize_t count = ::read(readEnd.get(), bytes.data(), bytes.size());
    // A short read emptied the pipe: no second call just to be told so.
    if (count == static_cast<ssize_t>(bytes.size()) || (count < 0 && errno == EINTR)) {
      continue;
    }
    return;
  }
}

}  // namespace tarvel
