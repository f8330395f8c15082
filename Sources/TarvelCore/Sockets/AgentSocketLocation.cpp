#include "TarvelCore/Sockets/AgentSocketLocation.hpp"

#include "TarvelCore/Platform/HomeDirectory.hpp"

namespace tarvel::AgentSocketLocation {

std::filesystem::path homeDirectory() { return HomeDirectory::current(); }

std::filesystem::path defaultURL() { return homeDirectory() / ".tarvel" / "agent.sock"; }

}  // namespace tarvel::AgentSocketLocation
