#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Sockets/AgentReplySocketLocation.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelCore/Sockets/ReplyTestSupport.hpp"
#include "TarvelCore/Sockets/UnixReplyServer.hpp"
#include "TarvelCore/Sockets/UnixSocketServer.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;

using Testing::agentDocument;

// What one run of the hook printed and how it ended.
struct Outcome {
  std::string standardOutput;
  std::string standardError;
  int exitStatus = -1;
  std::chrono::steady_clock::duration elapsed{};
};

// Runs the built tarvel-hook with `home` as HOME, `input` on standard input (then closed), and
// `environment` besides.
Outcome runHook(const std::filesystem::path& home, const std::string& input,
                const std::vector<std::string>& arguments,
                std::vector<std::string> environment = {}) {
  std::vector<std::string> command{Testing::program("tarvel-hook")};
  command.insert(command.end(), arguments.begin(), arguments.end());
  environment.emplace_back("TERM_PROGRAM=kitty");
  const auto started = std::chrono::steady_clock::now();
  Testing::ChildProcess hook(command, home, input, environment);
  Outcome outcome;
  outcome.exitStatus = hook.wait();
  outcome.elapsed = std::chrono::steady_clock::now() - started;
  outcome.standardOutput = hook.standardOutput();
  outcome.standardError = hook.standardError();
  return outcome;
}

// A display in the test: an event server and a reply server at the default paths under a
// temporary HOME.
class TarvelHookTest : public ::testing::Test {
 protected:
  void TearDown() override {
    replies.reset();
    events.reset();
  }

  // The event server, and unless `withReplies` is false, this program's own reply server.
  void startDisplay(bool withReplies = true) {
    events = std::make_unique<UnixSocketServer>(AgentSocketLocation::defaultURL(), 1 << 20,
                                                [this](const AgentEvent& event) {
                                                  const std::scoped_lock lock(mutex);
                                                  received.push_back(event);
                                                });
    ASSERT_FALSE(events->start().has_value());
    if (!withReplies) {
      return;
    }
    replies = std::make_unique<UnixReplyServer>(AgentReplySocketLocation::defaultURL(),
                                                [this](const std::set<UUID>& pending) {
                                                  const std::scoped_lock lock(mutex);
                                                  pendingChanges.push_back(pending);
                                                });
    ASSERT_FALSE(replies->start().has_value());
  }

  // Waits until a hook has registered a prompt, and returns it.
  std::optional<UUID> waitForPrompt() {
    std::optional<UUID> prompt;
    EXPECT_TRUE(Testing::eventually([&] {
      const auto pending = replies->pendingReplyIDs();
      if (!pending.empty()) {
        prompt = *pending.begin();
      }
      return prompt.has_value();
    })) << "no prompt registered";
    return prompt;
  }

  // Waits until the server handed over events (it does once their connection ends).
  std::vector<AgentEvent> receivedEvents() {
    std::vector<AgentEvent> seen;
    EXPECT_TRUE(Testing::eventually([&] {
      const std::scoped_lock lock(mutex);
      seen = received;
      return !seen.empty();
    })) << "no event received";
    return seen;
  }

  // HOME while the test runs: the servers listen at its default paths.
  Testing::TemporaryHome temporary{"hook-test"};
  const std::filesystem::path home = temporary.path;
  std::unique_ptr<UnixSocketServer> events;
  std::unique_ptr<UnixReplyServer> replies;
  std::mutex mutex;
  std::vector<AgentEvent> received;
  std::vector<std::set<UUID>> pendingChanges;  // what the reply server reported, in order
};

// `document` with its tool ("tool_name" Bash and its "tool_input") replaced by `tool` and `input`.
std::string withTool(std::string document, const std::string& tool, const std::string& input) {
  const std::size_t start = document.find(R"("tool_name":"Bash")");
  const std::size_t end = document.find(R"("description":"Mock shell command"})", start);
  EXPECT_NE(end, std::string::npos) << document;
  if (end == std::string::npos) {
    return document;
  }
  const std::size_t length =
      end + std::string_view(R"("description":"Mock shell command"})").size();
  return document.replace(start, length - start,
                          R"("tool_name":")" + tool + R"(","tool_input":)" + input);
}

