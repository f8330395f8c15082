#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace tarvel::Display {

// Ends event streams whose reader has stopped taking what was sent: a reader that has left
// `limit` of sent bytes untaken (the socket's send queue never emptied, nor shrank) is cut off by
// shutting its socket down, which wakes the thread serving it, so that a display that hangs stops
// counting as an answerer. A stream sends at least a keep-alive line within its interval, so a
// reader that stalls while nothing changes is found one interval and `limit` later. Over TCP the
// queue is what the reader's machine has not acknowledged: bytes its kernel took count as taken.
// Thread: every function may be called from any thread; one watcher thread runs between start()
// and stop(). The owner of a descriptor calls forget() before closing it.
class StalledReaders {
 public:
  explicit StalledReaders(std::chrono::milliseconds limit) : limit(limit) {}
  ~StalledReaders() { stop(); }
  StalledReaders(const StalledReaders&) = delete;
  StalledReaders& operator=(const StalledReaders&) = delete;

  // Starts the watcher; false when no thread could be started.
  bool start();
  // Ends the watcher; the streams still watched are left alone.
  void stop();

  // From now on the reader of `connection` (whose socket is `descriptor`) must keep taking.
  void watch(const void* connection, int descriptor);
  // Its stream is over, or it is about to close.
  void forget(const void* connection);

 private:
  using Clock = std::chrono::steady_clock;
  struct Reader {
    int descriptor = -1;
    int queued = 0;                  // the send queue when last looked at
    Clock::time_point lastTaken{};  // when it was last seen empty, or shrinking
  };
  void run();

  const std::chrono::milliseconds limit;
  std::mutex mutex;
  // Guarded by `mutex`:
  std::condition_variable changed;
  bool stopping = false;
  std::map<const void*, Reader> readers;
  std::thread watcher;
};

}  // namespace tarvel::Display
