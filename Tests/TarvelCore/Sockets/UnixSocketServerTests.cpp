#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelCore/Sockets/SocketTestSupport.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketServer.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel {
namespace {

using SocketTesting::CapturedLog;
using SocketTesting::EventCollector;
using SocketTesting::sampleEvent;
using SocketTesting::TemporaryHome;

// A client connection that stays open until the test closes it.
UniqueFd openConnection(const std::filesystem::path& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const auto address = UnixSocketSupport::makeAddress(path.string());
  EXPECT_TRUE(address);
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address),
                      UnixSocketSupport::addressLength(path.string())),
            0);
  return fd;
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ASSERT_GT(written, 0);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::optional<ino_t> inodeAt(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return status.st_ino;
}

// An event whose line (with its line feed) is exactly `bytes` long.
std::string eventLineOfSize(std::size_t bytes) {
  const std::size_t base = encodeEventLine(sampleEvent("s", "")).size();
  std::string line = encodeEventLine(sampleEvent("s", std::string(bytes - base, 'a')));
  EXPECT_EQ(line.size(), bytes);
  return line;
}

class UnixSocketServerTest : public ::testing::Test {
 protected:
  std::unique_ptr<UnixSocketServer> makeServer(std::int64_t limit = 1 << 20) {
    return std::make_unique<UnixSocketServer>(
        socketPath, limit, [this](const AgentEvent& event) { received.add(event); });
  }

  TemporaryHome home;
  std::filesystem::path socketPath = home.path / "island" / "events.sock";
  EventCollector received;
};

TEST_F(UnixSocketServerTest, LinesOfOneConnectionArriveInOrder) {
  auto server = makeServer();
  ASSERT_FALSE(server->start());
  const std::string payload = encodeEventLine(sampleEvent("a")) +
                              encodeEventLine(sampleEvent("b")) + "\n\n" +
                              encodeJSON(sampleEvent("c"));  // last line unterminated
  ASSERT_FALSE(UnixSocketClient::sendBytes(payload, socketPath));
  const auto events = received.waitFor(3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], sampleEvent("a"));
  EXPECT_EQ(events[1].sessionId, "b");
  EXPECT_EQ(events[2].sessionId, "c");
}

TEST_F(UnixSocketServerTest, MalformedLineIsLoggedAndSkipped) {
  const CapturedLog log;
  auto server = makeServer();
  ASSERT_FALSE(server->start());
  ASSERT_FALSE(UnixSocketClient::sendBytes(encodeEventLine(sampleEvent("a")) + "garbage\n" +
                                               "{\"type\":\"agent.unknown\"}\n" +
                                               encodeEventLine(sampleEvent("b")),
                                           socketPath));
  const auto events = received.waitFor(2);
  server->stop();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].sessionId, "b");
  const auto errors = log.errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].category, "socket");
  EXPECT_EQ(errors[0].format, "Dropped malformed event payload (%ld bytes): %s");
  EXPECT_EQ(errors[0].arguments[0].value, "7");
  EXPECT_FALSE(errors[0].arguments[1].value.empty());
}

TEST_F(UnixSocketServerTest, PayloadLimitCountsEveryByteOfAConnection) {
  auto server = makeServer(1000);
  ASSERT_FALSE(server->start());
  struct Case {
    std::string name;
    std::string payload;
    bool delivered;
  };
  const std::vector<Case> cases{
      {"999 bytes", eventLineOfSize(999), true},
      {"1000 bytes", eventLineOfSize(1000), true},
      {"1001 bytes", eventLineOfSize(1001), false},
      {"good line then overflow", eventLineOfSize(400) + eventLineOfSize(601), false},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    const std::size_t before = received.snapshot().size();
    ASSERT_FALSE(UnixSocketClient::sendBytes(item.payload, socketPath));
    // A marker connection after it: once the marker arrives, the case's own fate is settled.
    ASSERT_FALSE(UnixSocketClient::send(sampleEvent("marker"), socketPath));
    const auto events = received.waitFor(before + (item.delivered ? 2 : 1));
    server->stop();
    ASSERT_FALSE(server->start());
    const auto all = received.snapshot();
    ASSERT_EQ(all.size(), before + (item.delivered ? 2 : 1));
  }
}

TEST_F(UnixSocketServerTest, ConnectionSentInPartsIsReadWholeAcrossPauses) {
  auto server = makeServer(1000);
  ASSERT_FALSE(server->start());
  // Each connection stops partway long enough for the server to read what came and go back to
  // waiting; what it read before the pause counts with the rest, towards the line and the limit.
  const auto sendInParts = [&](const std::string& payload, std::size_t split) {
    const UniqueFd connection = openConnection(socketPath);
    writeAll(connection.get(), std::string_view(payload).substr(0, split));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    writeAll(connection.get(), std::string_view(payload).substr(split));
  };
  sendInParts(eventLineOfSize(1000), 300);
  sendInParts(eventLineOfSize(600) + eventLineOfSize(401), 600);  // over the limit in total
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("marker"), socketPath));
  received.waitFor(2);
  server->stop();
  // The two connections may be delivered by different workers, in either order.
  const auto events = received.snapshot();
  ASSERT_EQ(events.size(), 2u);
  std::map<std::string, AgentEvent> bySession;
  for (const AgentEvent& event : events) {
    bySession.emplace(event.sessionId, event);
  }
  ASSERT_EQ(bySession.count("marker"), 1u);
  ASSERT_EQ(bySession.count("s"), 1u);
  EXPECT_EQ(encodeEventLine(bySession.at("s")), eventLineOfSize(1000));
}

