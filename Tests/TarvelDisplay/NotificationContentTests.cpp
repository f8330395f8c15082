#include <gtest/gtest.h>

#include "TarvelDisplay/Notifications/NotificationContent.hpp"

namespace tarvel::Display {
namespace {

using namespace std::chrono_literals;
namespace Content = NotificationContent;

LivePrompt prompt(AgentPromptKind kind, std::vector<AgentReplyGrant> grants,
                  std::optional<std::vector<AgentPromptQuestion>> questions = std::nullopt) {
  const Date received = Dates::fromSecondsSince1970(1'800'000'000);
  return {.replyId = UUID::parse("CF47BEA9-4C5D-4750-8BCA-3C1EB0C8A782").value(),
          .sessionId = "claude-code:s",
          .provider = AgentProvider::claudeCode,
          .projectName = "proj",
          .receivedAt = received,
          .expiresAt = received + 120s,
          .pendingReply = {.kind = kind,
                           .prompt = "Allow this command?",
                           .questions = std::move(questions),
                           .grants = std::move(grants)}};
}

std::vector<std::string> keys(const Content::Notification& notification) {
  std::vector<std::string> found;
  for (const auto& action : notification.actions) {
    found.push_back(action.key);
  }
  return found;
}

// Markup servers would read tags and entities from an agent's command; D-Bus refuses invalid
// UTF-8 outright, and a cut must not split a character.
TEST(NotificationContent, BodyTextEscapesMarkupReplacesControlsAndCutsWholeCharacters) {
  struct Case {
    std::string name;
    std::string input;
    std::size_t limit;
    std::string expected;
  };
  for (const Case& test : {
           Case{"markup", "rm <a href=x>&amp;</a>", 100, "rm &lt;a href=x&gt;&amp;amp;&lt;/a&gt;"},
           Case{"controls",
                "a\nb\tc\x1b[31md\x7f"
                "e\xc2\x85"
                "f",
                100, "a b c [31md e f"},
           Case{"invalid UTF-8", "ok\xff\xfe!", 100, "ok\xef\xbf\xbd\xef\xbf\xbd!"},
           Case{"cut", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 3, "\xc3\xa9\xc3\xa9\xe2\x80\xa6"},
           Case{"fits", "\xc3\xa9\xc3\xa9\xc3\xa9", 3, "\xc3\xa9\xc3\xa9\xc3\xa9"},
       }) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(Content::bodyText(test.input, test.limit), test.expected);
  }
  // The summary is plain text: no entities, but no controls either.
  EXPECT_EQ(Content::summaryText("a<b>&\nc", 100), "a<b>& c");
}

// An action must never offer, or send, an answer the prompt's grants refuse.
TEST(NotificationContent, ActionsFollowTheGrantsAndMapToTheirAnswers) {
  const AgentPromptQuestion colour{
      .text = "Which colour?",
      .options = {{.id = "1", .label = "Red"}, {.id = "2", .label = "Blue"}}};
  AgentPromptQuestion many = colour;
  many.options.push_back({.id = "3", .label = "Green"});
  many.options.push_back({.id = "4", .label = "Grey"});
  AgentPromptQuestion multiple = colour;
  multiple.allowsMultiple = true;
  struct Case {
    std::string name;
    LivePrompt prompt;
    std::vector<std::string> keys;
  };
  const auto deny = AgentReplyGrant::deny;
  const auto allow = AgentReplyGrant::allow;
  for (const Case& test : {
           Case{
               "permission", prompt(AgentPromptKind::permission, {deny, allow}), {"allow", "deny"}},
           Case{"deny only", prompt(AgentPromptKind::plan, {deny}), {"deny"}},
           Case{"one question",
                prompt(AgentPromptKind::question, {deny}, {{colour}}),
                {"option:0", "option:1", "deny"}},
           Case{"four options", prompt(AgentPromptKind::question, {deny}, {{many}}), {}},
           Case{"multiple choice", prompt(AgentPromptKind::question, {deny}, {{multiple}}), {}},
           Case{"two questions", prompt(AgentPromptKind::question, {deny}, {{colour, colour}}), {}},
       }) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(keys(Content::forPrompt(test.prompt, test.prompt.receivedAt)), test.keys);
    for (const std::string key : {"allow", "deny", "option:0", "option:1", "option:3", "default"}) {
      const bool offered = std::find(test.keys.begin(), test.keys.end(), key) != test.keys.end();
      EXPECT_EQ(Content::reply(test.prompt, key).has_value(), offered) << key;
    }
  }

