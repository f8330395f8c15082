#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Spawn.hpp"

namespace tarvel {

// A conversation in JSON lines with a child over its standard input and output: messages sent go
// out as the child reads them (never blocking, never raising SIGPIPE), and every whole line the
// child writes that is JSON is handed over; other lines, and a last line without its line feed,
// are not.
// Thread: confined to the calling thread. `child` (started with piped input and output) must
// outlive this object; its ending and reaping stay with its owner.
class JSONLinesChild {
 public:
  struct Limits {
    std::chrono::milliseconds deadline{0};
    std::size_t maximumBytes = 0;  // read from the child at most; the rest is never read
    std::size_t readChunkBytes = 16384;
    // How long a quiet child is waited for before looking whether it still runs.
    std::chrono::milliseconds readinessWait{100};
  };

  // Why run() returned.
  enum class End { done, closed, exited, deadline, tooMuchOutput };

  explicit JSONLinesChild(Spawn::Child& child);

  // Queues `message` as one compact line and writes what the pipe takes now. Once a write fails
  // (the child closed its input) nothing more is sent, and our end of its input is closed.
  void send(const Json& message);

  // Hands each message to `onMessage` (which may send()) until it returns true, the child closes
  // its output or has exited, `limits.deadline` passes, or more than `limits.maximumBytes` came.
  End run(const Limits& limits, const std::function<bool(const Json&)>& onMessage);

 private:
  bool hasOutbox() const { return written < outbox.size(); }
  void flush();

  Spawn::Child& child;
  std::string outbox;
  std::size_t written = 0;
  bool writeFailed = false;
};

}  // namespace tarvel
