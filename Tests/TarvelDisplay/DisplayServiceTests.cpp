#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "Support/RawSockets.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelDisplay/Client/RemoteState.hpp"
#include "TarvelDisplay/DisplayServiceTest.hpp"
#include "TarvelDisplay/Notifications/NotificationContent.hpp"
#include "TarvelDisplay/Shared/AnswerRecord.hpp"
#include "TarvelDisplay/Shared/StateMessages.hpp"

namespace tarvel::Display {
namespace {

// The API and its event stream: answers reach their hooks, changes rebuild the state.
using namespace std::chrono_literals;
using Testing::allowAnswer;
using Testing::connectTo;
using Testing::permissionRequest;

TEST_F(DisplayServiceTest, AnswersReachTheirOwnHookByReplyIdAndAPromptAnsweredIsOver) {
  service = startService();
  // A client of the event stream mirrors the state from its messages.
  std::mutex mirrorMutex;
  RemoteState mirror;
  std::vector<std::string> events;
  std::atomic<bool> stopStream{false};
  std::thread stream([&] {
    ApiClient::readEvents(
        directory / "api.sock",
        [&](std::string_view event, std::string_view data) {
          const std::scoped_lock guard(mirrorMutex);
          events.emplace_back(event);
          EXPECT_TRUE(mirror.apply(event, data)) << event;
        },
        stopStream);
  });

  ChildProcess& first = startHook(permissionRequest("11111111-1111-4111-8111-111111111111"));
  ChildProcess& second = startHook(permissionRequest("22222222-2222-4222-8222-222222222222"));
  auto prompts = waitForPrompts(2);
  const std::string firstId = prompts.at("claude-code:11111111-1111-4111-8111-111111111111");
  const std::string secondId = prompts.at("claude-code:22222222-2222-4222-8222-222222222222");
  {
    // Each prompt says when its hook gives up: the hook's own two-minute wait.
    const Json listed = state()["prompts"][0];
    const auto received = Dates::parseISO8601(listed["receivedAt"].get<std::string>());
    const auto expires = Dates::parseISO8601(listed["expiresAt"].get<std::string>());
    ASSERT_TRUE(received && expires);
    EXPECT_NEAR(std::chrono::duration<double>(*expires - *received).count(), 120.0, 5.0);
    EXPECT_EQ(listed["projectName"], "proj");
  }

  // Answers that do not fit, or name no prompt, reach no hook.
  EXPECT_EQ(api("POST", "/v1/prompts/" + firstId, R"({"decision":"option","optionId":"x"})").status,
            400);
  EXPECT_EQ(
      api("POST", "/v1/prompts/" + firstId, R"({"decision":"allow","replyId":")" + secondId + "\"}")
          .status,
      400);
  EXPECT_EQ(api("POST", "/v1/prompts/" + firstId, "not json").status, 400);
  EXPECT_EQ(api("POST", "/v1/prompts/" + firstId, std::string(2 << 20, ' ')).status, 413);
  // Which of two lengths ends the body is a reader's guess: refused, the prompt still waits.
  const std::string allow = R"({"decision":"allow"})";
  EXPECT_EQ(statusLine(connectTo(directory / "api.sock", 10s), {},
                       "POST /v1/prompts/" + firstId + " HTTP/1.1\r\nHost: localhost\r\n"
                       "Content-Length: " + std::to_string(allow.size()) +
                           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" + allow),
            "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(
      api("POST", "/v1/prompts/0F47BEA9-4C5D-4750-8BCA-3C1EB0C8A782", R"({"decision":"allow"})")
          .status,
      404);

  const auto delivered = api("POST", "/v1/prompts/" + secondId, R"({"decision":"allow"})");
  EXPECT_EQ(delivered.status, 200);
  EXPECT_EQ(delivered.body, R"({"delivered":true})");
  EXPECT_EQ(second.wait(), 0);
  EXPECT_EQ(second.standardOutput(), allowAnswer);
  EXPECT_FALSE(first.hasEnded());
  // The other prompt stays listed and answerable; the answered one is over.
  EXPECT_EQ(waitForPrompts(1).count("claude-code:11111111-1111-4111-8111-111111111111"), 1U);
  EXPECT_EQ(api("POST", "/v1/prompts/" + secondId, R"({"decision":"allow"})").status, 409);
  EXPECT_EQ(api("POST", "/v1/prompts/" + firstId, R"({"decision":"deny"})").status, 200);
  EXPECT_EQ(first.wait(), 0);
  EXPECT_NE(first.standardOutput().find(R"("behavior":"deny")"), std::string::npos)
      << first.standardOutput();
  waitForPrompts(0);

  // The stream began with the whole state and its changes lead to the same state.
  const Json now = state();
  EXPECT_TRUE(eventually([&] {
    const std::scoped_lock guard(mirrorMutex);
    return mirror.revision() == now["revision"].get<std::uint64_t>();
  }));
  {
    const std::scoped_lock guard(mirrorMutex);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), "state");
    EXPECT_GT(std::count(events.begin(), events.end(), "change"), 0);
    EXPECT_EQ(mirror.sessions().size(), now["sessions"].size());
    EXPECT_TRUE(mirror.prompts().empty());
    // Both prompts were answered here: their sessions went on, so none asks for attention, in
    // the mirror as in the state.
    EXPECT_FALSE(mirror.snapshot().attentionSession);
    EXPECT_FALSE(now["snapshot"].contains("attentionSessionId")) << now["snapshot"].dump();
  }
  stopStream = true;
  stream.join();

