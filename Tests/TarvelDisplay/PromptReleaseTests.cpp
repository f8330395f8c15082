#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Support/RawSockets.hpp"
#include "TarvelCore/Models/AgentProcessIdentity.hpp"
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
    // Claude Code asks in its own dialog then: its person waits there, and is counted.
    EXPECT_TRUE(eventually(
        [&] { return Coding::parse(api("GET", "/v1/status").body).value().value("waiting", -1); },
        [](int waiting) { return waiting == 1; }));
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

// A display that hangs (connected as an answerer, reading nothing) stops counting once it has
// left what was sent untaken for the stall limit: another answerer keeps the prompt held, and
// when the stalled one was the last, the prompt is released as when nobody could answer.
TEST_F(DisplayServiceTest, AnAnswererThatStopsReadingIsDroppedAndItsPromptReleased) {
  service = startService({});
  const auto stalledAnswerer = [&] {
    UniqueFd socket = Testing::connectTo(directory / "api.sock");
    EXPECT_TRUE(Testing::sendAll(
        socket.get(), "GET /v1/events?answerer=terminal HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    return socket;
  };
  // The two may attach in either order.
  const auto waitForBoth = [&] {
    EXPECT_TRUE(eventually([&] {
      auto kinds = answererKinds();
      std::sort(kinds.begin(), kinds.end());
      return kinds == std::vector<std::string>{"terminal", "web"};
    }));
  };
  auto web = attach("web");
  const UniqueFd first = stalledAnswerer();
  waitForBoth();
  const std::string session = "88888888-8888-4888-8888-888888888888";
  ChildProcess& hook = startHook(permissionRequest(session));
  waitForPrompts(1);
  // The page reads on; the stalled terminal goes, and the prompt stays held for the page.
  waitForAnswerers({"web"});
  EXPECT_FALSE(hook.hasEnded());
  EXPECT_EQ(state()["prompts"].size(), 1U);
  // Now only a stalled terminal holds it.
  const UniqueFd second = stalledAnswerer();
  waitForAnswerers({"web", "terminal"});  // the page came first now
  web->end();
  waitForAnswerers({"terminal"});
  EXPECT_FALSE(hook.hasEnded());
  EXPECT_EQ(hook.wait(), 0);
  EXPECT_EQ(hook.standardOutput(), "{}\n");
  waitForAnswerers({});
  waitForPrompts(0);
  Json ended;
  ASSERT_TRUE(eventually([&] {
    ended = state()["endedPrompts"];
    return !ended.empty();
  }));
  ASSERT_EQ(ended.size(), 1U) << ended.dump();
  EXPECT_EQ(ended[0]["outcome"], "released");
  EXPECT_EQ(ended[0]["by"], "noAnswerer");
}

// A thousand agents waiting at once are each listed and each answered, though the service starts
// with the common soft limit of 1024 open files: it raises its own, and no hook gives up while
// others are taken in first.
TEST_F(DisplayServiceTest, AThousandWaitingHooksAreAllListedAndEachAnswered) {
#if defined(__SANITIZE_ADDRESS__)
  // A hook built with the address sanitizer takes tens of MiB: a thousand of them would not fit
  // in a test machine's memory. Two hundred are still far beyond the slots there used to be.
  constexpr std::size_t count = 200;
#else
  constexpr std::size_t count = 1000;
#endif
  // Each hook this test runs holds a few descriptors here as well.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 8 * count) {
    GTEST_SKIP() << "the hard limit of open files (" << limit.rlim_max << ") is below "
                 << 8 * count;
  }
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  service = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c",
                               "ulimit -Sn 1024 && exec \"$0\" serve --hold-without-answerers",
                               program("tarvel")},
      home);
  ASSERT_TRUE(eventually([&] {
    return UnixSocketSupport::isPathAccepting(directory / "api.sock") || service->hasEnded();
  }));
  std::map<std::string, ChildProcess*> bySession;
  for (std::size_t index = 0; index < count; ++index) {
    char session[40];
    std::snprintf(session, sizeof session, "%08zx-0000-4000-8000-000000000000", index);
    bySession["claude-code:" + std::string(session)] = &startHook(permissionRequest(session));
  }
  const auto prompts = waitForPrompts(count);
  ASSERT_EQ(prompts.size(), count);
  for (const auto& [session, hook] : bySession) {
    EXPECT_FALSE(hook->hasEnded()) << session << ": " << hook->standardOutput();
  }
  EXPECT_EQ(Coding::parse(api("GET", "/v1/status").body).value()["waiting"], count);
  for (const auto& [session, replyId] : prompts) {
    EXPECT_EQ(api("POST", "/v1/prompts/" + replyId, R"({"decision":"allow"})").status, 200)
        << session;
  }
  for (const auto& [session, hook] : bySession) {
    EXPECT_EQ(hook->wait(), 0) << session;
    EXPECT_EQ(hook->standardOutput(), Testing::allowAnswer) << session;
  }
  waitForPrompts(0);
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
    std::string outcome;  // what that event says became of the prompt
  };
  // What real agents sent after their own dialog was answered (Claude Code's, Codex's screen
  // once the hook let it ask), after Esc while the hook held (Codex), and other steps, turn
  // ends and session ends seen in real sessions.
  const std::string dialog = "answered-in-dialog/";
  const std::string screen = "answered-in-own-screen/";
  // The tool ran: allowed there; the turn ended or a new prompt came with nothing between:
  // dismissed; another tool started: answered there, how is not known.
  const std::vector<Case> wentOn = {
      {"claude", dialog + "1-PermissionRequest", dialog + "2-Notification",
       dialog + "3-PostToolUse", "allowed"},
      {"claude", dialog + "1-PermissionRequest", dialog + "2-Notification", dialog + "4-Stop",
       "dismissed"},
      {"claude", "PermissionRequest", "", "PostToolUseFailure", "allowed"},
      {"claude", "PermissionRequest", "", "PreToolUse", "answeredInAgent"},
      {"claude", "PermissionRequest", "", "UserPromptSubmit", "dismissed"},
      {"claude", "PermissionRequest", "", "StopFailure", "dismissed"},
      {"claude", "PermissionRequest", "", "SessionEnd", "dismissed"},
      {"codex", screen + "1-PermissionRequest", "", screen + "2-PostToolUse", "allowed"},
      {"codex", screen + "1-PermissionRequest", "", screen + "3-Stop", "dismissed"},
      {"codex", "esc-while-held/1-PermissionRequest", "", "esc-while-held/2-Interrupt",
       "dismissed"},
      {"codex", "PermissionRequest", "", "UserPromptSubmit", "dismissed"}};
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
    // Every surface can tell what became of each: settled in the agent, denied through the API.
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
    EXPECT_TRUE(eventually(endings, [&](const Endings& seen) {
      return seen == Endings{test.outcome + " by agent", "denied by api"};
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
  hook.signal(SIGTERM);  // as Claude ends it
  hook.wait();
  waitForPrompts(0);
  EXPECT_EQ(api("POST", "/v1/prompts/" + replyId, R"({"decision":"allow"})").status, 409);
  // Well before its own wait ran out, once nothing followed: the displays say it was dismissed
  // in the agent.
  Json ended;
  ASSERT_TRUE(eventually([&] {
    ended = state()["endedPrompts"];
    return !ended.empty();
  }));
  ASSERT_EQ(ended.size(), 1U);
  EXPECT_EQ(ended[0]["replyId"], replyId);
  EXPECT_EQ(ended[0]["sessionId"], "claude-code:" + session);
  EXPECT_EQ(ended[0]["outcome"], "dismissed");
  EXPECT_EQ(ended[0]["by"], "agent");
  // The session no longer waits although its agent sends nothing more: it shows how its prompt
  // ended, and nothing counts it as waiting.
  const Json now = state();
  EXPECT_EQ(now["sessionOutcomes"]["claude-code:" + session]["outcome"], "dismissed")
      << now["sessionOutcomes"].dump();
  EXPECT_EQ(Json::parse(api("GET", "/v1/status").body).value("waiting", -1), 0);
  // It waits for its next prompt.
  ASSERT_EQ(now["sessions"].size(), 1U);
  EXPECT_EQ(now["sessions"][0]["state"], "idle");
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

// A stand-in agent: runs one hook on the document it reads and then waits to be killed, as an
// agent does that waits for its hook or for the person. "pipe": the hook is its child and it
// reads the hook's output (as Codex does; Claude Code reads a socket). "shell": it runs the hook
// through `sh -c` with the answer going to a file (the hook's parent is then a shell that
// outlives the agent, and the hook's output tells nothing). It prints its hook's (or shell's) id.
constexpr const char* standInAgent = R"(
import shlex, subprocess, sys, time
hook, mode, provider = sys.argv[1], sys.argv[2], sys.argv[3]
document = sys.stdin.buffer.read()
if mode == 'pipe':
    child = subprocess.Popen([hook, '--provider', provider], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)
else:
    command = shlex.quote(hook) + ' --provider ' + provider + ' >' + shlex.quote(sys.argv[4]) + '; true'
    child = subprocess.Popen(['/bin/sh', '-c', command], stdin=subprocess.PIPE)
child.stdin.write(document)
child.stdin.close()
print(child.pid, flush=True)
time.sleep(600)
)";

TEST_F(DisplayServiceTest, AnAgentThatExitsEndsItsSessionAndWithdrawsItsPrompts) {
  service = startService();
  auto display = attach("terminal");
  struct Case {
    std::string name;
    std::string mode;
    std::string agent;
    std::string document;  // captured, without extension
    bool waits;
  };
  const std::vector<Case> cases = {
      // The hook sees its output hang up (and itself adopted) and gives up at once.
      {"claude, the hook sees it", "pipe", "claude", "PermissionRequest", true},
      {"codex, the hook sees it", "pipe", "codex", "PermissionRequest", true},
      // Only the service's look at the agent's process can tell.
      {"claude, the service sees it", "shell", "claude", "PermissionRequest", true},
      {"a session that waits for nothing", "pipe", "claude", "UserPromptSubmit", false},
  };
  int number = 0;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string session = "99999999-9999-4999-8999-9999999999" + std::to_string(10 + number++);
    const std::string provider = test.agent == "claude" ? "claude-code" : "codex";
    const std::string id = provider + ":" + session;
    const std::filesystem::path answer = home / ("answer-" + std::to_string(number));
    ChildProcess agent({"/usr/bin/python3", "-c", standInAgent, program("tarvel-hook"), test.mode, provider,
                        answer.string()},
                       home, agentDocument(test.agent, test.document, session));
    const auto sessionState = [&] {
      const Json now = state();
      for (const Json& entry : now.value("sessions", Json::array())) {
        if (entry.value("id", "") == id) {
          return entry.value("state", "");
        }
      }
      return std::string();
    };
    if (test.waits) {
      ASSERT_EQ(waitForPrompts(1).size(), 1U) << agent.standardError();
    } else {
      EXPECT_TRUE(eventually(sessionState, [](const std::string& seen) { return !seen.empty(); }));
    }
    EXPECT_NE(sessionState(), "completed");
    const auto killedAt = std::chrono::steady_clock::now();
    agent.signal(SIGKILL);
    EXPECT_TRUE(eventually(sessionState,
                           [](const std::string& seen) { return seen == "completed"; }));
    waitForPrompts(0);
    std::cout << test.name << ": the session ended "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - killedAt)
                     .count()
              << " ms after kill -9 of its agent\n";
    const Json now = state();
    // Nothing counts it as working or waiting.
    const Json status = Json::parse(api("GET", "/v1/status").body);
    EXPECT_EQ(status.value("waiting", -1), 0) << status.dump();
    EXPECT_EQ(status.value("working", -1), 0) << status.dump();
    EXPECT_EQ(now["snapshot"].value("attentionCount", -1), 0);
    if (!test.waits) {
      continue;
    }
    std::vector<std::string> endings;
    for (const Json& ending : now["endedPrompts"]) {
      if (ending["sessionId"] == id) {
        endings.push_back(ending["outcome"].get<std::string>() + " by " +
                          ending["by"].get<std::string>());
      }
    }
    EXPECT_EQ(endings, std::vector<std::string>{"agentEnded by agent"});
    if (test.mode == "shell") {
      // Withdrawn by the service, the hook gave its agent's shell the neutral answer and ended.
      EXPECT_TRUE(eventually([&] { return Testing::readFile(answer) == "{}\n"; }));
    } else {
      // The hook itself is gone, long before its own time would have run out.
      const pid_t hook = std::stoi(agent.nextLine());
      EXPECT_TRUE(eventually([&] { return !AgentProcessIdentity::isRunning(hook); }));
    }
  }
}

