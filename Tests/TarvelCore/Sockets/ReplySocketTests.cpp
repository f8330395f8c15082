#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "TarvelCore/Sockets/AgentReplySocketLocation.hpp"
#include "TarvelCore/Sockets/ReplyTestSupport.hpp"
#include "TarvelCore/Sockets/UnixReplyClient.hpp"
#include "TarvelCore/Sockets/UnixReplyServer.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using namespace ReplyTestSupport;

std::string helloLine(const UUID& id) { return encodeJSON(AgentReplyHello{.replyId = id}) + "\n"; }

AgentReply allowReply(const UUID& id) {
  return AgentReply{.replyId = id,
                    .decision = AgentReplyDecision::option,
                    .optionId = "option-1",
                    .answers = std::map<std::string, std::vector<std::string>>{{"Which?", {"B"}}}};
}

class ReplySocketTest : public ::testing::Test {
 protected:
  std::filesystem::path socketPath() const { return home.path / ".tarvel" / "reply.sock"; }

  std::unique_ptr<UnixReplyServer> startServer(UnixReplyServer::Limits limits = {}) {
    auto server = std::make_unique<UnixReplyServer>(socketPath(), recorder.callback(), limits);
    const auto error = server->start();
    EXPECT_FALSE(error) << (error ? error->description() : "");
    return server;
  }

  // A raw hook: connects, sends its hello and reads the acknowledgement line.
  UniqueFd registerRawHook(const UUID& id, std::string* acknowledgement = nullptr) {
    UniqueFd hook = connectTo(socketPath());
    EXPECT_TRUE(hook.valid());
    EXPECT_TRUE(sendAll(hook.get(), helloLine(id)));
    const auto line = readLine(hook.get());
    EXPECT_TRUE(line.has_value());
    if (acknowledgement != nullptr && line) {
      *acknowledgement = *line;
    }
    return hook;
  }

  TemporaryHome home;
  PendingRecorder recorder;
};

TEST_F(ReplySocketTest, DefaultLocationIsBesideTheEventSocket) {
  EXPECT_EQ(AgentReplySocketLocation::defaultURL(), home.path / ".tarvel" / "reply.sock");
}