TEST_F(TarvelHookTest, PassiveToolUseIsReportedAndAnsweredAtOnce) {
  startDisplay();
  const Outcome outcome =
      runHook(home, agentDocument("claude/PreToolUse.json"), {"--provider", "Claude-Code"});
  EXPECT_EQ(outcome.standardOutput, "{}\n");
  EXPECT_EQ(outcome.standardError, "");
  EXPECT_EQ(outcome.exitStatus, 0);
  const auto events = receivedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, AgentEventType::toolStarted);
  EXPECT_EQ(events[0].sessionId, "claude-code:da27457f-8ee9-4651-82a5-71a19268b878");
  EXPECT_FALSE(events[0].pendingReply.has_value());
  ASSERT_TRUE(events[0].origin.has_value());
  EXPECT_EQ(events[0].origin->processIdentifier, static_cast<std::int32_t>(::getpid()));
  EXPECT_EQ(events[0].origin->terminalProgram, "kitty");
}

TEST_F(TarvelHookTest, PermissionRequestWaitsForTheDisplaysAnswer) {
  startDisplay();
  Outcome outcome;
  std::thread hook([&] {
    outcome = runHook(home, agentDocument("claude/PermissionRequest.json"), {"--provider", "claude-code"});
  });
  const auto prompt = waitForPrompt();
  ASSERT_TRUE(prompt.has_value());
  const auto events = receivedEvents();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_TRUE(events[0].pendingReply.has_value());
  EXPECT_EQ(events[0].pendingReply->replyId, *prompt);
  EXPECT_EQ(events[0].state, AgentState::waitingForUser);
  EXPECT_TRUE(replies->submit(AgentReply{.replyId = *prompt, .decision = AgentReplyDecision::allow}));
  hook.join();
  EXPECT_EQ(outcome.standardOutput,
            "{\"hookSpecificOutput\":{\"decision\":{\"behavior\":\"allow\"},"
            "\"hookEventName\":\"PermissionRequest\"}}\n");
  EXPECT_EQ(outcome.standardError, "");
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST_F(TarvelHookTest, HalvesOfSurrogatePairsInACommandAreShownAsReplacementCharacters) {
  // Node writes a JavaScript string's unpaired surrogate halves as escapes; the prompt is still
  // shown, each half as U+FFFD, a whole pair and an escaped backslash as they were.
  startDisplay();
  std::string document = agentDocument("claude/PermissionRequest.json");
  const std::string command = "touch created-by-agent.txt";
  document.replace(document.find(command), command.size(),
                   R"(echo \ud83d \ude00 \ud83d\ude00 \\ud800 \ud800)");
  Outcome outcome;
  std::thread hook([&] { outcome = runHook(home, document, {"--provider", "claude-code"}); });
  const auto prompt = waitForPrompt();
  ASSERT_TRUE(prompt.has_value());
  const auto events = receivedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(encodeJSON(events[0]).find("echo \xEF\xBF\xBD \xEF\xBF\xBD \xF0\x9F\x98\x80 "
                                       R"(\\ud800 )"
                                       "\xEF\xBF\xBD"),
            std::string::npos)
      << encodeJSON(events[0]);
  EXPECT_TRUE(replies->submit(AgentReply{.replyId = *prompt, .decision = AgentReplyDecision::deny}));
  hook.join();
  EXPECT_NE(outcome.standardOutput.find(R"("behavior":"deny")"), std::string::npos)
      << outcome.standardOutput;
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST_F(TarvelHookTest, QuestionIsAnsweredWithTheChosenLabel) {
  startDisplay();
  const std::string document =
      R"({"session_id":"q1","cwd":"/home/dev/proj","hook_event_name":"PreToolUse",)"
      R"("tool_name":"AskUserQuestion","tool_use_id":"toolu_1","tool_input":{"questions":[)"
      R"({"question":"Which database?","header":"DB","multiSelect":false,)"
      R"("options":[{"label":"Postgres","description":"SQL"},{"label":"Redis"}]}]}})";
  Outcome outcome;
  std::thread hook([&] { outcome = runHook(home, document, {"--provider", "claude-code"}); });
  const auto prompt = waitForPrompt();
  ASSERT_TRUE(prompt.has_value());
  const auto events = receivedEvents();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_TRUE(events[0].pendingReply.has_value());
  EXPECT_EQ(events[0].pendingReply->kind, AgentPromptKind::question);
  EXPECT_TRUE(replies->submit(AgentReply{
      .replyId = *prompt,
      .decision = AgentReplyDecision::option,
      .answers = std::map<std::string, std::vector<std::string>>{{"Which database?", {"Redis"}}}}));
  hook.join();
  EXPECT_EQ(outcome.exitStatus, 0);
  const Json answer = Json::parse(outcome.standardOutput);
  EXPECT_EQ(answer["hookSpecificOutput"]["permissionDecision"], "allow");
  EXPECT_EQ(answer["hookSpecificOutput"]["updatedInput"]["answers"]["Which database?"], "Redis");
  EXPECT_TRUE(outcome.standardOutput.ends_with("}\n"));
}

TEST_F(TarvelHookTest, AnswersOfAnyReplyServerThatFollowsTheProtocolReachTheAgent) {
  // A reply server that knows only the protocol: it reads the hello, acknowledges it, writes one
  // answer line for the prompt the hello names, and closes without reading any further. One that
  // asks for a receipt in its acknowledgement reads on until the hook goes.
  startDisplay(false);
  using namespace ReplyTestSupport;
  const std::string question =
      withTool(agentDocument("claude/PreToolUse.json"), "AskUserQuestion",
               R"({"questions":[{"question":"Which database?","header":"DB","multiSelect":false,)"
               R"("options":[{"label":"Postgres","description":"SQL"},{"label":"Redis"}]}]})");
  const std::string plan = withTool(agentDocument("claude/PreToolUse.json"), "ExitPlanMode",
                                    R"({"plan":"1. Edit src/a.txt\n2. Run the tests"})");
  struct Case {
    const char* name;
    std::string provider;
    std::string document;
    std::function<std::string(const std::string& replyId)> answer;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {"allow", "claude-code", agentDocument("claude/PermissionRequest.json"),
       [](const std::string& id) { return R"({"decision":"allow","replyId":")" + id + R"("})"; },
       R"({"hookSpecificOutput":{"decision":{"behavior":"allow"},)"
       R"("hookEventName":"PermissionRequest"}})"},
      {"deny", "claude-code", agentDocument("claude/PermissionRequest.json"),
       [](const std::string& id) { return R"({"decision":"deny","replyId":")" + id + R"("})"; },
       R"({"hookSpecificOutput":{"decision":{"behavior":"deny","message":"Denied from Tarvel"},)"
       R"("hookEventName":"PermissionRequest"}})"},
      {"Codex allow", "codex", agentDocument("codex/PermissionRequest.json"),
       [](const std::string& id) { return R"({"decision":"allow","replyId":")" + id + R"("})"; },
       R"({"hookSpecificOutput":{"decision":{"behavior":"allow"},)"
       R"("hookEventName":"PermissionRequest"}})"},
      {"question", "claude-code", question,
       [](const std::string& id) {
         return R"({"answers":{"Which database?":["Redis"]},"decision":"option","replyId":")" + id +
                R"("})";
       },
       R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow",)"
       R"("updatedInput":{"answers":{"Which database?":"Redis"},"questions":[{"header":"DB",)"
       R"("multiSelect":false,"options":[{"description":"SQL","label":"Postgres"},)"
       R"({"label":"Redis"}],"question":"Which database?"}]}}})"},
      {"plan approval", "claude-code", plan,
       [](const std::string& id) { return R"({"decision":"allow","replyId":")" + id + R"("})"; },
       R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow",)"
       R"("updatedInput":{"plan":"1. Edit src\/a.txt\n2. Run the tests"}}})"},
  };
  for (const bool asksForReceipt : {false, true}) {
    for (const auto& testCase : cases) {
      SCOPED_TRACE(std::string(testCase.name) + (asksForReceipt ? ", receipt asked" : ""));
      const UniqueFd listener = listenAt(AgentReplySocketLocation::defaultURL());
      ASSERT_TRUE(listener.valid());
      setReceiveTimeout(listener.get(), 60s);  // accept gives up if no hook comes
      std::string replyId;
      std::string afterAnswer;
      std::thread server([&] {
        const UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        setReceiveTimeout(connection.get(), 30s);
        const Json hello = Json::parse(readLine(connection.get()).value_or(""), nullptr, false);
        if (!hello.is_object() || !hello.contains("replyId") || !hello["replyId"].is_string()) {
          return;
        }
        replyId = hello["replyId"].get<std::string>();
        sendAll(connection.get(), asksForReceipt ? "{\"registered\":true,\"wantsReceipt\":true}\n"
                                                 : "{\"registered\":true}\n");
        sendAll(connection.get(), testCase.answer(replyId) + "\n");
        if (asksForReceipt) {
          afterAnswer = readToEnd(connection.get());
        }
      });
      const Outcome outcome = runHook(home, testCase.document, {"--provider", testCase.provider});
      server.join();
      EXPECT_FALSE(replyId.empty());
      EXPECT_EQ(outcome.standardOutput, testCase.printed + "\n");
      EXPECT_EQ(outcome.standardError, "");
      EXPECT_EQ(outcome.exitStatus, 0);
      EXPECT_EQ(afterAnswer, asksForReceipt ? "{\"received\":true}\n" : "");
    }
  }
}