// Every surface counts from one list: through a scripted sequence of real hooks, the status,
// the state's attention count and `tarvel status` (plain, --json, --tmux) agree at each step
// with what a person would say waits and what works.
TEST_F(DisplayServiceTest, EverySurfaceCountsWaitingAndWorkingAlike) {
  // Prompts are held while a display is attached, and let go to their agent when it leaves.
  service = startService({});
  auto display = attach("terminal");
  waitForAnswerers({"terminal"});
  const std::string first = "abababab-abab-4bab-8bab-ababababab01";
  const std::string second = "abababab-abab-4bab-8bab-ababababab02";
  const auto run = [&](const std::string& name, const std::string& session) {
    EXPECT_EQ(startHook(agentDocument("claude", name, session)).wait(), 0) << name;
  };
  const auto tarvelStatus = [&](const std::string& option) {
    std::vector<std::string> command{program("tarvel"), "status"};
    if (!option.empty()) {
      command.push_back(option);
    }
    ChildProcess status(command, home);
    status.wait();
    return status.standardOutput();
  };
  // What every surface says now, in one line; equal for every surface when they agree.
  const auto sample = [&] {
    const Json now = state();
    const Json status = Json::parse(api("GET", "/v1/status").body);
    const auto waiting = status.value("waiting", -1);
    const auto working = status.value("working", -1);
    std::string seen = std::to_string(waiting) + " waiting, " + std::to_string(working) +
                       " working";
    if (now["snapshot"].value("attentionCount", -1) != waiting) {
      seen += "; attentionCount " + now["snapshot"].dump();
    }
    const Json json = Json::parse(tarvelStatus("--json"));
    if (json.value("waiting", -1) != waiting || json.value("working", -1) != working) {
      seen += "; tarvel status --json " + json.dump();
    }
    const std::string plain = tarvelStatus("");
    const std::string expected =
        waiting == 0 && working == 0
            ? "idle\n"
            : std::to_string(waiting) + " waiting · " + std::to_string(working) + " working\n";
    if (plain != expected) {
      seen += "; tarvel status " + plain;
    }
    const std::string tmux = tarvelStatus("--tmux");
    if ((waiting == 0 && working == 0) != (tmux.find("idle") != std::string::npos) ||
        (waiting + working > 0 &&
         tmux.find(std::to_string(waiting) + " waiting") == std::string::npos)) {
      seen += "; tarvel status --tmux " + tmux;
    }
    return seen;
  };
  const auto expect = [&](const std::string& step, const std::string& counts) {
    SCOPED_TRACE(step);
    EXPECT_TRUE(eventually(sample, [&](const std::string& seen) { return seen == counts; }));
  };
  run("SessionStart", first);
  expect("a session that just started waits for its first prompt: not working",
         "0 waiting, 0 working");
  run("UserPromptSubmit", first);
  expect("its agent works on the prompt", "0 waiting, 1 working");
  ChildProcess& held = startHook(agentDocument("claude", "PermissionRequest", first));
  const auto live = waitForPrompts(1);
  expect("its agent waits for a person", "1 waiting, 0 working");
  run("Notification", first);
  expect("the agent's note about its own dialog changes nothing", "1 waiting, 0 working");
  ASSERT_EQ(api("POST", "/v1/prompts/" + live.begin()->second, R"({"decision":"allow"})").status,
            200);
  EXPECT_EQ(held.wait(), 0);
  expect("answered: nobody counts it as waiting, and its agent goes on with the answer",
         "0 waiting, 1 working");
  run("PostToolUse", first);
  expect("its agent went on", "0 waiting, 1 working");
  ChildProcess& dismissed = startHook(agentDocument("claude", "PermissionRequest", second));
  waitForPrompts(1);
  expect("a second session waits", "1 waiting, 1 working");
  dismissed.signal(SIGTERM);  // as Claude Code ends the hook at Esc in its own dialog
  dismissed.wait();
  waitForPrompts(0);
  expect("dismissed in the agent: neither waiting nor working", "0 waiting, 1 working");
  run("Stop", first);
  expect("the first agent's turn ended", "0 waiting, 0 working");
  const std::string third = "abababab-abab-4bab-8bab-ababababab03";
  const auto codex = [&](const std::string& name) {
    EXPECT_EQ(startHook(agentDocument("codex", "answered-in-own-screen/" + name, third), "codex")
                  .wait(),
              0)
        << name;
  };
  ChildProcess& released = startHook(
      agentDocument("codex", "answered-in-own-screen/1-PermissionRequest", third), "codex");
  waitForPrompts(1);
  expect("a Codex prompt waits here", "1 waiting, 0 working");
  display->end();
  EXPECT_EQ(released.wait(), 0);
  EXPECT_EQ(released.standardOutput(), "{}\n");
  waitForPrompts(0);
  expect("let go when the display left, Codex asks in its own dialog: still waiting",
         "1 waiting, 0 working");
  codex("2-PostToolUse");
  expect("allowed in Codex: its agent runs the tool", "0 waiting, 1 working");
  codex("3-Stop");
  expect("Codex's turn ended", "0 waiting, 0 working");
}

