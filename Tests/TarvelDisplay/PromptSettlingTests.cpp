#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelDisplay/DisplayServiceTest.hpp"

namespace tarvel::Display {
namespace {

// A prompt the agent took out of our hands ends as what the agent did next says, once; until
// then and afterwards every count says who waits for a person. Driven by what real agents sent
// (Tests/Fixtures/agents/<agent>/<sequence>/).
using Testing::agentDocument;

// What one session looks like to the service's readers at one moment.
struct Seen {
  std::string state;        // the session's state in /v1/state
  int waiting = -1;         // /v1/status
  int working = -1;         // /v1/status
  int attention = -1;       // /v1/state's snapshot
  std::size_t prompts = 0;  // live prompts in /v1/state
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
  return out << seen.state << " · " << seen.waiting << " waiting · " << seen.working
             << " working · attention " << seen.attention << " · " << seen.prompts << " prompts";
}

class PromptSettlingTest : public DisplayServiceTest {
 protected:
  Seen seen(const std::string& sessionId) {
    const Json now = state();
    const auto parsed = Coding::parse(api("GET", "/v1/status").body);
    const Json status = parsed ? *parsed : Json::object();
    Seen result{.waiting = status.value("waiting", -1),
                .working = status.value("working", -1),
                .attention = now.value("snapshot", Json::object()).value("attentionCount", -1),
                .prompts = now.value("prompts", Json::array()).size()};
    for (const Json& session : now.value("sessions", Json::array())) {
      if (session.value("id", "") == sessionId) {
        result.state = session.value("state", "");
      }
    }
    return result;
  }

  // The endings recorded for `replyId`: endedPrompts entries and history rows, as "outcome by".
  std::vector<std::string> endingsOf(const std::string& replyId, const std::string& sessionId) {
    std::vector<std::string> found;
    const Json now = state();
    for (const Json& ending : now.value("endedPrompts", Json::array())) {
      if (ending.value("replyId", "") == replyId) {
        found.push_back(ending.value("outcome", "") + " by " + ending.value("by", ""));
      }
    }
    for (const Json& answer : now.value("recentAnswers", Json::array())) {
      if (answer.value("sessionId", "") == sessionId) {
        found.push_back("history: " + answer.value("outcome", "") + " by " +
                        answer.value("by", ""));
      }
    }
    return found;
  }

  // A hook run as `tarvel install` writes it for the agent: with the event's name on its
  // command line when the agent's documents do not name it (Copilot CLI).
  ChildProcess& agentHook(const std::string& agent, const std::string& document,
                          const std::string& session, const std::string& provider) {
    std::vector<std::string> command{program("tarvel-hook"), "--provider", provider};
    if (provider == "copilot") {
      command.insert(command.end(), {"--event", document.substr(document.find_last_of("/-") + 1)});
    }
    hooks.push_back(
        std::make_unique<ChildProcess>(command, home, agentDocument(agent, document, session)));
    return *hooks.back();
  }

