#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "TarvelDisplay/DisplayServiceTest.hpp"

namespace tarvel::Display {
namespace {

// A held prompt is released as soon as nobody can answer it, the agent went on, its hook went
// away or the service stops.
using namespace std::chrono_literals;
using Testing::agentDocument;
using Testing::permissionRequest;

TEST_F(DisplayServiceTest, APromptIsHeldOnlyWhileSomeoneCanAnswerIt) {
  service = startService({});
  const std::string session = "66666666-6666-4666-8666-666666666666";
  {
    SCOPED_TRACE("nobody can answer: released at once, as when no service runs");
    waitForAnswerers({});
    ChildProcess& hook = startHook(permissionRequest(session));
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
    EXPECT_TRUE(state()["prompts"].empty());
    // Nobody counts the session as waiting for a prompt nobody holds.
    EXPECT_EQ(Coding::parse(api("GET", "/v1/status").body).value()["waiting"], 0);
  }
  for (const std::string kind : {"terminal", "web"}) {
    SCOPED_TRACE(kind + ": held while its stream is open, released when it closes");
    // A reader that does not say it answers is not counted.
    auto watcher = attach("");
    auto answerer = attach(kind);
    waitForAnswerers({kind});
    ChildProcess& hook = startHook(permissionRequest(session));
    waitForPrompts(1);
    EXPECT_FALSE(hook.hasEnded());
    answerer->end();
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
    waitForPrompts(0);
    waitForAnswerers({});
  }
  EXPECT_EQ(api("GET", "/v1/events?answerer=robot").status, 400);
}

// A short hold stands for any: the rule, not the clock. The prompt waits while the hold lasts,
// is let go when it ends, and a hold out of bounds is refused.
TEST_F(DisplayServiceTest, APromptIsHeldForTheHoldAndLetGoWhenItEnds) {
  for (const char* wrong : {"0", "601"}) {
    ChildProcess refused({program("tarvel"), "serve", "--hold-seconds", wrong}, home);
    EXPECT_EQ(refused.wait(), 2) << wrong;
    EXPECT_NE(refused.standardError().find("--hold-seconds takes a whole number of seconds from "
                                           "1 to 600"),
              std::string::npos)
        << refused.standardError();
  }
  service = startService({"--hold-without-answerers", "--hold-seconds", "4"});
  const auto started = std::chrono::steady_clock::now();
  ChildProcess& hook = startHook(permissionRequest("77777777-7777-4777-8777-777777777777"));
  waitForPrompts(1);
  const auto expires = Dates::parseISO8601(state()["prompts"][0].value("expiresAt", ""));
  ASSERT_TRUE(expires);
  EXPECT_LE(*expires - Dates::now(), std::chrono::milliseconds(4100));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  if (std::chrono::steady_clock::now() - started < std::chrono::seconds(3)) {
    EXPECT_FALSE(hook.hasEnded()) << "let go before the hold was over";
  }
  EXPECT_EQ(hook.wait(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  EXPECT_EQ(hook.standardOutput(), "{}\n");
  waitForPrompts(0);
}

TEST_F(DisplayServiceTest, AnEventShowingTheAgentWentOnWithdrawsThatSessionsPrompts) {
  service = startService({});
  auto display = attach("terminal");
  waitForAnswerers({"terminal"});
  struct Case {
    std::string agent;
    std::string request;  // the permission request the hook holds
    std::string stays;    // an event of the same prompt that leaves it waiting, if any
    std::string wentOn;   // the first event that shows the agent went on
  };
  // What real agents sent after their own dialog was answered (Claude Code's, Codex's screen
  // once the hook let it ask), after Esc while the hook held (Codex), and other steps, turn
  // ends and session ends seen in real sessions.
  const std::string dialog = "answered-in-dialog/";
  const std::string screen = "answered-in-own-screen/";
  const std::vector<Case> wentOn = {
      {"claude", dialog + "1-PermissionRequest", dialog + "2-Notification",
       dialog + "3-PostToolUse"},
      {"claude", dialog + "1-PermissionRequest", dialog + "2-Notification", dialog + "4-Stop"},
      {"claude", "PermissionRequest", "", "PostToolUseFailure"},
      {"claude", "PermissionRequest", "", "PreToolUse"},
      {"claude", "PermissionRequest", "", "UserPromptSubmit"},
      {"claude", "PermissionRequest", "", "StopFailure"},
      {"claude", "PermissionRequest", "", "SessionEnd"},
      {"codex", screen + "1-PermissionRequest", "", screen + "2-PostToolUse"},
      {"codex", screen + "1-PermissionRequest", "", screen + "3-Stop"},
      {"codex", "esc-while-held/1-PermissionRequest", "", "esc-while-held/2-Interrupt"},
      {"codex", "PermissionRequest", "", "UserPromptSubmit"}};
  int number = 0;
  for (const Case& test : wentOn) {
    SCOPED_TRACE(test.agent + " " + test.wentOn);
    const std::string session =
        "77777777-7777-4777-8777-7777777777" + std::to_string(10 + number++);
    const std::string provider = test.agent == "claude" ? "claude-code" : "codex";
    const std::string other = "88888888-8888-4888-8888-888888888888";
    ChildProcess& waiting = startHook(agentDocument(test.agent, test.request, session), provider);
    ChildProcess& bystander = startHook(agentDocument(test.agent, test.request, other), provider);
    waitForPrompts(2);
    const auto received = [&] { return state()["service"]["eventsReceived"].get<int>(); };
    const int before = received();
    if (!test.stays.empty()) {
      // The notification about the prompt itself leaves it waiting.
      EXPECT_EQ(startHook(agentDocument(test.agent, test.stays, session), provider).wait(), 0);
    }
    // Another session's step leaves it waiting too.
    EXPECT_EQ(startHook(agentDocument(test.agent, test.wentOn, other + "0"), provider).wait(), 0);
    EXPECT_TRUE(eventually([&] { return received() >= before + (test.stays.empty() ? 1 : 2); }));
    EXPECT_EQ(state()["prompts"].size(), 2U);
    EXPECT_EQ(startHook(agentDocument(test.agent, test.wentOn, session), provider).wait(), 0);
    EXPECT_EQ(waiting.wait(), 0);
    EXPECT_EQ(waiting.standardOutput(), "{}\n");
    const auto left = waitForPrompts(1);
    EXPECT_EQ(left.count(provider + ":" + other), 1U);
    EXPECT_FALSE(bystander.hasEnded());
    EXPECT_EQ(api("POST", "/v1/prompts/" + left.begin()->second, R"({"decision":"deny"})").status,
              200);
    EXPECT_EQ(bystander.wait(), 0);
    waitForPrompts(0);
    // Every surface can tell what became of each: withdrawn in the agent, denied through the API.
    // The ending of an answered prompt may be recorded a moment after it left the list (once its
    // hook's receipt is in): wait for both.
    using Endings = std::pair<std::string, std::string>;
    const auto endings = [&] {
      std::map<std::string, std::string> ended;
      const Json now = state();
      for (const Json& ending : now["endedPrompts"]) {
        ended[ending["sessionId"].get<std::string>()] =
            ending["outcome"].get<std::string>() + " by " + ending["by"].get<std::string>();
      }
      return Endings{ended[provider + ":" + session], ended[provider + ":" + other]};
    };
    EXPECT_TRUE(eventually(endings, [](const Endings& seen) {
      return seen == Endings{"answeredInAgent by agent", "denied by api"};
    }));
  }
}

TEST_F(DisplayServiceTest, AHookThatGoesAwayLeavesThePromptListAndItsAnswerIsRefused) {
  service = startService();
  // Esc at Claude Code's own dialog: Claude ends the waiting hook and sends no event after it.
  const std::string session = "33333333-3333-4333-8333-333333333333";
  ChildProcess& hook = startHook(agentDocument("claude", "esc-at-dialog/1-PermissionRequest", session));
  const auto prompts = waitForPrompts(1);
  ASSERT_EQ(prompts.size(), 1U);
  const std::string replyId = prompts.begin()->second;
  hook.signal(SIGKILL);
  hook.wait();
  waitForPrompts(0);
  EXPECT_EQ(api("POST", "/v1/prompts/" + replyId, R"({"decision":"allow"})").status, 409);
  // Well before its own wait ran out: the displays say it was answered in the agent.
  Json ended;
  ASSERT_TRUE(eventually([&] {
    ended = state()["endedPrompts"];
    return !ended.empty();
  }));
  ASSERT_EQ(ended.size(), 1U);
  EXPECT_EQ(ended[0]["replyId"], replyId);
  EXPECT_EQ(ended[0]["sessionId"], "claude-code:" + session);
  EXPECT_EQ(ended[0]["outcome"], "answeredInAgent");
  EXPECT_EQ(ended[0]["by"], "agent");
  // The session no longer waits although its agent sends nothing more: it shows how its prompt
  // ended, and nothing counts it as waiting.
  const Json now = state();
  EXPECT_EQ(now["sessionOutcomes"]["claude-code:" + session]["outcome"], "answeredInAgent")
      << now["sessionOutcomes"].dump();
  EXPECT_EQ(Json::parse(api("GET", "/v1/status").body).value("waiting", -1), 0);
}

TEST_F(DisplayServiceTest, StoppingReleasesEveryWaitingHookAtOnceSavesAndRemovesItsSockets) {
  service = startService();
  ChildProcess& first = startHook(permissionRequest("44444444-4444-4444-8444-444444444444"));
  ChildProcess& second = startHook(permissionRequest("55555555-5555-4555-8555-555555555555"));
  waitForPrompts(2);
  const auto stoppedAt = std::chrono::steady_clock::now();
  service->signal(SIGTERM);
  // Well before the 120 s a held hook would otherwise wait.
  EXPECT_EQ(first.wait(), 0);
  EXPECT_EQ(second.wait(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 60s);
  // Released as when no display runs: the agent asks the user itself.
  EXPECT_EQ(first.standardOutput(), "{}\n");
  EXPECT_EQ(second.standardOutput(), "{}\n");
  EXPECT_EQ(service->wait(), 0) << service->standardError();
  for (const char* name : {"api.sock", "agent.sock", "reply.sock"}) {
    EXPECT_FALSE(std::filesystem::exists(directory / name)) << name;
  }
  // The sessions come back with the next service.
  service = startService();
  EXPECT_EQ(state()["sessions"].size(), 2U);
}


}  // namespace
}  // namespace tarvel::Display
