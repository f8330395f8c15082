#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Codex runs a configured hook only once the user has trusted it. This asks the Codex program's
// app-server which hooks it sees and their trust, and records trust in ~/.codex/config.toml.
namespace tarvel::CodexHookTrust {

inline constexpr std::chrono::milliseconds answerDeadline{10000};
inline constexpr std::size_t maximumOutputBytes = 8 * 1024 * 1024;

// One hook as Codex lists it.
struct ListedHook {
  std::string key;
  std::string command;
  std::string currentHash;
  std::string trustStatus;  // "trusted", "untrusted", "modified", "managed"
  bool operator==(const ListedHook&) const = default;
};

// Runs `codex app-server` (inheriting this process's environment) through CodexAppServer, asks
// for "hooks/list" of `workingDirectory` once initialize is answered, and returns the hooks of the
// answer. Absent when the program cannot start, answers with an error or not within `deadline`.
// Blocks the caller; the child is always ended and reaped before it returns.
std::optional<std::vector<ListedHook>> listHooks(
    const std::filesystem::path& codex, const std::filesystem::path& workingDirectory,
    std::chrono::milliseconds deadline = answerDeadline);
// The same through `command`, which starts the app-server some other way (`ssh HOST sh -c
// 'exec codex app-server'` for Codex on another machine); command[0] is looked up on PATH.
std::optional<std::vector<ListedHook>> listHooks(
    const std::vector<std::string>& command, const std::filesystem::path& workingDirectory,
    std::chrono::milliseconds deadline = answerDeadline);

// Whether Codex runs the hook: trusted by the user, or managed by an administrator.
bool isTrusted(const ListedHook& hook);

// The hooks among `hooks` that run exactly `command` (ours, as install writes them).
std::vector<ListedHook> hooksRunning(const std::vector<ListedHook>& hooks,
                                     std::string_view command);

// `toml` with one `[hooks.state."<key>"]` table per hook holding `trusted_hash = "<hash>"`.
// An existing table of that key gets its trusted_hash line replaced (or one added); other tables
// are appended at the end. Every other byte stays as it was.
std::string withTrustedHashes(std::string_view toml, const std::vector<ListedHook>& hooks);

// Whether `toml` is a TOML document in which Codex finds each hook's current hash as its
// trusted_hash (hooks.state."<key>".trusted_hash): what Codex reads back after withTrustedHashes.
bool recordsTrust(std::string_view toml, const std::vector<ListedHook>& hooks);

// `toml` without the `[hooks.state."<key>"]` tables of `keys` as withTrustedHashes writes them:
// each such table's header and trusted_hash line go, with the blank line written before the
// header; a table that holds anything else keeps all but its trusted_hash line. Every other
// byte stays as it was.
std::string withoutTrustedHashes(std::string_view toml, const std::vector<std::string>& keys);

}  // namespace tarvel::CodexHookTrust
