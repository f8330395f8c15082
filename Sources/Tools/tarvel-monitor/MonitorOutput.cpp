#include "Tools/tarvel-monitor/MonitorOutput.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "QuoyaCore/IslandPaths.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "Tools/tarvel-monitor/StopSignals.hpp"

namespace tarvel::Monitor {

void writeAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 1) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void printError(std::string_view message) { writeAll(STDERR_FILENO, std::string(message) + "\n"); }

bool prepareToServe(const MonitorOptions& options) {
  StopSignals::block();
  Log::setSink(Log::standardErrorSink());
  if (options.island) {
    if (auto error = quoya::IslandPaths::prepare()) {
      printError(error->description());
      return false;
    }
  }
  return true;
}

int serveUntilStopped(UnixSocketServer& server) {
  if (auto error = server.start()) {
    printError(error->description());
    return 1;
  }
  StopSignals::wait();
  server.stop();
  return 0;
}

}  // namespace tarvel::Monitor
