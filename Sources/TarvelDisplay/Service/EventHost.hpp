#pragma once

#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"

// Which machine an event comes from. Hooks record their host name in the event's origin; the
// service keeps it only for other machines (remote hosts over SSH, containers), where it also
// keeps the sessions apart from this machine's by naming them "ID@host".
namespace tarvel::Display::EventHost {

// This machine's host name; empty when it cannot be told.
std::string localName();

// Drops the origin's host when it is `localHost` (or empty); otherwise appends "@host" to the
// event's session and parent session ids.
void localize(AgentEvent& event, std::string_view localHost);

}  // namespace tarvel::Display::EventHost
