#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/RawSockets.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace quoya {
namespace {

using namespace std::chrono_literals;
using tarvel::UniqueFd;

using tarvel::Testing::agentDocument;
using tarvel::Testing::ChildProcess;

struct Outcome {
  std::string standardOutput;
  std::string standardError;
  int status = -1;  // the exit status, -1 when a signal ended it
  int signal = 0;
  bool exitedBeforeInputClosed = false;
};

struct Input {
  std::string bytes;
  std::chrono::milliseconds keepOpen{0};  // how long stdin stays open after the bytes
  bool closeStandardInput = false;         // run with descriptor 0 closed
  bool closeAnswerPipe = false;            // the agent stops reading before the answer
};

class QuoyaCodexHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(std::filesystem::exists(hookPath)) << hookPath;
  }

  // A real listening socket where the island display would be.
  UniqueFd listen(int backlog = 16) const {
    UniqueFd socket = tarvel::Testing::listenAt(socketPath, backlog);
    EXPECT_TRUE(socket) << socketPath;
    return socket;
  }

  // Everything one connection sent, or absent when none arrived within `wait`.
  static std::optional<std::string> receive(int listener, std::chrono::milliseconds wait = 300ms) {
    pollfd ready{.fd = listener, .events = POLLIN, .revents = 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) != 1) {
      return std::nullopt;
    }
    const UniqueFd connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    std::string bytes;
    std::array<char, 4096> block{};
    ssize_t count = 0;
    while ((count = ::read(connection.get(), block.data(), block.size())) > 0) {
      bytes.append(block.data(), static_cast<std::size_t>(count));
    }
    return bytes;
  }

  Outcome run(const Input& input, const std::vector<std::string>& arguments = {}) const {
    std::vector<std::string> command{hookPath};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess hook({.command = command,
                       .home = home,
                       .input = input.bytes,
                       .keepInputOpen = input.keepOpen > 0ms,
                       .withoutInput = input.closeStandardInput,
                       .outputUnread = input.closeAnswerPipe});
    Outcome outcome;
    if (input.keepOpen > 0ms) {
      outcome.exitedBeforeInputClosed =
          tarvel::Testing::Waiting::poll([&] { return hook.hasEnded(); }, input.keepOpen);
      hook.closeInput();
    }
    outcome.status = hook.wait();
    outcome.signal = hook.endingSignal();
    outcome.standardOutput = hook.standardOutput();
    outcome.standardError = hook.standardError();
    return outcome;
  }

  static void expectAnswer(const Outcome& outcome) {
    EXPECT_EQ(outcome.standardOutput, "{}\n");
    EXPECT_EQ(outcome.standardError, "");
    EXPECT_EQ(outcome.status, 0) << "signal " << outcome.signal;
  }

  const std::string hookPath = tarvel::Testing::program("QuoyaCodexHook");
  tarvel::Testing::TemporaryFolder temporary{"hook"};
  const std::filesystem::path home = temporary.path;
  const std::filesystem::path socketPath = home / ".quoya-island" / "events.sock";
};

