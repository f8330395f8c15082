#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Api/ApiServer.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "TarvelDisplay/Client/RemoteState.hpp"
#include "TarvelDisplay/Notifications/NotificationContent.hpp"
#include "TarvelDisplay/Service/DisplayService.hpp"
#include "TarvelDisplay/Service/SessionStore.hpp"
#include "TarvelDisplay/ServiceTestSupport.hpp"
#include "TarvelDisplay/Shared/StateMessages.hpp"

namespace tarvel::Display {
namespace {

using namespace std::chrono_literals;
using Testing::ChildProcess;
using Testing::eventually;
using Testing::fixture;
using Testing::allowAnswer;
using Testing::permissionRequest;
using Testing::program;


// A socket connected to `path` (a Unix socket) or to 127.0.0.1:`port`, with 10-second limits.
UniqueFd connectLocal(const std::filesystem::path& path, std::uint16_t port = 0) {
  UniqueFd socket(::socket(port == 0 ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval limit{.tv_sec = 10, .tv_usec = 0};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int connected = -1;
  if (port == 0) {
    const auto address = UnixSocketSupport::makeAddress(path.string());
    connected = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address),
                          UnixSocketSupport::addressLength(path.string()));
  } else {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}};
    connected = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  return connected == 0 ? std::move(socket) : UniqueFd();
}

// The status line a GET of `path` gets over `socket`; empty when none comes.
// The status line of the answer to a GET of `path`, or to `request` as written.
std::string statusLine(const UniqueFd& socket, const std::string& path,
                       std::string request = {}) {
  if (request.empty()) {
    request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  }
  if (!socket || ::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
                     static_cast<ssize_t>(request.size())) {
    return {};
  }
  std::string answer;
  char byte = 0;
  while (!answer.ends_with("\r\n") && ::recv(socket.get(), &byte, 1, 0) == 1) {
    answer.push_back(byte);
  }
  return answer.ends_with("\r\n") ? answer.substr(0, answer.size() - 2) : std::string();
}

// A real `tarvel serve` in a temporary HOME, real hooks, and the API over its socket.
class DisplayServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvel-service-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home = pattern;
    directory = home / ".tarvel";
  }
  void TearDown() override {
    hooks.clear();
    service.reset();
    std::filesystem::remove_all(home);
  }

  // By default prompts are held for answers through the API alone, as scripts answer them.
  std::unique_ptr<ChildProcess> startService(
      const std::vector<std::string>& options = {"--hold-without-answerers"}) {
    std::vector<std::string> command{program("tarvel"), "serve"};
    command.insert(command.end(), options.begin(), options.end());
    auto process = std::make_unique<ChildProcess>(command, home);
    EXPECT_TRUE(eventually([&] {
      return UnixSocketSupport::isPathAccepting(directory / "api.sock") || process->hasEnded();
    })) << process->standardError();
    return process;
  }

  ChildProcess& startHook(const std::string& document,
                          const std::string& provider = "claude-code") {
    hooks.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{program("tarvel-hook"), "--provider", provider}, home, document));
    return *hooks.back();
  }

  // Reads the event stream (as an answerer of `kind` unless empty) until stopped.
  struct Reader {
    std::atomic<bool> stop{false};
    std::thread thread;
    ~Reader() { end(); }
    void end() {
      stop = true;
      if (thread.joinable()) {
        thread.join();
      }
    }
  };
  std::unique_ptr<Reader> attach(const std::string& kind) {
    auto reader = std::make_unique<Reader>();
    reader->thread = std::thread([this, kind, raw = reader.get()] {
      ApiClient::readEvents(
          directory / "api.sock", [](std::string_view, std::string_view) {}, raw->stop, kind);
    });
    return reader;
  }

  std::vector<std::string> answererKinds() {
    std::vector<std::string> kinds;
    for (const Json& entry : state().value("answerers", Json::array())) {
      kinds.push_back(entry.value("kind", ""));
      EXPECT_TRUE(Dates::parseISO8601(entry.value("since", ""))) << entry.dump();
    }
    return kinds;
  }
  void waitForAnswerers(const std::vector<std::string>& kinds) {
    EXPECT_TRUE(eventually([&] { return answererKinds() == kinds; }, 20s))
        << "answerers: " << state().value("answerers", Json::array()).dump();
  }

  ApiClient::Response api(std::string_view method, std::string_view path,
                          std::string_view body = {}) {
    // Generous: a busy machine may keep the service from answering for a few seconds.
    auto response = ApiClient::request(directory / "api.sock", method, path, body, 30s);
    EXPECT_TRUE(response) << (response ? "" : response.error());
    return response ? *response : ApiClient::Response{};
  }

  Json state() {
    auto parsed = Coding::parse(api("GET", "/v1/state").body);
    return parsed ? *parsed : Json::object();
  }

  // The live prompts' replyIds by session id, once there are `count` of them.
  std::map<std::string, std::string> waitForPrompts(std::size_t count) {
    std::map<std::string, std::string> prompts;
    EXPECT_TRUE(eventually([&] {
      prompts.clear();
      const Json now = state();
      for (const Json& prompt : now.value("prompts", Json::array())) {
        prompts[prompt["sessionId"].get<std::string>()] = prompt["replyId"].get<std::string>();
      }
      return prompts.size() == count;
    })) << "live prompts: "
        << prompts.size();
    return prompts;
  }

  std::filesystem::path home;
  std::filesystem::path directory;
  std::unique_ptr<ChildProcess> service;
  std::vector<std::unique_ptr<ChildProcess>> hooks;
};

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
  EXPECT_EQ(statusLine(connectLocal(directory / "api.sock"), {},
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
    ASSERT_TRUE(mirror.snapshot().attentionSession);
    EXPECT_EQ((*mirror.snapshot().attentionSession)->id,
              now["snapshot"]["attentionSessionId"].get<std::string>());
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

// A captured document of `agent` ("claude", "codex") as from session `session`.
std::string document(const std::string& agent, const std::string& name,
                     const std::string& session) {
  Json value = Coding::parse(fixture(agent + "/" + name + ".json")).value();
  value["session_id"] = session;
  return value.dump();
}

TEST_F(DisplayServiceTest, APromptIsHeldOnlyWhileSomeoneCanAnswerIt) {
  service = startService({});
  const std::string session = "66666666-6666-4666-8666-666666666666";
  {
    SCOPED_TRACE("nobody can answer: released at once, as when no service runs");
    waitForAnswerers({});
    ChildProcess& hook = startHook(permissionRequest(session));
    EXPECT_EQ(hook.wait(20s), 0);
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
    EXPECT_EQ(hook.wait(20s), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
    waitForPrompts(0);
    waitForAnswerers({});
  }
  EXPECT_EQ(api("GET", "/v1/events?answerer=robot").status, 400);
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
    ChildProcess& waiting = startHook(document(test.agent, test.request, session), provider);
    ChildProcess& bystander = startHook(document(test.agent, test.request, other), provider);
    waitForPrompts(2);
    const auto received = [&] { return state()["service"]["eventsReceived"].get<int>(); };
    const int before = received();
    if (!test.stays.empty()) {
      // The notification about the prompt itself leaves it waiting.
      EXPECT_EQ(startHook(document(test.agent, test.stays, session), provider).wait(), 0);
    }
    // Another session's step leaves it waiting too.
    EXPECT_EQ(startHook(document(test.agent, test.wentOn, other + "0"), provider).wait(), 0);
    EXPECT_TRUE(eventually([&] { return received() >= before + (test.stays.empty() ? 1 : 2); }));
    EXPECT_EQ(state()["prompts"].size(), 2U);
    EXPECT_EQ(startHook(document(test.agent, test.wentOn, session), provider).wait(), 0);
    EXPECT_EQ(waiting.wait(20s), 0);
    EXPECT_EQ(waiting.standardOutput(), "{}\n");
    const auto left = waitForPrompts(1);
    EXPECT_EQ(left.count(provider + ":" + other), 1U);
    EXPECT_FALSE(bystander.hasEnded());
    EXPECT_EQ(api("POST", "/v1/prompts/" + left.begin()->second, R"({"decision":"deny"})").status,
              200);
    EXPECT_EQ(bystander.wait(), 0);
    waitForPrompts(0);
    // Every surface can tell what became of each: withdrawn in the agent, denied through the API.
    std::map<std::string, std::string> ended;
    const Json now = state();
    for (const Json& ending : now["endedPrompts"]) {
      ended[ending["sessionId"].get<std::string>()] =
          ending["outcome"].get<std::string>() + " by " + ending["by"].get<std::string>();
    }
    EXPECT_EQ(ended[provider + ":" + session], "answeredInAgent by agent");
    EXPECT_EQ(ended[provider + ":" + other], "denied by api");
  }
}

TEST_F(DisplayServiceTest, AHookThatGoesAwayLeavesThePromptListAndItsAnswerIsRefused) {
  service = startService();
  // Esc at Claude Code's own dialog: Claude ends the waiting hook and sends no event after it.
  const std::string session = "33333333-3333-4333-8333-333333333333";
  ChildProcess& hook = startHook(document("claude", "esc-at-dialog/1-PermissionRequest", session));
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
  EXPECT_EQ(first.wait(60s), 0);
  EXPECT_EQ(second.wait(60s), 0);
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

TEST_F(DisplayServiceTest, NothingShownIsLostToAFailedSaveAStopOrTheBound) {
  service = startService();
  const auto saved = [&] {
    std::ifstream file(directory / "sessions.json");
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  const auto failures = [&] {
    const std::string text = service->standardError();
    std::size_t count = 0;
    for (auto at = text.find("could not be saved"); at != std::string::npos;
         at = text.find("could not be saved", at + 1)) {
      ++count;
    }
    return count;
  };
  const auto prompt = [&](const std::string& session) {
    std::string document = fixture("claude/UserPromptSubmit.json");
    const std::string original = "f4c0ee25-073b-4dab-af99-9e3fb0e47089";
    for (auto at = document.find(original); at != std::string::npos; at = document.find(original)) {
      document.replace(at, original.size(), session);
    }
    startHook(document).wait();
  };
  prompt("saved-first");
  ASSERT_TRUE(eventually([&] { return saved().find("saved-first") != std::string::npos; }, 30s));
  const auto failSaves = [&] {
    std::filesystem::remove(directory / "sessions.json");
    std::filesystem::create_directory(directory / "sessions.json");  // where the file goes
  };
  {
    SCOPED_TRACE("a failed save is tried again once it can succeed");
    failSaves();
    const std::size_t before = failures();
    prompt("after-a-failed-save");
    ASSERT_TRUE(eventually([&] { return failures() > before; }, 30s)) << service->standardError();
    std::filesystem::remove(directory / "sessions.json");
    EXPECT_TRUE(eventually(
        [&] { return saved().find("after-a-failed-save") != std::string::npos; }, 60s));
  }
  {
    SCOPED_TRACE("a stop saves what a failed save left unsaved");
    failSaves();
    const std::size_t before = failures();
    prompt("before-the-stop");
    ASSERT_TRUE(eventually([&] { return failures() > before; }, 30s)) << service->standardError();
    std::filesystem::remove(directory / "sessions.json");
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(30s), 0) << service->standardError();
    EXPECT_NE(saved().find("before-the-stop"), std::string::npos);
  }
  {
    SCOPED_TRACE("sessions kept while running are bounded as saved ones, finished ones first");
    service = startService();
    std::string lines;
    const Date start = Dates::now();
    for (std::size_t number = 0; number < SessionStore::maximumSavedSessions + 100; ++number) {
      AgentEvent event{.type = AgentEventType::completed,
                       .sessionId = "finished-" + std::to_string(number),
                       .provider = AgentProvider::claudeCode,
                       .timestamp = start + std::chrono::milliseconds(number)};
      lines += encodeEventLine(event);
      if (number % 1000 == 999) {  // a connection carries at most a mebibyte
        ASSERT_FALSE(UnixSocketClient::sendBytes(lines, directory / "agent.sock"));
        lines.clear();
      }
    }
    ASSERT_FALSE(UnixSocketClient::sendBytes(lines, directory / "agent.sock"));
    prompt("active-last");
    // Connections are read side by side, so the prompt may be folded before the last finished
    // sessions: wait until the state holds every event sent.
    const std::uint64_t sent = SessionStore::maximumSavedSessions + 101;
    std::size_t shown = 0;
    EXPECT_TRUE(eventually([&] {
      const Json now = state();
      shown = now["sessions"].size();
      return now["service"]["eventsReceived"].get<std::uint64_t>() >= sent &&
             now.dump().find("active-last") != std::string::npos;
    }, 30s));
    EXPECT_EQ(shown, SessionStore::maximumSavedSessions);
    const std::string listed = state().dump();
    EXPECT_NE(listed.find("saved-first"), std::string::npos);  // still running
    EXPECT_EQ(listed.find("finished-0\""), std::string::npos);  // the oldest finished went
    EXPECT_NE(listed.find("finished-599\""), std::string::npos);
  }
  {
    SCOPED_TRACE("another machine that floods the service keeps to its share; this one's stay");
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(30s), 0) << service->standardError();
    std::filesystem::remove(directory / "sessions.json");
    service = startService();
    const Date start = Dates::now();
    const auto activeLine = [&](const std::string& session, std::optional<std::string> host,
                                std::size_t number) {
      AgentEvent event{.type = AgentEventType::toolStarted,
                       .sessionId = session,
                       .provider = AgentProvider::claudeCode,
                       .timestamp = start + std::chrono::milliseconds(number)};
      if (host) {
        event.origin = AgentOrigin{.host = std::move(host)};
      }
      return encodeEventLine(event);
    };
    ASSERT_FALSE(UnixSocketClient::sendBytes(activeLine("local-oldest", std::nullopt, 0),
                                             directory / "agent.sock"));
    const std::size_t flood = DisplayService::remoteHostShare + 500;
    std::string lines;
    for (std::size_t number = 0; number < flood; ++number) {
      lines += activeLine("far-" + std::to_string(number), "farhost", number + 1);
      if (number % 1000 == 999) {
        ASSERT_FALSE(UnixSocketClient::sendBytes(lines, directory / "agent.sock"));
        lines.clear();
      }
    }
    lines += activeLine("near-0", "nearhost", flood + 1);
    ASSERT_FALSE(UnixSocketClient::sendBytes(lines, directory / "agent.sock"));
    EXPECT_TRUE(eventually([&] {
      return state()["service"]["eventsReceived"].get<std::uint64_t>() >= flood + 2;
    }, 120s));
    std::size_t far = 0;
    std::string others;
    EXPECT_TRUE(eventually([&] {
      far = 0;
      others.clear();
      const Json now = state();
      for (const Json& session : now["sessions"]) {
        const std::string id = session["id"].get<std::string>();
        if (id.starts_with("far-")) {
          ++far;
        } else {
          others += id + " ";
        }
      }
      return far > 0 && far <= DisplayService::remoteHostShare;
    }, 120s));
    EXPECT_EQ(far, DisplayService::remoteHostShare);
    EXPECT_NE(others.find("local-oldest "), std::string::npos) << others;
    EXPECT_NE(others.find("near-0@nearhost "), std::string::npos) << others;
    const std::string listed = state().dump();
    EXPECT_EQ(listed.find("\"far-0@farhost\""), std::string::npos);  // the oldest of the flood went
    EXPECT_NE(listed.find("far-" + std::to_string(flood - 1) + "@farhost\""), std::string::npos);
  }
}

TEST_F(DisplayServiceTest, SlowIdleAndGoneClientsCannotLockTheApiOut) {
  service = startService({"--http", "127.0.0.1:0"});
  std::string web;
  // A service still starting answers 503 for a moment.
  ASSERT_TRUE(eventually([&] {
    const auto health = Coding::parse(api("GET", "/v1/health").body);
    if (health && health->contains("web")) {
      web = (*health)["web"].get<std::string>();
    }
    return !web.empty();
  })) << service->standardError();
  const auto port = static_cast<std::uint16_t>(
      std::stoi(web.substr(web.rfind(':') + 1, web.size() - web.rfind(':') - 2)));
  {
    SCOPED_TRACE("clients that trickle their headers over TCP, a byte a second");
    std::vector<UniqueFd> slow;
    for (unsigned i = 0; i < ApiServer::maximumConnections; ++i) {
      slow.push_back(connectLocal({}, port));
      const std::string_view line = "GET /v1/health HTTP/1.1\r\n";
      ::send(slow.back().get(), line.data(), line.size(), MSG_NOSIGNAL);
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
      while (!done) {
        for (const UniqueFd& socket : slow) {
          ::send(socket.get(), "X", 1, MSG_NOSIGNAL);
        }
        std::this_thread::sleep_for(1s);
      }
    });
    // Without a token (or the served host) the answer is a refusal: what counts is that one comes.
    EXPECT_TRUE(eventually(
        [&] { return statusLine(connectLocal({}, port), "/v1/health").starts_with("HTTP/1.1 4"); },
        45s));
    done = true;
    trickle.join();
  }
  {
    SCOPED_TRACE("idle connections on the Unix socket");
    std::vector<UniqueFd> idle;
    for (unsigned i = 0; i < ApiServer::maximumConnections; ++i) {
      idle.push_back(connectLocal(directory / "api.sock"));
    }
    EXPECT_TRUE(eventually(
        [&] { return statusLine(connectLocal(directory / "api.sock"), "/v1/health") == "HTTP/1.1 200 OK"; },
        45s));
  }
  {
    SCOPED_TRACE("event streams whose readers have gone");
    std::vector<UniqueFd> streams;
    for (unsigned i = 0; i < ApiServer::maximumConnections; ++i) {  // every slot
      streams.push_back(connectLocal(directory / "api.sock"));
      ASSERT_EQ(statusLine(streams.back(), "/v1/events"), "HTTP/1.1 200 OK");
    }
    streams.clear();
    // Well before the streams' keep-alive, which was all that freed them.
    EXPECT_TRUE(eventually(
        [&] {
          return statusLine(connectLocal(directory / "api.sock"), "/v1/health") ==
                 "HTTP/1.1 200 OK";
        },
        ApiServer::keepAliveInterval / 2));
  }
  {
    SCOPED_TRACE("a service that answers slowly is busy, not gone");
    service->signal(SIGSTOP);
    ChildProcess status({program("tarvel"), "status"}, home);
    EXPECT_EQ(status.wait(30s), 4);
    service->signal(SIGCONT);
    EXPECT_NE(status.standardError().find("busy"), std::string::npos) << status.standardError();
  }
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

TEST_F(DisplayServiceTest, ASecondServiceIsRefusedAndWritesNothing) {
  service = startService();
  startHook(fixture("claude/UserPromptSubmit.json")).wait();
  ASSERT_TRUE(eventually([&] {
    std::ifstream file(directory / "sessions.json");
    return std::string(std::istreambuf_iterator<char>(file), {}).find("claude-code:") !=
           std::string::npos;
  }));
  std::this_thread::sleep_for(1200ms);  // past the service's own next save
  std::ifstream before(directory / "sessions.json");
  const std::string saved(std::istreambuf_iterator<char>(before), {});
  struct stat statusBefore {};
  ASSERT_EQ(::stat((directory / "sessions.json").c_str(), &statusBefore), 0);

  ChildProcess second({program("tarvel"), "serve"}, home);
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(second.standardError().find("already running"), std::string::npos)
      << second.standardError();
  struct stat statusAfter {};
  ASSERT_EQ(::stat((directory / "sessions.json").c_str(), &statusAfter), 0);
  EXPECT_EQ(statusAfter.st_ino, statusBefore.st_ino);
  EXPECT_EQ(statusAfter.st_mtim.tv_nsec, statusBefore.st_mtim.tv_nsec);
  EXPECT_EQ(api("GET", "/v1/health").status, 200);
  EXPECT_TRUE(std::filesystem::exists(directory / "agent.sock"));
  EXPECT_FALSE(saved.empty());
}

TEST_F(DisplayServiceTest, AnotherUsersSocketsAreTrustedByNeitherHookNorService) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "running a listener as another user needs root";
  }
  // The stranger runs a copy of its script from the test's home, which it can enter wherever the
  // clone lies (the clone may sit under a folder only its owner can enter).
  for (auto folder = home.parent_path(); folder != folder.parent_path();
       folder = folder.parent_path()) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) {
      GTEST_SKIP() << "another user cannot enter " << folder << ", which holds the test's home";
    }
  }
  const std::filesystem::path strangerFolder = home / "stranger";
  std::filesystem::create_directories(strangerFolder);
  const std::string stranger = (strangerFolder / "stranger.py").string();
  ASSERT_TRUE(std::filesystem::copy_file(
      std::string(TARVEL_SOURCE_DIR) + "/Tests/TarvelDisplay/stranger.py", stranger));
  ASSERT_EQ(::chmod(strangerFolder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(stranger.c_str(), 0644), 0);
  const auto asStranger = [&](const std::string& mode, const std::string& path) {
    return std::vector<std::string>{"/usr/bin/setpriv", "--reuid=65534",   "--regid=65534",
                                    "--clear-groups",   "/usr/bin/python3", stranger,
                                    mode,               path};
  };
  // A ~/.tarvel that another user could once write: they left listeners of theirs in it.
  std::filesystem::create_directories(directory);
  ASSERT_EQ(::chmod(home.c_str(), 0711), 0);
  ASSERT_EQ(::chmod(directory.c_str(), 0777), 0);
  ChildProcess listener(asStranger("listen", directory.string()), home);
  ASSERT_TRUE(eventually([&] { return listener.standardOutput().starts_with("ready"); }, 30s))
      << listener.standardError();
  ASSERT_EQ(::chmod(directory.c_str(), 0700), 0);

  {
    SCOPED_TRACE("the hook tells them nothing and takes no answer from them");
    ChildProcess& hook = startHook(permissionRequest("66666666-6666-4666-8666-666666666666"));
    EXPECT_EQ(hook.wait(30s), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
    EXPECT_EQ(listener.standardOutput(), "ready\n");
  }
  {
    SCOPED_TRACE("the service refuses their socket, saying whose it is");
    ChildProcess refused({program("tarvel"), "serve"}, home);
    EXPECT_EQ(refused.wait(30s), 1);
    EXPECT_NE(refused.standardError().find("agent.sock belongs to another user (uid 65534)"),
              std::string::npos)
        << refused.standardError();
    EXPECT_EQ(refused.standardError().find("Another Tarvel instance"), std::string::npos);
  }
  listener.signal(SIGKILL);
  listener.wait();
  {
    SCOPED_TRACE("with the strangers gone the service starts; their API requests are refused");
    std::filesystem::remove(directory / "agent.sock");
    std::filesystem::remove(directory / "reply.sock");
    service = startService();
    ASSERT_EQ(api("GET", "/v1/health").status, 200);
    // As if the modes had been loosened: only the peer's credentials keep them out.
    ASSERT_EQ(::chmod(directory.c_str(), 0711), 0);
    ASSERT_EQ(::chmod((directory / "api.sock").c_str(), 0666), 0);
    ChildProcess asking(asStranger("ask", (directory / "api.sock").string()), home);
    EXPECT_EQ(asking.wait(30s), 0) << asking.standardError();
    EXPECT_EQ(asking.standardOutput(), "HTTP/1.1 403 Forbidden\n");
  }
  {
    SCOPED_TRACE("their idle connections to the page, made again as they close, never keep the "
                 "owner out");
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
    service = startService({"--http", "127.0.0.1:0"});
    std::string web;
    ASSERT_TRUE(eventually([&] {
      const auto health = Coding::parse(api("GET", "/v1/health").body);
      web = health && health->contains("web") ? (*health)["web"].get<std::string>() : "";
      return !web.empty();
    }));
    const std::string port = web.substr(web.rfind(':') + 1, web.size() - web.rfind(':') - 2);
    std::ifstream tokenFile(directory / "token");
    std::string token;
    std::getline(tokenFile, token);
    ASSERT_FALSE(token.empty());
    ChildProcess holder(asStranger("hold", port), home);
    ASSERT_TRUE(eventually([&] { return holder.standardOutput().starts_with("holding"); }, 30s))
        << holder.standardError();
    const std::string request = "GET /v1/health HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                "\r\nAuthorization: Bearer " + token +
                                "\r\nConnection: close\r\n\r\n";
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(statusLine(connectLocal({}, static_cast<std::uint16_t>(std::stoi(port))), {},
                           request),
                "HTTP/1.1 200 OK")
          << "request " << i;
      std::this_thread::sleep_for(500ms);
    }
    holder.signal(SIGKILL);
    holder.wait();
  }
}

