#pragma once

#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"

// Text from agents as every display shows it: nothing in it may act on a terminal or reorder what
// is read. Control characters other than line feed and tab (escape sequences among them) and the
// bidirectional formatting characters are written out as "⟨U+202E⟩". Applied once, where events
// enter the service, so the state, the terminal display, the page and notifications all show the
// same text. Pure functions.
namespace tarvel::Display::VisibleText {

// `text` with those characters written out; invalid UTF-8 becomes U+FFFD.
std::string visible(std::string_view text);

// The event with its shown texts made visible: task, activity, file, working directory (and so
// the project's name), host, and its prompt's text and details. Question texts and option
// labels are left as they are: answers name them.
void makeVisible(AgentEvent& event);

}  // namespace tarvel::Display::VisibleText
