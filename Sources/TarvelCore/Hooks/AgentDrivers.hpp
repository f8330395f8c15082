#pragma once

#include "TarvelCore/Hooks/AgentDriver.hpp"

// The agents' drivers, each defined in its agent's folder and listed in AgentDrivers.cpp.
namespace tarvel::AgentDrivers {

extern const AgentDriver codex;
extern const AgentDriver copilot;
extern const AgentDriver grok;
extern const AgentDriver antigravity;
extern const AgentDriver openCode;
extern const AgentDriver kilo;
extern const AgentDriver droid;

// The driver of `provider`; nullptr for an agent that needs none.
const AgentDriver* of(const AgentProvider& provider);

}  // namespace tarvel::AgentDrivers
