// tarvel doctor names what keeps events from showing.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Waiting.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/TarvelInstallTest.hpp"

namespace {

namespace fs = std::filesystem;
using tarvel::AgentConfigurations::Document;
using tarvel::Testing::builtFile;
using tarvel::Testing::fixturePath;
using tarvel::Testing::Outcome;
using tarvel::Testing::program;
using tarvel::Testing::readFile;
using tarvel::Testing::TarvelInstallTest;
using tarvel::Testing::testFile;
using tarvel::Testing::writeFile;

// Every file under `directory` with its size and a hash of its bytes (short to print when they
// differ), but the test's own out.txt and err.txt.
std::map<std::string, std::string> filesUnder(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    const std::string name = entry.path().lexically_relative(directory).string();
    if (name == "out.txt" || name == "err.txt") {
      continue;
    }
    const std::string bytes = entry.is_regular_file() ? readFile(entry.path()) : std::string();
    files[name] = entry.is_regular_file() ? std::to_string(bytes.size()) + " bytes, hash " +
                                                std::to_string(std::hash<std::string>{}(bytes))
                                          : "not a regular file";
  }
  return files;
}

std::size_t countProblems(const std::string& output) {
  std::size_t count = 0;
  for (auto at = output.find("problem: "); at != std::string::npos;
       at = output.find("problem: ", at + 1)) {
    count += at == 0 || output[at - 1] == '\n' ? 1 : 0;
  }
  return count;
}

