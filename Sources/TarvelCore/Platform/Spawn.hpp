#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"

namespace tarvel::Spawn {

// A stream the child shares with this process.
inline constexpr int inherited = -2;

// Where the child's standard streams go: a descriptor of ours, `inherited`, or /dev/null when -1.
struct Streams {
  int input = -1;
  int output = -1;
  int error = -1;
};

// Starts `argv[0]` (looked up on PATH) with `argv`, in a process group of its own (so that ending
// the group ends a wrapping shell's children too), with default signal handling and nothing
// blocked, whatever this process blocks or ignores. The caller reaps the child. Fails with a
// sentence naming the program.
Result<pid_t, std::string> inOwnGroup(const std::vector<std::string>& argv, const Streams& streams);

// Runs `argv` as inOwnGroup does and waits for it to end: its exit status, or -1 when it could
// not be run or did not exit by itself.
int run(const std::vector<std::string>& argv, const Streams& streams);

}  // namespace tarvel::Spawn