TEST_F(DisplayServiceTest, HostileFilesNeverHangTheServiceNorLeadItElsewhere) {
  {
    SCOPED_TRACE("a FIFO at the sessions file, and temporary files of killed saves");
    std::filesystem::create_directories(directory);
    ASSERT_EQ(::mkfifo((directory / "sessions.json").c_str(), 0600), 0);
    std::ofstream(directory / "sessions.json.tmp-123") << "partial";
    std::ofstream(directory / "sessions.json.tmp-456") << "partial";
    service = startService();
    EXPECT_EQ(api("GET", "/v1/health").status, 200);
    EXPECT_FALSE(std::filesystem::exists(directory / "sessions.json.tmp-123"));
    EXPECT_FALSE(std::filesystem::exists(directory / "sessions.json.tmp-456"));
    std::size_t setAside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      setAside += entry.path().filename().string().starts_with("sessions.json.corrupt-") ? 1 : 0;
    }
    EXPECT_EQ(setAside, 1U);
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
    std::filesystem::remove_all(directory);
  }
  {
    SCOPED_TRACE("~/.tarvel as a symbolic link");
    const std::filesystem::path elsewhere = home / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    ::chmod(elsewhere.c_str(), 0755);
    std::filesystem::create_directory_symlink(elsewhere, directory);
    ChildProcess refused({program("tarvel"), "serve"}, home);
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_NE(refused.standardError().find("symbolic link"), std::string::npos)
        << refused.standardError();
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    struct stat status {};
    ASSERT_EQ(::stat(elsewhere.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0755U);
  }
}

