#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/MainQueue.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sessions/AgentActivityService.hpp"
#include "TarvelCore/Sockets/UnixSocketServer.hpp"
#include "Tools/tarvel-monitor/Modes.hpp"
#include "Tools/tarvel-monitor/MonitorOutput.hpp"
#include "Tools/tarvel-monitor/StopSignals.hpp"

namespace tarvel::Monitor {
namespace {

// The service as seen from outside after one change, as one JSON object.
Json serviceReport(const AgentActivityService& service, bool ingested) {
  const NotchActivitySnapshot& snapshot = service.notchSnapshot();
  Json providers = Json::array();
  for (const AgentProvider& provider : snapshot.activeProviders) {
    providers.push_back(provider.rawValue);
  }
  std::optional<std::string> attentionSession;
  if (snapshot.attentionSession) {
    attentionSession = (*snapshot.attentionSession)->id;
  }
  Json sessions = Json::array();
  for (const SharedSession& session : service.sessions()) {
    sessions.push_back(toJSON(*session));
  }
  const Json snapshotObject = JSONCoding::ObjectBuilder()
                                  .set("activeGroupCount", snapshot.activeGroupCount)
                                  .set("activeProviders", providers)
                                  .set("activeSessions", sessionIds(snapshot.activeSessions))
                                  .set("attentionSession", attentionSession)
                                  .set("attentionSessions", sessionIds(snapshot.attentionSessions))
                                  .set("hiddenActiveGroupCount", snapshot.hiddenActiveGroupCount)
                                  .set("listSessions", sessionIds(snapshot.listSessions))
                                  .set("relatedSessions", sessionIds(snapshot.relatedSessions))
                                  .build();
  return JSONCoding::ObjectBuilder()
      .set("historyRevision", service.historyRevision())
      .set("ingested", ingested)
      .set("protocolMismatchDetected", service.protocolMismatchDetected())
      .set("sessions", sessions)
      .set("attentionEvent", service.attentionEvent())
      .set("snapshot", snapshotObject)
      .build();
}

std::string sessionLine(const AgentSession& session) {
  std::string line = session.id + " [" + std::string(rawValue(session.state)) + "] " + session.task;
  if (!session.currentActivity.empty()) {
    line += " - " + session.currentActivity;
  }
  return line;
}

// The same state for a person: the listed groups with their members, the attention session
// with its activity and pending prompt, and the counts.
std::string prettyReport(const AgentActivityService& service, bool ingested) {
  const NotchActivitySnapshot& snapshot = service.notchSnapshot();
  std::string text = "#";
  text += std::to_string(service.historyRevision()) + (ingested ? "" : " (event dropped)") + ": " +
          std::to_string(service.sessions().size()) + " sessions, " +
          std::to_string(snapshot.activeGroupCount) + " active groups (" +
          std::to_string(snapshot.hiddenActiveGroupCount) + " not listed), " +
          std::to_string(snapshot.attentionCount()) + " waiting" +
          (service.protocolMismatchDetected() ? ", protocol mismatch" : "") + "\n";
  const SessionIndex& index = service.index();
  for (const SharedSession& root : snapshot.listSessions) {
    text += "  * " + sessionLine(*root) + "\n";
    const auto members = index.groupMembersByRootID().find(root->id);
    if (members == index.groupMembersByRootID().end()) {
      continue;
    }
    for (const SharedSession& member : members->second) {
      if (member->id != root->id) {
        text += "      - " + sessionLine(*member) + "\n";
      }
    }
  }
  if (snapshot.attentionSession) {
    const AgentSession& waiting = **snapshot.attentionSession;
    text += "  attention: " + sessionLine(waiting) + "\n";
    if (waiting.pendingReply) {
      text += "    prompt: " + waiting.pendingReply->prompt + "\n";
    }
  }
  return text;
}

}  // namespace

int runSessions(const MonitorOptions& options) {
  if (!prepareToServe(options)) {
    return 1;
  }

  // SIGINT and SIGTERM are blocked; the main thread reads them from a descriptor so that one
  // poll waits for both a stop and the events handed over by the server's reader threads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  const UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals) {
    printError("signalfd failed");
    return 1;
  }

  MainQueue mainQueue;
  AgentActivityService service;
  const auto print = [&service, &options](bool ingested) {
    writeAll(STDOUT_FILENO, options.pretty
                                ? prettyReport(service, ingested)
                                : Coding::encode(serviceReport(service, ingested)) + "\n");
  };
  // Every committed change; in this program only ingest commits, and it returns true then.
  service.setOnSessionsChanged([&print](const SessionList&) { print(true); });

  UnixSocketServer server(socketPath(options), options.maximumPayloadBytes,
                          [&mainQueue, &service, &print](const AgentEvent& event) {
                            mainQueue.post([&service, &print, event] {
                              if (!service.ingest(event)) {
                                print(false);
                              }
                            });
                          });
  if (auto error = server.start()) {
    printError(error->description());
    return 1;
  }
  std::array<pollfd, 2> descriptors{
      {{.fd = signals.get(), .events = POLLIN, .revents = 0},
       {.fd = mainQueue.wakeDescriptor(), .events = POLLIN, .revents = 0}}};
  while (true) {
    const int ready = ::poll(descriptors.data(), descriptors.size(), -1);
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if (descriptors[0].revents != 0) {
      break;
    }
    mainQueue.drain();
  }
  server.stop();
  mainQueue.drain();  // what the server delivered before it stopped
  return 0;
}

}  // namespace tarvel::Monitor
