#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/UUID.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace {

using namespace std::chrono_literals;
using tarvel::AgentEvent;
using tarvel::Json;

// tarvel-monitor --sessions serving a socket in a temporary directory; its standard output is
// read line by line.
class SessionsModeTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra) {
    std::vector<std::string> arguments{tarvel::Testing::program("tarvel-monitor"), "--socket",
                                       socket.string(), "--sessions"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    monitor = std::make_unique<tarvel::Testing::ChildProcess>(arguments, directory);
    EXPECT_TRUE(tarvel::Testing::eventually(
        [&] { return tarvel::UnixSocketSupport::isPathAccepting(socket) || monitor->hasEnded(); }));
    // The socket's file appears before it listens: an event sent in between would be lost.
    ASSERT_TRUE(tarvel::UnixSocketSupport::isPathAccepting(socket)) << monitor->standardError();
  }

  // The next line of output, or "" once the output ends without one.
  std::string nextLine() { return monitor->nextLine(); }

  static AgentEvent event(const std::string& id, tarvel::AgentEventType type, int second) {
    return AgentEvent{.type = type,
                      .sessionId = id,
                      .provider = tarvel::AgentProvider::codex,
                      .task = "Fix the reader",
                      .activity = "Working",
                      .timestamp = tarvel::Date{std::chrono::seconds(1'700'000'000 + second)}};
  }

  tarvel::Testing::TemporaryFolder temporary{"sessions-mode"};
  const std::filesystem::path directory = temporary.path;
  const std::filesystem::path socket = directory / "agent.sock";
  std::unique_ptr<tarvel::Testing::ChildProcess> monitor;
};

TEST_F(SessionsModeTest, PrintsOneLinePerChangeAndPerDroppedEvent) {
  start({});
  ASSERT_FALSE(
      tarvel::UnixSocketClient::send(event("codex:a", tarvel::AgentEventType::waiting, 1), socket));
  const Json first = Json::parse(nextLine());
  EXPECT_EQ(first["historyRevision"], 1);
  EXPECT_EQ(first["ingested"], true);
  EXPECT_EQ(first["attentionEvent"]["sessionId"], "codex:a");
  EXPECT_EQ(first["snapshot"]["attentionSession"], "codex:a");
  EXPECT_EQ(first["snapshot"]["listSessions"], Json::array({"codex:a"}));
  EXPECT_EQ(first["sessions"][0]["state"], "waitingForUser");

  AgentEvent sub = event("codex:sub", tarvel::AgentEventType::activity, 2);
  sub.parentSessionId = "codex:a";
  ASSERT_FALSE(tarvel::UnixSocketClient::send(sub, socket));
  const Json second = Json::parse(nextLine());
  EXPECT_EQ(second["historyRevision"], 2);
  EXPECT_EQ(second["snapshot"]["relatedSessions"], Json::array({"codex:a", "codex:sub"}));
  EXPECT_EQ(second["snapshot"]["activeGroupCount"], 1);

  AgentEvent future = event("codex:a", tarvel::AgentEventType::activity, 3);
  future.protocolVersion = 2;
  ASSERT_FALSE(tarvel::UnixSocketClient::send(future, socket));
  const Json third = Json::parse(nextLine());
  EXPECT_EQ(third["ingested"], false);
  EXPECT_EQ(third["protocolMismatchDetected"], true);
  EXPECT_EQ(third["historyRevision"], 2);

  ASSERT_FALSE(tarvel::UnixSocketClient::send(
      event("codex:a", tarvel::AgentEventType::completed, 4), socket));
  const Json fourth = Json::parse(nextLine());
  EXPECT_FALSE(fourth.contains("attentionEvent"));
  EXPECT_FALSE(fourth["snapshot"].contains("attentionSession"));

  monitor->signal(SIGTERM);
  EXPECT_EQ(monitor->wait(), 0) << monitor->standardError();
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(SessionsModeTest, PrettyPrintsGroupsAndTheWaitingPrompt) {
  start({"--pretty"});
  AgentEvent waiting = event("codex:a", tarvel::AgentEventType::waiting, 1);
  waiting.pendingReply = tarvel::AgentPendingReply{.prompt = "Allow rm -rf build?"};
  ASSERT_FALSE(tarvel::UnixSocketClient::send(waiting, socket));
  EXPECT_EQ(nextLine(), "#1: 1 sessions, 1 active groups (0 not listed), 1 waiting");
  EXPECT_EQ(nextLine(), "  * codex:a [waitingForUser] Fix the reader - Working");
  EXPECT_EQ(nextLine(), "  attention: codex:a [waitingForUser] Fix the reader - Working");
  EXPECT_EQ(nextLine(), "    prompt: Allow rm -rf build?");
}

// Runs `arguments` with git as a program of the test's (no user configuration needed); true when
// it succeeded.
bool git(const std::filesystem::path& home, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(),
                   {"/usr/bin/git", "-c", "user.name=Test", "-c", "user.email=test@example.com",
                    "-c", "init.defaultBranch=main"});
  tarvel::Testing::ChildProcess process(arguments, home);
  const int status = process.wait();
  EXPECT_EQ(status, 0) << process.standardError();
  return status == 0;
}

TEST_F(SessionsModeTest, LocalProjectsAreNamedAsTheyAreWhateverHostTheHookRecords) {
  start({});
  // Real repositories: a plain one, its linked worktree, a worktree of a bare clone, a folder
  // inside the repository and a folder outside any.
  const std::filesystem::path work = directory / "work";
  std::filesystem::create_directories(work / "notes");
  ASSERT_TRUE(git(directory, {"init", "-q", (work / "orbit").string()}));
  ASSERT_TRUE(git(directory, {"-C", (work / "orbit").string(), "commit", "-q", "--allow-empty",
                              "-m", "Start"}));
  ASSERT_TRUE(git(directory, {"-C", (work / "orbit").string(), "worktree", "add", "-q",
                              (work / "feature-x").string()}));
  ASSERT_TRUE(git(directory, {"clone", "-q", "--bare", (work / "orbit").string(),
                              (work / "app.git").string()}));
  ASSERT_TRUE(git(directory, {"-C", (work / "app.git").string(), "worktree", "add", "-q",
                              (work / "hotfix").string()}));
  std::filesystem::create_directories(work / "orbit" / "docs");

  // Each agent's own SessionStart document, sent by the built hook from that folder.
  struct Case {
    std::string provider;
    std::string fixture;
    std::filesystem::path folder;
    std::string project;
  };
  const std::vector<Case> cases = {
      {"claude-code", "claude/SessionStart.json", work / "orbit", "orbit"},
      {"codex", "codex/SessionStart.json", work / "feature-x", "orbit"},
      {"gemini-cli", "gemini/SessionStart.json", work / "hotfix", "app"},
      {"claude-code", "claude/SessionStart.json", work / "orbit" / "docs", "docs"},
      {"codex", "codex/SessionStart.json", work / "notes", "notes"},
  };
  const auto runHook = [&](const std::string& provider, const std::string& fixture,
                           const std::string& sessionId, const std::filesystem::path& folder) {
    Json document = Json::parse(tarvel::Testing::agentDocument(fixture));
    document["session_id"] = sessionId;
    document["cwd"] = folder.string();
    tarvel::Testing::ChildProcess hook(
        {tarvel::Testing::program("tarvel-hook"), "--provider", provider}, directory,
        document.dump(), {"TARVEL_HOME=" + directory.string()});
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
    return Json::parse(nextLine(), nullptr, false);  // one line per event
  };
  Json report;
  std::vector<std::string> sessionIds;
  for (const auto& testCase : cases) {
    sessionIds.push_back(tarvel::UUID::random().uuidString());
    report = runHook(testCase.provider, testCase.fixture, sessionIds.back(), testCase.folder);
  }
  // The first prompt of a session replaces the title it started with (its project's name).
  report =
      runHook("claude-code", "claude/UserPromptSubmit.json", sessionIds.front(), work / "orbit");
  // An agent of another machine is named after that machine.
  const std::string otherHost = "not-" + tarvel::AgentOrigin::localHost();
  AgentEvent remote = event("codex:remote", tarvel::AgentEventType::started, 1);
  remote.workingDirectory = "/srv/other/orbit";
  remote.origin = tarvel::AgentOrigin{.host = otherHost};
  ASSERT_FALSE(tarvel::UnixSocketClient::send(remote, socket));
  report = Json::parse(nextLine(), nullptr, false);

  ASSERT_TRUE(report.is_object());
  std::map<std::string, std::pair<std::string, std::string>> byFolder;  // project and title
  for (const Json& session : report["sessions"]) {
    byFolder[session.value("workingDirectory", "")] = {session.value("projectName", ""),
                                                       session.value("task", "")};
  }
  ASSERT_EQ(byFolder.size(), cases.size() + 1) << report.dump();
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const Case& testCase = cases[index];
    SCOPED_TRACE(testCase.folder.string());
    EXPECT_EQ(byFolder[testCase.folder.string()].first, testCase.project);
    EXPECT_EQ(byFolder[testCase.folder.string()].second, index == 0 ? "hello" : testCase.project);
  }
  EXPECT_EQ(byFolder["/srv/other/orbit"].first, otherHost + " \u00B7 orbit");
}

}  // namespace
