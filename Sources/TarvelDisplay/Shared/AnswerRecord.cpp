#include "TarvelDisplay/Shared/AnswerRecord.hpp"

#include <array>

namespace tarvel::Display {

std::string outcomeLabel(std::string_view outcome) {
  return outcome == "allowed"           ? "Allowed"
         : outcome == "alwaysAllowed"   ? "Always allowed"
         : outcome == "denied"          ? "Denied"
         : outcome == "answered"        ? "Answered"
         : outcome == "answeredInAgent" ? "Answered in the agent"
         : outcome == "dismissed"       ? "Dismissed"
         : outcome == "released"        ? "Released"
         : outcome == "agentEnded"      ? "the agent ended"
                                        : std::string(outcome);
}

namespace {

struct EndingPlace {
  std::string_view by;
  // Follows an answer given there ("Allowed" + words); a release's reason.
  std::string_view words;
};

constexpr std::array endingOutcomes{
    std::string_view("allowed"),   std::string_view("alwaysAllowed"),
    std::string_view("denied"),    std::string_view("answered"),
    std::string_view("answeredInAgent"), std::string_view("dismissed"),
    std::string_view("released"),  std::string_view("agentEnded")};

constexpr std::array endingPlaces{
    EndingPlace{"terminal", " on this terminal"},
    EndingPlace{"web", " on the web page"},
    EndingPlace{"phone", " from the phone"},
    EndingPlace{"notification", " from a notification"},
    EndingPlace{"api", " through the API"},
    // What the agent did with its own dialog, seen in what it did next.
    EndingPlace{"agent", " in the agent"},
    EndingPlace{"noAnswerer", ": nobody could answer"},
    EndingPlace{"phoneHold", ": the agent asked in its own terminal (phone hold)"},
    EndingPlace{"timeout", ": the hook's time ran out"},
    EndingPlace{"serviceStopped", ": the service stopped"},
};

}  // namespace

std::string endingWords(std::string_view outcome, std::string_view by) {
  std::string words = outcomeLabel(outcome);
  // The agent's own ending says where it came from already.
  if (outcome == "answeredInAgent" || outcome == "agentEnded") {
    return words;
  }
  for (const EndingPlace& place : endingPlaces) {
    if (place.by == by) {
      return words + std::string(place.words);
    }
  }
  return words;
}

std::span<const std::string_view> knownOutcomes() { return endingOutcomes; }
std::span<const std::string_view> knownPlaces() {
  static const auto names = [] {
    std::array<std::string_view, endingPlaces.size()> list{};
    for (std::size_t index = 0; index < endingPlaces.size(); ++index) {
      list[index] = endingPlaces[index].by;
    }
    return list;
  }();
  return names;
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
