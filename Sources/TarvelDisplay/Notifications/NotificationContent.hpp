#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelDisplay/Shared/LivePrompt.hpp"

// What a desktop notification about a live prompt or a finished session says, which actions it
// offers, and which answer an action gives. Pure functions; the notifier sends what they make.
namespace tarvel::Display::NotificationContent {

// Action keys as the notification service sends them back in ActionInvoked.
inline constexpr std::string_view allowAction = "allow";
inline constexpr std::string_view denyAction = "deny";
// Shows all of a prompt the notification cannot show, where it can be answered; answers nothing.
inline constexpr std::string_view openAction = "open";
// Followed by the option's index in the single question's options.
inline constexpr std::string_view optionActionPrefix = "option:";

// A question prompt offers its options as actions only when it asks one single-choice question
// with at most this many options; otherwise the user answers it in a display.
inline constexpr std::size_t maximumOptionActions = 3;
// How much of what is approved (a command, a plan) the body shows. A prompt whose text does not
// fit is not offered "Allow": the body says how many lines it leaves out.
inline constexpr std::size_t detailCharacters = 200;
inline constexpr std::size_t detailLines = 6;

struct Action {
  std::string key;
  std::string label;
  bool operator==(const Action&) const = default;
};

struct Notification {
  std::string summary;  // plain text
  std::string body;     // escaped for markup when made for a service that reads markup
  std::vector<Action> actions;
  // How long the service shows it, in milliseconds; -1 leaves it to the service.
  std::int32_t expireMilliseconds = -1;
  bool critical = false;
  bool operator==(const Notification&) const = default;
};

// `text` made safe for a notification body: at most `maximumCharacters` characters (an ellipsis
// marks a cut), &, < and > as entities, control characters as spaces, invalid UTF-8 as U+FFFD.
std::string bodyText(std::string_view text, std::size_t maximumCharacters);

// `text` made safe for a summary (plain text): control characters as spaces, invalid UTF-8 as
// U+FFFD, at most `maximumCharacters` characters.
std::string summaryText(std::string_view text, std::size_t maximumCharacters);

// What the user approves (all of it, or the one-line summary an older hook sends) as a message
// shows it: whole lines while they fit (detailLines lines, detailCharacters characters), then how
// many lines are left out. Only a message that shows all of it may offer to approve it.
struct ApprovedText {
  std::string text;  // escaped for markup when asked
  bool whole = true;
};
ApprovedText approvedText(const AgentPendingReply& pending, bool markup);

// The notification for a live prompt, shown at `now`; it expires when the prompt does. `markup`:
// the service reads markup in bodies (capability "body-markup"), so the body is escaped for it.
// `canOpen`: there is somewhere to show all of a prompt, so one the body cannot show whole is
// offered "Open" in place of "Allow".
Notification forPrompt(const LivePrompt& prompt, Date now, bool markup = true,
                       bool canOpen = false);

// The answer the action `key` gives to `prompt`; absent for a key the prompt does not offer
// (an unknown key, "allow" on a prompt that cannot be allowed, an option it does not have).
std::optional<AgentReply> reply(const LivePrompt& prompt, std::string_view key);

// A session that ended after running a while: what it was and how it ended.
struct FinishedSession {
  std::string providerName;
  std::optional<std::string> projectName;
  std::string task;
  bool failed = false;
  std::chrono::seconds ranFor{0};
};

// A plain notification (no actions, normal urgency) about a finished session.
Notification forFinishedSession(const FinishedSession& session, bool markup = true);

}  // namespace tarvel::Display::NotificationContent
