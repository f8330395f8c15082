#include "TarvelCore/Hooks/Codex/CodexApprovalContextResolver.hpp"

#include "TarvelCore/Hooks/Codex/CodexSessionTitleResolver.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/JSONLinesTail.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::CodexApprovalContextResolver {
namespace {

struct TurnContextPayload {
  std::optional<std::string> snakeTurnId;
  std::optional<std::string> camelTurnId;
  std::optional<std::string> approvalsReviewer;
};

// A transcript line as far as it matters here: its type and its turn-context payload. Absent
// when the line is not an object, or "type" or "payload" hold a value of the wrong kind.
struct TranscriptRecord {
  std::optional<std::string> type;
  std::optional<TurnContextPayload> payload;
};

std::optional<TranscriptRecord> decodeRecord(std::string_view line) {
  const auto object = JSONLinesTail::parseObject(line);
  if (!object) {
    return std::nullopt;
  }
  TranscriptRecord record;
  if (const auto type = object->find("type"); type != object->end() && !type->is_null()) {
    if (!type->is_string()) {
      return std::nullopt;
    }
    record.type = type->get<std::string>();
  }
  if (const auto payload = object->find("payload");
      payload != object->end() && !payload->is_null()) {
    if (!payload->is_object()) {
      return std::nullopt;
    }
    record.payload = TurnContextPayload{
        .snakeTurnId = JSONLinesTail::lossyString(*payload, {"turn_id"}),
        .camelTurnId = JSONLinesTail::lossyString(*payload, {"turnId"}),
        .approvalsReviewer =
            JSONLinesTail::lossyString(*payload, {"approvals_reviewer", "approvalsReviewer"}),
    };
  }
  return record;
}

}  // namespace

bool permissionRequestRequiresUserInput(const AgentHookPayload& payload,
                                        const std::filesystem::path& codexHome) {
  if (HookEventNames::fromRawEventName(payload.hookEventName) != HookEventName::permissionRequest) {
    return true;
  }
  std::optional<std::string> named = nonEmpty(payload.approvalsReviewer);
  if (!named) {
    const auto transcript = nonEmpty(payload.transcriptPath);
    const auto turn = nonEmpty(payload.turnId);
    if (!transcript || !turn) {
      return true;
    }
    // The payload's own values are used; only blank ones were refused above.
    named = reviewer(*payload.transcriptPath, *payload.turnId, codexHome);
    if (!named) {
      return true;
    }
  }
  const std::string word = Text::normalizedWord(Text::trimmed(*named));
  return word != "auto_review" && word != "guardian_subagent";
}

bool permissionRequestRequiresUserInput(const AgentHookPayload& payload) {
  return permissionRequestRequiresUserInput(payload, CodexSessionTitleResolver::defaultCodexHome());
}

std::optional<std::string> reviewer(const std::filesystem::path& transcript,
                                    std::string_view turnId,
                                    const std::filesystem::path& codexHome) {
  const auto tail = JSONLinesTail::jsonlTail(transcript, maximumTranscriptTailBytes, codexHome);
  if (!tail) {
    return std::nullopt;
  }
  const auto candidates = JSONLinesTail::lines(*tail, "turn_context");
  // A record of this turn holds the turn id's literal bytes; the other context records (one per
  // turn, each with the turn's instructions) are passed over without decoding.
  const std::string_view turnNeedle = JSONLinesTail::verbatimNeedle(turnId);
  for (auto line = candidates.rbegin(); line != candidates.rend(); ++line) {
    if (!turnNeedle.empty() && line->find(turnNeedle) == std::string_view::npos) {
      continue;
    }
    const auto record = decodeRecord(*line);
    if (!record || record->type != "turn_context" || !record->payload) {
      continue;
    }
    const TurnContextPayload& payload = *record->payload;
    if (payload.snakeTurnId == turnId || payload.camelTurnId == turnId) {
      return payload.approvalsReviewer;
    }
  }
  return std::nullopt;
}

}  // namespace tarvel::CodexApprovalContextResolver
