#include "TarvelDisplay/Api/WebNames.hpp"

#include <string>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelDisplay/Shared/AnswerRecord.hpp"

namespace tarvel::Display::WebNames {

namespace {

std::string makeScript() {
  Json agents = Json::object();
  for (const AgentRow* row : AgentCatalogue::all()) {
    agents[std::string(row->id)] = std::string(row->displayName);
  }
  Json states = Json::object();
  for (const auto& [state, raw] : EnumNames<AgentState>::table) {
    states[std::string(raw)] = std::string(displayName(state));
  }
  // By "outcome by" (endingWords), and by outcome alone for a place the table does not know.
  Json outcomes = Json::object();
  for (const std::string_view outcome : knownOutcomes()) {
    outcomes[std::string(outcome)] = outcomeLabel(outcome);
    for (const std::string_view by : knownPlaces()) {
      outcomes[std::string(outcome) + " " + std::string(by)] = endingWords(outcome, by);
    }
  }
  return "// The agent, state and outcome names of the terminal display and the notifications.\n"
         "const agentNames = " + Coding::encode(agents) + ";\n" +
         "const stateNames = " + Coding::encode(states) + ";\n" +
         "const outcomeNames = " + Coding::encode(outcomes) + ";\n";
}

}  // namespace

std::string_view script() {
  static const std::string text = makeScript();
  return text;
}

}  // namespace tarvel::Display::WebNames
