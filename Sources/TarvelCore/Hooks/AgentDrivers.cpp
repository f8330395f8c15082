#include "TarvelCore/Hooks/AgentDrivers.hpp"

#include <array>

namespace tarvel::AgentDrivers {
namespace {

constinit const std::array<const AgentDriver*, 7> drivers{&codex,    &copilot, &grok, &antigravity,
                                                          &openCode, &kilo,    &droid};

}  // namespace

const AgentDriver* of(const AgentProvider& provider) {
  for (const AgentDriver* driver : drivers) {
    if (driver->id == provider.rawValue) {
      return driver;
    }
  }
  return nullptr;
}

}  // namespace tarvel::AgentDrivers
