#include "TarvelDisplay/Notifications/NotificationContent.hpp"

#include <algorithm>
#include <limits>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::Display::NotificationContent {
namespace {

constexpr std::size_t summaryCharacters = 120;
constexpr std::size_t promptCharacters = 300;

bool isControl(char32_t codePoint) {
  return codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0);
}

// Code points rather than user-perceived characters: the cut only has to keep UTF-8 whole.
std::string cleaned(std::string_view text, std::size_t maximumCharacters, bool markup) {
  const std::u32string points = Text::codePoints(text);
  const bool cut = points.size() > maximumCharacters;
  const std::size_t kept =
      cut ? (maximumCharacters > 0 ? maximumCharacters - 1 : 0) : points.size();
  std::u32string out;
  out.reserve(kept + 8);
  for (std::size_t index = 0; index < kept; ++index) {
    const char32_t point = points[index];
    if (isControl(point)) {
      out += U' ';
    } else if (markup && point == U'&') {
      out += U"&amp;";
    } else if (markup && point == U'<') {
      out += U"&lt;";
    } else if (markup && point == U'>') {
      out += U"&gt;";
    } else {
      out += point;
    }
  }
  if (cut && maximumCharacters > 0) {
    out += U'\u2026';
  }
  return Text::utf8(out);
}

// The single single-choice question whose options fit as actions, if the prompt asks one.
const AgentPromptQuestion* optionQuestion(const AgentPendingReply& prompt) {
  if (prompt.kind != AgentPromptKind::question || !prompt.questions ||
      prompt.questions->size() != 1) {
    return nullptr;
  }
  const AgentPromptQuestion& question = prompt.questions->front();
  if (question.allowsMultiple || question.options.empty() ||
      question.options.size() > maximumOptionActions) {
    return nullptr;
  }
  return &question;
}

std::string elapsedText(std::chrono::seconds duration) {
  const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(duration).count();
  if (minutes < 1) {
    return std::to_string(duration.count()) + " s";
  }
  if (minutes < 60) {
    return std::to_string(minutes) + " min";
  }
  return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

}  // namespace

ApprovedText approvedText(const AgentPendingReply& pending, bool markup) {
  const std::optional<std::string>& source =
      pending.fullDetail && !pending.fullDetail->empty() ? pending.fullDetail : pending.detail;
  if (!source || source->empty()) {
    return {};
  }
  std::vector<std::string_view> lines;
  std::string_view rest = *source;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    lines.push_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  std::string shown;
  std::size_t used = 0;
  std::size_t count = 0;
  for (const std::string_view line : lines) {
    const std::size_t characters = Text::codePoints(line).size();
    if (count == detailLines || used + characters > detailCharacters) {
      break;
    }
    shown += (count == 0 ? "" : "\n") + cleaned(line, characters, markup);
    used += characters;
    ++count;
  }
  if (count == lines.size()) {
    return {.text = shown, .whole = true};
  }
  if (count == 0) {
    shown = cleaned(lines.front(), detailCharacters, markup);  // its cut is marked with "…"
    count = 1;
  }
  const std::size_t hidden = lines.size() - count;
  if (hidden > 0) {
    shown += "\n+" + std::to_string(hidden) + (hidden == 1 ? " more line" : " more lines");
  }
  return {.text = shown, .whole = false};
}

std::string bodyText(std::string_view text, std::size_t maximumCharacters) {
  return cleaned(text, maximumCharacters, true);
}

std::string summaryText(std::string_view text, std::size_t maximumCharacters) {
  return cleaned(text, maximumCharacters, false);
}

Notification forPrompt(const LivePrompt& prompt, Date now, bool markup, bool canOpen) {
  const AgentPendingReply& pending = prompt.pendingReply;
  std::string summary = AgentCatalogue::displayName(prompt.provider);
  if (prompt.projectName && !prompt.projectName->empty()) {
    summary += " \u00B7 " + *prompt.projectName;
  }
  std::string body = cleaned(pending.prompt, promptCharacters, markup);
  // The agent's own word on why, when it gives one.
  if (pending.reason) {
    body += "\nReason: " + cleaned(*pending.reason, promptCharacters, markup);
  }
  const auto [approved, whole] = approvedText(pending, markup);
  if (!approved.empty()) {
    body += "\n" + approved;
  }
  if (!whole) {
    body += canOpen ? "\nOpen shows all of it, to allow it there."
                    : "\nOpen Tarvel to see all of it and allow it.";
  }

  std::vector<Action> actions;
  if (const AgentPromptQuestion* question = optionQuestion(pending)) {
    for (std::size_t index = 0; index < question->options.size(); ++index) {
      actions.push_back({.key = std::string(optionActionPrefix) + std::to_string(index),
                         .label = summaryText(question->options[index].label, 40)});
    }
  } else if (pending.kind != AgentPromptKind::question && pending.allowsAllow() && whole) {
    // Allowing approves all of the text: only when all of it is in the body.
    actions.push_back({.key = std::string(allowAction), .label = "Allow"});
  }
  if (pending.allowsDeny() && (pending.kind != AgentPromptKind::question || !actions.empty())) {
    actions.push_back({.key = std::string(denyAction), .label = "Deny"});
  }
  if (!whole && canOpen) {
    actions.insert(actions.begin(), Action{.key = std::string(openAction), .label = "Open"});
  }

  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(prompt.expiresAt - now);
  const auto milliseconds =
      std::clamp<std::int64_t>(left.count(), 1, std::numeric_limits<std::int32_t>::max());
  return {.summary = summaryText(summary, summaryCharacters),
          .body = std::move(body),
          .actions = std::move(actions),
          .expireMilliseconds = static_cast<std::int32_t>(milliseconds),
          .critical = true};
}

std::optional<AgentReply> reply(const LivePrompt& prompt, std::string_view key) {
  const AgentPendingReply& pending = prompt.pendingReply;
  const Notification offered = forPrompt(prompt, prompt.receivedAt);
  const bool offers = std::any_of(offered.actions.begin(), offered.actions.end(),
                                  [&](const Action& action) { return action.key == key; });
  if (!offers) {
    return std::nullopt;
  }
  if (key == allowAction) {
    return AgentReply{.replyId = prompt.replyId, .decision = AgentReplyDecision::allow};
  }
  if (key == denyAction) {
    return AgentReply{.replyId = prompt.replyId, .decision = AgentReplyDecision::deny};
  }
  // An offered option key: the index is one of the single question's options.
  const AgentPromptQuestion& question = pending.questions->front();
  const std::size_t index = std::stoul(std::string(key.substr(optionActionPrefix.size())));
  const AgentPromptOption& option = question.options[index];
  return AgentReply{
      .replyId = prompt.replyId,
      .decision = AgentReplyDecision::option,
      .optionId = option.id,
      .answers = std::map<std::string, std::vector<std::string>>{{question.text, {option.label}}}};
}

Notification forFinishedSession(const FinishedSession& session, bool markup) {
  std::string summary = session.providerName;
  if (session.projectName && !session.projectName->empty()) {
    summary += " \u00B7 " + *session.projectName;
  }
  summary += session.failed ? " failed" : " finished";
  return {.summary = summaryText(summary, summaryCharacters),
          .body = cleaned(session.task, promptCharacters, markup) + "\n" +
                  (session.failed ? "Failed after " : "Finished after ") +
                  elapsedText(session.ranFor)};
}

}  // namespace tarvel::Display::NotificationContent