// hold_seconds reaches every agent in its own unit: its waiting hooks outlast the hold, and
// doctor says which agent would end one before the hold is over until it is installed again.
TEST_F(TarvelInstallTest, WaitingHooksOutlastTheHoldAndDoctorSaysWhenTheyWouldNot) {
  for (const char* wrong : {"0", "601", "ten"}) {
    EXPECT_EQ(tarvel({"config", "set", "hold_seconds", wrong}).status, 2) << wrong;
  }
  ASSERT_EQ(tarvel({"config", "set", "hold_seconds", "300"}).status, 0);
  // Each agent's waiting limit as it writes it: Claude Code in seconds, Qwen Code in
  // milliseconds, Copilot in "timeoutSec".
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  const Document claude = Document::parse(readFile(home / ".claude" / "settings.json"));
  EXPECT_EQ(claude["hooks"]["PermissionRequest"][0]["hooks"][0]["timeout"], 310);
  EXPECT_EQ(claude["hooks"]["Stop"][0]["hooks"][0]["timeout"], 5);
  ASSERT_EQ(tarvel({"install", "--agent", "qwen-code"}).status, 0);
  const Document qwen = Document::parse(readFile(home / ".qwen" / "settings.json"));
  EXPECT_EQ(qwen["hooks"]["PermissionRequest"][0]["hooks"][0]["timeout"], 310000);
  ASSERT_EQ(tarvel({"install", "--agent", "copilot"}).status, 0);
  const std::string copilot = readFile(home / ".copilot" / "settings.json");
  EXPECT_NE(copilot.find("\"timeoutSec\": 310"), std::string::npos) << copilot;
  const auto installed = tarvel({"doctor"});
  EXPECT_EQ(installed.out.find("before the service's hold"), std::string::npos) << installed.out;

  ASSERT_EQ(tarvel({"config", "set", "hold_seconds", "500"}).status, 0);
  const auto longer = tarvel({"doctor"});
  EXPECT_EQ(longer.status, 1);
  for (const char* agent : {"claude-code", "qwen-code", "copilot"}) {
    EXPECT_NE(longer.out.find(std::string(agent) + " ends a waiting hook after 310 s, before the "
                              "service's hold of 500 s (hold_seconds) is over: run tarvel "
                              "install --agent " + agent),
              std::string::npos)
        << longer.out;
  }
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  const auto again = tarvel({"doctor"});
  EXPECT_EQ(again.out.find("claude-code ends a waiting hook"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("qwen-code ends a waiting hook"), std::string::npos) << again.out;
}

TEST_F(TarvelInstallTest, DoctorNamesWhatKeepsEventsFromShowingAndHowToFixIt) {
  {
    SCOPED_TRACE("nothing set up, no service");
    const auto before = filesUnder(home);
    const auto outcome = tarvel({"doctor"});
    EXPECT_EQ(outcome.status, 1) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("claude-code  ~/.claude/settings.json"), std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("problem: the service is not running: run tarvel serve, or "
                               "tarvel service install"),
              std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("problem: no agent is set up: run tarvel install --agent"),
              std::string::npos)
        << outcome.out;
    EXPECT_EQ(countProblems(outcome.out), 2U) << outcome.out;
    EXPECT_EQ(filesUnder(home), before);
    EXPECT_EQ(tarvel({"doctor", "--agent"}).status, 2);
  }

  // Set up as a user would: a Claude settings file, the install, the service, one agent step.
  writeFile(home / ".claude" / "settings.json", "{\n  \"model\": \"opus\"\n}\n");
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  tarvel::Testing::ChildProcess service({tarvel::Testing::program("tarvel"), "serve"}, home);
  ASSERT_TRUE(tarvel::Testing::eventually([&] {
    return tarvel::UnixSocketSupport::isPathAccepting(home / ".tarvel" / "api.sock") ||
           service.hasEnded();
  })) << service.standardError();
  tarvel::Testing::ChildProcess hook({relay().string(), "--provider", "claude-code"}, home,
                                     tarvel::Testing::agentDocument("claude/UserPromptSubmit.json"));
  EXPECT_EQ(hook.wait(), 0) << hook.standardError();
  ASSERT_TRUE(tarvel::Testing::eventually([&] {
    return tarvel({"status", "--json"}).out.find("\"sessions\":1") != std::string::npos;
  }));
  {
    SCOPED_TRACE("set up, running, one event");
    // The running service saves its sessions when it likes; everything else is left alone.
    const auto withoutSessions = [&] {
      auto files = filesUnder(home);
      std::erase_if(
          files, [](const auto& file) { return file.first.starts_with(".tarvel/sessions.json"); });
      return files;
    };
    const auto before = withoutSessions();
    const auto outcome = tarvel({"doctor"});
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_TRUE(std::regex_search(
        outcome.out,
        std::regex("(^|\n)claude-code +~/\\.claude/settings\\.json +hooks installed and current +"
                   "last event (just now|[0-9]+ s ago)\n")))
        << outcome.out;
    EXPECT_TRUE(std::regex_search(outcome.out, std::regex("\ncodex +~/\\.codex/hooks\\.json +"
                                                          "not found\n")))
        << outcome.out;
    EXPECT_NE(outcome.out.find("current: same as "), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("running (tarvel " + std::string(TARVEL_VERSION) + ")"),
              std::string::npos)
        << outcome.out;
    EXPECT_EQ(outcome.out.find("never"), std::string::npos) << outcome.out;
    EXPECT_EQ(countProblems(outcome.out), 0U) << outcome.out;
    EXPECT_EQ(withoutSessions(), before);
  }
  {
    SCOPED_TRACE("its session ended and cleared");
    tarvel::Testing::ChildProcess end({relay().string(), "--provider", "claude-code"}, home,
                                      tarvel::Testing::agentDocument("claude/SessionEnd.json"));
    EXPECT_EQ(end.wait(), 0) << end.standardError();
    ASSERT_TRUE(tarvel::Testing::eventually([&] {
      const auto cleared = tarvel::Display::ApiClient::request(
          home / ".tarvel" / "api.sock", "POST", "/v1/sessions/clear-finished", "{}",
          std::chrono::seconds(10));
      return cleared && tarvel({"status", "--json"}).out.find("\"sessions\":0") != std::string::npos;
    }));
    const auto outcome = tarvel({"doctor"});
    EXPECT_TRUE(std::regex_search(
        outcome.out, std::regex("(^|\n)claude-code +[^\n]+last event (just now|[0-9]+ s ago)\n")))
        << outcome.out;
  }
  {
    SCOPED_TRACE("installed hook altered");
    std::ofstream(relay(), std::ios::binary | std::ios::app) << '\0';
    const auto outcome = tarvel({"doctor"});
    EXPECT_EQ(outcome.status, 1) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("problem: the hook program ~/.tarvel/bin/tarvel-hook is outdated"),
              std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find(": run tarvel install --agent claude-code"), std::string::npos)
        << outcome.out;
    EXPECT_EQ(countProblems(outcome.out), 1U) << outcome.out;
    // The fix it names is the fix.
    ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
    EXPECT_EQ(tarvel({"doctor"}).status, 0);
  }
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0) << service.standardError();
}

}  // namespace