  const Json health = *Coding::parse(api("GET", "/v1/health").body);
  EXPECT_EQ(health["ok"], true);
  EXPECT_EQ(api("GET", "/v1/nothing").status, 404);
}

// Many sessions reordered round after round: the stream's changes carry only edits of the order
// and of the snapshot's lists, and a mirror built from them matches the whole state. The state
// leaves event histories out; one session's events come from its own path.
TEST_F(DisplayServiceTest, ChangesCarryEditsThatRebuildTheStateAndOneSessionHasItsEvents) {
  service = startService();
  std::mutex mirrorMutex;
  RemoteState mirror;
  std::vector<Json> changes;
  std::atomic<bool> stopStream{false};
  std::thread stream([&] {
    ApiClient::readEvents(
        directory / "api.sock",
        [&](std::string_view event, std::string_view data) {
          const std::scoped_lock guard(mirrorMutex);
          EXPECT_TRUE(mirror.apply(event, data)) << event;
          if (event == "change") {
            auto parsed = Coding::parse(data);
            changes.push_back(parsed ? *parsed : Json::object());
          }
        },
        stopStream);
  });

  constexpr int sessions = 40;
  constexpr int rounds = 8;
  std::uint64_t sent = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int step = 0; step < sessions; ++step) {
      // A different order each round, so sessions keep moving in the display order.
      const int number = (step * 7 + round * 13) % sessions;
      AgentEvent event;
      event.sessionId = "many-" + std::to_string(number);
      event.provider = AgentProvider::claudeCode;
      event.timestamp = Dates::now();
      event.activity = "Step " + std::to_string(round);
      event.type = number % 5 == round % 5   ? AgentEventType::waiting
                   : number % 7 == round % 7 ? AgentEventType::completed
                                             : AgentEventType::toolStarted;
      ASSERT_FALSE(UnixSocketClient::send(event, directory / "agent.sock"));
      ++sent;
    }
    // Each round is published before the next begins.
    ASSERT_TRUE(eventually([&] {
      return state()["service"]["eventsReceived"].get<std::uint64_t>() == sent;
    }));
  }
  const Json now = state();
  EXPECT_TRUE(eventually([&] {
    const std::scoped_lock guard(mirrorMutex);
    return mirror.revision() == now["revision"].get<std::uint64_t>();
  }));
  {
    const std::scoped_lock guard(mirrorMutex);
    ASSERT_EQ(now["sessions"].size(), std::size_t{sessions});
    std::vector<std::string> order;
    for (const SharedSession& session : mirror.sessions()) {
      order.push_back(session->id);
    }
    std::vector<std::string> expected;
    for (const Json& session : now["sessions"]) {
      EXPECT_FALSE(session.contains("recentEvents"));
      expected.push_back(session["id"].get<std::string>());
    }
    EXPECT_EQ(order, expected);
    const auto ids = [](const SessionList& list) {
      Json result = Json::array();
      for (const SharedSession& session : list) {
        result.push_back(session->id);
      }
      return result;
    };
    EXPECT_EQ(ids(mirror.snapshot().activeSessions), now["snapshot"]["activeSessionIds"]);
    EXPECT_EQ(ids(mirror.snapshot().attentionSessions), now["snapshot"]["attentionSessionIds"]);
    EXPECT_EQ(ids(mirror.snapshot().relatedSessions), now["snapshot"]["relatedSessionIds"]);
    EXPECT_FALSE(now["snapshot"]["attentionSessionIds"].empty());
    // Edits, never whole lists: no change names every session again.
    std::size_t reordered = 0;
    for (const Json& change : changes) {
      EXPECT_FALSE(change.contains("order"));
      EXPECT_FALSE(change.contains("snapshot"));
      if (change.contains("orderChanges") && change["revision"] != changes.front()["revision"]) {
        ++reordered;
        EXPECT_LT(change["orderChanges"]["placed"].size(), std::size_t{sessions});
      }
    }
    EXPECT_GE(reordered, std::size_t{rounds - 2});
  }
  stopStream = true;
  stream.join();

  // One session with its events, newest first.
  const auto detail = api("GET", "/v1/sessions/many-3");
  ASSERT_EQ(detail.status, 200);
  const auto parsedDetail = Coding::parse(detail.body);
  ASSERT_TRUE(parsedDetail);
  const Json& session = *parsedDetail;
  EXPECT_EQ(session["id"], "many-3");
  ASSERT_EQ(session["recentEvents"].size(), std::size_t{rounds});
  EXPECT_EQ(session["recentEvents"][0]["activity"], "Step " + std::to_string(rounds - 1));
  EXPECT_EQ(api("GET", "/v1/sessions/nobody").status, 404);
  EXPECT_EQ(api("POST", "/v1/sessions/many-3").status, 405);
}

