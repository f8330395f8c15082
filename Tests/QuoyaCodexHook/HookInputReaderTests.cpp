#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QuoyaCodexHook/HookCommand.hpp"
#include "QuoyaCodexHook/HookInputReader.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace quoya {
namespace {

using namespace std::chrono_literals;
using tarvel::UniqueFd;

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

Pipe makePipe(int flags = 0) {
  std::array<int, 2> ends{};
  EXPECT_EQ(::pipe2(ends.data(), O_CLOEXEC | flags), 0);
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

TEST(HookInputReader, SizeLimitIsInclusive) {
  const HookInputReader::Limits limits{.maximumInputBytes = 10};
  for (const std::size_t size : {std::size_t{0}, std::size_t{9}, std::size_t{10}, std::size_t{11}}) {
    SCOPED_TRACE(size);
    Pipe pipe = makePipe();
    writeAll(pipe.writeEnd.get(), std::string(size, 'x'));
    pipe.writeEnd.reset();
    const auto input = HookInputReader::read(pipe.readEnd.get(), limits);
    if (size <= 10) {
      EXPECT_EQ(input, std::string(size, 'x'));
    } else {
      EXPECT_FALSE(input);
    }
  }
}

TEST(HookInputReader, DeadlineDropsEvenACompleteDocument) {
  Pipe pipe = makePipe();
  writeAll(pipe.writeEnd.get(), R"({"session_id":"s","hook_event_name":"Stop"})");
  EXPECT_FALSE(HookInputReader::read(pipe.readEnd.get(), {.deadline = 120ms}));
  // The descriptor stays open and usable.
  EXPECT_EQ(::fcntl(pipe.readEnd.get(), F_GETFD), FD_CLOEXEC);
}

TEST(HookInputReader, InputAlreadyThereIsTakenPastTheDeadline) {
  // A hook kept off the processor until its deadline has passed (a burst of hooks on a busy
  // machine) still takes a document its agent finished writing; only waiting is bounded.
  const std::string document = R"({"session_id":"s","hook_event_name":"Stop"})";
  Pipe pipe = makePipe();
  writeAll(pipe.writeEnd.get(), document);
  pipe.writeEnd.reset();
  EXPECT_EQ(HookInputReader::read(pipe.readEnd.get(), {.deadline = 0ms}), document);
  Pipe open = makePipe();
  writeAll(open.writeEnd.get(), document);
  EXPECT_FALSE(HookInputReader::read(open.readEnd.get(), {.deadline = 0ms}));
}

TEST(HookInputReader, InvalidDescriptorGivesNothing) {
  EXPECT_FALSE(HookInputReader::read(-1, {.deadline = 120ms}));
}

void ignore(int) {}

TEST(HookInputReader, SignalsDuringPollAndReadAreRetried) {
  struct sigaction action {};
  action.sa_handler = ignore;  // no SA_RESTART: poll and read fail with EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
  const itimerval every5ms{.it_interval = {0, 5000}, .it_value = {0, 5000}};
  ASSERT_EQ(::setitimer(ITIMER_REAL, &every5ms, nullptr), 0);

  Pipe pipe = makePipe();
  std::thread writer([&] {
    std::this_thread::sleep_for(100ms);
    writeAll(pipe.writeEnd.get(), "{\"a\":");
    std::this_thread::sleep_for(100ms);
    writeAll(pipe.writeEnd.get(), "1}");
    pipe.writeEnd.reset();
  });
  // A generous deadline: what is tested here is the waiting, not the limit.
  const auto input = HookInputReader::read(pipe.readEnd.get(), {.deadline = 30s});
  writer.join();
  const itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(input, "{\"a\":1}");
}

TEST(HookInputReader, NonBlockingInputIsWaitedFor) {
  Pipe pipe = makePipe(O_NONBLOCK);
  std::thread writer([&] {
    std::this_thread::sleep_for(100ms);
    writeAll(pipe.writeEnd.get(), "late");
    pipe.writeEnd.reset();
  });
  // A generous deadline: what is tested here is the waiting, not the limit.
  const auto input = HookInputReader::read(pipe.readEnd.get(), {.deadline = 30s});
  writer.join();
  EXPECT_EQ(input, "late");
}

TEST(HookCommand, ProviderArguments) {
  struct Case {
    std::vector<std::string_view> arguments;
    const char* provider;
  };
  const Case cases[] = {
      {{}, "codex"},
      {{"--provider"}, "codex"},
      {{"--provider", "Gemini-CLI"}, "gemini-cli"},
      {{"--provider", "claude-code"}, "claude-code"},
      {{"--provider", "grok", "extra"}, "codex"},
      {{"--Provider", "grok"}, "codex"},
      {{"grok", "--provider"}, "codex"},
      {{"--provider", ""}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.size());
    EXPECT_EQ(HookCommand::provider(c.arguments).rawValue, c.provider);
  }
}

}  // namespace
}  // namespace quoya
