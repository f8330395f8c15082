#include "TarvelDisplay/Shared/AnswerRecord.hpp"

namespace tarvel::Display {

std::string outcomeLabel(std::string_view outcome) {
  return outcome == "allowed"           ? "Allowed"
         : outcome == "denied"          ? "Denied"
         : outcome == "answered"        ? "Answered"
         : outcome == "answeredInAgent" ? "Answered in the agent"
         : outcome == "released"        ? "Released"
         : outcome == "agentEnded"      ? "the agent ended"
                                        : std::string(outcome);
}

Json encodeAnswer(const AnswerRecord& record) {
  Json value{{"agent", record.agent},         {"by", record.by},
             {"endedAt", Dates::iso8601(record.endedAt)},
             {"kind", record.kind},           {"outcome", record.outcome},
             {"prompt", record.prompt},       {"sessionId", record.sessionId}};
  const auto optional = [&](const char* key, const std::optional<std::string>& text) {
    if (text) {
      value[key] = *text;
    }
  };
  optional("project", record.project);
  optional("workingDirectory", record.workingDirectory);
  optional("host", record.host);
  optional("detail", record.detail);
  if (record.waitedMilliseconds) {
    value["waitedMilliseconds"] = *record.waitedMilliseconds;
  }
  return value;
}

}  // namespace tarvel::Display
