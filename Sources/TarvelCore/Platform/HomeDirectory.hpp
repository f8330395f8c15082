#pragma once

#include <filesystem>

namespace tarvel::HomeDirectory {

// The current user's home directory: $HOME when set and not empty, else the password database's
// entry for the real user id; "/" when neither is known. Read at every call: tests and tools
// change HOME at run time.
std::filesystem::path current();

}  // namespace tarvel::HomeDirectory
