#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"
#include "TarvelCore/Platform/AgentSocketError.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace tarvel {

// Names the calling thread after a queue label such as "com.tarvel.socket.listener". Linux
// keeps 15 bytes of a thread name, so the kernel sees the label without its "com.tarvel."
// prefix ("socket.listener"); the full label stays with the queue object.
void setCurrentThreadName(std::string_view label);

// One thread with a label; runs `body` once and is joined on destruction. Move-only.
// Throws std::system_error when the thread cannot be created.
class LabeledThread {
 public:
  LabeledThread() = default;
  LabeledThread(std::string label, std::function<void()> body);
  LabeledThread(LabeledThread&&) noexcept = default;
  LabeledThread& operator=(LabeledThread&& other) noexcept;
  LabeledThread(const LabeledThread&) = delete;
  LabeledThread& operator=(const LabeledThread&) = delete;
  ~LabeledThread() { join(); }

  void join();
  bool joinable() const { return thread.joinable(); }
  const std::string& label() const { return name; }

 private:
  std::string name;
  std::thread thread;
};

// A fixed set of `width` worker threads running submitted tasks in submission order (serial
// when width is 1). A task that throws is caught and dropped; the worker carries on.
// Thread: async() and waitUntilIdle() from any thread; `mutex` guards the task list and counts.
// Destruction runs every task still queued, then joins the workers.
class WorkQueue {
 public:
  // Throws std::system_error when a worker thread cannot be created.
  WorkQueue(std::string label, std::size_t width);
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;
  ~WorkQueue();

  void async(std::function<void()> task);

  // Blocks until no task is queued or running. From one of this queue's own tasks it waits for
  // every other task only.
  void waitUntilIdle();

  // Whether the calling thread is one of this queue's workers.
  bool isCurrentWorker() const;

  const std::string& label() const { return name; }

 private:
  void work();

  std::string name;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;
  std::deque<std::function<void()>> tasks;
  std::size_t running = 0;
  bool finishing = false;
  std::vector<std::thread> workers;
};

// A non-blocking, close-on-exec pipe used to wake a poll loop from another thread.
// notify() may be called from any thread and never blocks; drain() empties the pipe.
class WakePipe {
 public:
  // Fails with systemCall("pipe", errno).
  static Result<WakePipe, AgentSocketError> make();

  int readDescriptor() const { return readEnd.get(); }
  void notify() const;
  void drain() const;

 private:
  WakePipe(UniqueFd readEnd, UniqueFd writeEnd)
      : readEnd(std::move(readEnd)), writeEnd(std::move(writeEnd)) {}
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

}  // namespace tarvel
