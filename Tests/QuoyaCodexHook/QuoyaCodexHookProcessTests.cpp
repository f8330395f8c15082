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

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace quoya {
namespace {

using namespace std::chrono_literals;
using tarvel::UniqueFd;

const std::string hookPath = std::string(TARVEL_BINARY_DIR) + "/bin/QuoyaCodexHook";

std::string fixture(const std::string& name) {
  std::ifstream file(std::string(TARVEL_FIXTURES_DIR) + "/agents/" + name, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

struct Outcome {
  std::string standardOutput;
  std::string standardError;
  int status = -1;
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
    std::string pattern = (std::filesystem::temp_directory_path() / "hookXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    home = pattern;
    socketPath = home / ".quoya-island" / "events.sock";
    ASSERT_TRUE(std::filesystem::exists(hookPath)) << hookPath;
  }
  void TearDown() override { std::filesystem::remove_all(home); }

  // A real listening socket where the island display would be.
  UniqueFd listen(int backlog = 16) {
    std::filesystem::create_directories(socketPath.parent_path());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::listen(fd.get(), backlog), 0);
    return fd;
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
    std::array<int, 2> in{}, out{}, err{};
    EXPECT_EQ(::pipe2(in.data(), O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out.data(), O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err.data(), O_CLOEXEC), 0);
    std::vector<char*> argv{const_cast<char*>(hookPath.c_str())};
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const std::string homeVariable = "HOME=" + home.string();
    std::array<char*, 2> environment{const_cast<char*>(homeVariable.c_str()), nullptr};
    const pid_t child = ::fork();
    if (child == 0) {
      if (input.closeStandardInput) {
        ::close(STDIN_FILENO);
      } else {
        ::dup2(in[0], STDIN_FILENO);
      }
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      ::execve(hookPath.c_str(), argv.data(), environment.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    UniqueFd inputEnd(in[1]);
    UniqueFd outputEnd(out[0]);
    UniqueFd errorEnd(err[0]);
    if (input.closeAnswerPipe) {
      outputEnd.reset();
    }
    std::size_t offset = 0;
    while (offset < input.bytes.size()) {
      const ssize_t written =
          ::write(inputEnd.get(), input.bytes.data() + offset, input.bytes.size() - offset);
      if (written <= 0) {
        break;  // the hook stopped reading
      }
      offset += static_cast<std::size_t>(written);
    }
    Outcome outcome;
    int status = 0;
    const auto until = std::chrono::steady_clock::now() + input.keepOpen;
    while (std::chrono::steady_clock::now() < until) {
      if (::waitpid(child, &status, WNOHANG) == child) {
        outcome.exitedBeforeInputClosed = true;
        outcome.status = status;
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    inputEnd.reset();
    std::array<char, 4096> block{};
    ssize_t count = 0;
    while (outputEnd && (count = ::read(outputEnd.get(), block.data(), block.size())) > 0) {
      outcome.standardOutput.append(block.data(), static_cast<std::size_t>(count));
    }
    while ((count = ::read(errorEnd.get(), block.data(), block.size())) > 0) {
      outcome.standardError.append(block.data(), static_cast<std::size_t>(count));
    }
    if (!outcome.exitedBeforeInputClosed) {
      ::waitpid(child, &status, 0);
      outcome.status = status;
    }
    return outcome;
  }

  static void expectAnswer(const Outcome& outcome) {
    EXPECT_EQ(outcome.standardOutput, "{}\n");
    EXPECT_EQ(outcome.standardError, "");
    EXPECT_TRUE(WIFEXITED(outcome.status)) << outcome.status;
    EXPECT_EQ(WEXITSTATUS(outcome.status), 0);
  }

  std::filesystem::path home;
  std::filesystem::path socketPath;
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
    expectAnswer(run({.bytes = fixture(c.file)}, c.arguments));
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
      {"unhandled event", {.bytes = fixture("claude/PostToolBatch.json")}},
      {"document, NUL byte, more", {.bytes = fixture("codex/Stop.json") + std::string("\0x}", 3)}},
      {"standard input closed", {.closeStandardInput = true}},
      {"over the size limit", {.bytes = std::string(3 * 1'048'576, ' ')}},
  };
  for (const auto& [name, input] : cases) {
    SCOPED_TRACE(name);
    expectAnswer(run(input));
    EXPECT_FALSE(receive(listener.get(), 50ms));
  }
  const Outcome grok = run({.bytes = fixture("codex/SessionStart.json")}, {"--provider", "grok"});
  expectAnswer(grok);
  EXPECT_FALSE(receive(listener.get(), 50ms));
  // Alone, --version is a person's question (agents never pass it).
  EXPECT_EQ(run({}, {"--version"}).standardOutput,
            std::string("QuoyaCodexHook ") + TARVEL_VERSION + "\n");
}

TEST_F(QuoyaCodexHookTest, SizeLimitIsExactlyOneMebibyte) {
  const UniqueFd listener = listen();
  const std::string document = fixture("codex/SessionStart.json");
  const std::string exact = document + std::string(1'048'576 - document.size(), ' ');
  expectAnswer(run({.bytes = exact}));
  EXPECT_TRUE(receive(listener.get()));
  expectAnswer(run({.bytes = exact + " "}));
  EXPECT_FALSE(receive(listener.get(), 100ms));
}

TEST_F(QuoyaCodexHookTest, InputLeftOpenIsAbandonedAtTheDeadline) {
  const UniqueFd listener = listen();
  const Outcome outcome = run({.bytes = fixture("codex/SessionStart.json"), .keepOpen = 5s});
  EXPECT_TRUE(outcome.exitedBeforeInputClosed);
  expectAnswer(outcome);
  EXPECT_FALSE(receive(listener.get(), 100ms));
}

TEST_F(QuoyaCodexHookTest, DisplayAbsentBusyOrNotReading) {
  const std::string document = fixture("codex/UserPromptSubmit.json");
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
  const Outcome outcome = run({.bytes = fixture("codex/Stop.json"), .closeAnswerPipe = true});
  EXPECT_TRUE(WIFEXITED(outcome.status)) << "killed by signal " << WTERMSIG(outcome.status);
  EXPECT_EQ(WEXITSTATUS(outcome.status), 0);
  EXPECT_EQ(outcome.standardError, "");
  EXPECT_TRUE(receive(listener.get())) << "the event is still delivered";
}

}  // namespace
}  // namespace quoya
