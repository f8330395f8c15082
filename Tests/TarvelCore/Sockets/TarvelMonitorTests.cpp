#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Sockets/SocketTestSupport.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

extern char** environ;  // NOLINT(readability-identifier-naming)

namespace tarvel {
namespace {

using SocketTesting::sampleEvent;
using SocketTesting::TemporaryHome;

const std::string monitorPath = std::string(TARVEL_BINARY_DIR) + "/bin/tarvel-monitor";

// tarvel-monitor as a child process with piped standard output and error.
struct Monitor {
  pid_t pid = -1;
  UniqueFd output;
  UniqueFd errors;

  static Monitor spawn(const std::vector<std::string>& arguments) {
    std::array<int, 2> out{};
    std::array<int, 2> err{};
    EXPECT_EQ(::pipe2(out.data(), O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err.data(), O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> all{monitorPath};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    Monitor monitor;
    EXPECT_EQ(
        ::posix_spawn(&monitor.pid, monitorPath.c_str(), &actions, nullptr, argv.data(), environ),
        0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    monitor.output.reset(out[0]);
    monitor.errors.reset(err[0]);
    return monitor;
  }

  // Reads one line from standard output, waiting at most `limit`.
  std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (buffered.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd entry{.fd = output.get(), .events = POLLIN, .revents = 0};
      if (::poll(&entry, 1, 100) == 1) {
        char block[4096];
        const ssize_t count = ::read(output.get(), block, sizeof(block));
        if (count <= 0) {
          break;
        }
        buffered.append(block, static_cast<std::size_t>(count));
      }
    }
    const auto end = buffered.find('\n');
    if (end == std::string::npos) {
      return {};
    }
    std::string line = buffered.substr(0, end + 1);
    buffered.erase(0, end + 1);
    return line;
  }

  std::string readErrors() const {
    std::string text;
    char block[4096];
    for (ssize_t count = 0; (count = ::read(errors.get(), block, sizeof(block))) > 0;) {
      text.append(block, static_cast<std::size_t>(count));
    }
    return text;
  }

  // Waits for the process to end; its exit status, or -1 when it died otherwise.
  int wait() {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string buffered;
};

bool waitUntilAccepting(const std::filesystem::path& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (UnixSocketSupport::isPathAccepting(path)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(TarvelMonitor, PrintsEachEventAndStopsCleanlyOnSigterm) {
  const TemporaryHome home;
  const auto socketPath = home.path / "monitor" / "events.sock";
  Monitor monitor = Monitor::spawn({"--socket", socketPath.string()});
  ASSERT_TRUE(waitUntilAccepting(socketPath));

  const AgentEvent event = sampleEvent("codex:42", "运行 make test");
  ASSERT_FALSE(UnixSocketClient::send(event, socketPath));
  EXPECT_EQ(monitor.readLine(), encodeEventLine(event));
  ASSERT_FALSE(UnixSocketClient::sendBytes("not json\n", socketPath));
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("next"), socketPath));
  EXPECT_EQ(monitor.readLine(), encodeEventLine(sampleEvent("next")));

  Monitor second = Monitor::spawn({"--socket", socketPath.string()});
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(second.readErrors(), "Another Tarvel instance is already listening on this socket.\n");

  ASSERT_EQ(::kill(monitor.pid, SIGTERM), 0);
  EXPECT_EQ(monitor.wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath)));
  const std::string log = monitor.readErrors();
  EXPECT_NE(log.find("Event socket listening at " + socketPath.string()), std::string::npos);
  EXPECT_NE(log.find("Dropped malformed event payload (8 bytes)"), std::string::npos);
}

TEST(TarvelMonitor, IslandModeServesTheIslandSocket) {
  const TemporaryHome home;
  Monitor monitor = Monitor::spawn({"--island", "--max-payload", "4096"});
  const auto socketPath = home.path / ".quoya-island" / "events.sock";
  ASSERT_TRUE(waitUntilAccepting(socketPath));
  ASSERT_FALSE(UnixSocketClient::sendBytes(std::string(5000, ' ') + "\n", socketPath));
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("island"), socketPath));
  EXPECT_EQ(monitor.readLine(), encodeEventLine(sampleEvent("island")));
  ASSERT_EQ(::kill(monitor.pid, SIGINT), 0);
  EXPECT_EQ(monitor.wait(), 0);
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
    Monitor monitor = Monitor::spawn(arguments);
    EXPECT_EQ(monitor.wait(), 2);
    EXPECT_NE(monitor.readErrors().find("usage: tarvel-monitor"), std::string::npos);
  }
}

}  // namespace
}  // namespace tarvel