TEST_F(QuoyaCodexHookTest, DeliversOneEventLineAndAnswers) {
  const UniqueFd listener = listen();
  struct Case {
    const char* file;
    std::vector<std::string> arguments;
    const char* provider;
    const char* hookEvent;
  };
  const Case cases[] = {
      {"codex/SessionStart.json", {}, "codex", "SessionStart"},
      {"claude/PermissionRequest.json", {"--provider", "claude-code"}, "claude-code",
       "PermissionRequest"},
      {"gemini/BeforeTool.json", {"--provider", "Gemini-CLI"}, "gemini-cli", "PreToolUse"},
      // Three arguments: the provider stays Codex.
      {"codex/Stop.json", {"--provider", "grok", "extra"}, "codex", "Stop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    expectAnswer(run({.bytes = agentDocument(c.file)}, c.arguments));
    const auto line = receive(listener.get());
    ASSERT_TRUE(line);
    ASSERT_FALSE(line->empty());
    EXPECT_EQ(line->find('\n'), line->size() - 1) << "exactly one line";
    const auto event = tarvel::decodeEventLine(*line);
    ASSERT_TRUE(event) << *line;
    EXPECT_EQ(event->provider.rawValue, c.provider);
    EXPECT_EQ(event->metadata->at("hookEvent"), c.hookEvent);
    EXPECT_EQ(*line, tarvel::encodeEventLine(*event)) << "the shared encoder's bytes";
  }
}

TEST_F(QuoyaCodexHookTest, BadInputSendsNothingAndAnswersTheSame) {
  const UniqueFd listener = listen();
  std::string everyByte;
  for (int byte = 0; byte < 256; ++byte) {
    everyByte.push_back(static_cast<char>(byte));
  }
  const std::string deep(1'048'576, '[');
  const std::pair<const char*, Input> cases[] = {
      {"empty", {}},
      {"every byte value", {.bytes = everyByte}},
      {"invalid UTF-8", {.bytes = "{\"session_id\":\"\xFF\",\"hook_event_name\":\"Stop\"}"}},
      {"deep nesting", {.bytes = deep}},
      {"not an object", {.bytes = "[1,2,3]"}},
      {"unhandled event", {.bytes = agentDocument("claude/PostToolBatch.json")}},
      {"document, NUL byte, more", {.bytes = agentDocument("codex/Stop.json") + std::string("\0x}", 3)}},
      {"standard input closed", {.closeStandardInput = true}},
      {"over the size limit", {.bytes = std::string(3 * 1'048'576, ' ')}},
  };
  for (const auto& [name, input] : cases) {
    SCOPED_TRACE(name);
    expectAnswer(run(input));
    EXPECT_FALSE(receive(listener.get(), 50ms));
  }
  const Outcome grok = run({.bytes = agentDocument("codex/SessionStart.json")}, {"--provider", "grok"});
  expectAnswer(grok);
  EXPECT_FALSE(receive(listener.get(), 50ms));
  // Alone, --version is a person's question (agents never pass it).
  EXPECT_EQ(run({}, {"--version"}).standardOutput,
            std::string("QuoyaCodexHook ") + TARVEL_VERSION + "\n");
}

TEST_F(QuoyaCodexHookTest, SizeLimitIsExactlyOneMebibyte) {
  const UniqueFd listener = listen();
  const std::string document = agentDocument("codex/SessionStart.json");
  const std::string exact = document + std::string(1'048'576 - document.size(), ' ');
  expectAnswer(run({.bytes = exact}));
  EXPECT_TRUE(receive(listener.get()));
  expectAnswer(run({.bytes = exact + " "}));
  EXPECT_FALSE(receive(listener.get(), 100ms));
}

TEST_F(QuoyaCodexHookTest, InputLeftOpenIsAbandonedAtTheDeadline) {
  const UniqueFd listener = listen();
  const Outcome outcome = run({.bytes = agentDocument("codex/SessionStart.json"), .keepOpen = 5s});
  EXPECT_TRUE(outcome.exitedBeforeInputClosed);
  expectAnswer(outcome);
  EXPECT_FALSE(receive(listener.get(), 100ms));
}

TEST_F(QuoyaCodexHookTest, DisplayAbsentBusyOrNotReading) {
  const std::string document = agentDocument("codex/UserPromptSubmit.json");
  {
    SCOPED_TRACE("no socket");
    expectAnswer(run({.bytes = document}));
  }
  {
    SCOPED_TRACE("socket file left by a dead display");
    { const UniqueFd dead = listen(); }
    expectAnswer(run({.bytes = document}));
    std::filesystem::remove(socketPath);
  }
  {
    SCOPED_TRACE("full backlog");
    const UniqueFd listener = listen(0);
    std::vector<UniqueFd> waiting;
    for (int i = 0; i < 8; ++i) {
      UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
      ::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
      waiting.push_back(std::move(client));
    }
    expectAnswer(run({.bytes = document}));
  }
  std::filesystem::remove(socketPath);
  {
    SCOPED_TRACE("accepts but never reads");
    const UniqueFd listener = listen();
    std::thread acceptor([&] {
      pollfd ready{.fd = listener.get(), .events = POLLIN, .revents = 0};
      if (::poll(&ready, 1, 2000) == 1) {
        const UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::this_thread::sleep_for(1500ms);
      }
    });
    expectAnswer(run({.bytes = document}));
    acceptor.join();
  }
}

TEST_F(QuoyaCodexHookTest, ClosedAnswerPipeStillExitsZero) {
  const UniqueFd listener = listen();
  const Outcome outcome = run({.bytes = agentDocument("codex/Stop.json"), .closeAnswerPipe = true});
  EXPECT_EQ(outcome.signal, 0) << "killed by signal " << outcome.signal;
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.standardError, "");
  EXPECT_TRUE(receive(listener.get())) << "the event is still delivered";
}

}  // namespace
}  // namespace quoya
