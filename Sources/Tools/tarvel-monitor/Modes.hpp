#pragma once

#include "Tools/tarvel-monitor/MonitorOptions.hpp"

// One function per tarvel-monitor mode; each returns the process exit status.
namespace tarvel::Monitor {

// Serves the event socket and prints each event received, re-encoded, one line each.
int runEvents(const MonitorOptions& options);

}  // namespace tarvel::Monitor
