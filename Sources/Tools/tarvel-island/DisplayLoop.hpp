#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "Tools/tarvel-island/Displays.hpp"

namespace tarvel::Island {

// Counters of one run, printed with --stats.
struct LoopStatistics {
  std::uint64_t frames = 0;        // frames written to the terminal
  std::uint64_t models = 0;        // screens built
  std::uint64_t events = 0;        // events that reached the display's owner
  std::uint64_t largestDrain = 0;  // most handed-over closures run in one pass
  double seconds = 0;
  std::string summary() const;
};

// Blocks SIGINT, SIGTERM, SIGHUP and SIGWINCH in the calling thread and every thread it starts
// afterwards (they are read from a signal descriptor by the loop), and ignores SIGPIPE. Call
// before any thread exists.
void blockLoopSignals();

// Runs the full-screen loop on the calling thread until the quit key, Ctrl-C, SIGINT, SIGTERM,
// SIGHUP or the end of the terminal; the terminal is restored on every path. Redraws at most
// `maximumFramesPerSecond` times a second, only when the drawn frame changes (ages are checked
// once a second). Returns the counters; absent when the terminal cannot be used.
std::optional<LoopStatistics> runLoop(Display& display, int input, int output,
                                      int maximumFramesPerSecond = 30);

}  // namespace tarvel::Island
