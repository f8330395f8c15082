#pragma once

#include <filesystem>

// The core library's well-known socket location.
namespace tarvel::AgentSocketLocation {

// The current user's home directory: $HOME when set and not empty, else the password database's
// entry for the real user id; "/" when neither is known.
std::filesystem::path homeDirectory();

// Tarvel's own directory: $TARVEL_HOME when it is set to an absolute path, else "~/.tarvel". The
// directory gets the same guards either way (0700, never a symbolic link).
std::filesystem::path tarvelDirectory();

// "~/.tarvel/agent.sock": the default event socket (inside tarvelDirectory()). A server at exactly
// this path forces its directory to 0700.
std::filesystem::path defaultURL();

}  // namespace tarvel::AgentSocketLocation
