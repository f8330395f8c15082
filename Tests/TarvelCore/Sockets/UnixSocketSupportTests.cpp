#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelCore/Sockets/SocketTestSupport.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel {
namespace {

using SocketTesting::TemporaryHome;

mode_t permissions(const std::filesystem::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// A socket file with nobody behind it, as a crashed server leaves.
void leaveStaleSocket(const std::filesystem::path& path) {
  const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const auto address = UnixSocketSupport::makeAddress(path.string());
  ASSERT_TRUE(address);
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address),
                   UnixSocketSupport::addressLength(path.string())),
            0);
}

std::string readAll(int fd) {
  std::string text;
  char block[4096];
  for (;;) {
    const ssize_t count = ::read(fd, block, sizeof(block));
    if (count <= 0) {
      return text;
    }
    text.append(block, static_cast<std::size_t>(count));
  }
}

class UnixSocketSupportTest : public ::testing::Test {
 protected:
  TemporaryHome home;
  std::filesystem::path socketPath = home.path / "run" / "events.sock";
};

TEST(UnixSocketSupport, AddressAcceptsPathsUpTo103Bytes) {
  const std::string longest(103, 'a');
  const auto address = UnixSocketSupport::makeAddress(longest);
  ASSERT_TRUE(address);
  EXPECT_EQ(address->sun_family, AF_UNIX);
  EXPECT_EQ(std::string(address->sun_path), longest);
  EXPECT_EQ(UnixSocketSupport::addressLength(longest), 106u);

  const auto tooLong = UnixSocketSupport::makeAddress(std::string(104, 'a'));
  ASSERT_FALSE(tooLong);
  EXPECT_EQ(tooLong.error().description(), "The Unix socket path is too long.");
}

TEST_F(UnixSocketSupportTest, SendFailsWithConnectErrorWithoutServer) {
  const auto missing = UnixSocketClient::send(SocketTesting::sampleEvent("s"), socketPath);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->description(), "connect failed: No such file or directory");

  std::filesystem::create_directories(socketPath.parent_path());
  leaveStaleSocket(socketPath);
  const auto refused = UnixSocketClient::send(SocketTesting::sampleEvent("s"), socketPath);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->description(), "connect failed: Connection refused");
}

TEST_F(UnixSocketSupportTest, SendTooLongPathFailsWithoutConnecting) {
  const auto error =
      UnixSocketClient::send(SocketTesting::sampleEvent("s"), home.path / std::string(120, 'x'));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, AgentSocketError::Kind::pathTooLong);
}

TEST_F(UnixSocketSupportTest, SentEventArrivesAsExactlyOneLine) {
  auto listener = UnixSocketSupport::bindListener(socketPath, false);
  ASSERT_TRUE(listener) << listener.error().description();
  const AgentEvent event = SocketTesting::sampleEvent("codex:1", "编辑 /tmp/a.txt");
  ASSERT_FALSE(UnixSocketClient::send(event, socketPath));

  const UniqueFd connection(::accept4(listener->descriptor.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(connection);
  EXPECT_EQ(readAll(connection.get()), encodeEventLine(event));
}

TEST_F(UnixSocketSupportTest, SendToPeerThatNeverReadsFailsWithWriteError) {
  auto listener = UnixSocketSupport::bindListener(socketPath, false);
  ASSERT_TRUE(listener);
  // Far more than the socket buffers hold: the write stalls and the 0.25 s limit ends it.
  const std::string payload(16 << 20, 'x');
  const auto error = UnixSocketClient::sendBytes(payload, socketPath);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->call, "write");
  EXPECT_EQ(error->errorNumber, EAGAIN);
}

TEST_F(UnixSocketSupportTest, ProbeTellsLiveListenersFromLeftovers) {
  std::filesystem::create_directories(socketPath.parent_path());
  EXPECT_FALSE(UnixSocketSupport::isPathAccepting(socketPath));

  std::ofstream(home.path / "plain") << "data";
  EXPECT_FALSE(UnixSocketSupport::isPathAccepting(home.path / "plain"));

  leaveStaleSocket(socketPath);
  EXPECT_FALSE(UnixSocketSupport::isPathAccepting(socketPath));

  auto listener = UnixSocketSupport::bindListener(socketPath, false);
  ASSERT_TRUE(listener);
  EXPECT_TRUE(UnixSocketSupport::isPathAccepting(socketPath));
}

TEST_F(UnixSocketSupportTest, BacklogHoldsTheSystemMaximumAndAFullOneStillCountsAsAccepting) {
  auto listener = UnixSocketSupport::bindListener(socketPath, false);
  ASSERT_TRUE(listener);
  // Nobody accepts: a burst of hooks waits in the backlog. Non-blocking connects queue until
  // the kernel refuses with EAGAIN, which must not happen before SOMAXCONN of them.
  std::vector<UniqueFd> waiting;
  const auto address = UnixSocketSupport::makeAddress(socketPath.string());
  ASSERT_TRUE(address);
  for (int attempt = 0; attempt < SOMAXCONN + 2; ++attempt) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    ASSERT_TRUE(fd);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address),
                  UnixSocketSupport::addressLength(socketPath.string())) != 0) {
      ASSERT_EQ(errno, EAGAIN);
      break;
    }
    waiting.push_back(std::move(fd));
  }
  EXPECT_GE(waiting.size(), static_cast<std::size_t>(SOMAXCONN));
  EXPECT_TRUE(UnixSocketSupport::isPathAccepting(socketPath));
  const auto second = UnixSocketSupport::bindListener(socketPath, false);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind, AgentSocketError::Kind::alreadyInUse);
}

