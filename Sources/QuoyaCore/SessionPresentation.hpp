#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"

namespace quoya {

// The island's Chinese label for a state ("待命", "执行中", ...).
std::string_view chineseLabel(tarvel::AgentState state);

// Short display texts for the island's session rows.
namespace SessionPresentation {

// A compact age: "<1m" below a minute (and for a date in the future), then "5m", "3h", "2d".
std::string elapsed(tarvel::Date since, tarvel::Date now);

// The provider's name on the island: the agent catalogue's ("Codex", "Claude Code", "Gemini
// CLI"), "示例" for the demo provider, otherwise its display name.
std::string providerLabel(const tarvel::AgentProvider& provider);

// The thread title in a decoded app-server response, {"result": {"thread": {"id", "name"}}}:
// absent unless the thread id equals `expectedID` and the name is a string that is not blank.
// The name is returned untrimmed.
std::optional<std::string> title(const tarvel::Json& response, std::string_view expectedID);

}  // namespace SessionPresentation
}  // namespace quoya