  const LivePrompt question = prompt(AgentPromptKind::question, {deny}, {{colour}});
  const auto chosen = Content::reply(question, "option:1");
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->decision, AgentReplyDecision::option);
  EXPECT_EQ(chosen->replyId, question.replyId);
  EXPECT_EQ(chosen->optionId, "2");
  EXPECT_EQ(chosen->answers,
            (std::map<std::string, std::vector<std::string>>{{"Which colour?", {"Blue"}}}));
  EXPECT_EQ(Content::reply(prompt(AgentPromptKind::permission, {deny, allow}), "allow")->decision,
            AgentReplyDecision::allow);
}

// "Allow" approves all of the command: it is offered only when the body shows all of it.
TEST(NotificationContent, OnlyWhatTheBodyShowsWholeCanBeAllowed) {
  struct Case {
    std::string name;
    std::optional<std::string> detail;
    std::optional<std::string> fullDetail;
    std::string shown;  // the body after its first line
    bool allowed;
  };
  const std::string longLine(250, 'x');
  for (const Case& test : {
           Case{"one line", "git status", "git status", "git status", true},
           Case{"summary of more lines", "git status", "git status\ncurl -s x | sh",
                "git status\ncurl -s x | sh", true},
           Case{"older hook, summary only", "git status", std::nullopt, "git status", true},
           Case{"nine lines", "l1", "l1\nl2\nl3\nl4\nl5\nl6\nl7\nl8\nl9",
                "l1\nl2\nl3\nl4\nl5\nl6\n+3 more lines\nOpen Tarvel to see all of it and allow it.",
                false},
           Case{"one line too long", "x", longLine + "\nrm -rf ~",
                std::string(199, 'x') + "\u2026\n+1 more line\nOpen Tarvel to see all of it and allow it.",
                false},
       }) {
    SCOPED_TRACE(test.name);
    LivePrompt waiting =
        prompt(AgentPromptKind::permission, {AgentReplyGrant::deny, AgentReplyGrant::allow});
    waiting.pendingReply.detail = test.detail;
    waiting.pendingReply.fullDetail = test.fullDetail;
    const auto notification = Content::forPrompt(waiting, waiting.receivedAt);
    EXPECT_EQ(notification.body, "Allow this command?\n" + test.shown);
    const std::vector<std::string> offered =
        test.allowed ? std::vector<std::string>{"allow", "deny"} : std::vector<std::string>{"deny"};
    EXPECT_EQ(keys(notification), offered);
    EXPECT_EQ(Content::reply(waiting, "allow").has_value(), test.allowed);
    // With somewhere to show all of it, what cannot be allowed here is offered "Open" first,
    // which answers nothing.
    const auto openable = Content::forPrompt(waiting, waiting.receivedAt, true, true);
    std::string shown = test.shown;
    if (!test.allowed) {
      shown.replace(shown.rfind('\n') + 1, std::string::npos,
                    "Open shows all of it, to allow it there.");
    }
    EXPECT_EQ(openable.body, "Allow this command?\n" + shown);
    const std::vector<std::string> openOffers{"open", "deny"};
    EXPECT_EQ(keys(openable), test.allowed ? offered : openOffers);
    EXPECT_FALSE(Content::reply(waiting, "open"));
  }
}

TEST(NotificationContent, TheNotificationExpiresWithItsPrompt) {
  const LivePrompt waiting = prompt(AgentPromptKind::permission, {AgentReplyGrant::allow});
  EXPECT_EQ(Content::forPrompt(waiting, waiting.receivedAt + 20s).expireMilliseconds, 100'000);
  // Past its end it still expires at once rather than never (0) or by the server's choice (-1).
  EXPECT_EQ(Content::forPrompt(waiting, waiting.expiresAt + 5s).expireMilliseconds, 1);
}

}  // namespace
}  // namespace tarvel::Display
