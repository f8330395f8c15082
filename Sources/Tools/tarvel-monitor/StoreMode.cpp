#include <unistd.h>

#include <mutex>
#include <string>
#include <string_view>

#include "QuoyaCore/IslandStore.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Sessions/AgentSession.hpp"
#include "TarvelCore/Sockets/UnixSocketServer.hpp"
#include "Tools/tarvel-monitor/Modes.hpp"
#include "Tools/tarvel-monitor/MonitorOutput.hpp"

namespace tarvel::Monitor {
namespace {

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
  if (!prepareToServe(options)) {
    return 1;
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
  return serveUntilStopped(server);
}

}  // namespace tarvel::Monitor