TEST(UnixSocketServer, PayloadLimitIsAtLeastOne) {
  for (const std::int64_t limit : {0, -5}) {
    SCOPED_TRACE(limit);
    const UnixSocketServer server("/nonexistent/x.sock", limit, [](const AgentEvent&) {});
    EXPECT_EQ(server.maximumPayloadBytes(), 1);
    EXPECT_FALSE(std::filesystem::exists("/nonexistent"));
  }
}

TEST_F(UnixSocketServerTest, AtTheCapConnectionsWaitInTheBacklogAndAllArrive) {
  auto server = makeServer();
  ASSERT_FALSE(server->start());
  // Silent connections fill every slot, so the server's loop has no room for more.
  std::vector<UniqueFd> idle;
  for (std::size_t index = 0; index < UnixSocketServer::maximumConnections; ++index) {
    idle.push_back(openConnection(socketPath));
  }
  // Meanwhile 300 hooks connect, write and close, from several threads at once.
  constexpr std::size_t senders = 4;
  constexpr std::size_t perSender = 75;
  std::atomic<std::size_t> sent{0};
  std::vector<std::thread> threads;
  for (std::size_t thread = 0; thread < senders; ++thread) {
    threads.emplace_back([&, thread] {
      for (std::size_t index = 0; index < perSender; ++index) {
        const std::string id = std::to_string(thread) + "-" + std::to_string(index);
        sent += UnixSocketClient::send(sampleEvent(id), socketPath) ? 0 : 1;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  ASSERT_EQ(sent.load(), senders * perSender);
  // One silent connection sends an event too; then all of them end.
  writeAll(idle.back().get(), encodeEventLine(sampleEvent("idle")));
  idle.clear();

  const auto events = received.waitFor(senders * perSender + 1, std::chrono::seconds(60));
  std::set<std::string> sessions;
  for (const auto& event : events) {
    sessions.insert(event.sessionId);
  }
  EXPECT_EQ(events.size(), senders * perSender + 1);
  EXPECT_EQ(sessions.size(), senders * perSender + 1);
  EXPECT_EQ(sessions.count("idle"), 1u);
}

TEST_F(UnixSocketServerTest, IdleConnectionsDoNotDelayOthers) {
  auto server = makeServer();
  ASSERT_FALSE(server->start());
  std::vector<UniqueFd> idle;
  for (std::size_t index = 0; index + 1 < UnixSocketServer::maximumConnections; ++index) {
    idle.push_back(openConnection(socketPath));
  }
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("busy"), socketPath));
  ASSERT_EQ(received.waitFor(1, std::chrono::seconds(60)).size(), 1u);
  // The event came while every silent connection was still open: it did not wait for their
  // receive timeout to end them (a read that would block, not end-of-file).
  std::size_t stillOpen = 0;
  for (const UniqueFd& connection : idle) {
    char byte = 0;
    stillOpen += ::recv(connection.get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN ? 1 : 0;
  }
  EXPECT_EQ(stillOpen, idle.size());
}

TEST_F(UnixSocketServerTest, SlowHandlerDelaysEventsInsteadOfLosingThem) {
  UnixSocketServer server(socketPath, 1 << 20, [this](const AgentEvent& event) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    received.add(event);
  });
  ASSERT_FALSE(server.start());
  // Far more finished connections than may be open at once, faster than the handler keeps up:
  // the workers hold the open ones while the rest wait in the backlog.
  constexpr std::size_t count = 400;
  std::size_t sent = 0;
  for (std::size_t index = 0; index < count; ++index) {
    sent += UnixSocketClient::send(sampleEvent(std::to_string(index)), socketPath) ? 0 : 1;
  }
  EXPECT_EQ(sent, count);
  server.stop();
  EXPECT_EQ(received.snapshot().size(), sent);
}

TEST_F(UnixSocketServerTest, SilentConnectionIsProcessedAfterReceiveTimeout) {
  auto server = makeServer();
  ASSERT_FALSE(server->start());
  const UniqueFd open = openConnection(socketPath);
  writeAll(open.get(), encodeEventLine(sampleEvent("held")));
  const auto events = received.waitFor(1, std::chrono::seconds(5));
  ASSERT_EQ(events.size(), 1u);
  char byte = 0;
  EXPECT_EQ(::read(open.get(), &byte, 1), 0);  // the server has ended the connection
}

TEST_F(UnixSocketServerTest, StopDeliversWhatOpenConnectionsSent) {
  auto server = makeServer();
  ASSERT_FALSE(server->start());
  // One connection the server has surely taken in and watches; then more that are still open
  // wherever stop() finds them: in the backlog, with a worker, or on their way back to the loop.
  std::vector<UniqueFd> open;
  open.push_back(openConnection(socketPath));
  writeAll(open.back().get(), encodeEventLine(sampleEvent("pending")));
  ::usleep(50'000);
  constexpr std::size_t more = 40;
  for (std::size_t index = 0; index < more; ++index) {
    open.push_back(openConnection(socketPath));
    writeAll(open.back().get(), encodeEventLine(sampleEvent(std::to_string(index))));
  }
  server->stop();
  const auto events = received.snapshot();
  std::set<std::string> sessions;
  for (const auto& event : events) {
    sessions.insert(event.sessionId);
  }
  EXPECT_EQ(events.size(), more + 1);
  EXPECT_EQ(sessions.size(), more + 1);
  EXPECT_EQ(sessions.count("pending"), 1u);
}

TEST_F(UnixSocketServerTest, ThrowingHandlerDoesNotStopDelivery) {
  const CapturedLog log;
  UnixSocketServer server(socketPath, 1 << 20, [this](const AgentEvent& event) {
    if (event.sessionId == "bad") {
      throw std::runtime_error("handler refused");
    }
    received.add(event);
  });
  ASSERT_FALSE(server.start());
  ASSERT_FALSE(UnixSocketClient::sendBytes(
      encodeEventLine(sampleEvent("bad")) + encodeEventLine(sampleEvent("good")), socketPath));
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("later"), socketPath));
  const auto events = received.waitFor(2);
  ASSERT_EQ(events.size(), 2u);
  const auto errors = log.errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rendered(), "Event handler failed: handler refused");
}

