#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "QuoyaCore/IslandPaths.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/Log.hpp"
#include "TarvelCore/Protocol/UnixSocketServer.hpp"
#include "Tools/tarvel-monitor/Modes.hpp"
#include "Tools/tarvel-monitor/StopSignals.hpp"

namespace tarvel::Monitor {
namespace {

void writeAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 1) {
      return;  // standard output is gone; keep serving, the events just go unseen
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void printError(std::string_view message) { writeAll(STDERR_FILENO, std::string(message) + "\n"); }

}  // namespace

int runEvents(const MonitorOptions& options) {
  StopSignals::block();
  Log::setSink(Log::standardErrorSink());

  if (options.island) {
    if (auto error = quoya::IslandPaths::prepare()) {
      printError(error->description());
      return 1;
    }
  }

  // Reader threads call the handler concurrently; one write per line, under a lock, keeps the
  // lines whole and in arrival order on standard output.
  std::mutex outputMutex;
  UnixSocketServer server(socketPath(options), options.maximumPayloadBytes,
                          [&outputMutex](const AgentEvent& event) {
                            const std::string line = encodeEventLine(event);
                            const std::scoped_lock lock(outputMutex);
                            writeAll(STDOUT_FILENO, line);
                          });
  if (auto error = server.start()) {
    printError(error->description());
    return 1;
  }
  StopSignals::wait();
  server.stop();
  return 0;
}

}  // namespace tarvel::Monitor
