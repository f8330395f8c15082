#include "TarvelDisplay/Service/EventHost.hpp"

#include <unistd.h>

namespace tarvel::Display::EventHost {

std::string localName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    return {};
  }
  return name;
}

void localize(AgentEvent& event, std::string_view localHost) {
  if (!event.origin || !event.origin->host) {
    return;
  }
  const std::string& host = *event.origin->host;
  if (host.empty() || host == localHost) {
    event.origin->host.reset();
    if (event.origin->isEmpty()) {
      event.origin.reset();
    }
    return;
  }
  event.sessionId += "@" + host;
  if (event.parentSessionId) {
    *event.parentSessionId += "@" + host;
  }
}

}  // namespace tarvel::Display::EventHost
