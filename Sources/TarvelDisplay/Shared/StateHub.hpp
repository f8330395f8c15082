#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "TarvelDisplay/Shared/StateMessages.hpp"

namespace tarvel::Display {

// Where the service's thread publishes each revision and the API's threads pick them up: the
// newest state, and the last few revisions so that a stream reader that fell a little behind
// gets the changes it missed (one further behind gets the whole state again).
// Thread: every function may be called from any thread.
class StateHub {
 public:
  static constexpr std::size_t retainedRevisions = 64;

  void publish(std::shared_ptr<const PublishedState> state);
  // Wakes every waiter for good; latest() keeps answering.
  void close();
  bool isClosed() const;

  std::shared_ptr<const PublishedState> latest() const;
  // Waits until a revision after `after` is published, the hub closes or `timeout` passes;
  // returns the newest state then (absent before the first).
  std::shared_ptr<const PublishedState> waitForNewer(std::uint64_t after,
                                                     std::chrono::milliseconds timeout) const;
  // The change messages of the revisions after `after`, oldest first; absent when some of them
  // are no longer kept.
  struct Change {
    std::uint64_t revision = 0;
    std::shared_ptr<const std::string> data;
  };
  std::optional<std::vector<Change>> since(std::uint64_t after) const;

 private:
  mutable std::mutex mutex;
  mutable std::condition_variable published;
  std::shared_ptr<const PublishedState> newest;
  std::deque<Change> recent;  // oldest first; only the change texts, never whole states
  bool closed = false;
};

}  // namespace tarvel::Display
