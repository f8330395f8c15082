#include "TarvelDisplay/Notifications/NtfyMessage.hpp"

#include <algorithm>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelDisplay/Shared/VisibleText.hpp"

namespace tarvel::Display::NtfyMessage {
namespace {

constexpr std::size_t maximumTopicCharacters = 64;
// Priorities as ntfy numbers them: 3 is its default, 4 "high".
constexpr int highPriority = 4;
constexpr int defaultPriority = 3;

bool isTopicCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// The part after "http://" or "https://" up to the first slash (the server), or absent.
std::optional<std::pair<std::string_view, std::string_view>> splitServer(std::string_view url) {
  std::size_t skip = 0;
  if (url.starts_with("http://")) {
    skip = 7;
  } else if (url.starts_with("https://")) {
    skip = 8;
  } else {
    return std::nullopt;
  }
  const std::string_view rest = url.substr(skip);
  const auto slash = rest.find('/');
  const std::string_view server = rest.substr(0, slash);
  if (server.empty() || server.find_first_of("@?# \\") != std::string_view::npos) {
    return std::nullopt;
  }
  return std::pair{url.substr(0, skip + server.size()),
                   slash == std::string_view::npos ? std::string_view() : rest.substr(slash)};
}

std::string pageAddress(const std::string& base, const LivePrompt& prompt) {
  return base + "/#prompt=" + prompt.replyId.uuidString();
}

}  // namespace

Result<Topic, std::string> parseTopic(std::string_view url) {
  const std::string problem =
      "ntfy takes a topic's URL, as https://ntfy.example.org/TOPIC (TOPIC: up to 64 letters, "
      "digits, - and _)";
  const auto parts = splitServer(url);
  if (!parts || parts->second.size() < 2 ||
      parts->second.find_first_of("?#") != std::string_view::npos) {
    return problem;
  }
  const std::string_view path = parts->second;
  const auto last = path.rfind('/');
  const std::string_view name = path.substr(last + 1);
  if (name.empty() || name.size() > maximumTopicCharacters ||
      !std::all_of(name.begin(), name.end(), isTopicCharacter)) {
    return problem;
  }
  return Topic{.root = std::string(parts->first) + std::string(path.substr(0, last + 1)),
               .name = std::string(name)};
}

std::optional<std::string> serverWithoutTopic(std::string_view url) {
  const auto parts = splitServer(url);
  if (!parts || !(parts->second.empty() || parts->second == "/")) {
    return std::nullopt;
  }
  return std::string(parts->first) + "/";
}

Offer answersFor(const LivePrompt& prompt, bool detail) {
  const AgentPendingReply& pending = prompt.pendingReply;
  if (pending.kind != AgentPromptKind::permission && pending.kind != AgentPromptKind::plan) {
    return {};
  }
  return {.allow = detail && pending.allowsAllow() &&
                   NotificationContent::approvedText(pending, false).whole,
          .deny = pending.allowsDeny()};
}

Json forPrompt(const LivePrompt& prompt, const Settings& settings, const AnswerLinks& links,
               std::optional<std::chrono::seconds> heldFor) {
  // The desktop notification's words, as plain text: a phone shows what a desktop shows.
  const auto shown = NotificationContent::forPrompt(prompt, prompt.receivedAt, false,
                                                    settings.publicBase.has_value());
  const std::string agent = AgentCatalogue::displayName(prompt.provider);
  std::string message = settings.detail ? shown.body : agent + " waits for your answer.";
  if (heldFor) {
    message += "\n" + agent + " waits " + std::to_string(heldFor->count()) +
               " s for this answer, then asks in its own terminal: answer there after that.";
  }
  Json actions = Json::array();
  if (settings.publicBase) {
    actions.push_back(Json{
        {"action", "view"}, {"label", "Open"}, {"url", pageAddress(*settings.publicBase, prompt)}});
  }
  const auto button = [&](const char* label, const std::optional<std::string>& url) {
    if (url) {
      actions.push_back(Json{{"action", "http"},
                             {"label", label},
                             {"url", *url},
                             {"method", "POST"},
                             {"clear", true}});
    }
  };
  button("Allow", links.allow);
  button("Deny", links.deny);
  Json document{{"topic", settings.topic.name},
                {"title", VisibleText::visible(shown.summary)},
                {"message", VisibleText::visible(message)},
                {"priority", highPriority},
                {"tags", Json::array({"question"})}};
  if (settings.publicBase) {
    document["click"] = pageAddress(*settings.publicBase, prompt);
  }
  if (!actions.empty()) {
    document["actions"] = std::move(actions);
  }
  return document;
}

Json forFinishedSession(const NotificationContent::FinishedSession& session,
                        const Settings& settings) {
  NotificationContent::FinishedSession told = session;
  if (!settings.detail) {
    told.task.clear();
  }
  const auto shown = NotificationContent::forFinishedSession(told, false);
  std::string message = shown.body;
  if (!settings.detail) {
    message.erase(0, message.find('\n') + 1);  // only how long it ran
  }
  return Json{{"topic", settings.topic.name},
              {"title", VisibleText::visible(shown.summary)},
              {"message", VisibleText::visible(message)},
              {"priority", defaultPriority},
              {"tags", Json::array({session.failed ? "x" : "white_check_mark"})}};
}

}  // namespace tarvel::Display::NtfyMessage
