#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Sockets/SocketTestSupport.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel {
namespace {

using SocketTesting::sampleEvent;
using SocketTesting::TemporaryHome;

// tarvel-monitor as a child process with `home` as HOME.
std::unique_ptr<Testing::ChildProcess> startMonitor(const std::filesystem::path& home,
                                                    std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), Testing::program("tarvel-monitor"));
  return std::make_unique<Testing::ChildProcess>(std::move(arguments), home);
}

// Its next line of output with the line feed.
std::string readLine(Testing::ChildProcess& monitor) { return monitor.nextLine() + "\n"; }

::testing::AssertionResult accepting(const std::filesystem::path& path) {
  return Testing::eventually([&] { return UnixSocketSupport::isPathAccepting(path); });
}

TEST(TarvelMonitor, PrintsEachEventAndStopsCleanlyOnSigterm) {
  const TemporaryHome home;
  const auto socketPath = home.path / "monitor" / "events.sock";
  const auto monitor = startMonitor(home.path, {"--socket", socketPath.string()});
  ASSERT_TRUE(accepting(socketPath));

  const AgentEvent event = sampleEvent("codex:42", "运行 make test");
  ASSERT_FALSE(UnixSocketClient::send(event, socketPath));
  EXPECT_EQ(readLine(*monitor), encodeEventLine(event));
  ASSERT_FALSE(UnixSocketClient::sendBytes("not json\n", socketPath));
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("next"), socketPath));
  EXPECT_EQ(readLine(*monitor), encodeEventLine(sampleEvent("next")));

  const auto second = startMonitor(home.path, {"--socket", socketPath.string()});
  EXPECT_EQ(second->wait(), 1);
  EXPECT_EQ(second->standardError(), "Another Tarvel instance is already listening on this socket.\n");

  monitor->signal(SIGTERM);
  EXPECT_EQ(monitor->wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath)));
  const std::string log = monitor->standardError();
  EXPECT_NE(log.find("Event socket listening at " + socketPath.string()), std::string::npos);
  EXPECT_NE(log.find("Dropped malformed event payload (8 bytes)"), std::string::npos);
}

TEST(TarvelMonitor, IslandModeServesTheIslandSocket) {
  const TemporaryHome home;
  const auto monitor = startMonitor(home.path, {"--island", "--max-payload", "4096"});
  const auto socketPath = home.path / ".quoya-island" / "events.sock";
  ASSERT_TRUE(accepting(socketPath));
  ASSERT_FALSE(UnixSocketClient::sendBytes(std::string(5000, ' ') + "\n", socketPath));
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("island"), socketPath));
  EXPECT_EQ(readLine(*monitor), encodeEventLine(sampleEvent("island")));
  monitor->signal(SIGINT);
  EXPECT_EQ(monitor->wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath)));
}

TEST(TarvelMonitor, BadArgumentsAreRefused) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"--max-payload", "ten"},
                                             {"--max-payload", "0"},
                                             {"--socket"},
                                             {"--bogus"},
                                             {"--island", "--socket", "/tmp/x.sock"}}) {
    SCOPED_TRACE(arguments.front());
    const TemporaryHome home;
    const auto monitor = startMonitor(home.path, arguments);
    EXPECT_EQ(monitor->wait(), 2);
    EXPECT_NE(monitor->standardError().find("usage: tarvel-monitor"), std::string::npos);
  }
}

}  // namespace
}  // namespace tarvel