// Grok Build and Antigravity cannot run here: their documents are written from their vendors'
// published hook formats (Tests/Fixtures/agents/README.md). Each goes through the built hook as
// the agent runs it (Grok names the event in the document and in GROK_HOOK_EVENT; Antigravity's
// documents name none, so its command line does), and what reaches the display is what the
// document means. Neither agent reads a decision back: every answer is the passive one.
TEST_F(TarvelHookTest, GrokAndAntigravityDocumentsShowAsTheirPublishedFormatsMeanThem) {
  startDisplay();
  const std::string grokSession = "grok:019f4a2c-7d10-7b3e-9c41-5e8f0a1b2c3d";
  const std::string antigravitySession = "antigravity:3c9e51a7-2b84-4f06-9d1e-7a5b0c8f2e13";
  struct Case {
    std::string file;        // under Tests/Fixtures/agents
    std::string grokEvent;   // GROK_HOOK_EVENT; empty: an Antigravity document
    std::string event;       // Antigravity's event, named on the command line
    std::optional<AgentEventType> type;  // absent: no event reaches the display
    AgentState state = AgentState::idle;
    std::string activity;
    std::string answer = "{}";
  };
  const std::vector<Case> cases = {
      {"grok/SessionStart.json", "session_start", "", std::nullopt},
      {"grok/UserPromptSubmit.json", "user_prompt_submit", "", AgentEventType::activity,
       AgentState::thinking, "Thinking"},
      {"grok/PreToolUse.json", "pre_tool_use", "", AgentEventType::toolStarted,
       AgentState::executingTool, "Running npm test"},
      {"grok/PreToolUse-search_replace.json", "pre_tool_use", "", AgentEventType::fileChanged,
       AgentState::editing, "Editing a.txt"},
      {"grok/PostToolUse.json", "post_tool_use", "", AgentEventType::toolCompleted,
       AgentState::running, "Finished command"},
      {"grok/PostToolUseFailure.json", "post_tool_use_failure", "", AgentEventType::toolCompleted,
       AgentState::running, "Tool failed: exit status 1"},
      {"grok/Notification-permission_prompt.json", "notification", "", AgentEventType::waiting,
       AgentState::waitingForUser, "Grok needs your permission to run npm install"},
      {"grok/Notification-idle_prompt.json", "notification", "", AgentEventType::completed,
       AgentState::completed, "Grok is waiting for your input"},
      {"grok/Stop.json", "stop", "", AgentEventType::completed, AgentState::completed,
       "Task completed"},
      {"grok/StopFailure.json", "stop_failure", "", AgentEventType::failed, AgentState::failed,
       "Usage limit reached"},
      {"grok/StopCancelled.json", "stop_cancelled", "", AgentEventType::completed,
       AgentState::completed, "Stopped"},
      {"grok/SubagentStart.json", "subagent_start", "", AgentEventType::started,
       AgentState::starting, "Subagent started"},
      {"grok/SubagentStop.json", "subagent_stop", "", AgentEventType::completed,
       AgentState::completed, "Subagent completed"},
      {"grok/SessionEnd.json", "session_end", "", AgentEventType::completed,
       AgentState::completed, "Session ended"},
      {"antigravity/PreInvocation.json", "", "PreInvocation", AgentEventType::activity,
       AgentState::thinking, "Thinking"},
      {"antigravity/PreToolUse.json", "", "PreToolUse", AgentEventType::toolStarted,
       AgentState::executingTool, "Running npm test"},
      {"antigravity/PreToolUse-write_to_file.json", "", "PreToolUse", AgentEventType::fileChanged,
       AgentState::editing, "Editing a.txt"},
      {"antigravity/PostToolUse.json", "", "PostToolUse", AgentEventType::toolCompleted,
       AgentState::running, "Finished command"},
      {"antigravity/PostToolUse-error.json", "", "PostToolUse", AgentEventType::toolCompleted,
       AgentState::running, "Tool failed: command exited with status 1"},
      {"antigravity/PostInvocation.json", "", "PostInvocation", std::nullopt},
      {"antigravity/Stop.json", "", "Stop", AgentEventType::completed, AgentState::completed,
       "Task completed", R"({"decision":"stop"})"},
  };
  // After each case a Claude Code document from another session: once its event is in, every
  // event of the case is too.
  const std::string marker = agentDocument("claude/PreToolUse.json");
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.file);
    {
      const std::scoped_lock lock(mutex);
      received.clear();
    }
    const bool grok = !testCase.grokEvent.empty();
    const Outcome outcome =
        grok ? runHook(home, agentDocument(testCase.file), {"--provider", "grok"},
                       {"GROK_HOOK_EVENT=" + testCase.grokEvent})
             : runHook(home, agentDocument(testCase.file),
                       {"--provider", "antigravity", "--event", testCase.event});
    EXPECT_EQ(outcome.standardOutput, testCase.answer + "\n");
    EXPECT_EQ(outcome.standardError, "");
    EXPECT_EQ(outcome.exitStatus, 0);
    ASSERT_EQ(runHook(home, marker, {"--provider", "claude-code"}).exitStatus, 0);
    std::vector<AgentEvent> events;
    ASSERT_TRUE(Testing::eventually([&] {
      const std::scoped_lock lock(mutex);
      events = received;
      return !events.empty() && events.back().provider == AgentProvider::claudeCode;
    }));
    events.pop_back();
    if (!testCase.type) {
      EXPECT_TRUE(events.empty());
      continue;
    }
    ASSERT_EQ(events.size(), 1u);
    const AgentEvent& event = events[0];
    EXPECT_EQ(event.type, *testCase.type);
    EXPECT_EQ(event.state, testCase.state);
    EXPECT_EQ(event.activity, testCase.activity);
    EXPECT_EQ(event.workingDirectory, "/home/dev/proj");
    EXPECT_FALSE(event.pendingReply.has_value());
    if (testCase.file.starts_with("grok/Subagent")) {
      // The sub-agent's own session, under Grok's.
      EXPECT_EQ(event.sessionId, grokSession + ":019f4a2c-9b13-7d22-b6e1-4a7f2c3d5e6f");
      EXPECT_EQ(event.parentSessionId, grokSession);
    } else {
      EXPECT_EQ(event.sessionId, grok ? grokSession : antigravitySession);
    }
    if (testCase.file == "grok/UserPromptSubmit.json") {
      EXPECT_EQ(event.task, "Run the tests");
    }
    if (testCase.type == AgentEventType::fileChanged) {
      EXPECT_EQ(event.file, "/home/dev/proj/src/a.txt");
    }
  }
}