  void send(const std::string& agent, const std::string& document, const std::string& session,
            const std::string& provider) {
    EXPECT_EQ(agentHook(agent, document, session, provider).wait(), 0) << document;
  }
};

TEST_F(PromptSettlingTest, APromptTheAgentTookOverEndsAsItsNextEventSaysAndItsSessionIdles) {
  service = startService();
  struct Case {
    std::string agent;
    std::string provider;
    std::string sequence;
    std::string request = "1-PermissionRequest";  // the request's file in the sequence
    int signal = 0;                  // how the agent ends the waiting hook; 0: it does not
    std::vector<std::string> after;  // what the agent sent next, in order
    // The agent's next word comes only once the prompt was settled as dismissed for want of any
    // (a slow machine): it confirms that ending rather than replace it.
    bool late = false;
    std::string outcome = "dismissed";
    // The session's state once settled: idle, or as the agent's own word after the dialog says
    // (Codex's Interrupt and Qwen Code's idle notice end the turn).
    std::string state = "idle";
    std::string stop = "Stop";   // how the agent names a turn's end
  };
  const std::vector<Case> cases = {
      // Esc (or No) at Claude Code's dialog: Claude ends the hook and sends nothing more.
      {.agent = "claude",
       .provider = "claude-code",
       .sequence = "esc-at-dialog/",
       .signal = SIGTERM},
      // Esc in Codex while the hook held: Codex kills the hook, then Interrupt.
      {.agent = "codex",
       .provider = "codex",
       .sequence = "esc-while-held/",
       .signal = SIGKILL,
       .after = {"2-Interrupt"},
       .state = "completed"},
      {.agent = "codex",
       .provider = "codex",
       .sequence = "esc-while-held/",
       .signal = SIGKILL,
       .after = {"2-Interrupt"},
       .late = true,
       .state = "completed"},
      // Esc in Qwen Code while the hook held: an idle notice only.
      {.agent = "qwen",
       .provider = "qwen-code",
       .sequence = "esc-while-hook-runs/",
       .signal = SIGKILL,
       .after = {"2-Notification"},
       .state = "completed"},
      {.agent = "qwen",
       .provider = "qwen-code",
       .sequence = "esc-while-hook-runs/",
       .signal = SIGKILL,
       .after = {"2-Notification"},
       .late = true,
       .state = "completed"},
      // Esc Esc in Copilot CLI while the hook held: it ends the hook and sends nothing more.
      {.agent = "copilot",
       .provider = "copilot",
       .sequence = "esc-while-hook-runs/",
       .request = "1-permissionRequest",
       .signal = SIGKILL,
       .stop = "agentStop"},
      // Yes at Claude Code's dialog while the hook still waits: the tool runs.
      {.agent = "claude",
       .provider = "claude-code",
       .sequence = "answered-in-dialog/",
       .after = {"2-Notification", "3-PostToolUse"},
       .outcome = "allowed",
       .state = "running"},
  };
  int number = 0;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.provider + " " + test.sequence + (test.late ? " (late)" : ""));
    const std::string session =
        "99999999-9999-4999-8999-9999999999" + std::to_string(10 + number++);
    const std::string id = test.provider + ":" + session;
    ChildProcess& hook =
        agentHook(test.agent, test.sequence + test.request, session, test.provider);
    const std::string replyId = waitForPrompts(1).begin()->second;
    // A prompt held here: one waits, nobody works.
    EXPECT_EQ(seen(id), (Seen{"waitingForUser", 1, 0, 1, 1}));
    if (test.signal != 0) {
      hook.signal(test.signal);
      hook.wait();
      // Nobody waits for an answer any more, here or in the agent; its answer is refused.
      EXPECT_TRUE(eventually([&] { return seen(id); },
                             [](const Seen& now) { return now.waiting == 0 && now.prompts == 0; }))
          << seen(id);
      EXPECT_EQ(api("POST", "/v1/prompts/" + replyId, R"({"decision":"allow"})").status, 409);
    }
    if (test.late) {
      const std::vector<std::string> dismissed{"dismissed by agent",
                                               "history: dismissed by agent"};
      EXPECT_TRUE(eventually([&] { return endingsOf(replyId, id); },
                             [&](const std::vector<std::string>& now) { return now == dismissed; }))
          << ::testing::PrintToString(endingsOf(replyId, id));
    }
    for (const std::string& next : test.after) {
      send(test.agent, test.sequence + next, session, test.provider);
    }
    if (test.signal == 0) {
      EXPECT_EQ(hook.wait(), 0);
      EXPECT_EQ(hook.standardOutput(), "{}\n");
    }
    // One ending, in the history too, settled as the agent's next step (or its silence) says.
    const std::vector<std::string> expected{test.outcome + " by agent",
                                            "history: " + test.outcome + " by agent"};
    EXPECT_TRUE(eventually([&] { return endingsOf(replyId, id); },
                           [&](const std::vector<std::string>& now) { return now == expected; }))
        << ::testing::PrintToString(endingsOf(replyId, id));
    // The session shows that ending until its next event, whichever came first: the agent's
    // word or the end of the wait for it.
    EXPECT_TRUE(eventually([&] { return seen(id); },
                           [&](const Seen& now) { return now.state == test.state; }))
        << seen(id);
    const Json outcomes = state()["sessionOutcomes"];
    EXPECT_EQ(outcomes.value(id, Json::object()).value("outcome", ""), test.outcome)
        << outcomes.dump();
    const Seen settled = seen(id);
    EXPECT_EQ(settled.waiting, 0);
    EXPECT_EQ(settled.attention, 0);
    EXPECT_EQ(settled.working, test.state == "running" ? 1 : 0);
    // The turn ends before the next case: no session of this one is left at work.
    send(test.agent, test.stop, session, test.provider);
  }
  // `tarvel log` says the same words.
  ChildProcess log({program("tarvel"), "log"}, home);
  EXPECT_EQ(log.wait(), 0);
  for (const std::string words : {"Dismissed in the agent", "Allowed in the agent"}) {
    EXPECT_NE(log.standardOutput().find(words), std::string::npos) << log.standardOutput();
  }
}

