#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Date.hpp"

// Asks the operating system about a process: its start time (which tells a reused process id
// apart), its controlling terminal and whether it still runs. Linux: read from /proc and /sys.
// Every lookup is safe from any thread and never throws on a missing or unreadable file: a
// failed lookup is simply absent.
namespace tarvel::AgentProcessIdentity {

// When the process started: boot time plus its start tick count, in whole ticks, so every read
// for the same process gives exactly the same date. Absent for ids below 1 and gone processes.
std::optional<Date> startedAt(std::int32_t processIdentifier);

// The path of the process's controlling terminal ("/dev/pts/3", "/dev/tty1"); absent when it has
// none or the device has no name.
std::optional<std::string> controllingTTY(std::int32_t processIdentifier);

// "/dev/" + the name of the character device with this number (Linux encoding, as in st_rdev
// and /proc/<pid>/stat's tty_nr); absent for 0, for all-ones (no device) and for unknown devices.
std::optional<std::string> ttyPath(std::uint64_t device);

// The agent behind a hook started by `parent`: agents run hooks through a shell ("/bin/sh -c
// '<path>/tarvel-hook --provider ...'") that lives only as long as the hook, so from `parent`
// upwards every sh, bash, dash, zsh or fish whose command line is "-c" and a command naming
// `hookProgram` (as a word or a path's last part) is skipped, at most maximumShellLevels of them.
// Absent when the chain reaches a process that is gone or process 1 (the hook's parent ended
// and the hook was adopted): neither is the agent.
inline constexpr int maximumShellLevels = 4;
std::optional<std::int32_t> agentProcess(std::int32_t parent, std::string_view hookProgram);

// The parent of a process; absent when it is gone (or for process 1).
std::optional<std::int32_t> parentOf(std::int32_t processIdentifier);

// Whether a process with this id exists and has not exited (including one that is not ours to
// signal); a zombie waiting for its parent to reap it does not count.
bool isRunning(std::int32_t processIdentifier);

// The environment of this process as a map; for capturing the origin of the current agent.
std::map<std::string, std::string> currentEnvironment();

}  // namespace tarvel::AgentProcessIdentity