TEST_F(TarvelHookTest, AnAnswerIsDeliveredOnlyOnceTheHookConfirmsIt) {
  // This program's reply server asks for the receipt, so an answer written to a hook that is
  // killed before it confirms counts as not delivered.
  startDisplay();
  Testing::ChildProcess hook({Testing::program("tarvel-hook"), "--provider", "claude-code"}, home,
                             agentDocument("claude/PermissionRequest.json"));
  const auto prompt = waitForPrompt();
  ASSERT_TRUE(prompt.has_value());
  hook.signal(SIGSTOP);
  const auto lastReported = [&] {
    const std::scoped_lock lock(mutex);
    return pendingChanges.empty() ? std::set<UUID>{} : pendingChanges.back();
  };
  ASSERT_TRUE(ReplyTestSupport::waitUntil([&] { return lastReported().count(*prompt) == 1; }));
  auto submitted = std::async(std::launch::async, [&] {
    return replies->submit(AgentReply{.replyId = *prompt, .decision = AgentReplyDecision::allow});
  });
  // The server reports the prompt gone once the answer is written; the hook has not read it.
  ASSERT_TRUE(ReplyTestSupport::waitUntil([&] { return lastReported().count(*prompt) == 0; }));
  hook.signal(SIGKILL);
  hook.wait();
  EXPECT_FALSE(submitted.get());
}

