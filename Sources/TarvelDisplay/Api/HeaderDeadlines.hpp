#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace tarvel::Display {

// Ends connections that take longer than `limit` to send a request's headers. An idle time-out
// alone lets a client that trickles one byte a second hold a connection, and the thread serving
// it, for ever. A connection is ended by shutting its socket down, which wakes the thread
// serving it; the descriptor itself stays with its owner.
// Thread: every function may be called from any thread; one watcher thread runs between start()
// and stop(). The owner of a descriptor calls forget() before closing it.
class HeaderDeadlines {
 public:
  explicit HeaderDeadlines(std::chrono::milliseconds limit) : limit(limit) {}
  ~HeaderDeadlines() { stop(); }
  HeaderDeadlines(const HeaderDeadlines&) = delete;
  HeaderDeadlines& operator=(const HeaderDeadlines&) = delete;

  // Starts the watcher; false when no thread could be started.
  bool start();
  // Ends the watcher; the connections still waiting are left alone.
  void stop();

  // From now on `connection` (whose socket is `descriptor`) waits for a request's headers: a new
  // connection, or the next request of one kept alive.
  void await(const void* connection, int descriptor);
  // Its headers have arrived, or it is about to close: no deadline any more.
  void forget(const void* connection);

 private:
  void watch();

  using Clock = std::chrono::steady_clock;
  const std::chrono::milliseconds limit;
  std::mutex mutex;
  // Guarded by `mutex`:
  std::condition_variable changed;
  bool stopping = false;
  std::map<const void*, std::pair<int, Clock::time_point>> waiting;
  std::thread watcher;
};

}  // namespace tarvel::Display
