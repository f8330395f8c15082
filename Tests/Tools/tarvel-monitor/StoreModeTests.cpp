#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QuoyaCore/CodexHookMapper.hpp"
#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace {

using namespace std::chrono_literals;
using tarvel::AgentEvent;
using tarvel::Json;

// tarvel-monitor --island --store running with a temporary home; its standard output is read
// line by line.
class StoreModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    monitor = std::make_unique<tarvel::Testing::ChildProcess>(
        std::vector<std::string>{tarvel::Testing::program("tarvel-monitor"), "--island", "--store"},
        home);
    EXPECT_TRUE(tarvel::Testing::eventually(
        [&] { return tarvel::UnixSocketSupport::isPathAccepting(socket) || monitor->hasEnded(); }));
    // The socket's file appears before it listens: an event sent in between would be lost.
    ASSERT_TRUE(tarvel::UnixSocketSupport::isPathAccepting(socket)) << monitor->standardError();
  }

  void TearDown() override {
    if (monitor) {
      monitor->signal(SIGTERM);
      EXPECT_EQ(monitor->wait(), 0) << monitor->standardError();
      EXPECT_FALSE(std::filesystem::exists(socket));
    }
  }

  // Sends one event and returns the report line it produced, parsed.
  Json offer(const AgentEvent& event) {
    EXPECT_FALSE(tarvel::UnixSocketClient::send(event, socket).has_value());
    return nextReport();
  }

  Json nextReport() {
    const std::string line = monitor->nextLine();
    if (line.empty()) {
      ADD_FAILURE() << "no report line";
      return Json();
    }
    auto parsed = tarvel::Coding::parse(line);
    EXPECT_TRUE(parsed.hasValue()) << line;
    return parsed ? *parsed : Json();
  }

  static std::set<std::string> keys(const Json& object) {
    std::set<std::string> names;
    for (const auto& item : object.items()) {
      names.insert(item.key());
    }
    return names;
  }

  tarvel::Testing::TemporaryFolder temporary{"store-mode"};
  const std::filesystem::path home = temporary.path;
  const std::filesystem::path socket = home / ".quoya-island" / "events.sock";
  std::unique_ptr<tarvel::Testing::ChildProcess> monitor;
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
