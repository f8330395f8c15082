#include "TarvelCore/Hooks/AgentRows.hpp"

namespace tarvel::AgentRows {

// Antigravity reads no decision back, but expects its own passive answer for each event.
const AgentCapabilities& antigravity() {
  static const AgentCapabilities row{
      .provider = AgentProvider::antigravity,
      .displayName = "Antigravity",
      .passiveAnswer = PassiveAnswer::antigravity,
  };
  return row;
}

}  // namespace tarvel::AgentRows
