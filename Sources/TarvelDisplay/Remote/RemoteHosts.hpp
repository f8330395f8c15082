#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"

// The remote machines whose agents reach this machine's service through the user's own OpenSSH
// (`tarvel remote add`), and the ssh invocations that reach them. Nothing here speaks SSH itself:
// the system's `ssh` (or $TARVEL_SSH_COMMAND, run by /bin/sh with the arguments after it, as git
// runs GIT_SSH_COMMAND) does.
namespace tarvel::Display::RemoteHosts {

struct Host {
  std::string destination;          // "[USER@]HOST", as given to ssh
  std::string home;                 // the remote user's home directory, absolute
  std::vector<std::string> agents;  // agents whose hooks were installed there ("claude-code")
  bool operator==(const Host&) const = default;
};

// "remotes.json" in Tarvel's directory ($TARVEL_HOME or ~/.tarvel), where an older version
// recorded the hosts (they are now kept in the settings file, which `tarvel` reads).
std::filesystem::path defaultPath();

// The recorded hosts; none when the file is missing. The text for the user when it cannot be
// read or is not a list of hosts (then nothing is assumed about it).
Result<std::vector<Host>, std::string> load(const std::filesystem::path& file);

// The argument vector that runs ssh with `arguments`: "ssh ARGUMENTS...", or, when
// $TARVEL_SSH_COMMAND is set and not blank, "/bin/sh -c '$TARVEL_SSH_COMMAND "$@"' ssh ARGUMENTS".
std::vector<std::string> sshCommand(const std::vector<std::string>& arguments);

// `text` as one single-quoted word of the POSIX shell.
std::string shellQuoted(std::string_view text);

// The paths the service's sockets have on the remote host, in its home's ".tarvel".
std::string remoteEventSocket(const Host& host);
std::string remoteReplySocket(const Host& host);

// One finished program run.
struct Outcome {
  int exitStatus = -1;  // the exit status; -1 when killed by a signal or the time ran out
  std::string out;
  std::string err;
  bool timedOut = false;
};

// Runs `argv` (looked up on PATH) with `input` on its standard input, collects its standard
// output and error, and kills it when it is still running after `limit`. `started` (optional)
// learns the child's process id, so another thread may end it early. The text for the user when
// the program cannot be started.
Result<Outcome, std::string> run(const std::vector<std::string>& argv, std::string_view input,
                                 std::chrono::milliseconds limit,
                                 const std::function<void(pid_t)>& started = {});

// The last line of `text` that is not ssh's debug output, without its line end; empty when none.
std::string lastMessage(std::string_view text);

}  // namespace tarvel::Display::RemoteHosts
