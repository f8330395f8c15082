#pragma once

#include <string_view>

// The version every Tarvel program reports with --version; one number for the whole build, set
// by the project's CMakeLists.txt.
namespace tarvel {

#ifndef TARVEL_VERSION
#error "TARVEL_VERSION is defined by the build"
#endif

inline constexpr std::string_view version = TARVEL_VERSION;

}  // namespace tarvel
