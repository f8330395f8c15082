#include "TarvelCore/Protocol/CodexSessionTitleResolver.hpp"

#include <algorithm>
#include <vector>

#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Models/StringHelpers.hpp"
#include "TarvelCore/Protocol/AgentSocketLocation.hpp"
#include "TarvelCore/Protocol/JSONLinesTail.hpp"

namespace tarvel::CodexSessionTitleResolver {
namespace {

bool isSafeSessionId(std::string_view id) {
  return !id.empty() && id.find_first_of(std::string_view("\n\0/\\", 4)) == std::string_view::npos;
}

// Ids that appear in the index's bytes exactly as written: printable ASCII without a quote
// (JSON escapes nothing else in that range but "\", which a safe id lacks).
bool appearsVerbatim(std::string_view id) {
  return std::all_of(id.begin(), id.end(), [](char byte) {
    return byte >= 0x20 && byte <= 0x7E && byte != '"';
  });
}

}  // namespace

std::filesystem::path defaultCodexHome() { return AgentSocketLocation::homeDirectory() / ".codex"; }

std::optional<std::string> title(std::string_view nativeSessionId,
                                 const std::filesystem::path& codexHome) {
  const std::string id = Text::trimmed(nativeSessionId);
  if (!isSafeSessionId(id)) {
    return std::nullopt;
  }
  const auto tail =
      JSONLinesTail::jsonlTail(codexHome / "session_index.jsonl", maximumIndexTailBytes, codexHome);
  if (!tail) {
    return std::nullopt;
  }
  const std::vector<std::string_view> candidates =
      appearsVerbatim(id) ? JSONLinesTail::lines(*tail, id) : JSONLinesTail::nonEmptyLines(*tail);
  for (auto line = candidates.rbegin(); line != candidates.rend(); ++line) {
    const auto record = JSONLinesTail::parseObject(*line);
    if (!record) {
      continue;
    }
    const auto recordId = JSONLinesTail::lossyString(*record, {"id"});
    if (recordId != id) {
      continue;
    }
    const auto threadName = JSONLinesTail::lossyString(*record, {"thread_name", "threadName"});
    if (!threadName) {
      return std::nullopt;
    }
    return AgentTaskTitle::displayable(*threadName);
  }
  return std::nullopt;
}

std::optional<std::string> threadID(std::string_view canonicalSessionId) {
  const std::string prefix = AgentProvider::codex.rawValue + ":";
  if (!Text::startsWith(canonicalSessionId, prefix)) {
    return std::nullopt;
  }
  for (const std::string& piece : Text::split(canonicalSessionId.substr(prefix.size()), ":")) {
    if (!piece.empty()) {
      return piece;
    }
  }
  return std::nullopt;
}

}  // namespace tarvel::CodexSessionTitleResolver