// A prompt let go to an agent that then asks in its own dialog keeps its person waiting there:
// counted as waiting everywhere until the agent goes on, whatever the person answers there.
TEST_F(PromptSettlingTest, APromptLeftToTheAgentWaitsThereUntilTheAgentGoesOn) {
  // No display: each prompt is let go at once, as when nobody watches.
  service = startService({});
  waitForAnswerers({});
  struct Case {
    std::string agent;
    std::string provider;
    std::string sequence;
    std::vector<std::string> waits;  // what the agent sends while its dialog is up
    std::string goesOn;              // what it sends once the person answered there
    std::string state;
  };
  const std::vector<Case> cases = {
      {"codex", "codex", "answered-in-own-screen/", {}, "2-PostToolUse", "running"},
      {"codex", "codex", "esc-at-own-dialog/", {}, "2-Interrupt", "completed"},
      {"claude",
       "claude-code",
       "no-at-dialog-then-next-prompt/",
       {"2-Notification"},
       "3-UserPromptSubmit",
       "thinking"},
  };
  int number = 0;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.provider + " " + test.sequence);
    const std::string session =
        "aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaa" + std::to_string(10 + number++);
    const std::string id = test.provider + ":" + session;
    ChildProcess& hook = startHook(
        agentDocument(test.agent, test.sequence + "1-PermissionRequest", session), test.provider);
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
    // Released here, asked there: the one count says it waits, and nothing offers an answer.
    const Seen asked{"waitingForUser", 1, 0, 1, 0};
    EXPECT_TRUE(eventually([&] { return seen(id); }, [&](const Seen& now) { return now == asked; }))
        << seen(id);
    for (const std::string& event : test.waits) {
      send(test.agent, test.sequence + event, session, test.provider);
      EXPECT_EQ(seen(id), asked);
    }
    EXPECT_EQ(state()["sessionOutcomes"].value(id, Json::object()).value("by", ""), "noAnswerer");
    send(test.agent, test.sequence + test.goesOn, session, test.provider);
    EXPECT_TRUE(eventually([&] { return seen(id); },
                           [&](const Seen& now) { return now.state == test.state; }))
        << seen(id);
    const Seen after = seen(id);
    EXPECT_EQ(after.waiting, 0);
    EXPECT_EQ(after.attention, 0);
    EXPECT_EQ(after.working, test.state == "completed" ? 0 : 1);
    send(test.agent, "Stop", session, test.provider);
  }
}

