#pragma once

#include <string_view>

// What `tarvel` says about its commands: one listing for all of them, so that they read alike.
namespace tarvel::Usage {

// Every command with its options, one line each: shown under a wrong command.
std::string_view synopsis();

// The synopsis, then a few lines on what each command does: `tarvel --help`.
std::string_view full();

}  // namespace tarvel::Usage
