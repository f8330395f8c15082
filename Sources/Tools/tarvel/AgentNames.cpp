#include "Tools/tarvel/AgentNames.hpp"

#include <string>

#include "TarvelCore/Hooks/AgentCapabilities.hpp"

namespace tarvel::AgentNames {

std::vector<CommandLine::Word> installable() {
  std::vector<CommandLine::Word> words;
  for (const AgentCapabilities* row : AgentCapabilityTable::all()) {
    if (!row->installName.empty()) {
      words.push_back({.name = std::string(row->installName),
                       .meaning = std::string(row->displayName) + " (~/" +
                                  std::string(row->configurationFile) + ")"});
    }
  }
  return words;
}

}  // namespace tarvel::AgentNames