TEST_F(UnixSocketSupportTest, StaleSocketIsReplacedWithPrivateFiles) {
  ASSERT_FALSE(UnixSocketSupport::makeDirectories(socketPath.parent_path()));
  leaveStaleSocket(socketPath);
  ASSERT_FALSE(UnixSocketSupport::isPathAccepting(socketPath));

  auto listener = UnixSocketSupport::bindListener(socketPath, false);
  ASSERT_TRUE(listener) << listener.error().description();
  struct stat after {};
  ASSERT_EQ(::lstat(socketPath.c_str(), &after), 0);
  EXPECT_EQ(listener->inode, after.st_ino);
  EXPECT_EQ(permissions(socketPath), 0600u);
  EXPECT_EQ(permissions(socketPath.string() + ".lock"), 0600u);
  EXPECT_EQ(permissions(socketPath.parent_path()), 0700u);
  EXPECT_TRUE(UnixSocketSupport::isPathAccepting(socketPath));
}

TEST_F(UnixSocketSupportTest, NonSocketFileAtPathIsNeverRemoved) {
  std::filesystem::create_directories(socketPath.parent_path());
  {
    SCOPED_TRACE("regular file");
    std::ofstream(socketPath) << "precious";
    const auto result = UnixSocketSupport::bindListener(socketPath, false);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), AgentSocketError::systemCall("bind", EADDRINUSE));
    std::ifstream file(socketPath);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "precious");
    std::filesystem::remove(socketPath);
  }
  {
    SCOPED_TRACE("directory");
    std::filesystem::create_directory(socketPath);
    std::ofstream(socketPath / "inside") << "x";
    const auto result = UnixSocketSupport::bindListener(socketPath, false);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().call, "bind");
    EXPECT_TRUE(std::filesystem::exists(socketPath / "inside"));
  }
}

TEST_F(UnixSocketSupportTest, DirectoryIsTightenedOnlyWhenAsked) {
  std::filesystem::create_directories(socketPath.parent_path());
  ::chmod(socketPath.parent_path().c_str(), 0755);
  {
    auto listener = UnixSocketSupport::bindListener(socketPath, false);
    ASSERT_TRUE(listener);
    EXPECT_EQ(permissions(socketPath.parent_path()), 0755u);
  }
  auto listener = UnixSocketSupport::bindListener(socketPath, true);
  ASSERT_TRUE(listener) << listener.error().description();
  EXPECT_EQ(permissions(socketPath.parent_path()), 0700u);
}

TEST_F(UnixSocketSupportTest, DirectoryThatCannotBeCreatedFails) {
  std::ofstream(home.path / "run") << "not a directory";
  const auto result = UnixSocketSupport::bindListener(socketPath, false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, AgentSocketError::Kind::fileSystem);
  EXPECT_EQ(result.error().errorNumber, ENOTDIR);
}

TEST_F(UnixSocketSupportTest, SecondListenerInAnotherProcessIsRefused) {
  auto listener = UnixSocketSupport::bindListener(socketPath, false);
  ASSERT_TRUE(listener);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const auto second = UnixSocketSupport::bindListener(socketPath, false);
    ::_exit(!second && second.error().kind == AgentSocketError::Kind::alreadyInUse ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The first listener still owns the path and accepts.
  ASSERT_FALSE(UnixSocketClient::sendBytes("x\n", socketPath));
}

TEST_F(UnixSocketSupportTest, ConcurrentStartersInSeveralProcessesYieldOneListener) {
  ASSERT_FALSE(UnixSocketSupport::makeDirectories(socketPath.parent_path()));
  leaveStaleSocket(socketPath);  // every starter sees a stale file it may remove
  std::array<int, 2> go{};
  ASSERT_EQ(::pipe2(go.data(), O_CLOEXEC), 0);
  constexpr int starters = 6;
  std::vector<pid_t> children;
  for (int index = 0; index < starters; ++index) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(go[1]);
      char byte = 0;
      [[maybe_unused]] const auto waited = ::read(go[0], &byte, 1);  // start together
      const auto listener = UnixSocketSupport::bindListener(socketPath, false);
      if (listener) {
        ::usleep(500'000);  // keep listening while the others probe
        ::_exit(0);
      }
      ::_exit(listener.error().kind == AgentSocketError::Kind::alreadyInUse ? 3 : 4);
    }
    children.push_back(child);
  }
  ::close(go[0]);
  ::close(go[1]);  // end of file releases every child at once
  int winners = 0;
  int refused = 0;
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    winners += WEXITSTATUS(status) == 0 ? 1 : 0;
    refused += WEXITSTATUS(status) == 3 ? 1 : 0;
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(refused, starters - 1);
}

TEST_F(UnixSocketSupportTest, LockExcludesOtherThreadsOfTheSameProcess) {
  const auto lockPath = home.path / "x.lock";
  auto first = UnixSocketSupport::ProcessFileLock::openAndLock(lockPath);
  ASSERT_TRUE(first);
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    auto second = UnixSocketSupport::ProcessFileLock::openAndLock(lockPath);
    acquired = second.hasValue();
  });
  ::usleep(100'000);
  EXPECT_FALSE(acquired.load());
  { [[maybe_unused]] auto released = std::move(first).value(); }
  other.join();
  EXPECT_TRUE(acquired.load());
}

TEST(AgentSocketLocation, DefaultSocketIsUnderHome) {
  TemporaryHome home;
  EXPECT_EQ(AgentSocketLocation::defaultURL(), home.path / ".tarvel" / "agent.sock");
  ::setenv("HOME", "", 1);  // NOLINT(concurrency-mt-unsafe)
  EXPECT_FALSE(AgentSocketLocation::homeDirectory().empty());
}

}  // namespace
}  // namespace tarvel