TEST_F(UnixSocketServerTest, StartAndStopAreIdempotentAndRestartable) {
  auto server = makeServer();
  ASSERT_FALSE(server->start());
  const auto inode = inodeAt(socketPath);
  ASSERT_FALSE(server->start());
  EXPECT_EQ(inodeAt(socketPath), inode);
  server->stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath)));
  EXPECT_FALSE(server->isListening());
  server->stop();
  ASSERT_FALSE(server->start());
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("again"), socketPath));
  EXPECT_EQ(received.waitFor(1).size(), 1u);
}

TEST_F(UnixSocketServerTest, StopLeavesAnotherServersSocketAlone) {
  auto first = makeServer();
  ASSERT_FALSE(first->start());
  // The file is taken away (say, by a cleanup script) and a newer server binds the path.
  std::filesystem::remove(socketPath);
  auto second = makeServer();
  ASSERT_FALSE(second->start());
  const auto secondInode = inodeAt(socketPath);
  first->stop();
  EXPECT_EQ(inodeAt(socketPath), secondInode);
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("second"), socketPath));
  EXPECT_EQ(received.waitFor(1).size(), 1u);
  second->stop();
  EXPECT_FALSE(inodeAt(socketPath));
}

TEST_F(UnixSocketServerTest, SecondServerOnThePathIsRefused) {
  auto first = makeServer();
  ASSERT_FALSE(first->start());
  auto second = makeServer();
  const auto error = second->start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description(), "Another Tarvel instance is already listening on this socket.");
  second.reset();  // destroying the refused server must not remove the first one's file
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("first"), socketPath));
  EXPECT_EQ(received.waitFor(1).size(), 1u);
}

TEST_F(UnixSocketServerTest, OnlyTheDefaultLocationTightensItsDirectory) {
  std::filesystem::create_directories(socketPath.parent_path());
  ::chmod(socketPath.parent_path().c_str(), 0755);
  std::filesystem::create_directories(home.path / ".tarvel");
  ::chmod((home.path / ".tarvel").c_str(), 0755);

  auto custom = makeServer();
  ASSERT_FALSE(custom->start());
  UnixSocketServer atDefault(home.path / "." / ".tarvel" / "agent.sock", 1 << 20,
                             [](const AgentEvent&) {});
  ASSERT_FALSE(atDefault.start());

  struct stat status {};
  ASSERT_EQ(::stat(socketPath.parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0755u);
  ASSERT_EQ(::stat((home.path / ".tarvel").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(AgentSocketLocation::defaultURL().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(UnixSocketServerTest, PathOf103BytesServesAndLongerIsRefused) {
  std::string base = home.path.string() + "/";
  const std::filesystem::path longest = base + std::string(103 - base.size(), 's');
  ASSERT_EQ(longest.string().size(), 103u);
  UnixSocketServer server(longest, 1 << 20, [this](const AgentEvent& e) { received.add(e); });
  ASSERT_FALSE(server.start());
  ASSERT_FALSE(UnixSocketClient::send(sampleEvent("edge"), longest));
  EXPECT_EQ(received.waitFor(1).size(), 1u);

  UnixSocketServer tooLong(longest.string() + "x", 1 << 20, [](const AgentEvent&) {});
  const auto error = tooLong.start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, AgentSocketError::Kind::pathTooLong);
  EXPECT_FALSE(std::filesystem::exists(longest.string() + "x"));
}

}  // namespace
}  // namespace tarvel