TEST_F(ReplySocketTest, ForkedHookReceivesTheSubmittedAnswer) {
  const UUID id = UUID::random();
  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  // Fork before the server has threads; the child waits for the socket to appear.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(results[0]);
    waitUntil([&] { return UnixSocketSupport::isPathAccepting(socketPath()); });
    int registrations = 0;
    const auto reply = UnixReplyClient::awaitReply(id, socketPath(), 30, [&] {
      ++registrations;
      return true;
    });
    const std::string text =
        std::to_string(registrations) + " " + (reply ? encodeJSON(*reply) : std::string("none"));
    [[maybe_unused]] const ssize_t written = ::write(results[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(results[1]);
  auto server = startServer();
  // Like the display: answer once the server has reported the hook as live.
  ASSERT_TRUE(waitUntil([&] { return recorder.count() == 1; }));
  EXPECT_TRUE(server->isPending(id));
  EXPECT_TRUE(server->submit(allowReply(id)));
  EXPECT_FALSE(server->isPending(id));

  std::string output;
  char chunk[4096];
  ssize_t count = 0;
  while ((count = ::read(results[0], chunk, sizeof chunk)) > 0) {
    output.append(chunk, static_cast<std::size_t>(count));
  }
  ::close(results[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(output, "1 " + encodeJSON(allowReply(id)));

  const auto calls = recorder.snapshot();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls.front(), std::set<UUID>{id});
  EXPECT_EQ(calls.back(), std::set<UUID>{});
}

TEST_F(ReplySocketTest, AcknowledgementAndReplyLinesAreExact) {
  LogCapture log;
  auto server = startServer();
  const UUID id = UUID::parse("0F8FAD5B-D9CB-469F-A165-70867728950E").value();
  std::string acknowledgement;
  const UniqueFd hook = registerRawHook(id, &acknowledgement);
  EXPECT_EQ(acknowledgement, "{\"registered\":true}\n");
  ASSERT_TRUE(waitUntil([&] { return recorder.count() == 1; }));

  ASSERT_TRUE(server->submit(allowReply(id)));
  bool endedCleanly = false;
  EXPECT_EQ(readToEnd(hook.get(), &endedCleanly),
            "{\"answers\":{\"Which?\":[\"B\"]},\"decision\":\"option\",\"optionId\":\"option-1\","
            "\"replyId\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\"}\n");
  EXPECT_TRUE(endedCleanly);
  EXPECT_FALSE(server->submit(allowReply(id)));  // answered once only

  const auto entries = log.snapshot();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front().category, "socket");
  EXPECT_EQ(entries.front().rendered(), "Reply socket listening at " + socketPath().string());
  struct stat status {};
  ASSERT_EQ(::stat(socketPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(socketPath().parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(ReplySocketTest, ClientSendsOneExactHelloLine) {
  const UniqueFd listener = listenAt(home.path / "fake.sock");
  ASSERT_TRUE(listener.valid());
  const UUID id = UUID::random();
  std::string hello;
  std::thread peer([&] {
    const UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    setReceiveTimeout(connection.get(), 10s);
    hello = readLine(connection.get()).value_or("");
  });
  EXPECT_FALSE(UnixReplyClient::awaitReply(id, home.path / "fake.sock", 5));
  peer.join();
  // The hook says how long it waits, so that displays can show when it gives up.
  EXPECT_EQ(hello, "{\"confirmsReceipt\":true,\"replyId\":\"" + id.uuidString() +
                       "\",\"timeoutSeconds\":5}\n");
}

TEST_F(ReplySocketTest, HookThatClosesIsWithdrawn) {
  auto server = startServer();
  const UUID id = UUID::random();
  {
    const UniqueFd hook = registerRawHook(id);
    ASSERT_TRUE(waitUntil([&] { return recorder.count() == 1; }));
    EXPECT_EQ(server->pendingReplyIDs(), std::set<UUID>{id});
  }
  ASSERT_TRUE(waitUntil([&] { return recorder.count() == 2; }));
  EXPECT_EQ(recorder.snapshot().back(), std::set<UUID>{});
  EXPECT_FALSE(server->isPending(id));
  EXPECT_FALSE(server->submit(allowReply(id)));
  EXPECT_EQ(recorder.count(), 2u);
}

TEST_F(ReplySocketTest, HookThatWritesAfterItsHelloGivesUp) {
  auto server = startServer();
  const UUID id = UUID::random();
  const UniqueFd hook = registerRawHook(id);
  ASSERT_TRUE(waitUntil([&] { return server->isPending(id); }));
  ASSERT_TRUE(sendAll(hook.get(), "x"));
  ASSERT_TRUE(waitUntil([&] { return !server->isPending(id); }));
  bool endedCleanly = false;
  EXPECT_EQ(readToEnd(hook.get(), &endedCleanly), "");
  EXPECT_TRUE(endedCleanly);
}

TEST_F(ReplySocketTest, NewerHookDisplacesTheOlderOne) {
  auto server = startServer();
  const UUID id = UUID::random();
  const UniqueFd first = registerRawHook(id);
  ASSERT_TRUE(waitUntil([&] { return recorder.count() == 1; }));
  const UniqueFd second = registerRawHook(id);
  ASSERT_TRUE(waitUntil([&] { return recorder.count() == 2; }));

  bool endedCleanly = false;
  EXPECT_EQ(readToEnd(first.get(), &endedCleanly), "");  // closed without an answer
  EXPECT_TRUE(endedCleanly);
  EXPECT_EQ(recorder.snapshot().back(), std::set<UUID>{id});
  EXPECT_TRUE(server->isPending(id));

  ASSERT_TRUE(server->submit(allowReply(id)));
  EXPECT_EQ(readToEnd(second.get()), encodeJSON(allowReply(id)) + "\n");
}

TEST_F(ReplySocketTest, MalformedHelloIsLoggedAndClosedWithoutAcknowledgement) {
  auto server = startServer();
  struct Case {
    const char* name;
    std::string bytes;
    long loggedLength;
  };
  const std::vector<Case> cases = {
      {"not JSON", "hello there\n", 11},
      {"wrong key", "{\"reply\":\"x\"}\n", 13},
      {"bad UUID", "{\"replyId\":\"not-a-uuid\"}\n", 24},
      {"invalid UTF-8", "{\"replyId\":\"\xff\"}\n", 15},
      {"overlong without line feed", std::string(5000, 'a'), 5000},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    LogCapture log;
    const UniqueFd hook = connectTo(socketPath());
    ASSERT_TRUE(sendAll(hook.get(), testCase.bytes));
    bool endedCleanly = false;
    EXPECT_EQ(readToEnd(hook.get(), &endedCleanly), "");
    EXPECT_TRUE(endedCleanly);
    ASSERT_TRUE(waitUntil([&] { return !log.snapshot().empty(); }));
    const auto entry = log.snapshot().front();
    EXPECT_EQ(entry.level, Log::Level::error);
    EXPECT_EQ(entry.format, "Rejected malformed reply hello (%ld bytes)");
    ASSERT_EQ(entry.arguments.size(), 1u);
    if (testCase.loggedLength == 5000) {
      // Reading stops once more than 4095 bytes have gathered.
      EXPECT_GT(std::stol(entry.arguments[0].value), 4095);
    } else {
      EXPECT_EQ(entry.arguments[0].value, std::to_string(testCase.loggedLength));
    }
  }
  EXPECT_TRUE(server->pendingReplyIDs().empty());
  EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(ReplySocketTest, SilentConnectionAndUnansweredHookTimeOut) {
  LogCapture log;
  auto server = startServer({.helloTimeout = 200ms, .registrationTimeout = 300ms});
  const UniqueFd silent = connectTo(socketPath());
  bool endedCleanly = false;
  EXPECT_EQ(readToEnd(silent.get(), &endedCleanly), "");
  EXPECT_TRUE(endedCleanly);

  const UUID id = UUID::random();
  const UniqueFd hook = registerRawHook(id);
  EXPECT_EQ(readToEnd(hook.get(), &endedCleanly), "");  // dropped after the registration limit
  EXPECT_TRUE(endedCleanly);
  ASSERT_TRUE(waitUntil([&] { return recorder.count() == 2; }));
  EXPECT_EQ(recorder.snapshot().back(), std::set<UUID>{});
  for (const auto& entry : log.snapshot()) {
    EXPECT_EQ(entry.level, Log::Level::info) << entry.rendered();
  }
}

// Beyond the connections served at once a hook waits in the backlog, neither served nor closed,
// and its own short handshake limit does not end that wait: it is taken in when a slot frees and
// gets its answer.
TEST_F(ReplySocketTest, AHookBeyondTheSlotsWaitsInTheBacklogUntilOneFrees) {
  auto server = startServer({.connections = 4});
  std::vector<UniqueFd> hooks;
  for (int i = 0; i < 4; ++i) {
    hooks.push_back(registerRawHook(UUID::random()));
  }
  ASSERT_TRUE(waitUntil([&] { return server->pendingReplyIDs().size() == 4; }));
  const UUID waiting = UUID::random();
  std::atomic<bool> registered = false;
  auto reply = std::async(std::launch::async, [&] {
    return UnixReplyClient::awaitReply(waiting, socketPath(), 120, [&] {
      registered = true;
      return true;
    });
  });
  // Longer than the handshake's own limit of two seconds: the hook still waits.
  EXPECT_EQ(reply.wait_for(3s), std::future_status::timeout);
  EXPECT_FALSE(registered);
  EXPECT_FALSE(server->isPending(waiting));

  // Once one hook has gone, the waiting one is taken in, registered and answered.
  hooks.pop_back();
  ASSERT_TRUE(waitUntil([&] { return server->isPending(waiting) && registered; }));
  EXPECT_EQ(server->pendingReplyIDs().size(), 4U);
  EXPECT_TRUE(server->submit(allowReply(waiting)));
  EXPECT_EQ(reply.get(), allowReply(waiting));
}

// A host's link carries its hooks: each host has its share of the slots, a hook beyond it is
// refused at once (its agent asks the user itself), and this machine's hooks still get in.
TEST_F(ReplySocketTest, NoOneHostTakesMoreThanItsShare) {
  auto server = std::make_unique<UnixReplyServer>(socketPath(), recorder.callback(),
                                                  UnixReplyServer::Limits{.connections = 8,
                                                                          .hostShare = 3});
  std::atomic<bool> fromDevbox = true;
  server->setHostOf([&](pid_t process) -> std::optional<std::string> {
    EXPECT_EQ(process, ::getpid());
    return fromDevbox ? std::optional<std::string>("devbox") : std::nullopt;
  });
  ASSERT_FALSE(server->start());
  std::vector<UniqueFd> devbox;
  for (int i = 0; i < 3; ++i) {
    std::string acknowledgement;
    devbox.push_back(registerRawHook(UUID::random(), &acknowledgement));
    EXPECT_EQ(acknowledgement, "{\"registered\":true}\n");
  }
  {
    SCOPED_TRACE("a fourth of the host's: refused and closed");
    std::string acknowledgement;
    const UniqueFd refused = registerRawHook(UUID::random(), &acknowledgement);
    EXPECT_EQ(acknowledgement, "{\"registered\":false}\n");
    bool endedCleanly = false;
    EXPECT_EQ(readToEnd(refused.get(), &endedCleanly), "");
    EXPECT_TRUE(endedCleanly);
    EXPECT_EQ(server->pendingReplyIDs().size(), 3U);
  }
  {
    SCOPED_TRACE("a hook of this machine: taken in");
    fromDevbox = false;
    std::string acknowledgement;
    const UniqueFd local = registerRawHook(UUID::random(), &acknowledgement);
    EXPECT_EQ(acknowledgement, "{\"registered\":true}\n");
    fromDevbox = true;
  }
  {
    SCOPED_TRACE("once one of the host's has gone, the host has room again");
    devbox.pop_back();
    ASSERT_TRUE(waitUntil([&] { return server->pendingReplyIDs().size() == 2; }));
    std::string acknowledgement;
    devbox.push_back(registerRawHook(UUID::random(), &acknowledgement));
    EXPECT_EQ(acknowledgement, "{\"registered\":true}\n");
  }
}

TEST_F(ReplySocketTest, StopEndsEveryWaitingHookAndReportsOnce) {
  auto server = startServer();
  std::vector<std::future<std::optional<AgentReply>>> hooks;
  std::vector<UUID> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(UUID::random());
    hooks.push_back(std::async(std::launch::async, [this, id = ids.back()] {
      return UnixReplyClient::awaitReply(id, socketPath(), 60);
    }));
  }
  ASSERT_TRUE(waitUntil([&] { return server->pendingReplyIDs().size() == 3; }));
  ASSERT_TRUE(waitUntil([&] { return recorder.count() == 3; }));

  server->stop();
  for (auto& hook : hooks) {
    EXPECT_EQ(hook.get(), std::nullopt);
  }
  const auto calls = recorder.snapshot();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls.back(), std::set<UUID>{});
  EXPECT_TRUE(server->pendingReplyIDs().empty());
  EXPECT_FALSE(std::filesystem::exists(socketPath()));

  server->stop();  // stopped: nothing happens
  EXPECT_EQ(recorder.count(), 4u);

  // And it can listen again.
  ASSERT_FALSE(server->start());
  const UUID id = UUID::random();
  std::promise<void> registered;
  auto hook = std::async(std::launch::async, [&] {
    return UnixReplyClient::awaitReply(id, socketPath(), 60, [&] {
      registered.set_value();
      return true;
    });
  });
  registered.get_future().wait();
  ASSERT_TRUE(waitUntil([&] { return server->isPending(id); }));
  EXPECT_TRUE(server->submit(allowReply(id)));
  EXPECT_EQ(hook.get(), allowReply(id));
}

TEST_F(ReplySocketTest, StopLeavesASocketFileThatAnotherServerPutThere) {
  auto first = startServer();
  ASSERT_EQ(::unlink(socketPath().c_str()), 0);
  PendingRecorder otherRecorder;
  UnixReplyServer second(socketPath(), otherRecorder.callback());
  ASSERT_FALSE(second.start());
  first->stop();
  EXPECT_TRUE(UnixSocketSupport::isPathAccepting(socketPath()));
  second.stop();
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
}

TEST_F(ReplySocketTest, CallbackMayAnswerAndQueryFromInside) {
  std::unique_ptr<UnixReplyServer> server;
  std::atomic<int> answered{0};
  server = std::make_unique<UnixReplyServer>(socketPath(), [&](const std::set<UUID>& keys) {
    // Deadlocks if the callback ran under the server's lock.
    for (const auto& key : server->pendingReplyIDs()) {
      if (keys.count(key) != 0 && server->submit(allowReply(key))) {
        ++answered;
      }
    }
  });
  ASSERT_FALSE(server->start());
  const UUID id = UUID::random();
  EXPECT_EQ(UnixReplyClient::awaitReply(id, socketPath(), 10), allowReply(id));
  // submit() may still be returning inside the callback when the hook has its answer.
  EXPECT_TRUE(waitUntil([&] { return answered.load() == 1; }));
  server->stop();
  EXPECT_EQ(answered.load(), 1);
}

TEST_F(ReplySocketTest, ClientGivesUpPromptlyWhenTheServerDies) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    UnixReplyServer server(socketPath(), {});
    if (server.start()) {
      ::_exit(1);
    }
    [[maybe_unused]] const ssize_t written = ::write(ready[1], "r", 1);
    while (true) {
      ::pause();
    }
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);

  const auto started = std::chrono::steady_clock::now();
  bool registered = false;
  const auto reply = UnixReplyClient::awaitReply(UUID::random(), socketPath(), 120, [&] {
    registered = true;
    ::kill(child, SIGKILL);
    return true;
  });
  EXPECT_TRUE(registered);
  EXPECT_EQ(reply, std::nullopt);
  // Far below its own 120-second limit: the dead server's connection ended the wait.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
}

TEST_F(ReplySocketTest, ZeroTimeoutStillWaitsOneSecond) {
  auto server = startServer();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(UnixReplyClient::awaitReply(UUID::random(), socketPath(), 0), std::nullopt);
  // A receive limit of 0 would mean "no limit"; the wait must end, and not before a second.
  EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
}

// A fake reply server that answers one hello with `script`. It then either closes at once without
// reading, as a server that knows nothing of receipts may, or reads what the client sends after
// its hello until the client goes (into `sentAfterHello`).
std::optional<AgentReply> awaitAgainstScript(const std::filesystem::path& path, const UUID& id,
                                             const std::string& script, bool closesAtOnce,
                                             int* registrations, std::string* sentAfterHello) {
  const UniqueFd listener = listenAt(path);
  std::thread peer([&] {
    const UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    setReceiveTimeout(connection.get(), 10s);
    readLine(connection.get());
    sendAll(connection.get(), script);
    if (closesAtOnce) {
      return;
    }
    ::shutdown(connection.get(), SHUT_WR);
    *sentAfterHello = readToEnd(connection.get());
  });
  auto reply = UnixReplyClient::awaitReply(id, path, 5, [&] {
    ++*registrations;
    return true;
  });
  peer.join();
  return reply;
}

TEST_F(ReplySocketTest, ClientRefusesBadHandshakesAndForeignAnswers) {
  const UUID id = UUID::random();
  const std::string acknowledgement = "{\"registered\":true}\n";
  const std::string asksForReceipt = "{\"registered\":true,\"wantsReceipt\":true}\n";
  const std::string reply = encodeJSON(allowReply(id));
  const std::string paddedAcknowledgement = "{\"registered\":true}" + std::string(1004, ' ');
  const std::string paddedReply = reply + std::string(8191 - reply.size(), ' ');
  const std::string receipt(UnixReplyClient::receiptLine);
  struct Case {
    const char* name;
    std::string script;
    bool closesAtOnce;
    bool answered;
    int registrations;
    std::string sentAfterHello;  // when the server reads on
  };
  const std::vector<Case> cases = {
      {"plain exchange: no receipt asked, none sent", acknowledgement + reply + "\n", false, true,
       1, ""},
      {"plain exchange, server closes without reading", acknowledgement + reply + "\n", true, true,
       1, ""},
      {"receipt asked and sent", asksForReceipt + reply + "\n", false, true, 1, receipt},
      {"receipt asked, server closes without reading it", asksForReceipt + reply + "\n", true, true,
       1, ""},
      {"receipt asked, no answer", asksForReceipt, false, false, 1, ""},
      {"registered false", "{\"registered\":false}\n" + reply + "\n", false, false, 0, ""},
      {"acknowledgement not JSON", "yes\n" + reply + "\n", false, false, 0, ""},
      {"acknowledgement of 1023 bytes", paddedAcknowledgement + "\n" + reply + "\n", false, true, 1,
       ""},
      {"acknowledgement of 1024 bytes", paddedAcknowledgement + " \n" + reply + "\n", false, false,
       0, ""},
      {"closed after acknowledgement", acknowledgement, false, false, 1, ""},
      {"reply without line feed", acknowledgement + reply, false, false, 1, ""},
      {"reply of 8191 bytes", acknowledgement + paddedReply + "\n", false, true, 1, ""},
      {"reply of 8192 bytes", acknowledgement + paddedReply + " \n", false, false, 1, ""},
      {"reply not a record", acknowledgement + "{\"decision\":\"allow\"}\n", false, false, 1, ""},
      {"reply for another prompt", asksForReceipt + encodeJSON(allowReply(UUID::random())) + "\n",
       false, false, 1, ""},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    int registrations = 0;
    std::string sentAfterHello;
    const auto result = awaitAgainstScript(home.path / "fake.sock", id, testCase.script,
                                           testCase.closesAtOnce, &registrations, &sentAfterHello);
    EXPECT_EQ(result.has_value(), testCase.answered);
    if (result) {
      EXPECT_EQ(*result, allowReply(id));
    }
    EXPECT_EQ(registrations, testCase.registrations);
    EXPECT_EQ(sentAfterHello, testCase.sentAfterHello);
  }
}

TEST_F(ReplySocketTest, AnAnswerIsDeliveredOnlyOnceTheHookHasIt) {
  auto server = startServer();
  struct Case {
    const char* name;
    bool confirms;    // the hello says the hook sends a receipt
    bool reads;       // the hook reads the answer before it goes
    bool sendsReceipt;
    bool delivered;
  };
  const std::vector<Case> cases = {
      {"hook confirms", true, true, true, true},
      {"hook reads, then dies before confirming", true, true, false, false},
      {"hook dies unread", true, false, false, false},
      {"hook of an older kind, written only", false, true, false, true},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const UUID id = UUID::random();
    const UniqueFd hook = connectTo(socketPath());
    const AgentReplyHello hello{
        .replyId = id, .confirmsReceipt = testCase.confirms ? std::optional(true) : std::nullopt};
    ASSERT_TRUE(sendAll(hook.get(), encodeJSON(hello) + "\n"));
    // The server asks for the receipt that the hook offers, and only then waits for it.
    ASSERT_EQ(readLine(hook.get()), testCase.confirms
                                        ? "{\"registered\":true,\"wantsReceipt\":true}\n"
                                        : "{\"registered\":true}\n");
    ASSERT_TRUE(waitUntil([&] { return server->isPending(id); }));
    auto submitted = std::async(std::launch::async, [&] { return server->submit(allowReply(id)); });
    if (testCase.reads) {
      EXPECT_TRUE(readLine(hook.get()).has_value());
    }
    if (testCase.sendsReceipt) {
      EXPECT_TRUE(sendAll(hook.get(), UnixReplyClient::receiptLine));
    }
    if (!testCase.sendsReceipt && testCase.confirms) {
      ::shutdown(hook.get(), SHUT_RDWR);  // as the kernel does for a killed hook
    }
    ASSERT_EQ(submitted.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(submitted.get(), testCase.delivered);
  }
}

TEST_F(ReplySocketTest, ClientWaitEndsAtOneDeadlineHoweverTheReplyTrickles) {
  const UniqueFd listener = listenAt(home.path / "fake.sock");
  const UUID id = UUID::random();
  // A whole, valid answer, one byte every 200 ms: about 25 s in all if nobody stops it.
  const std::string reply = encodeJSON(allowReply(id)) + std::string(6, ' ') + "\n";
  std::thread peer([&] {
    const UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    setReceiveTimeout(connection.get(), 10s);
    readLine(connection.get());
    sendAll(connection.get(), "{\"registered\":true}\n");
    for (const char byte : reply) {
      if (!sendAll(connection.get(), std::string_view(&byte, 1))) {
        return;  // the client has gone
      }
      std::this_thread::sleep_for(200ms);
    }
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(UnixReplyClient::awaitReply(id, home.path / "fake.sock", 2));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  peer.join();
  EXPECT_GE(elapsed, 1900ms);
  EXPECT_LT(elapsed, 15s);
}

TEST_F(ReplySocketTest, ClientWithoutServerOrWithUnusablePathGetsNothing) {
  const UUID id = UUID::random();
  EXPECT_FALSE(UnixReplyClient::awaitReply(id, home.path / "absent.sock", 5));
  EXPECT_FALSE(UnixReplyClient::awaitReply(id, "/" + std::string(200, 'x'), 5));
  bool called = false;
  EXPECT_FALSE(UnixReplyClient::awaitReply(id, home.path / "absent.sock", 5, [&] {
    called = true;
    return true;
  }));
  EXPECT_FALSE(called);
}

TEST_F(ReplySocketTest, ThousandCyclesLeakNoDescriptorOrThread) {
  const std::size_t threadsBefore = threadCount();  // main, and any the sanitizers run
  const std::size_t descriptorsBefore = openDescriptorCount();
  auto server = startServer();
  // Warm up once, so lazily created process state is not counted as a leak.
  const auto cycle = [&] {
    const UUID id = UUID::random();
    std::optional<AgentReply> result;
    std::thread hook([&] { result = UnixReplyClient::awaitReply(id, socketPath(), 10); });
    const bool registered = waitUntil([&] { return server->isPending(id); });
    const bool submitted = registered && server->submit(allowReply(id));
    hook.join();
    return submitted && result == allowReply(id);
  };
  ASSERT_TRUE(cycle());
  // Listener and at most one worker not yet joined.
  ASSERT_TRUE(waitUntil([&] { return threadCount() <= threadsBefore + 2; })) << threadCount();
  const std::size_t descriptors = openDescriptorCount();
  const std::size_t threads = threadCount();

  int failures = 0;
  for (int i = 0; i < 1000; ++i) {
    failures += cycle() ? 0 : 1;
  }
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(waitUntil([&] { return threadCount() <= threads; })) << threadCount();
  EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() <= descriptors; }))
      << openDescriptorCount() << " > " << descriptors;

  server->stop();
  EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBefore; })) << threadCount();
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);  // listening socket and pipe closed too
}

}  // namespace
}  // namespace tarvel
