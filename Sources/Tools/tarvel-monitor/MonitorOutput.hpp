#pragma once

#include <string_view>

#include "TarvelCore/Sockets/UnixSocketServer.hpp"
#include "Tools/tarvel-monitor/MonitorOptions.hpp"

// What every tarvel-monitor mode shares: whole writes to standard output and error, and the
// set-up before serving a socket.
namespace tarvel::Monitor {

// Writes all of `bytes`, retrying interrupted writes. When the descriptor is gone the rest is
// dropped: the monitor keeps serving, its lines just go unseen.
void writeAll(int descriptor, std::string_view bytes);

// The message and a line feed on standard error.
void printError(std::string_view message);

// Blocks the stop signals, sends log messages to standard error and, with --island, prepares
// the island directory. False (after printing why) when that directory cannot be used.
[[nodiscard]] bool prepareToServe(const MonitorOptions& options);

// Starts `server`, serves until a stop signal comes, then stops it: the exit status (1, after
// printing why, when it cannot start).
int serveUntilStopped(UnixSocketServer& server);

}  // namespace tarvel::Monitor
