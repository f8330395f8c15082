#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>

#include "QuoyaCore/IslandPaths.hpp"
#include "QuoyaCore/IslandStore.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentSession.hpp"
#include "TarvelCore/Models/Coding.hpp"
#include "TarvelCore/Models/Date.hpp"
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
      return;  // standard output is gone; keep serving, the lines just go unseen
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void printError(std::string_view message) { writeAll(STDERR_FILENO, std::string(message) + "\n"); }

// The store as seen from outside after one offer, as one JSON object.
Json storeReport(const quoya::IslandStore& store, bool accepted) {
  Json providerEventAt = Json::object();
  for (const auto& [provider, date] : store.providerEventAt()) {
    providerEventAt[provider.rawValue] = JSONCoding::write(date);
  }
  Json sessions = Json::array();
  for (const AgentSession& session : store.sessions()) {
    sessions.push_back(toJSON(session));
  }
  return JSONCoding::ObjectBuilder()
      .set("accepted", accepted)
      .set("acceptedCount", store.acceptedCount())
      .set("lastCodexEventAt", store.lastCodexEventAt())
      .set("lastCodexHook", store.lastCodexHook())
      .set("providerEventAt", providerEventAt)
      .set("sessions", sessions)
      .set("titles", store.titles())
      .build();
}

}  // namespace

int runStore(const MonitorOptions& options) {
  StopSignals::block();
  Log::setSink(Log::standardErrorSink());

  if (options.island) {
    if (auto error = quoya::IslandPaths::prepare()) {
      printError(error->description());
      return 1;
    }
  }

  // Reader threads deliver concurrently; the lock makes each offer and its report one step, so
  // the reports come out in the order the store saw the events.
  std::mutex storeMutex;
  quoya::IslandStore store;
  UnixSocketServer server(socketPath(options), options.maximumPayloadBytes,
                          [&storeMutex, &store](const AgentEvent& event) {
                            const std::scoped_lock lock(storeMutex);
                            const bool accepted = store.receive(event, Dates::now());
                            writeAll(STDOUT_FILENO,
                                     Coding::encode(storeReport(store, accepted)) + "\n");
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
