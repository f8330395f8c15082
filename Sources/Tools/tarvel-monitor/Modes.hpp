#pragma once

#include "Tools/tarvel-monitor/MonitorOptions.hpp"

// One function per tarvel-monitor mode; each returns the process exit status.
namespace tarvel::Monitor {

// Serves the event socket and prints each event received, re-encoded, one line each.
int runEvents(const MonitorOptions& options);

// Serves the event socket, offers each event to one island store and prints the store's state
// after each offer, one JSON line each.
int runStore(const MonitorOptions& options);

// Reads the titles of the given Codex threads through the Codex program's app-server mode and
// prints them as one JSON line (a map from thread id to title).
int runCodexTitles(const MonitorOptions& options);

// Serves the event socket, hands each event to the main thread, folds it into one activity
// service and prints the service's state after each change (JSON lines, or --pretty text).
int runSessions(const MonitorOptions& options);

}  // namespace tarvel::Monitor
