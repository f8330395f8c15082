#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tarvel::AgentEvent;
using tarvel::Json;

// tarvel-monitor --sessions serving a socket in a temporary directory; its standard output is
// read line by line.
class SessionsModeTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra) {
    char pattern[] = "/tmp/tarvel-sessions-mode-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory = pattern;
    socket = directory / "agent.sock";
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    output = pipeFds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> arguments{std::string(TARVEL_BINARY_DIR) + "/bin/tarvel-monitor",
                                       "--socket", socket.string(), "--sessions"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    ASSERT_EQ(::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
  }

  void TearDown() override {
    if (child > 0) {
      ::kill(child, SIGTERM);
      int status = 0;
      ::waitpid(child, &status, 0);
    }
    if (output >= 0) {
      ::close(output);
    }
    std::filesystem::remove_all(directory);
  }

  // The next line of output, or "" after five seconds without one.
  std::string nextLine() {
    while (true) {
      if (const auto end = buffer.find('\n'); end != std::string::npos) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return line;
      }
      pollfd descriptor{.fd = output, .events = POLLIN, .revents = 0};
      char bytes[4096];
      if (::poll(&descriptor, 1, 5000) != 1) {
        return "";
      }
      const ssize_t read = ::read(output, bytes, sizeof bytes);
      if (read <= 0) {
        return "";
      }
      buffer.append(bytes, static_cast<std::size_t>(read));
    }
  }

  static AgentEvent event(const std::string& id, tarvel::AgentEventType type, int second) {
    return AgentEvent{.type = type,
                      .sessionId = id,
                      .provider = tarvel::AgentProvider::codex,
                      .task = "Fix the reader",
                      .activity = "Working",
                      .timestamp = tarvel::Date{std::chrono::seconds(1'700'000'000 + second)}};
  }

  std::filesystem::path directory;
  std::filesystem::path socket;
  pid_t child = -1;
  int output = -1;
  std::string buffer;
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

  ::kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  child = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
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

}  // namespace
