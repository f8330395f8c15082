#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// Fetches the titles of Codex threads by running the Codex program in its app-server mode
// ("app-server --stdio") and asking it, one JSON message per line, to read each thread.
//
// Thread: runs entirely on the calling thread and blocks it for at most about three seconds plus
// a short termination grace; call it off any interactive thread. Never fails: every problem
// (missing program, failed start, malformed output, error answers, a stalled or flooding program)
// yields fewer titles. The child is always reaped before the call returns, writes to it never
// raise SIGPIPE, and its pipes are close-on-exec in this process.
namespace quoya::CodexMetadataReader {

inline constexpr std::size_t maximumThreadCount = 100;
inline constexpr std::size_t maximumOutputBytes = 4194304;
inline constexpr std::size_t readChunkBytes = 16384;
inline constexpr std::chrono::milliseconds readinessWait{100};
inline constexpr std::chrono::milliseconds deadline{3000};
// How long a child may take to exit after SIGTERM before it is killed.
inline constexpr std::chrono::milliseconds terminationGrace{300};

// Maps each asked thread id to its title. Only ids in the hyphenated UUID form are asked for
// (duplicates once, the 100 smallest in string order). A thread whose answer describes that
// thread but carries no usable name maps to ""; a thread without such an answer has no entry.
std::map<std::string, std::string> readTitles(const std::vector<std::string>& ids,
                                              const std::filesystem::path& executable);

// The same with `callDeadline` in place of `deadline`, for callers that can wait longer.
std::map<std::string, std::string> readTitles(const std::vector<std::string>& ids,
                                              const std::filesystem::path& executable,
                                              std::chrono::milliseconds callDeadline);

}  // namespace quoya::CodexMetadataReader
