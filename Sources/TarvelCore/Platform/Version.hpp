#pragma once

#include <string_view>

// The version every Tarvel program reports with --version; one number for the whole build, set
// by the project's CMakeLists.txt.
namespace tarvel {

#ifndef TARVEL_VERSION
#error "TARVEL_VERSION is defined by the build"
#endif

inline constexpr std::string_view version = TARVEL_VERSION;

// For commands that agents run with arguments of their own: when `--version`, `--help` or `-h`
// is the only argument, prints "<program> <version>" or `usage` to standard output and returns
// true. Agents never pass these alone; a person asking what the program is does.
bool answeredVersionOrHelp(int argc, char** argv, std::string_view program,
                           std::string_view usage);

}  // namespace tarvel