TEST_F(TarvelHookTest, DisplayClosingMidWaitReleasesTheAgent) {
  startDisplay();
  Outcome outcome;
  std::thread hook([&] {
    outcome = runHook(home, agentDocument("claude/PermissionRequest.json"), {"--provider", "claude-code"});
  });
  ASSERT_TRUE(waitForPrompt().has_value());
  const auto closedAt = std::chrono::steady_clock::now();
  replies->stop();
  hook.join();
  EXPECT_EQ(outcome.standardOutput, "{}\n");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - closedAt, 60s);  // not the 120 s hold
}

TEST_F(TarvelHookTest, NoDisplayMeansNoWait) {
  for (const char* file : {"claude/PermissionRequest.json", "claude/PreToolUse.json"}) {
    SCOPED_TRACE(file);
    const Outcome outcome = runHook(home, agentDocument(file), {"--provider", "claude-code"});
    EXPECT_EQ(outcome.standardOutput, "{}\n");
    EXPECT_EQ(outcome.standardError, "");
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_LT(outcome.elapsed, 60s);  // not the 120 s hold
  }
  // Alone, --version is a person's question (agents never pass it).
  EXPECT_EQ(runHook(home, "", {"--version"}).standardOutput,
            std::string("tarvel-hook ") + TARVEL_VERSION + "\n");
}

