#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QuoyaCore/CodexHookMapper.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tarvel::AgentEvent;
using tarvel::Json;

// tarvel-monitor --island --store running with a temporary home; its standard output is read
// line by line.
class StoreModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvel-store-mode-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home = pattern;
    socket = home / ".quoya-island" / "events.sock";

    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    output = pipeFds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string program = std::string(TARVEL_BINARY_DIR) + "/bin/tarvel-monitor";
    std::vector<std::string> environment{"HOME=" + home.string(), "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& item : environment) {
      envp.push_back(item.data());
    }
    envp.push_back(nullptr);
    std::string arg0 = program, arg1 = "--island", arg2 = "--store";
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    const int spawned =
        ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    ASSERT_EQ(spawned, 0) << program;

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(socket) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
  }

  void TearDown() override {
    if (child > 0) {
      ::kill(child, SIGTERM);
      int status = 0;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      EXPECT_FALSE(std::filesystem::exists(socket));
    }
    if (output >= 0) {
      ::close(output);
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  }

  // Sends one event and returns the report line it produced, parsed.
  Json offer(const AgentEvent& event) {
    EXPECT_FALSE(tarvel::UnixSocketClient::send(event, socket).has_value());
    return nextReport();
  }

  Json nextReport() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (true) {
      if (const auto end = pending.find('\n'); end != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        auto parsed = tarvel::Coding::parse(line);
        EXPECT_TRUE(parsed.hasValue()) << line;
        return parsed ? *parsed : Json();
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd descriptor{.fd = output, .events = POLLIN};
      if (left.count() <= 0 || ::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
        ADD_FAILURE() << "no report line";
        return Json();
      }
      char buffer[65536];
      const ssize_t count = ::read(output, buffer, sizeof buffer);
      if (count <= 0) {
        ADD_FAILURE() << "monitor closed its output";
        return Json();
      }
      pending.append(buffer, static_cast<std::size_t>(count));
    }
  }

  static std::set<std::string> keys(const Json& object) {
    std::set<std::string> names;
    for (const auto& item : object.items()) {
      names.insert(item.key());
    }
    return names;
  }

  std::filesystem::path home;
  std::filesystem::path socket;
  pid_t child = -1;
  int output = -1;
  std::string pending;
};

AgentEvent codexPrompt(tarvel::Date at) {
  return quoya::CodexHookMapper::event(quoya::CodexHookInput{.sessionID = "thread-42",
                                                             .eventName = "UserPromptSubmit",
                                                             .cwd = "/Users/x/proj",
                                                             .turnID = "turn-1"},
                                       at, tarvel::AgentProvider::codex)
      .value();
}

TEST_F(StoreModeTest, ReportsTheStoreAfterEveryOffer) {
  const auto before = tarvel::Dates::now();
  AgentEvent grok{.sessionId = "g-1",
                  .provider = tarvel::AgentProvider::grok,
                  .task = "Write docs",
                  .timestamp = before + 1h};
  const Json first = offer(grok);
  const auto after = tarvel::Dates::now();
  EXPECT_EQ(keys(first), (std::set<std::string>{"accepted", "acceptedCount", "providerEventAt",
                                                "sessions", "titles"}));
  EXPECT_EQ(first["accepted"], true);
  EXPECT_EQ(first["acceptedCount"], 1);
  EXPECT_EQ(first["providerEventAt"], Json::object());
  EXPECT_EQ(first["titles"], Json::object());
  ASSERT_EQ(first["sessions"].size(), 1u);
  EXPECT_EQ(first["sessions"][0]["id"], "grok:g-1");
  EXPECT_EQ(first["sessions"][0]["task"], "Write docs");
  // Dated at receipt, not in the future the sender claimed.
  const auto updated =
      tarvel::Dates::parseISO8601(first["sessions"][0]["updatedAt"].get<std::string>());
  ASSERT_TRUE(updated.has_value());
  EXPECT_GE(*updated, std::chrono::floor<std::chrono::milliseconds>(before));
  EXPECT_LE(*updated, after);

  // Dated ahead so that it is stamped with its own (later) time of receipt: the wire's
  // milliseconds could otherwise put it just before the first session.
  const AgentEvent prompt = codexPrompt(tarvel::Dates::now() + 1s);
  const Json second = offer(prompt);
  EXPECT_EQ(keys(second),
            (std::set<std::string>{"accepted", "acceptedCount", "lastCodexEventAt", "lastCodexHook",
                                   "providerEventAt", "sessions", "titles"}));
  EXPECT_EQ(second["accepted"], true);
  EXPECT_EQ(second["acceptedCount"], 2);
  EXPECT_EQ(second["lastCodexHook"], "UserPromptSubmit");
  EXPECT_EQ(keys(second["providerEventAt"]), std::set<std::string>{"codex"});
  EXPECT_EQ(second["providerEventAt"]["codex"], second["lastCodexEventAt"]);
  ASSERT_EQ(second["sessions"].size(), 2u);
  EXPECT_EQ(second["sessions"][0]["id"], "codex:thread-42");
  const Json metadata = second["sessions"][0]["recentEvents"][0]["metadata"];
  EXPECT_EQ(metadata,
            (Json{{"hookEvent", "UserPromptSubmit"}, {"quoyaSource", "quoya-codex-hook-v1"}}));

  // The same event again is refused and changes nothing.
  Json third = offer(prompt);
  EXPECT_EQ(third["accepted"], false);
  third.erase("accepted");
  Json secondRest = second;
  secondRest.erase("accepted");
  EXPECT_EQ(third, secondRest);
}

TEST_F(StoreModeTest, UndecodableLinesProduceNoReport) {
  ASSERT_FALSE(tarvel::UnixSocketClient::sendBytes("{\"not\":\"an event\"}\n", socket));
  const Json report = offer(codexPrompt(tarvel::Dates::now()));
  EXPECT_EQ(report["acceptedCount"], 1);
  EXPECT_EQ(report["accepted"], true);
}

}  // namespace
