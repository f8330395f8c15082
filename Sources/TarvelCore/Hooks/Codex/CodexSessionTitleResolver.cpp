#include "TarvelCore/Hooks/Codex/CodexSessionTitleResolver.hpp"

#include <vector>

#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Platform/HomeDirectory.hpp"
#include "TarvelCore/Platform/JSONLinesTail.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::CodexSessionTitleResolver {
namespace {

bool isSafeSessionId(std::string_view id) {
  return !id.empty() && id.find_first_of(std::string_view("\n\0/\\", 4)) == std::string_view::npos;
}

// The bytes of the id's first character (a whole UTF-8 sequence when it is one).
std::string_view firstCharacter(std::string_view id) {
  const auto lead = static_cast<unsigned char>(id.front());
  const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  return id.substr(0, length);
}

// Whether a line can hold the id when the id has no literal run: its first character is
// written either as itself or as an escape, so a line with neither is passed over.
bool mayHold(std::string_view line, std::string_view first) {
  return line.find('\\') != std::string_view::npos || line.find(first) != std::string_view::npos;
}

}  // namespace

std::filesystem::path defaultCodexHome() { return HomeDirectory::current() / ".codex"; }

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
  // Only lines holding the id's literal bytes can name it; an id without any (quotes and
  // non-ASCII letters only) is looked for in every line that may hold it.
  const std::string_view needle = JSONLinesTail::verbatimNeedle(id);
  const std::vector<std::string_view> candidates =
      needle.empty() ? JSONLinesTail::nonEmptyLines(*tail) : JSONLinesTail::lines(*tail, needle);
  const std::string_view first = firstCharacter(id);
  for (auto line = candidates.rbegin(); line != candidates.rend(); ++line) {
    if (needle.empty() && !mayHold(*line, first)) {
      continue;
    }
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