TEST_F(DisplayServiceTest, TheSystemdUnitRunsThisProgramAndOnlyOursIsRemoved) {
  const std::filesystem::path unit = home / ".config/systemd/user/tarvel.service";
  ChildProcess install({program("tarvel"), "service", "install"}, home);
  ASSERT_EQ(install.wait(), 0) << install.standardError();
  EXPECT_NE(install.standardOutput().find("systemctl --user enable --now tarvel"),
            std::string::npos);
  std::ifstream file(unit);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  EXPECT_NE(
      text.find("ExecStart=" + std::filesystem::canonical(program("tarvel")).string() + " serve\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("Restart=on-failure\n"), std::string::npos);
  ChildProcess uninstall({program("tarvel"), "service", "uninstall"}, home);
  EXPECT_EQ(uninstall.wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(unit));

  std::ofstream(unit) << "[Service]\nExecStart=/usr/bin/something-else\n";
  ChildProcess refused({program("tarvel"), "service", "uninstall"}, home);
  EXPECT_EQ(refused.wait(), 1);
  EXPECT_TRUE(std::filesystem::exists(unit));
}

TEST(SessionStore, WhatIsSavedAlwaysLoadsAgainAndKeepsActiveSessionsFirst) {
  char pattern[] = "/tmp/tarvel-store-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path file = std::filesystem::path(pattern) / "sessions.json";
  std::vector<AgentSession> sessions;
  const Date start = Dates::now();
  for (int number = 0; number < 1200; ++number) {
    AgentSession session;
    session.id = "claude-code:s" + std::to_string(number);
    session.provider = AgentProvider::claudeCode;
    session.currentActivity = std::string(40000, 'x');
    session.updatedAt = start + std::chrono::seconds(number);
    session.startedAt = session.updatedAt;
    session.state = number % 10 == 0 ? AgentState::running : AgentState::completed;
    if (!session.isActive()) {
      session.completedAt = session.updatedAt;
    }
    sessions.push_back(std::move(session));
  }
  ASSERT_FALSE(SessionStore::save(file, sessions));
  EXPECT_LE(std::filesystem::file_size(file), SessionStore::maximumSavedBytes + 4096);
  const auto loaded = SessionStore::load(file);
  EXPECT_FALSE(loaded.message);
  ASSERT_FALSE(loaded.sessions.empty());
  EXPECT_LE(loaded.sessions.size(), SessionStore::maximumSavedSessions);
  // Every active session is kept; the finished ones left out are the oldest.
  const auto active = std::count_if(loaded.sessions.begin(), loaded.sessions.end(),
                                    [](const AgentSession& session) { return session.isActive(); });
  EXPECT_EQ(active, 120);
  const auto newestFinished =
      std::find_if(loaded.sessions.begin(), loaded.sessions.end(),
                   [](const AgentSession& session) { return session.id == "claude-code:s1199"; });
  EXPECT_NE(newestFinished, loaded.sessions.end());

  // Many sessions with full histories: every one is saved, each with the same number of its
  // newest events, as many as the events' bound lets through; with room for all, the file is the
  // encoder's own text.
  SessionList many;
  for (int number = 0; number < 300; ++number) {
    AgentEvent event{.sessionId = "claude-code:h" + std::to_string(number),
                     .provider = AgentProvider::claudeCode,
                     .activity = "Step 0",
                     .timestamp = start};
    AgentSession session = AgentSession::fromEvent(event);
    for (int step = 1; step < 50; ++step) {
      event.id = UUID::random();
      event.activity = "Step " + std::to_string(step);
      event.timestamp = start + std::chrono::milliseconds(step);
      session.apply(event);
    }
    many.emplace_back(std::move(session));
  }
  const auto decodeFile = [](const std::string& text) {
    std::vector<AgentSession> decoded;
    const auto parsed = Coding::parse(text);
    for (const Json& element : parsed->at("sessions")) {
      decoded.push_back(Codable<AgentSession>::decode(element, "sessions"));
    }
    return decoded;
  };
  const std::vector<AgentSession> trimmed = decodeFile(SessionStore::encodeBounded(
      many, SessionStore::maximumSavedSessions, SessionStore::maximumSavedBytes, 300 * 10 * 300));
  ASSERT_EQ(trimmed.size(), many.size());
  const std::size_t kept = trimmed.front().recentEvents.size();
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, 50u);
  for (const AgentSession& session : trimmed) {
    ASSERT_EQ(session.recentEvents.size(), kept);
    EXPECT_EQ(session.recentEvents.front().activity, "Step 49");
    EXPECT_EQ(session.currentActivity, "Step 49");
  }
  const SessionList few(many.begin(), many.begin() + 3);
  std::vector<AgentSession> fewRecords;
  for (const SharedSession& session : few) {
    fewRecords.push_back(*session);
  }
  EXPECT_EQ(SessionStore::encodeBounded(few), SessionStore::encode(fewRecords));
  std::filesystem::remove_all(pattern);
}

TEST(SessionStore, SaveScheduleSavesAtMostOncePerInterval) {
  SessionStore::SaveSchedule schedule(std::chrono::milliseconds(1000));
  const auto start = SessionStore::SaveSchedule::Clock::now();
  EXPECT_FALSE(schedule.isDue(start));
  schedule.markChanged();
  EXPECT_TRUE(schedule.isDue(start));
  schedule.didSave(start);
  schedule.markChanged();
  EXPECT_FALSE(schedule.isDue(start + std::chrono::milliseconds(999)));
  EXPECT_TRUE(schedule.isDue(start + std::chrono::milliseconds(1000)));
}

}  // namespace
}  // namespace tarvel::Display
