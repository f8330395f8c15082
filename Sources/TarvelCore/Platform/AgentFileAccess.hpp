#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

// Bounded, confined access to an agent's own files (".codex", ".grok"). Every function that takes
// a `root` refuses a path that resolves outside it, so that neither ".." nor a symbolic link in
// the agent's folder can lead a reader elsewhere; the check is made on the file actually opened.
// Nothing here throws; every failure is an absent or empty result.
namespace tarvel::AgentFileAccess {

// The largest file that is read whole (summaries, workflow states, metadata, hook settings).
inline constexpr std::size_t maximumSmallFileBytes = 1048576;
// At most this many names are taken from one directory listing.
inline constexpr std::size_t maximumListedEntries = 65536;

// A non-empty name that is not "." or "..", and holds no "/", "\" or NUL.
bool isSafePathComponent(std::string_view name);

// Whether `path`, made absolute and with every symbolic link resolved, is `root` (resolved the
// same way) or lies below it. False when either cannot be resolved.
bool isContained(const std::filesystem::path& path, const std::filesystem::path& root);

// Opens a regular file for reading (close-on-exec, never blocking on a FIFO); a path holding a
// NUL byte is refused. With a root, the opened file must lie inside it.
std::optional<UniqueFd> openRegularFile(const std::filesystem::path& path,
                                        const std::optional<std::filesystem::path>& root);

// The whole file, or absent when it cannot be opened or is larger than `maximumBytes`.
std::optional<std::string> readSmallFile(const std::filesystem::path& path,
                                         const std::optional<std::filesystem::path>& root,
                                         std::size_t maximumBytes = maximumSmallFileBytes);

// Whether the path is a directory inside `root`.
bool isDirectory(const std::filesystem::path& path, const std::filesystem::path& root);

// The names in a directory inside `root`, hidden ones (leading ".") skipped, in ascending byte
// order so that every caller sees one stable listing order; absent when it cannot be listed.
std::optional<std::vector<std::string>> listDirectory(const std::filesystem::path& path,
                                                      const std::filesystem::path& root);

// The file's content-modification time, absent when it cannot be read.
std::optional<Date> modificationDate(const std::filesystem::path& path);

}  // namespace tarvel::AgentFileAccess
