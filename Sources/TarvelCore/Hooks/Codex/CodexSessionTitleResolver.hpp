#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Finds the official name of a Codex thread in "session_index.jsonl" in the Codex home, newest
// record first, reading at most the index's last 4 MiB. Never fails: absent when nothing fits.
namespace tarvel::CodexSessionTitleResolver {

inline constexpr std::size_t maximumIndexTailBytes = 4194304;

// The current user's Codex home: the home directory + "/.codex".
std::filesystem::path defaultCodexHome();

// The displayable thread name of the newest index record for the session id (trimmed; it must
// be non-empty and free of line feed, NUL, "/" and "\"). Absent when that record has no name.
std::optional<std::string> title(std::string_view nativeSessionId,
                                 const std::filesystem::path& codexHome);

// "codex:abc:def" gives "abc"; ids of other providers give absent.
std::optional<std::string> threadID(std::string_view canonicalSessionId);

}  // namespace tarvel::CodexSessionTitleResolver
