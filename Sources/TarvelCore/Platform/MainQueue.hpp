#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "TarvelCore/Platform/WorkQueue.hpp"

namespace tarvel {

// The hand-over to one owning thread (the thread that created the queue): other threads post
// closures, the owner runs them in posting order. This is how events received on reader threads
// reach the activity service, which belongs to one thread.
// Thread: post() and stop() from any thread; drain(), wait() and run() only on the owner
// (checked in debug builds). Closures still queued at destruction are dropped unrun.
class MainQueue {
 public:
  // Throws std::system_error when the wake-up pipe cannot be made.
  MainQueue();
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // Queues the closure and wakes the owner. Never blocks on the owner.
  void post(std::function<void()> task);

  // Runs the closures queued before the call; those they post run on the next drain.
  // Returns how many ran. A closure that throws is dropped and the rest still run.
  std::size_t drain();

  // Waits until a closure is queued, stop() was called, or the timeout passes; true when there
  // is work or a stop.
  bool wait(std::chrono::milliseconds timeout);

  // Drains as closures arrive until stop() is called (from a closure or any thread), then
  // runs what is still queued and returns.
  void run();
  void stop();
  bool isStopped() const;

  // Readable while closures are queued or a stop is pending, for a caller's own poll loop.
  int wakeDescriptor() const { return wakePipe.readDescriptor(); }

 private:
  void checkOwner() const;

  std::thread::id owner;
  WakePipe wakePipe;
  mutable std::mutex mutex;  // guards `tasks` and `stopped`
  std::deque<std::function<void()>> tasks;
  bool stopped = false;
};

}  // namespace tarvel
