#include "TarvelCore/Hooks/AgentRows.hpp"

namespace tarvel::AgentRows {

// Grok's hooks report its steps and carry no decision back.
const AgentCapabilities& grok() {
  static const AgentCapabilities row{
      .provider = AgentProvider::grok,
      .displayName = "Grok",
  };
  return row;
}

}  // namespace tarvel::AgentRows
