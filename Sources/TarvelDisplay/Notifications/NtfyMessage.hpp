#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Result.hpp"
#include "TarvelDisplay/Notifications/NotificationContent.hpp"
#include "TarvelDisplay/Shared/LivePrompt.hpp"

// What a push to a phone through an ntfy server says: the JSON documents posted to the server's
// root (its publish format: topic, title, message, priority, tags, click, actions), and the topic
// URL they go to. Pure functions; the channel sends what they make.
namespace tarvel::Display::NtfyMessage {

// The topic's URL (the `ntfy` setting) split for publishing.
struct Topic {
  std::string root;  // the server's root, where messages are posted: "https://ntfy.example.org/"
  std::string name;  // "tarvel-3f9c…"
  bool operator==(const Topic&) const = default;
};

// `url` as "http[s]://HOST[:PORT][/PATH]/TOPIC", TOPIC 1 to 64 letters, digits, "-" and "_";
// the sentence for the user when it is not one.
Result<Topic, std::string> parseTopic(std::string_view url);

// The root of `url` when it names a server and no topic ("http://127.0.0.1:8080", with or without
// the slash); absent otherwise.
std::optional<std::string> serverWithoutTopic(std::string_view url);

struct Settings {
  Topic topic;
  // The question and the command in the message; false: only that an agent waits.
  bool detail = true;
  // Where a phone reaches this service's page ("https://host:port"); absent: no Open.
  std::optional<std::string> publicBase;
};

// The answer addresses a message carries as buttons; each absent when its button is not offered.
struct AnswerLinks {
  std::optional<std::string> allow;
  std::optional<std::string> deny;
};

// Which answer buttons a message for `prompt` may carry: Allow only when the message shows all of
// what it approves (never without detail), Deny whenever the prompt may be denied; neither for a
// question or a server's form, whose answer needs the page.
struct Offer {
  bool allow = false;
  bool deny = false;
};
Offer answersFor(const LivePrompt& prompt, bool detail);

// The document for a live prompt (priority high): the agent and project as its title, the
// question and the start of what it approves as its message, in the visible form and bounded.
// Buttons, at most three: Open (the page at the prompt) when the page is reachable, then Allow
// and Deny for those of `links` given. `heldFor`: the agent shows no dialog of its own while
// held, and is let go to it after this long: the message says so.
Json forPrompt(const LivePrompt& prompt, const Settings& settings, const AnswerLinks& links,
               std::optional<std::chrono::seconds> heldFor);

// A plain document (default priority, no buttons) for a session that finished after a long run.
Json forFinishedSession(const NotificationContent::FinishedSession& session,
                        const Settings& settings);

}  // namespace tarvel::Display::NtfyMessage
