#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/UUID.hpp"

// Prompts that hold an agent until the user answers, the answers, and the reply socket's
// handshake records. All are plain values with an exact, case-sensitive JSON form.
namespace tarvel {

enum class AgentPromptKind { permission, question, plan, elicitation };
// `always` allows and has the agent keep a standing rule it suggested itself, so it does not ask
// again (Claude Code's permission suggestions).
enum class AgentReplyGrant { deny, allow, cancel, always };
enum class AgentReplyDecision { deny, allow, option, cancel, always };

template <>
struct EnumNames<AgentPromptKind> {
  static constexpr std::array<std::pair<AgentPromptKind, std::string_view>, 4> table{{
      {AgentPromptKind::permission, "permission"},
      {AgentPromptKind::question, "question"},
      {AgentPromptKind::plan, "plan"},
      {AgentPromptKind::elicitation, "elicitation"},
  }};
};
template <>
struct EnumNames<AgentReplyGrant> {
  static constexpr std::array<std::pair<AgentReplyGrant, std::string_view>, 4> table{{
      {AgentReplyGrant::deny, "deny"},
      {AgentReplyGrant::allow, "allow"},
      {AgentReplyGrant::cancel, "cancel"},
      {AgentReplyGrant::always, "always"},
  }};
};
template <>
struct EnumNames<AgentReplyDecision> {
  static constexpr std::array<std::pair<AgentReplyDecision, std::string_view>, 5> table{{
      {AgentReplyDecision::deny, "deny"},
      {AgentReplyDecision::allow, "allow"},
      {AgentReplyDecision::option, "option"},
      {AgentReplyDecision::cancel, "cancel"},
      {AgentReplyDecision::always, "always"},
  }};
};

// One choice offered to the user; `id` is what AgentReply.optionId sends back.
struct AgentPromptOption {
  std::string id;
  std::string label;
  std::optional<std::string> description;  // what choosing it means, when the agent says
  bool operator==(const AgentPromptOption&) const = default;
};

// One question of a question prompt; its `text` is its identity and the key of its answer.
struct AgentPromptQuestion {
  std::string text;
  std::optional<std::string> header;
  std::vector<AgentPromptOption> options;
  bool allowsMultiple = false;
  const std::string& id() const { return text; }
  bool operator==(const AgentPromptQuestion&) const = default;
};

// A prompt waiting for the user; the hook registers under `replyId` on the reply socket.
struct AgentPendingReply {
  UUID replyId;
  AgentPromptKind kind = AgentPromptKind::permission;
  std::string prompt;
  std::optional<std::string> detail;
  // All of what the user approves (the whole command, the change, the URL and its prompt, the
  // tool input), bounded by the builder; `detail` is its one-line summary. Older hooks omit it.
  std::optional<std::string> fullDetail;
  std::vector<AgentPromptOption> options;
  std::optional<std::vector<AgentPromptQuestion>> questions;
  std::vector<AgentReplyGrant> grants;
  // With the `always` grant: what choosing it does, in words from the agent's own suggestion
  // ("Always allow Bash(npm test)"), and the suggestion itself as the agent sent it (JSON text,
  // carried as is: the hook writes it back to its agent, nothing else reads it).
  std::optional<std::string> alwaysLabel;
  std::optional<std::string> alwaysRule;
  // Why the agent wants to do it, in its own words (Codex's stated reason).
  std::optional<std::string> reason;

  const UUID& id() const { return replyId; }
  bool allowsAlways() const;
  bool allowsAllow() const;
  bool allowsDeny() const;
  bool allowsCancel() const;
  bool operator==(const AgentPendingReply&) const = default;
};

// The user's answer to one pending prompt.
struct AgentReply {
  UUID replyId;
  AgentReplyDecision decision = AgentReplyDecision::deny;
  std::optional<std::string> optionId;
  // Question text -> labels of the options chosen for it.
  std::optional<std::map<std::string, std::vector<std::string>>> answers;
  bool operator==(const AgentReply&) const = default;
};

// A waiting hook's first line on the reply socket.
struct AgentReplyHello {
  UUID replyId;
  // How long the hook waits for the answer; displays show when it gives up. Older hooks omit it.
  std::optional<std::int64_t> timeoutSeconds;
  // True when the hook offers to confirm the answer it reads with a receipt line, so the display
  // can tell an answer taken from one lost with a hook that died. An offer only: the hook sends
  // the receipt when the acknowledgement asks for it. Older hooks omit it.
  std::optional<bool> confirmsReceipt;
  bool operator==(const AgentReplyHello&) const = default;
};

// The reply socket's answer to a hello.
struct AgentReplyAcknowledgement {
  bool registered = false;
  // True when the display takes up the hook's offer and waits for its receipt after the answer.
  // Displays that do not know receipts omit it, and their hooks send none.
  std::optional<bool> wantsReceipt;
  bool operator==(const AgentReplyAcknowledgement&) const = default;
};

template <>
struct Codable<AgentPromptOption> {
  static Json encode(const AgentPromptOption& option);
  static AgentPromptOption decode(const Json& value, const std::string& path);
};
template <>
struct Codable<AgentPromptQuestion> {
  static Json encode(const AgentPromptQuestion& question);
  static AgentPromptQuestion decode(const Json& value, const std::string& path);
};
template <>
struct Codable<AgentPendingReply> {
  static Json encode(const AgentPendingReply& reply);
  static AgentPendingReply decode(const Json& value, const std::string& path);
};
template <>
struct Codable<AgentReply> {
  static Json encode(const AgentReply& reply);
  static AgentReply decode(const Json& value, const std::string& path);
};
template <>
struct Codable<AgentReplyHello> {
  static Json encode(const AgentReplyHello& hello);
  static AgentReplyHello decode(const Json& value, const std::string& path);
};
template <>
struct Codable<AgentReplyAcknowledgement> {
  static Json encode(const AgentReplyAcknowledgement& acknowledgement);
  static AgentReplyAcknowledgement decode(const Json& value, const std::string& path);
};

}  // namespace tarvel