// However an answer, a withdrawal (the agent went on), the hook going away and a release
// (the last answerer leaving) race, each prompt ends once: one ending, one history row, and the
// hook's output agrees with it. 300 prompts, 20 at a time.
TEST_F(DisplayServiceTest, EachPromptEndsOnceWhateverRaces) {
  service = startService({});
  constexpr int rounds = 15;
  constexpr int perRound = 20;
  std::map<std::string, std::string> outcomeOfSession;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto answerer = attach("terminal");
    waitForAnswerers({"terminal"});
    std::vector<std::string> sessions;
    std::vector<ChildProcess*> waiting;
    for (int index = 0; index < perRound; ++index) {
      char session[64];
      std::snprintf(session, sizeof session, "cdcdcdcd-cdcd-4dcd-8dcd-%012d", round * 100 + index);
      sessions.emplace_back(session);
      waiting.push_back(&startHook(permissionRequest(session)));
    }
    const auto live = waitForPrompts(perRound);
    ASSERT_EQ(live.size(), static_cast<std::size_t>(perRound));
    std::vector<std::thread> racers;
    std::vector<std::unique_ptr<ChildProcess>> wentOn(perRound);
    std::vector<int> statuses(perRound, 0);
    for (int index = 0; index < perRound; ++index) {
      const std::string id = "claude-code:" + sessions[index];
      const std::string replyId = live.at(id);
      // Every prompt is answered; what races the answer differs.
      racers.emplace_back([this, replyId, &status = statuses[index]] {
        const auto response =
            ApiClient::request(directory / "api.sock", "POST", "/v1/prompts/" + replyId,
                               R"({"decision":"allow"})", Testing::generousBound);
        status = response ? response->status : 0;
      });
      switch (index % 3) {
        case 0:  // the agent goes on (its own dialog was answered)
          wentOn[index] = std::make_unique<ChildProcess>(
              std::vector<std::string>{program("tarvel-hook"), "--provider", "claude-code"}, home,
              agentDocument("claude", "PostToolUse", sessions[index]));
          break;
        case 1:  // the agent ends the hook (Esc in its own dialog)
          waiting[index]->signal(SIGKILL);
          break;
        default:  // only the answer, and in some rounds the answerer leaving
          break;
      }
    }
    if (round % 3 == 2) {
      answerer->end();  // nobody can answer any more: every prompt still waiting is released
    }
    for (std::thread& racer : racers) {
      racer.join();
    }
    for (auto& process : wentOn) {
      if (process) {
        EXPECT_EQ(process->wait(), 0);
      }
    }
    for (ChildProcess* hook : waiting) {
      hook->wait();
    }
    waitForPrompts(0);
    // One ending each, in the state.
    std::map<std::string, std::vector<std::string>> endings;
    EXPECT_TRUE(eventually([&] {
      endings.clear();
      const Json now = state();
      for (const Json& ending : now["endedPrompts"]) {
        endings[ending["sessionId"].get<std::string>()].push_back(
            ending["outcome"].get<std::string>() + " by " + ending["by"].get<std::string>());
      }
      return std::all_of(sessions.begin(), sessions.end(), [&](const std::string& session) {
        return endings.count("claude-code:" + session) != 0;
      });
    }));
    for (int index = 0; index < perRound; ++index) {
      const std::string id = "claude-code:" + sessions[index];
      ASSERT_EQ(endings[id].size(), 1U) << id;
      const std::string outcome = endings[id].front();
      outcomeOfSession[id] = outcome;
      // The answer was delivered exactly when the ending says so; otherwise it was refused
      // (allowed in the agent when the tool ran first).
      const bool answered = outcome == "allowed by api";
      EXPECT_EQ(statuses[index], answered ? 200 : 409) << id << " " << outcome;
      // The hook's output agrees: the answer it printed is the outcome recorded.
      if (index % 3 == 1) {
        // Killed as the answer came: it had the answer (and confirmed it) or nothing at all.
        const std::string printed = waiting[index]->standardOutput();
        EXPECT_TRUE(printed.empty() || (printed == Testing::allowAnswer && answered))
            << id << " " << outcome << " " << printed;
      } else if (answered) {
        EXPECT_EQ(waiting[index]->standardOutput(), Testing::allowAnswer) << id;
      } else {
        EXPECT_EQ(waiting[index]->standardOutput(), "{}\n") << id << " " << outcome;
      }
    }
    hooks.clear();
  }
  // One history row each.
  service->signal(SIGTERM);
  EXPECT_EQ(service->wait(), 0);
  ChildProcess log({program("tarvel"), "log", "--json", "-n", "100000"}, home);
  EXPECT_EQ(log.wait(), 0) << log.standardError();
  std::map<std::string, std::vector<std::string>> rows;
  for (const Json& row : Json::parse(log.standardOutput())) {
    rows[row["sessionId"].get<std::string>()].push_back(row["outcome"].get<std::string>() +
                                                        " by " + row["by"].get<std::string>());
  }
  EXPECT_EQ(rows.size(), outcomeOfSession.size());
  for (const auto& [session, outcome] : outcomeOfSession) {
    EXPECT_EQ(rows[session], std::vector<std::string>{outcome}) << session;
  }
}

}  // namespace
}  // namespace tarvel::Display