TEST_F(TarvelHookTest, CodexQuestionsAreShownButNeverHeld) {
  // Codex cannot take an answer to a question through its hook, so nothing waits for one.
  startDisplay();
  const std::string document =
      R"({"session_id":"c1","cwd":"/tmp","hook_event_name":"PreToolUse","tool_name":"AskUserQuestion",)"
      R"("tool_input":{"questions":[{"question":"Go?","options":[{"label":"Yes"},{"label":"No"}]}]}})";
  const Outcome outcome = runHook(home, document, {"--provider", "codex"});
  EXPECT_EQ(outcome.standardOutput, "{}\n");
  EXPECT_TRUE(replies->pendingReplyIDs().empty());
  const auto events = receivedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].state, AgentState::waitingForUser);
}

TEST_F(TarvelHookTest, GarbageInputStillGetsTheNeutralAnswer) {
  startDisplay();
  // A whole document followed by a NUL byte and more is not JSON either.
  const std::string afterNul = agentDocument("claude/PreToolUse.json") + std::string("\0garbage", 8);
  for (const std::string& input : {std::string("not json"), std::string("\xFF\xFE"),
                                   std::string(4000, '['), std::string(), afterNul}) {
    const Outcome outcome = runHook(home, input, {"--provider", "claude-code"});
    EXPECT_EQ(outcome.standardOutput, "{}\n");
    EXPECT_EQ(outcome.standardError, "");
    EXPECT_EQ(outcome.exitStatus, 0);
  }
  std::this_thread::sleep_for(50ms);
  const std::scoped_lock lock(mutex);
  EXPECT_TRUE(received.empty());
}

