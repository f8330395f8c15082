#pragma once

#include "Tools/tarvel/CommandLine.hpp"

// `tarvel doctor`: what to check when nothing shows up. For each agent the installer knows, its
// configuration file, our hook entries in it, the installed relay against this build's, Codex's
// trust in our hooks and when the service last heard from the agent; then whether the service
// answers. One line per check, then one line per problem saying what to do.
// Reads only: it writes no file and asks the service only for its health and state. Bounded:
// the service is given about a second for each answer, Codex (when it is asked) a few seconds.
namespace tarvel::Doctor {

// `tarvel doctor`; its run returns 0 when nothing is wrong, 1 when there is a problem (or the
// home directory cannot be told).
extern const CommandLine::Command command;

}  // namespace tarvel::Doctor
