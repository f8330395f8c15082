#include "TarvelCore/Protocol/AgentReplySocketLocation.hpp"

#include "TarvelCore/Protocol/AgentSocketLocation.hpp"

namespace tarvel::AgentReplySocketLocation {

std::filesystem::path defaultURL() {
  return AgentSocketLocation::tarvelDirectory() / "reply.sock";
}

}  // namespace tarvel::AgentReplySocketLocation
