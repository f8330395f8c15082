#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Coding.hpp"

namespace tarvel {

// The agent product that produced an event: an open identifier, always lower-case, compared and
// hashed by its raw value. Any raw value is allowed; the well-known ones are static members.
struct AgentProvider {
  std::string rawValue;

  AgentProvider() = default;
  // Stores `raw` lower-cased; never fails.
  explicit AgentProvider(std::string_view raw);

  static const AgentProvider codex;
  static const AgentProvider claudeCode;
  static const AgentProvider geminiCLI;
  static const AgentProvider grok;
  static const AgentProvider openCode;
  static const AgentProvider antigravity;
  static const AgentProvider cursor;

  const std::string& id() const { return rawValue; }

  // "Codex", "Claude", ...; other providers: "-" as spaces, each word capitalised ("My Agent").
  std::string displayName() const;

  // rawValue + ":" + id, unless id already starts with that prefix.
  std::string namespacedSessionID(std::string_view id) const;

  bool operator==(const AgentProvider&) const = default;
  auto operator<=>(const AgentProvider&) const = default;
};

inline const AgentProvider AgentProvider::codex{"codex"};
inline const AgentProvider AgentProvider::claudeCode{"claude-code"};
inline const AgentProvider AgentProvider::geminiCLI{"gemini-cli"};
inline const AgentProvider AgentProvider::grok{"grok"};
inline const AgentProvider AgentProvider::openCode{"opencode"};
inline const AgentProvider AgentProvider::antigravity{"antigravity"};
inline const AgentProvider AgentProvider::cursor{"cursor"};

template <>
struct Codable<AgentProvider> {
  static Json encode(const AgentProvider& provider) { return Json(provider.rawValue); }
  static AgentProvider decode(const Json& value, const std::string& path) {
    return AgentProvider(JSONCoding::readString(value, path));
  }
};

}  // namespace tarvel

template <>
struct std::hash<tarvel::AgentProvider> {
  std::size_t operator()(const tarvel::AgentProvider& provider) const noexcept {
    return std::hash<std::string>{}(provider.rawValue);
  }
};
