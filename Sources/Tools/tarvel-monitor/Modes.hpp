#pragma once

#include "Tools/tarvel-monitor/MonitorOptions.hpp"

// One function per tarvel-monitor mode; each returns the process exit status.
namespace tarvel::Monitor {

// Serves the event socket and prints each event received, re-encoded, one line each.
int runEvents(const MonitorOptions& options);

// Serves the event socket, offers each event to one island store and prints the store's state
// after each offer, one JSON line each.
int runStore(const MonitorOptions& options);

}  // namespace tarvel::Monitor