TEST_F(DisplayServiceTest, ACommandIsShownAsItRunsAndOnlyAWholeOneCanBeAllowed) {
  service = startService();
  // An erase-line escape and a right-to-left override, then more lines than a body shows.
  std::string command = R"(echo safe \u001b[2K\u202etxt.sh)";
  for (int line = 2; line <= 8; ++line) {
    command += "\\necho " + std::to_string(line);
  }
  std::string document = permissionRequest("77777777-7777-4777-8777-777777777777");
  document.replace(document.find("touch created-by-agent.txt"),
                   std::string_view("touch created-by-agent.txt").size(), command);
  // A folder whose name sets the window's title and hides its end behind a right-to-left mark.
  document.replace(document.find(R"("cwd":"/home/dev/proj")"),
                   std::string_view(R"("cwd":"/home/dev/proj")").size(),
                   R"("cwd":"/home/dev/pr\u001b]0;owned\u0007oj\u202e")");
  ChildProcess& hook = startHook(document);
  waitForPrompts(1);
  const Json listed = state()["prompts"][0];
  const auto live = decodeJSON<LivePrompt>(listed);
  ASSERT_TRUE(live);
  // The state (which the page and the terminal display show) and the notification agree.
  const std::string shown = "echo safe \u27e8U+001B\u27e9[2K\u27e8U+202E\u27e9txt.sh";
  EXPECT_TRUE(live->pendingReply.fullDetail->starts_with(shown + "\necho 2\n"))
      << *live->pendingReply.fullDetail;
  const auto notification = NotificationContent::forPrompt(*live, live->receivedAt);
  EXPECT_NE(notification.body.find(shown + "\necho 2"), std::string::npos) << notification.body;
  EXPECT_NE(notification.body.find("\n+2 more lines\n"), std::string::npos) << notification.body;
  for (const auto& action : notification.actions) {
    EXPECT_NE(action.key, NotificationContent::allowAction);
  }
  // The folder, the project named after it and the answer's record alike.
  const std::string folder = "pr\u27e8U+001B\u27e9]0;owned\u27e8U+0007\u27e9oj\u27e8U+202E\u27e9";
  const Json session = state()["sessions"][0];
  EXPECT_EQ(session["workingDirectory"], "/home/dev/" + folder);
  EXPECT_EQ(session["projectName"], folder);
  ASSERT_EQ(api("POST", "/v1/prompts/" + listed["replyId"].get<std::string>(),
                R"({"decision":"deny"})").status,
            200);
  EXPECT_EQ(hook.wait(), 0);
  ChildProcess log({program("tarvel"), "log"}, home);
  EXPECT_EQ(log.wait(), 0);
  EXPECT_EQ(log.standardOutput().find_first_of("\x1b\x07"), std::string::npos) << log.standardOutput();
  EXPECT_NE(log.standardOutput().find(folder), std::string::npos) << log.standardOutput();
}


