#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/JSONValue.hpp"
#include "TarvelCore/Platform/Result.hpp"

namespace tarvel {

// One hook document of any provider, in provider-neutral form. Decoded only, never encoded.
// Every field may be rewritten by enrichment. Strings are kept exactly as received, except that
// `cwd` and `toolCallId` are trimmed.
struct AgentHookPayload {
  std::string sessionId;
  std::optional<std::string> transcriptPath;
  std::string cwd;  // "" when no key gave a usable directory
  std::optional<std::string> workspaceRoot;
  std::string hookEventName;  // the provider's spelling; "" when absent
  std::optional<std::string> turnId;
  std::optional<std::string> promptId;
  std::optional<std::string> approvalsReviewer;
  std::optional<std::string> permissionMode;  // the agent's mode of asking ("auto-low")
  std::optional<std::string> prompt;
  std::optional<std::string> source;
  std::optional<std::string> reason;
  std::optional<std::string> toolName;
  std::optional<std::string> toolCallId;
  std::optional<JSONValue> toolInput;
  // The standing rules the agent suggests with a permission request (Claude Code's
  // `permission_suggestions`), as sent.
  std::optional<JSONValue> permissionSuggestions;
  std::optional<std::string> agentId;
  std::optional<std::string> agentType;
  std::optional<std::string> parentSessionId;
  std::optional<std::string> description;
  std::optional<std::string> lastAssistantMessage;
  std::optional<std::string> notificationType;
  std::optional<std::string> notificationMessage;
  std::optional<std::string> error;
  std::optional<Date> timestamp;
  std::optional<std::int64_t> invocationNum;

  bool operator==(const AgentHookPayload&) const = default;
};

// Decodes a payload from a parsed JSON object; throws DecodingError. There is no encoder.
template <>
struct Codable<AgentHookPayload> {
  static AgentHookPayload decode(const Json& value, const std::string& path);
};

// Why hook input was refused before any parsing.
enum class AgentHookInputError { inputTooLarge };

// "Hook input exceeds the 1 MiB safety limit."
std::string_view description(AgentHookInputError error);

// Why AgentHookInput::decode gave no payload: the input was refused by size, or the document
// was not JSON, not an object, lacked a session id, or held a wrongly typed strict key.
struct AgentHookDecodeFailure {
  std::variant<AgentHookInputError, DecodingError> cause;

  // The refusal, or nullptr when the document itself failed to decode.
  const AgentHookInputError* inputError() const { return std::get_if<AgentHookInputError>(&cause); }
  // The decoding error, or nullptr when the input was refused by size.
  const DecodingError* decodingError() const { return std::get_if<DecodingError>(&cause); }
  // The human-readable text to log.
  std::string description() const;

  bool operator==(const AgentHookDecodeFailure&) const = default;
};

namespace AgentHookInput {

inline constexpr std::size_t maximumBytes = 1'048'576;

// The bytes a hook read from standard input, decoded. Inputs above maximumBytes fail with
// inputTooLarge before parsing; exactly maximumBytes is accepted. Never throws.
Result<AgentHookPayload, AgentHookDecodeFailure> decode(std::string_view bytes);

// Decodes an already parsed document; moves the tool input out of `object` instead of copying
// it. Never throws.
Result<AgentHookPayload, DecodingError> decodeJSON(Json&& object);

}  // namespace AgentHookInput

// The lenient readers of agents' hook documents, over one JSON object's members. A key holding
// null counts as absent.
namespace HookDecoding {

// The value at `key`, else at `alternative`. Only the first spelling is tolerant: a wrongly typed
// value there is ignored, while one at `alternative` throws DecodingError.
template <class T>
std::optional<T> decodeEitherIfPresent(const JSONCoding::Fields& fields, std::string_view key,
                                       std::string_view alternative) {
  try {
    if (auto value = fields.optional<T>(key)) {
      return value;
    }
  } catch (const DecodingError&) {
    // The first spelling is tolerant of a wrong type.
  }
  return fields.optional<T>(alternative);
}

// A string at `key`; for an object there, its string member "message", else its string member
// "error"; absent for anything else. Never throws.
std::optional<std::string> decodeFlexibleStringIfPresent(const JSONCoding::Fields& fields,
                                                         std::string_view key) noexcept;

// The first date found over `keys` in order: ISO 8601 text (with or without a fraction, "Z" or
// an offset with or without a colon), or a number of seconds since 1970 (milliseconds when above
// 1e10). A number that is not finite or lies outside the years 1 to 9999 counts as no date at
// its key, so the next key is tried. Never throws.
std::optional<Date> decodeFlexibleDateIfPresent(
    const JSONCoding::Fields& fields, std::initializer_list<std::string_view> keys) noexcept;

// The date a flexible date value denotes, under the rules above; absent when it denotes none.
std::optional<Date> flexibleDate(const Json& value) noexcept;

}  // namespace HookDecoding
}  // namespace tarvel

template <>
struct std::hash<tarvel::AgentHookPayload> {
  std::size_t operator()(const tarvel::AgentHookPayload& payload) const;
};
