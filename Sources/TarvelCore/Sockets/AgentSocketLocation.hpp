#pragma once

#include <filesystem>

// The core library's well-known socket location.
namespace tarvel::AgentSocketLocation {

// The current user's home directory: $HOME when set and not empty, else the password database's
// entry for the real user id; "/" when neither is known.
std::filesystem::path homeDirectory();

// "~/.tarvel/agent.sock": the default event socket. A server at exactly this path forces its
// directory to 0700.
std::filesystem::path defaultURL();

}  // namespace tarvel::AgentSocketLocation
