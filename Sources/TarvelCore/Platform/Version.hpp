#pragma once

#include <string_view>

#ifndef TARVEL_VERSION
#define TARVEL_VERSION "0.0.0"
#endif

namespace tarvel {

// The version of this build, the same for every program (set once, in the build).
inline constexpr std::string_view version = TARVEL_VERSION;

}  // namespace tarvel
