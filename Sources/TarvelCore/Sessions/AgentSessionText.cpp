#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Sessions/AgentSession.hpp"

// A session's JSON text assembled from pieces already encoded: its text without events and the
// kept texts of its events.
namespace tarvel {

void appendSessionText(std::string& out, std::string_view withoutEvents,
                       const std::vector<std::string_view>& eventTexts, std::size_t eventLimit) {
  // The shared coder writes keys in order, so "recentEvents" goes right before "recentFiles"
  // (always present, never first). `,"recentFiles":` can only be that key: inside a string every
  // quote is escaped, and a string never ends before a bare name.
  static constexpr std::string_view nextKey = ",\"recentFiles\":";
  std::size_t at = withoutEvents.find(nextKey);
  if (at == std::string_view::npos) {
    at = withoutEvents.empty() ? 0 : withoutEvents.size() - 1;  // before the closing brace
  }
  const std::size_t count = std::min(eventLimit, eventTexts.size());
  out.append(withoutEvents.substr(0, at));
  out += ",\"recentEvents\":[";
  for (std::size_t index = 0; index < count; ++index) {
    if (index != 0) {
      out += ',';
    }
    out += eventTexts[index];
  }
  out += ']';
  out.append(withoutEvents.substr(at));
}

std::string encodeSessionText(std::string_view withoutEvents,
                              const std::vector<std::string_view>& eventTexts) {
  std::size_t size = withoutEvents.size() + 20;
  for (const std::string_view text : eventTexts) {
    size += text.size() + 1;
  }
  std::string out;
  out.reserve(size);
  appendSessionText(out, withoutEvents, eventTexts);
  return out;
}

std::string encodeSessionText(const AgentSession& session, std::size_t eventLimit) {
  std::vector<std::string> scratch;
  return encodeSessionText(Coding::encode(encodeWithoutEvents(session)),
                           session.recentEvents.texts(scratch, eventLimit));
}

}  // namespace tarvel
