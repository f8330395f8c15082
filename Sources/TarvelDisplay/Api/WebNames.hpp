#pragma once

#include <string_view>

namespace tarvel::Display::WebNames {

// The page's script of names (served as /names.js): every agent's name from the agent catalogue,
// and the state and outcome names the terminal display and the notifications use, so that the
// page speaks the same words as they do.
std::string_view script();

}  // namespace tarvel::Display::WebNames
