#include "Tools/tarvel/AgentNames.hpp"

#include <string>

#include "TarvelCore/Models/AgentCatalogue.hpp"

namespace tarvel::AgentNames {

std::vector<CommandLine::Word> installable() {
  std::vector<CommandLine::Word> words;
  for (const AgentRow* row : AgentCatalogue::all()) {
    if (!row->installName.empty()) {
      words.push_back({.name = std::string(row->installName),
                       .meaning = std::string(row->displayName) + " (~/" +
                                  std::string(row->configuration.file) + ")"});
    }
  }
  return words;
}

}  // namespace tarvel::AgentNames
