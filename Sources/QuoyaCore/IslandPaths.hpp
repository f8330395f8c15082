#pragma once

#include <filesystem>
#include <optional>

#include "TarvelCore/Platform/AgentSocketError.hpp"

// The island display's private directory and its event socket, under the home directory.
namespace quoya::IslandPaths {

// "~/.quoya-island".
std::filesystem::path directory();

// "~/.quoya-island/events.sock": where the hook command sends and the island listens.
std::filesystem::path socket();

// Creates the island directory (0700) and sets it to 0700. Refuses, changing nothing, when the
// directory is a symbolic link (fileSystem error with EACCES).
[[nodiscard]] std::optional<tarvel::AgentSocketError> prepare();

}  // namespace quoya::IslandPaths