TEST_F(TarvelHookTest, WaitingHookWhoseEventCannotBeShownWithdrawsAndAnswersAtOnce) {
  // A display whose reply socket takes the registration but whose event socket is gone: the
  // prompt can never reach the user, so holding the agent for 120 s would be for nothing.
  std::mutex seenMutex;
  std::vector<std::set<UUID>> pendingSets;
  replies = std::make_unique<UnixReplyServer>(AgentReplySocketLocation::defaultURL(),
                                              [&](const std::set<UUID>& pending) {
                                                const std::scoped_lock lock(seenMutex);
                                                pendingSets.push_back(pending);
                                              });
  ASSERT_FALSE(replies->start().has_value());
  const Outcome outcome =
      runHook(home, agentDocument("claude/PermissionRequest.json"), {"--provider", "claude-code"});
  EXPECT_EQ(outcome.standardOutput, "{}\n");
  EXPECT_EQ(outcome.standardError, "");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_LT(outcome.elapsed, 60s);  // well before the 120 s a held hook would wait
  // It did register, and then withdrew: nothing is left pending on the reply socket.
  for (int i = 0; i < 3000 && !replies->pendingReplyIDs().empty(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(replies->pendingReplyIDs().empty());
  const std::scoped_lock lock(seenMutex);
  ASSERT_FALSE(pendingSets.empty());
  EXPECT_EQ(pendingSets.front().size(), 1u);
  EXPECT_TRUE(pendingSets.back().empty());
}

TEST_F(TarvelHookTest, AgentIsTheProcessBehindTheShellsThatRunTheHook) {
  startDisplay();
  const std::string program = Testing::program("tarvel-hook");
  { std::ofstream(home / "doc.json", std::ios::binary) << agentDocument("claude/PreToolUse.json"); }
  const std::string run = program + " --provider claude-code < " + (home / "doc.json").string() +
                          " > " + (home / "out.txt").string();
  // "; true" keeps each shell alive as the hook's parent, as agents' shells stay.
  const std::vector<std::pair<std::string, std::string>> chains{
      {"sh -c", run + "; true"},
      {"bash -c", "bash -c '" + run + "; true'; true"},
      {"sh -c bash -c", "sh -c \"bash -c '" + run + "; true'; true\"; true"},
  };
  for (const auto& [label, command] : chains) {
    SCOPED_TRACE(label);
    {
      const std::scoped_lock lock(mutex);
      received.clear();
    }
    Testing::ChildProcess shell({"/bin/sh", "-c", command}, home);
    ASSERT_EQ(shell.wait(), 0);
    const auto events = receivedEvents();
    ASSERT_EQ(events.size(), 1u);
    ASSERT_TRUE(events[0].origin.has_value());
    // The test process started the chain: it plays the agent.
    EXPECT_EQ(events[0].origin->processIdentifier, static_cast<std::int32_t>(::getpid()));
    EXPECT_EQ(events[0].origin->processStartedAt, AgentProcessIdentity::startedAt(::getpid()));
  }

  // A shell that ends before its hook runs leaves no agent behind the hook: neither the dead
  // shell nor the process that adopted the hook is recorded as the agent.
  {
    const std::scoped_lock lock(mutex);
    received.clear();
  }
  Testing::ChildProcess shell({"/bin/sh", "-c", "(sleep 0.3; exec " + run + ") & exit 0"}, home);
  ASSERT_EQ(shell.wait(), 0);
  const auto events = receivedEvents();
  ASSERT_EQ(events.size(), 1u);
  const auto recorded = events[0].origin ? events[0].origin->processIdentifier : std::nullopt;
  EXPECT_NE(recorded, std::optional<std::int32_t>(shell.processId()));
  EXPECT_NE(recorded, std::optional<std::int32_t>(1));
}

}  // namespace
}  // namespace tarvel
