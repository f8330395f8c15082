#include <unistd.h>

#include <mutex>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Sockets/UnixSocketServer.hpp"
#include "Tools/tarvel-monitor/Modes.hpp"
#include "Tools/tarvel-monitor/MonitorOutput.hpp"

namespace tarvel::Monitor {

int runEvents(const MonitorOptions& options) {
  if (!prepareToServe(options)) {
    return 1;
  }

  // Reader threads call the handler concurrently; one write per line, under a lock, keeps the
  // lines whole and in arrival order on standard output. A line that decoded to an event is
  // printed as it arrived: hooks send the shared encoder's line, so encoding the event again
  // would only cost time and give the same bytes.
  std::mutex outputMutex;
  UnixSocketServer server(
      socketPath(options), options.maximumPayloadBytes,
      UnixSocketServer::LineHandler([&outputMutex](const AgentEvent&, std::string_view received) {
        std::string line;
        line.reserve(received.size() + 1);
        line.append(received).push_back('\n');
        const std::scoped_lock lock(outputMutex);
        writeAll(STDOUT_FILENO, line);
      }));
  return serveUntilStopped(server);
}

}  // namespace tarvel::Monitor
