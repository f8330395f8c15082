#include "TarvelDisplay/Service/EventHost.hpp"

namespace tarvel::Display::EventHost {

std::string localName() { return AgentOrigin::localHost(); }

void localize(AgentEvent& event, std::string_view localHost) {
  if (!event.origin || !event.origin->host) {
    return;
  }
  const auto host = event.origin->remoteHost(localHost);
  if (!host) {
    event.origin->host.reset();
    if (event.origin->isEmpty()) {
      event.origin.reset();
    }
    return;
  }
  event.sessionId += "@" + *host;
  if (event.parentSessionId) {
    *event.parentSessionId += "@" + *host;
  }
}

}  // namespace tarvel::Display::EventHost