// OpenCode (and Kilo) show their own dialog while the hook waits; the plugin hands on the reply
// given there, with the request it answers. The prompt about that very call ends as answered, at
// once, whether the reply comes while its hook still waits or after the plugin let the hook go;
// another prompt of the same session stays until its own reply.
TEST_F(PromptSettlingTest, AnOpenCodePromptAnsweredInItsOwnDialogEndsAsTheReplySays) {
  service = startService();
  const std::string session = "ses_settling";
  const std::string id = "opencode:" + session;
  Json asked = Coding::parse(agentDocument("opencode/event-permission.asked-touch.json")).value();
  asked["properties"]["sessionID"] = session;
  const auto request = [&](const std::string& permission, const std::string& call) {
    Json document = asked;
    document["properties"]["id"] = permission;
    document["properties"]["tool"]["callID"] = call;
    return document;
  };
  // The plugin's reply document: the agent's event with its request's members.
  const auto replied = [&](const Json& request, const std::string& reply) {
    Json properties = request["properties"];
    properties["requestID"] = properties["id"];
    properties.erase("id");
    properties["reply"] = reply;
    return Json{{"type", "permission.replied"}, {"properties", properties}}.dump();
  };
  const auto liveIds = [&] {
    std::vector<std::string> ids;
    for (const Json& prompt : state().value("prompts", Json::array())) {
      ids.push_back(prompt.value("replyId", ""));
    }
    return ids;
  };
  const Json first = request("per_first", "call_first");
  const Json second = request("per_second", "call_second");
  ChildProcess& firstHook = startHook(first.dump(), "opencode");
  const std::string firstId = waitForPrompts(1).at(id);
  ChildProcess& secondHook = startHook(second.dump(), "opencode");
  std::vector<std::string> live;
  EXPECT_TRUE(eventually([&] { return live = liveIds(); },
                         [](const std::vector<std::string>& ids) { return ids.size() == 2; }));
  const std::string secondId = live.at(0) == firstId ? live.at(1) : live.at(0);

  // "Allow once" while the first hook still waits: that prompt ends allowed, the other stays.
  EXPECT_EQ(startHook(replied(first, "once"), "opencode").wait(), 0);
  EXPECT_TRUE(eventually([&] { return endingsOf(firstId, id); },
                         [](const std::vector<std::string>& now) {
                           return now == std::vector<std::string>{
                                             "allowed by agent", "history: allowed by agent"};
                         }))
      << ::testing::PrintToString(endingsOf(firstId, id));
  EXPECT_EQ(firstHook.wait(), 0);
  EXPECT_TRUE(eventually(liveIds, [&](const std::vector<std::string>& ids) {
    return ids == std::vector<std::string>{secondId};
  })) << ::testing::PrintToString(liveIds());

  // "Reject" after the plugin let the second hook go: it ends denied, not dismissed.
  secondHook.signal(SIGKILL);
  secondHook.wait();
  EXPECT_EQ(startHook(replied(second, "reject"), "opencode").wait(), 0);
  const std::vector<std::string> both{"allowed by agent", "denied by agent",
                                      "history: allowed by agent", "history: denied by agent"};
  const auto endings = [&] {
    std::vector<std::string> found = endingsOf(firstId, id);
    for (std::string& ending : endingsOf(secondId, id)) {
      if (!ending.starts_with("history")) {
        found.push_back(std::move(ending));
      }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
  };
  EXPECT_TRUE(eventually(endings, [&](const std::vector<std::string>& now) { return now == both; }))
      << ::testing::PrintToString(endings());
  EXPECT_EQ(state()["sessionOutcomes"].value(id, Json::object()).value("outcome", ""), "denied");
  ChildProcess log({program("tarvel"), "log"}, home);
  EXPECT_EQ(log.wait(), 0);
  for (const std::string words : {"Allowed in the agent", "Denied in the agent"}) {
    EXPECT_NE(log.standardOutput().find(words), std::string::npos) << log.standardOutput();
  }
}

}  // namespace
}  // namespace tarvel::Display
