#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

// Starting programs: the one place that forks, spawns and reaps. Every child starts with default
// signal handling and nothing blocked, whatever this process blocks or ignores, and never holds a
// descriptor of ours besides its three standard streams.
namespace tarvel::Spawn {

// A stream the child shares with this process.
inline constexpr int inherited = -2;
// A pipe between the child and this process; our end is in the Child.
inline constexpr int piped = -3;

// Where the child's standard streams go: a descriptor of ours, `inherited`, `piped`, or
// /dev/null when -1.
struct Streams {
  int input = -1;
  int output = -1;
  int error = -1;
};

struct Settings {
  // In a process group of its own, so that ending the group ends a wrapping shell's children
  // too. False keeps it in ours: an editor must stay in the terminal's foreground group.
  bool ownGroup = true;
  // "NAME=value" entries that replace this process's NAME in the child's environment.
  std::vector<std::string> environment;
};

// How a child ended.
struct Ending {
  int exitStatus = -1;  // -1 when it did not exit by itself
  int signal = 0;       // the signal that ended it, or 0
};

// How long end() gives a child between SIGTERM and SIGKILL unless told otherwise.
inline constexpr std::chrono::milliseconds defaultGrace{300};

// A started child and our ends of its piped streams (close-on-exec, never a standard
// descriptor). The child stays unreaped until it is waited for, so its pid, which is its group's
// id too, can never name a stranger while this object may signal it; destroying a child that was
// not waited for ends it as end() does.
// Thread: one thread at a time; another thread may signal the pid it learned, at its own risk
// once the child was waited for.
class Child {
 public:
  Child(Child&& other) noexcept;
  Child& operator=(Child&&) = delete;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return id; }
  UniqueFd input;   // we write, it reads (when piped)
  UniqueFd output;  // it writes, we read (when piped)
  UniqueFd error;   // it writes, we read (when piped)

  // Whether it has not exited yet; never reaps it.
  bool running() const;
  // Sends `signal` to its group (to it alone when it shares ours), while it is unreaped.
  void signal(int signal) const;
  // Waits for it to exit and reaps it.
  Ending wait();
  // Waits at most `bound`; how it ended once reaped, absent while it still runs.
  std::optional<Ending> waitFor(std::chrono::milliseconds bound);
  // Closes its input, ends it (SIGTERM to its group, SIGKILL after `grace`) and reaps it.
  Ending end(std::chrono::milliseconds grace = defaultGrace);

 private:
  friend Result<Child, std::string> start(const std::vector<std::string>&, const Streams&,
                                          const Settings&);
  Child(pid_t id, bool ownGroup) : id(id), ownGroup(ownGroup) {}

  // running: not exited; exited: waiting to be reaped; gone: reaped, or never waitable.
  enum class State { running, exited, gone };
  State state() const;

  pid_t id = -1;  // -1 once reaped
  bool ownGroup = true;
  Ending ending;
};

// Starts `argv[0]` (looked up on PATH unless it holds a "/") with `argv`. Fails with a sentence
// naming the program.
Result<Child, std::string> start(const std::vector<std::string>& argv, const Streams& streams,
                                 const Settings& settings = {});

// Runs `argv` as start() does and waits for it to end: its exit status, or -1 when it could not
// be run or did not exit by itself.
int run(const std::vector<std::string>& argv, const Streams& streams,
        const Settings& settings = {});

// What a program wrote, and how it ended.
struct Collected {
  Ending ending;
  std::string output;  // at most `maximumBytes` of each; the rest is read and dropped
  std::string error;
  bool timedOut = false;  // it was still running at the limit, and its group was killed
};

// Runs `argv` as start() does with `input` on its standard input, collects its standard output
// and error, and kills its group when it has not ended within `limit` (also when it closed its
// output and lingers). `started`, when given, learns its pid before anything is written, so that
// another thread may end it early. Writing never raises SIGPIPE. Fails when it cannot start.
Result<Collected, std::string> collect(const std::vector<std::string>& argv, std::string_view input,
                                       std::chrono::milliseconds limit, std::size_t maximumBytes,
                                       const std::function<void(pid_t)>& started = {});

// Starts `argv` (a path, not looked up) in a session of its own with no terminal, as a process
// this one does not wait for: it is handed to the system (a grandchild whose parent is gone)
// before this returns. Its pid, or -1 when it could not be started.
pid_t detached(const std::vector<std::string>& argv, const Streams& streams,
               const Settings& settings = {});

// The first file called `name` in a folder of the colon-separated `searchPath` (empty entries
// skipped) that is a regular file this process may run; absent when there is none.
std::optional<std::filesystem::path> findProgram(std::string_view name,
                                                 std::string_view searchPath);

// Writes as much of `bytes` as `fd` (non-blocking) takes now, without raising SIGPIPE for this
// process: the bytes written, or absent when the reader is gone or the write failed.
std::optional<std::size_t> writeSome(int fd, std::string_view bytes);

}  // namespace tarvel::Spawn
