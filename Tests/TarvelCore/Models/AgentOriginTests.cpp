#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "TarvelCore/Models/AgentOrigin.hpp"
#include "TarvelCore/Models/AgentProcessIdentity.hpp"

namespace tarvel {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

const Date recordedStart = Dates::fromSecondsSince1970(1'700'000'000.0);

std::optional<Date> noStartTime(std::int32_t) { return std::nullopt; }
std::optional<std::string> noTTY(std::int32_t) { return std::nullopt; }

TEST(AgentOrigin, CaptureTakesTheFirstNonBlankVariableOfEachList) {
  struct Case {
    const char* name;
    AgentOrigin::Environment environment;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> terminalSessionIdentifier;
  };
  const Case cases[] = {
      {"program alone names the bundle", {{"TERM_PROGRAM", "ITERM.app"}},
       "com.googlecode.iterm2", std::nullopt},
      {"bundle variable wins over program",
       {{"TERM_PROGRAM", "iTerm.app"}, {"__CFBundleIdentifier", "com.example.Host"}},
       "com.example.Host", std::nullopt},
      {"our variable wins over both",
       {{"TERM_PROGRAM", "iTerm.app"},
        {"__CFBundleIdentifier", "com.example.Host"},
        {"TARVEL_BUNDLE_IDENTIFIER", "com.example.Mine"}},
       "com.example.Mine", std::nullopt},
      {"blank values count as absent",
       {{"TARVEL_BUNDLE_IDENTIFIER", " \u3000"},
        {"__CFBundleIdentifier", "\u00a0"},
        {"TERM_SESSION_ID", "  "},
        {"ITERM_SESSION_ID", "w0t0p0:ABC"}},
       std::nullopt, "w0t0p0:ABC"},
      {"later session variables in order", {{"WEZTERM_PANE", "3"}, {"KITTY_WINDOW_ID", "9"}},
       std::nullopt, "3"},
      {"unknown program has no bundle", {{"TERM_PROGRAM", "xterm"}, {"KITTY_WINDOW_ID", " 9 "}},
       std::nullopt, "9"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    const auto origin = AgentOrigin::captured(item.environment, 0, noStartTime, noTTY);
    ASSERT_TRUE(origin.has_value());
    EXPECT_EQ(origin->bundleIdentifier, item.bundleIdentifier);
    EXPECT_EQ(origin->terminalSessionIdentifier, item.terminalSessionIdentifier);
  }
}

TEST(AgentOrigin, CaptureAsksTheLookupsOnlyForARealProcess) {
  int startLookups = 0;
  const auto startLookup = [&](std::int32_t pid) -> std::optional<Date> {
    ++startLookups;
    EXPECT_EQ(pid, 4242);
    return recordedStart;
  };
  const auto ttyLookup = [](std::int32_t) -> std::optional<std::string> { return "/dev/pts/7"; };

  const auto origin = AgentOrigin::captured({}, 4242, startLookup, ttyLookup);
  ASSERT_TRUE(origin.has_value());
  EXPECT_EQ(origin->processIdentifier, 4242);
  EXPECT_EQ(origin->processStartedAt, recordedStart);
  EXPECT_EQ(origin->tty, "/dev/pts/7");

  const auto withVariable = AgentOrigin::captured({{"TTY", "/dev/ttys003"}}, 4242, startLookup,
                                                  ttyLookup);
  EXPECT_EQ(withVariable->tty, "/dev/ttys003");

  for (const std::int32_t pid : {0, -1, INT32_MIN}) {
    SCOPED_TRACE(pid);
    startLookups = 0;
    const auto none = AgentOrigin::captured({}, pid, startLookup, noTTY);
    EXPECT_FALSE(none.has_value());
    EXPECT_EQ(startLookups, 0);
    const auto ttyOnly = AgentOrigin::captured({}, pid, startLookup, ttyLookup);
    ASSERT_TRUE(ttyOnly.has_value());
    EXPECT_FALSE(ttyOnly->processIdentifier.has_value());
    EXPECT_FALSE(ttyOnly->processStartedAt.has_value());
  }
}

TEST(AgentOrigin, ClassifiesTerminalsAndGraphicalApplications) {
  struct Case {
    AgentOrigin origin;
    bool terminal;
    bool graphical;
  };
  const Case cases[] = {
      {{.terminalProgram = "vscode"}, false, true},
      {{.bundleIdentifier = "com.apple.Terminal", .terminalProgram = "Zed"}, false, true},
      {{.terminalProgram = "WezTerm"}, true, false},
      {{.bundleIdentifier = "com.microsoft.VSCode", .terminalProgram = "ghostty"}, true, false},
      {{.bundleIdentifier = "com.example.Unknown"}, false, true},
      {{.bundleIdentifier = "org.tabby"}, true, false},
      {{.bundleIdentifier = "", .terminalProgram = "xterm"}, false, false},
      {{.bundleIdentifier = "com.apple.terminal"}, false, true},  // bundles compare exactly
      {{.tty = "/dev/pts/1"}, false, false},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(encodeJSON(item.origin));
    EXPECT_EQ(item.origin.isTerminalEmulator(), item.terminal);
    EXPECT_EQ(item.origin.isGraphicalApplication(), item.graphical);
  }
  EXPECT_TRUE(AgentOrigin{}.isEmpty());
  EXPECT_FALSE(AgentOrigin{.tty = ""}.isEmpty());
  EXPECT_EQ(AgentOrigin::bundleIdentifierForProgram("Apple_Terminal"), "com.apple.Terminal");
  EXPECT_EQ(AgentOrigin::bundleIdentifierForProgram("zed"), std::nullopt);
}

TEST(AgentOrigin, MatchesOnlyTheSameLiveProcessWithinAMillisecond) {
  const auto alive = [](std::int32_t) { return true; };
  const auto dead = [](std::int32_t) { return false; };
  const auto startedAt = [](Date date) {
    return [date](std::int32_t) -> std::optional<Date> { return date; };
  };
  const AgentOrigin recorded{.processIdentifier = 77, .processStartedAt = recordedStart};

  EXPECT_TRUE(recorded.matchesRunningProcess(alive, startedAt(recordedStart)));
  EXPECT_TRUE(recorded.matchesRunningProcess(alive, startedAt(recordedStart + microseconds(500))));
  EXPECT_TRUE(recorded.matchesRunningProcess(alive, startedAt(recordedStart - microseconds(999))));
  EXPECT_FALSE(recorded.matchesRunningProcess(alive, startedAt(recordedStart + milliseconds(1))));
  EXPECT_FALSE(recorded.matchesRunningProcess(alive, startedAt(recordedStart - milliseconds(1))));
  EXPECT_FALSE(recorded.matchesRunningProcess(alive, noStartTime));
  EXPECT_FALSE(recorded.matchesRunningProcess(dead, startedAt(recordedStart)));

  const AgentOrigin noStart{.processIdentifier = 77};
  EXPECT_TRUE(noStart.matchesRunningProcess(alive, noStartTime));
  const AgentOrigin noProcess{.processStartedAt = recordedStart};
  EXPECT_FALSE(noProcess.matchesRunningProcess(alive, startedAt(recordedStart)));
}

TEST(AgentOrigin, TmuxServerAndPaneAreCapturedAndWrittenOnlyWhenPresent) {
  const auto inside = AgentOrigin::captured(
      {{"TMUX", "/tmp/tmux-1000/default,4242,0"}, {"TMUX_PANE", "%3"}}, 0, noStartTime, noTTY);
  ASSERT_TRUE(inside.has_value());  // tmux alone is worth recording
  EXPECT_EQ(inside->tmuxPane, "%3");
  EXPECT_EQ(inside->tmuxSocket(), "/tmp/tmux-1000/default");
  const std::string text = encodeJSON(*inside);
  EXPECT_EQ(text, R"({"tmux":"/tmp/tmux-1000/default,4242,0","tmuxPane":"%3"})");
  EXPECT_EQ(decodeJSONText<AgentOrigin>(text).optional(), inside);

  const auto outside = AgentOrigin::captured({{"TTY", "/dev/pts/2"}, {"TMUX", " "}}, 0,
                                             noStartTime, noTTY);
  ASSERT_TRUE(outside.has_value());
  EXPECT_EQ(outside->tmuxSocket(), std::nullopt);
  EXPECT_EQ(encodeJSON(*outside).find("tmux"), std::string::npos);
  EXPECT_EQ(AgentOrigin{.tmux = ",1,0"}.tmuxSocket(), std::nullopt);
}

TEST(AgentOrigin, HashFollowsEquality) {
  const AgentOrigin first{.processIdentifier = 3, .tty = "/dev/pts/1"};
  AgentOrigin second = first;
  EXPECT_EQ(std::hash<AgentOrigin>{}(first), std::hash<AgentOrigin>{}(second));
  second.tty.reset();
  second.terminalProgram = "/dev/pts/1";
  EXPECT_NE(first, second);
  EXPECT_NE(std::hash<AgentOrigin>{}(first), std::hash<AgentOrigin>{}(second));
}

TEST(AgentProcessIdentity, NamesTerminalDevices) {
  EXPECT_EQ(AgentProcessIdentity::ttyPath(0), std::nullopt);
  EXPECT_EQ(AgentProcessIdentity::ttyPath(~std::uint64_t{0}), std::nullopt);
  EXPECT_EQ(AgentProcessIdentity::ttyPath(0xFFFF'FFFF), std::nullopt);
  EXPECT_EQ(AgentProcessIdentity::ttyPath(makedev(136, 5)), "/dev/pts/5");
  EXPECT_EQ(AgentProcessIdentity::ttyPath(makedev(136, 300)), "/dev/pts/300");
  EXPECT_EQ(AgentProcessIdentity::ttyPath(makedev(511, 77)), std::nullopt);
  if (::access("/sys/dev/char/5:0/uevent", R_OK) == 0) {
    EXPECT_EQ(AgentProcessIdentity::ttyPath(makedev(5, 0)), "/dev/tty");
  }
}

TEST(AgentProcessIdentity, ImpossibleProcessesHaveNothing) {
  for (const std::int32_t pid : {0, -1, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(pid);
    EXPECT_EQ(AgentProcessIdentity::startedAt(pid), std::nullopt);
    EXPECT_EQ(AgentProcessIdentity::controllingTTY(pid), std::nullopt);
    EXPECT_FALSE(AgentProcessIdentity::isRunning(pid));
  }
}

// A child process on a fresh pseudo-terminal, with an awkward command name, that stays until the
// test lets it go.
class PtyChild {
 public:
  PtyChild() {
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      return;
    }
    ptyName = name;
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
      return;
    }
    pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      ::prctl(PR_SET_NAME, "a) b (c", 0, 0, 0);
      ::setsid();
      const char status = ::ioctl(slave, TIOCSCTTY, 0) == 0 ? 'y' : 'n';
      (void)!::write(ready[1], &status, 1);
      char ignored;
      (void)!::read(release[0], &ignored, 1);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    releaseFd = release[1];
    char status = 0;
    while (::read(ready[0], &status, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    controlling = status == 'y';
  }
  PtyChild(const PtyChild&) = delete;
  PtyChild& operator=(const PtyChild&) = delete;
  ~PtyChild() {
    reap();
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }

  // Lets the child end and collects it, so its process id is free again.
  void reap() {
    if (releaseFd >= 0) {
      ::close(releaseFd);
      releaseFd = -1;
    }
    if (pid > 0) {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      pid = -1;
    }
  }

  pid_t pid = -1;
  std::string ptyName;
  bool controlling = false;

 private:
  int master = -1;
  int slave = -1;
  int releaseFd = -1;
};

TEST(AgentProcessIdentity, StartTimeOfThisProcessIsStable) {
  const auto first = AgentProcessIdentity::startedAt(::getpid());
  const auto second = AgentProcessIdentity::startedAt(::getpid());
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first, second);
  EXPECT_LE(*first, Dates::now());

  const auto origin = AgentOrigin::captured({}, ::getpid());
  ASSERT_TRUE(origin.has_value());
  EXPECT_EQ(origin->processStartedAt, first);
  EXPECT_TRUE(origin->matchesRunningProcess());

  // The same id with another start time is another process that reused the id.
  AgentOrigin reused = *origin;
  reused.processStartedAt = *first - std::chrono::seconds(1);
  EXPECT_FALSE(reused.matchesRunningProcess());
}

TEST(AgentProcessIdentity, ChildOnAPseudoTerminalReportsItUntilItIsGone) {
  PtyChild child;
  if (child.ptyName.empty()) {
    GTEST_SKIP() << "no pseudo-terminals here";
  }
  ASSERT_GT(child.pid, 0);
  ASSERT_TRUE(child.controlling);

  EXPECT_EQ(AgentProcessIdentity::controllingTTY(child.pid), child.ptyName);
  const auto started = AgentProcessIdentity::startedAt(child.pid);
  ASSERT_TRUE(started.has_value());
  EXPECT_GE(*started, *AgentProcessIdentity::startedAt(::getpid()));
  EXPECT_EQ(AgentProcessIdentity::startedAt(child.pid), started);

  const auto origin = AgentOrigin::captured({{"TERM_PROGRAM", "kitty"}}, child.pid);
  ASSERT_TRUE(origin.has_value());
  EXPECT_EQ(origin->tty, child.ptyName);
  EXPECT_EQ(origin->processStartedAt, started);
  EXPECT_EQ(origin->bundleIdentifier, "net.kovidgoyal.kitty");
  EXPECT_TRUE(origin->matchesRunningProcess());

  const pid_t pid = child.pid;
  child.reap();
  EXPECT_FALSE(AgentProcessIdentity::isRunning(pid));
  EXPECT_EQ(AgentProcessIdentity::startedAt(pid), std::nullopt);
  EXPECT_EQ(AgentProcessIdentity::controllingTTY(pid), std::nullopt);
  EXPECT_FALSE(origin->matchesRunningProcess());
}

TEST(AgentProcessIdentity, CurrentEnvironmentKeepsValuesWithEqualsSigns) {
  ASSERT_EQ(::setenv("TARVEL_TEST_VALUE", "a=b= c", 1), 0);
  const auto environment = AgentProcessIdentity::currentEnvironment();
  ::unsetenv("TARVEL_TEST_VALUE");
  ASSERT_TRUE(environment.contains("TARVEL_TEST_VALUE"));
  EXPECT_EQ(environment.at("TARVEL_TEST_VALUE"), "a=b= c");
}

}  // namespace
}  // namespace tarvel