// The agent's own choices: Claude Code's suggested rule is offered as "always", in words from
// the suggestion, and given back to Claude as it came; Codex's stated reason comes with its
// prompt; "always" is refused where the agent suggested nothing.
TEST_F(DisplayServiceTest, AlwaysGivesTheAgentItsOwnRuleBackAndAReasonIsShown) {
  service = startService();
  const std::string claudeSession = "99999999-9999-4999-8999-999999999991";
  const std::string codexSession = "99999999-9999-4999-8999-999999999992";
  const std::string document =
      Testing::agentDocument("claude", "always-allow/1-PermissionRequest", claudeSession);
  ChildProcess& claude = startHook(document);
  ChildProcess& codex =
      startHook(Testing::agentDocument("codex", "PermissionRequest", codexSession), "codex");
  const auto prompts = waitForPrompts(2);
  std::map<std::string, Json> offered;
  const Json now = state();
  for (const Json& prompt : now["prompts"]) {
    offered[prompt["sessionId"].get<std::string>()] = prompt["pendingReply"];
  }
  ASSERT_EQ(offered.size(), 2U);
  const Json& claudePrompt = offered["claude-code:" + claudeSession];
  const Json& codexPrompt = offered["codex:" + codexSession];
  EXPECT_EQ(claudePrompt["grants"], Json::parse(R"(["deny","allow","always"])"));
  EXPECT_EQ(claudePrompt["alwaysLabel"], R"x(Always allow Bash(node -e "console.log(42)"))x");
  const Json suggestions = Json::parse(document)["permission_suggestions"];
  EXPECT_EQ(Json::parse(claudePrompt.value("alwaysRule", "null")), suggestions);
  EXPECT_EQ(codexPrompt["reason"], "Create a file for the test");
  EXPECT_EQ(codexPrompt["grants"], Json::parse(R"(["deny","allow"])"));

  const std::string codexId = prompts.at("codex:" + codexSession);
  const std::string claudeId = prompts.at("claude-code:" + claudeSession);
  const auto refused = api("POST", "/v1/prompts/" + codexId, R"({"decision":"always"})");
  EXPECT_EQ(refused.status, 400);
  EXPECT_NE(refused.body.find("suggested no rule"), std::string::npos) << refused.body;
  EXPECT_FALSE(codex.hasEnded());

  EXPECT_EQ(api("POST", "/v1/prompts/" + claudeId, R"({"decision":"always"})").status, 200);
  EXPECT_EQ(claude.wait(), 0);
  const auto printed = Coding::parse(claude.standardOutput());
  ASSERT_TRUE(printed) << claude.standardOutput();
  EXPECT_EQ(*printed, (Json{{"hookSpecificOutput",
                            {{"hookEventName", "PermissionRequest"},
                             {"decision",
                              {{"behavior", "allow"}, {"updatedPermissions", suggestions}}}}}}));
  EXPECT_EQ(api("POST", "/v1/prompts/" + codexId, R"({"decision":"deny"})").status, 200);
  EXPECT_EQ(codex.wait(), 0);
  waitForPrompts(0);
  Json ended;
  EXPECT_TRUE(eventually([&] {
    ended = Json::object();
    const Json now = state();
    for (const Json& ending : now["endedPrompts"]) {
      ended[ending["sessionId"].get<std::string>()] =
          ending["outcome"].get<std::string>() + " by " + ending["by"].get<std::string>();
    }
    return ended.size() == 2;
  }));
  EXPECT_EQ(ended["claude-code:" + claudeSession], "alwaysAllowed by api");
  EXPECT_EQ(endingWords("alwaysAllowed", "terminal"), "Always allowed on this terminal");
}

}  // namespace
}  // namespace tarvel::Display
