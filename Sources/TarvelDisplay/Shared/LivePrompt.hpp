#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/UUID.hpp"

namespace tarvel::Display {

// A prompt that a hook waits on right now: what it asks, whose it is, when it arrived and when
// its hook gives up. Plain value; JSON keys as the API writes them.
struct LivePrompt {
  UUID replyId;
  std::string sessionId;
  AgentProvider provider;
  std::optional<std::string> projectName;
  // Where its agent works: the event's folder, and its machine when not this one.
  std::optional<std::string> workingDirectory;
  std::optional<std::string> host;
  Date receivedAt{};
  Date expiresAt{};
  AgentPendingReply pendingReply;
  // The agent process of this machine that asked, and when it started (which tells a reused id
  // apart); absent for agents of other machines and hooks that could not tell. Not published.
  std::optional<std::int32_t> agentProcess;
  std::optional<Date> agentStartedAt;
  // The agent's own id of the tool call it asks about, which its later events name (OpenCode's
  // reply to a permission); absent when the agent sent none. Not published.
  std::optional<std::string> toolCallId;
  bool operator==(const LivePrompt&) const = default;
};

// Why `reply` does not fit `prompt` (a decision its grants do not allow, an option it does not
// offer, an answer to a question it does not ask); absent when it fits.
std::optional<std::string> mismatch(const AgentReply& reply, const AgentPendingReply& prompt);

}  // namespace tarvel::Display

namespace tarvel {
template <>
struct Codable<Display::LivePrompt> {
  static Json encode(const Display::LivePrompt& prompt);
  static Display::LivePrompt decode(const Json& value, const std::string& path);
};
}  // namespace tarvel
