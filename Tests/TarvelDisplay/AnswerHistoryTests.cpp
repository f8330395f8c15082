#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Sockets/UnixReplyClient.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"

namespace tarvel::Display {
namespace {

using namespace std::chrono_literals;
using Testing::allowAnswer;
using Testing::ChildProcess;
using Testing::eventually;
using Testing::program;
// A captured hook document of an agent with its session id replaced.
constexpr auto document = [](std::string_view agent, std::string_view name,
                             std::string_view session) {
  return Testing::agentDocument(agent, name, session);
};

// A real `tarvel serve` in a temporary HOME, real hooks, the API and `tarvel log`.
class AnswerHistoryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    hooks.clear();
    stopService();
  }

  void startService(std::vector<std::string> options) {
    std::vector<std::string> command{program("tarvel"), "serve", "--no-notify"};
    command.insert(command.end(), options.begin(), options.end());
    service = std::make_unique<ChildProcess>(command, home);
    ASSERT_TRUE(eventually([&] {
      return UnixSocketSupport::isPathAccepting(directory / "api.sock") || service->hasEnded();
    }));
    ASSERT_FALSE(service->hasEnded()) << service->standardError();
  }
  // Stops the service as a person does (its held prompts end with it); its exit status.
  int stopService() {
    if (!service) {
      return 0;
    }
    service->signal(SIGTERM);
    const int status = service->wait();
    serviceLog = service->standardError();
    service.reset();
    return status;
  }

  ChildProcess& startHook(const std::string& document,
                          const std::string& provider = "claude-code") {
    hooks.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{program("tarvel-hook"), "--provider", provider}, home, document));
    return *hooks.back();
  }

  Json state() {
    const auto response = ApiClient::request(directory / "api.sock", "GET", "/v1/state");
    if (!response) {
      return Json::object();
    }
    auto parsed = Coding::parse(response->body);
    return parsed ? *parsed : Json::object();
  }
  // The replyId of the one live prompt of `session` once it is listed.
  std::string livePrompt(const std::string& session) {
    std::string replyId;
    EXPECT_TRUE(eventually([&] {
      for (const Json& prompt : state().value("prompts", Json::array())) {
        if (prompt.value("sessionId", "") == session) {
          replyId = prompt.value("replyId", "");
        }
      }
      return !replyId.empty();
    })) << session;
    return replyId;
  }
  int answer(const std::string& replyId, std::string_view body, std::string_view from = {}) {
    const std::string path =
        "/v1/prompts/" + replyId + (from.empty() ? "" : "?from=" + std::string(from));
    const auto response = ApiClient::request(directory / "api.sock", "POST", path, body,
                                             std::chrono::seconds(30));  // generous when busy
    return response ? response->status : 0;
  }

  // `tarvel log` with `arguments`; its output when it exits 0.
  std::string log(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{program("tarvel"), "log"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess process(command, home);
    EXPECT_EQ(process.wait(), 0) << process.standardError();
    return process.standardOutput();
  }
  // The rows `tarvel log --json` prints, as "outcome by session".
  std::vector<std::string> rows(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), "--json");
    std::vector<std::string> list;
    const auto parsed = Coding::parse(log(arguments));
    for (const Json& row : parsed ? *parsed : Json::array()) {
      list.push_back(row.value("outcome", "") + " " + row.value("by", "") + " " +
                     row.value("sessionId", ""));
    }
    return list;
  }

  Testing::TemporaryFolder temporary{"history"};
  const std::filesystem::path home = temporary.path;
  const std::filesystem::path directory = home / ".tarvel";
  const std::filesystem::path database = directory / "history.db";
  std::unique_ptr<ChildProcess> service;
  std::string serviceLog;
  std::vector<std::unique_ptr<ChildProcess>> hooks;
};

// Reads the event stream as a terminal display, which answers prompts, until ended.
struct TerminalDisplay {
  std::atomic<bool> stop{false};
  std::thread thread;
  explicit TerminalDisplay(const std::filesystem::path& socket)
      : thread([this, socket] {
          ApiClient::readEvents(socket, [](std::string_view, std::string_view) {}, stop,
                                "terminal");
        }) {}
  ~TerminalDisplay() {
    stop = true;
    thread.join();
  }
};

TEST_F(AnswerHistoryTest, EveryWayAPromptEndsIsOneRowThatTarvelLogPrintsWithinItsBound) {
  startService({"--history-rows", "5"});
  const std::string claude = "claude-code:";
  const auto session = [](char digit) {
    return std::string(8, digit) + "-" + std::string(4, digit) + "-4" + std::string(3, digit) +
           "-8" + std::string(3, digit) + "-" + std::string(12, digit);
  };
  {
    SCOPED_TRACE("nobody can answer: released at once, and the row waits for the event");
    ChildProcess& hook = startHook(document("claude", "PermissionRequest", session('1')));
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
  }
  auto display = std::make_unique<TerminalDisplay>(directory / "api.sock");
  ASSERT_TRUE(eventually([&] { return !state().value("answerers", Json::array()).empty(); }));
  {
    SCOPED_TRACE("allowed on the terminal display; the session shows it until its next event");
    ChildProcess& hook = startHook(document("claude", "PermissionRequest", session('2')));
    EXPECT_EQ(answer(livePrompt(claude + session('2')), R"({"decision":"allow"})", "terminal"),
              200);
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), allowAnswer);
    EXPECT_TRUE(eventually([&] {
      return state()["sessionOutcomes"].value(claude + session('2'), Json::object())
                 .value("outcome", "") == "allowed";
    }));
  }
  {
    SCOPED_TRACE("denied through the API, a Codex prompt");
    ChildProcess& hook = startHook(document("codex", "PermissionRequest", session('3')), "codex");
    EXPECT_EQ(answer(livePrompt("codex:" + session('3')), R"({"decision":"deny"})"), 200);
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_NE(hook.standardOutput(), "{}\n");
  }
  {
    SCOPED_TRACE("allowed in the agent: the tool ran, which withdraws it, and the session goes on");
    ChildProcess& hook = startHook(document("claude", "PermissionRequest", session('4')));
    livePrompt(claude + session('4'));
    EXPECT_EQ(startHook(document("claude", "PostToolUse", session('4'))).wait(), 0);
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
  }
  {
    SCOPED_TRACE("the hook's time ran out: the session shows it released, not waiting");
    const auto replyId = UUID::random();
    AgentEvent waiting{.type = AgentEventType::waiting,
                       .sessionId = session('5'),
                       .provider = AgentProvider::claudeCode,
                       .state = AgentState::waitingForUser,
                       .timestamp = Dates::now(),
                       .workingDirectory = "/home/dev/proj",
                       .pendingReply = AgentPendingReply{.replyId = replyId,
                                                         .prompt = "Allow this command?",
                                                         .detail = "sleep 1",
                                                         .grants = {AgentReplyGrant::deny,
                                                                    AgentReplyGrant::allow}}};
    const auto reply = UnixReplyClient::awaitReply(replyId, directory / "reply.sock", 1, [&] {
      return !UnixSocketClient::send(waiting, directory / "agent.sock");
    });
    EXPECT_FALSE(reply);
    EXPECT_TRUE(eventually([&] {
      const Json now = state();
      return now["sessionOutcomes"].value(claude + session('5'), Json::object())
                     .value("by", "") == "timeout" &&
             now["prompts"].empty();
    }));
  }
  {
    SCOPED_TRACE("the service stopped while the prompt was held");
    ChildProcess& hook = startHook(document("claude", "PermissionRequest", session('6')));
    livePrompt(claude + session('6'));
    EXPECT_EQ(stopService(), 0) << serviceLog;
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
  }
  display.reset();

  // Six endings, five rows kept: the oldest went. Newest first, read without a service.
  EXPECT_EQ(rows(), (std::vector<std::string>{
                        "released serviceStopped " + claude + session('6'),
                        "released timeout " + claude + session('5'),
                        "allowed agent " + claude + session('4'),
                        "denied api codex:" + session('3'),
                        "allowed terminal " + claude + session('2'),
                    }));
  EXPECT_EQ(rows({"--agent", "codex"}),
            (std::vector<std::string>{"denied api codex:" + session('3')}));
  EXPECT_EQ(rows({"--agent", "claude", "-n", "2"}),
            (std::vector<std::string>{"released serviceStopped " + claude + session('6'),
                                      "released timeout " + claude + session('5')}));
  // Names match as written: no pattern characters, no part of a name.
  for (const char* pattern : {"%", "_odex", "c%", "claude-%", "code"}) {
    EXPECT_TRUE(rows({"--agent", pattern}).empty()) << pattern;
  }
  EXPECT_TRUE(rows({"--project", "%"}).empty());
  // The hand-made prompt names no project.
  EXPECT_EQ(rows({"--project", "proj", "--since", "1h"}).size(), 4U);
  EXPECT_TRUE(rows({"--project", "another"}).empty());
  EXPECT_TRUE(rows({"--since", "2000-01-01"}).size() == 5U);
  const Json newest = Coding::parse(log({"--json", "-n", "1"})).value().at(0);
  EXPECT_EQ(newest.value("prompt", ""), "Allow this command?");
  EXPECT_EQ(newest.value("detail", ""), "touch created-by-agent.txt");
  EXPECT_EQ(newest.value("workingDirectory", ""), "/home/dev/proj");
  EXPECT_EQ(newest.value("project", ""), "proj");
  const std::string plain = log({"-n", "3"});
  EXPECT_NE(plain.find("Released: the service stopped  Claude Code \u00b7 proj \u00b7 Allow this "
                       "command? touch created-by-agent.txt\n"),
            std::string::npos)
      << plain;
  EXPECT_NE(plain.find("Allowed in the agent  Claude Code"), std::string::npos) << plain;
  EXPECT_EQ(std::count(plain.begin(), plain.end(), '\n'), 3);

  struct stat file {};
  ASSERT_EQ(::stat(database.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600U);
  ChildProcess wrong({program("tarvel"), "log", "--since", "yesterday"}, home);
  EXPECT_EQ(wrong.wait(), 2);
  EXPECT_NE(wrong.standardError().find("--since takes"), std::string::npos);
}

TEST_F(AnswerHistoryTest, ADamagedLockedOrReadOnlyHistoryNeverStopsAnAnswer) {
  const std::string session = "99999999-9999-4999-8999-999999999999";
  // A history with rows, made by a service.
  const auto makeHistory = [&] {
    startService({"--hold-without-answerers"});
    ChildProcess& hook = startHook(document("claude", "PermissionRequest", session));
    EXPECT_EQ(answer(livePrompt("claude-code:" + session), R"({"decision":"deny"})"), 200);
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(stopService(), 0);
    EXPECT_EQ(rows().size(), 1U);
  };
  // An answer through a service over the history as it is now.
  const auto answerGetsThrough = [&] {
    startService({"--hold-without-answerers"});
    ChildProcess& hook = startHook(document("claude", "PermissionRequest", session));
    EXPECT_EQ(answer(livePrompt("claude-code:" + session), R"({"decision":"allow"})"), 200);
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), allowAnswer);
    EXPECT_EQ(stopService(), 0) << serviceLog;
    hooks.clear();
  };
  {
    SCOPED_TRACE("damaged: set aside, and a new history records the answer");
    std::filesystem::create_directories(directory);
    std::ofstream(database) << "this is not an SQLite database, and never was one at all.\n";
    answerGetsThrough();
    EXPECT_TRUE(std::filesystem::exists(directory / "history.db.damaged"));
    EXPECT_NE(serviceLog.find("damaged"), std::string::npos) << serviceLog;
    EXPECT_EQ(rows(), (std::vector<std::string>{"allowed api claude-code:" + session}));
    std::filesystem::remove_all(directory);
  }
  {
    SCOPED_TRACE("locked by another writer the whole time");
    makeHistory();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    answerGetsThrough();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    // Said once, in the log.
    EXPECT_NE(serviceLog.find("history.db"), std::string::npos) << serviceLog;
    std::filesystem::remove_all(directory);
  }
  {
    SCOPED_TRACE("read-only (immutable, which binds root too)");
    makeHistory();
    for (const char* suffix : {"-wal", "-shm"}) {
      std::filesystem::remove(database.string() + suffix);
    }
    ::chmod(database.c_str(), 0400);
    const int descriptor = ::open(database.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool immutable = ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0 &&
                           (flags |= FS_IMMUTABLE_FL, ::ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0);
    if (!immutable && ::geteuid() == 0) {
      ::close(descriptor);
      GTEST_SKIP() << "root, and this file system cannot make a file immutable";
    }
    answerGetsThrough();
    if (immutable) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(descriptor, FS_IOC_SETFLAGS, &flags);
    }
    ::close(descriptor);
    // What was recorded before is still there.
    EXPECT_EQ(rows(), (std::vector<std::string>{"denied api claude-code:" + session}));
  }
}

TEST_F(AnswerHistoryTest, AnswersTheHistoryCannotTakeAreKeptAndRecordedOnceItCan) {
  const std::string session = "88888888-8888-4888-8888-888888888888";
  const std::string recorded = "allowed api claude-code:" + session;
  // One answer through a running service.
  const auto answerOne = [&] {
    ChildProcess& hook = startHook(document("claude", "PermissionRequest", session));
    EXPECT_EQ(answer(livePrompt("claude-code:" + session), R"({"decision":"allow"})"), 200);
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), allowAnswer);
  };
  const auto rowsSoon = [&](std::size_t count) {
    return eventually([&] { return rows().size() == count; });
  };
  {
    SCOPED_TRACE("locked while the answer ends, then free again");
    std::filesystem::create_directories(directory);
    startService({"--hold-without-answerers"});
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(database); }));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 60'000);  // the service may be making the file
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    answerOne();
    // Well past the writer's own wait for the lock.
    std::this_thread::sleep_for(3s);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_TRUE(rowsSoon(1));
    EXPECT_EQ(rows(), (std::vector<std::string>{recorded}));
    EXPECT_EQ(stopService(), 0);
    EXPECT_NE(serviceLog.find("written again"), std::string::npos) << serviceLog;
    std::filesystem::remove_all(directory);
  }
  {
    SCOPED_TRACE("a damaged page: set aside like a damaged header");
    startService({"--hold-without-answerers"});
    answerOne();
    EXPECT_EQ(stopService(), 0);
    ASSERT_EQ(rows().size(), 1U);
    // The answers table's first page (the second page of the file) overwritten.
    std::fstream file(database, std::ios::in | std::ios::out | std::ios::binary);
    char header[100] = {};
    file.read(header, sizeof header);
    const unsigned pageSize =
        (static_cast<unsigned char>(header[16]) << 8) | static_cast<unsigned char>(header[17]);
    ASSERT_GE(pageSize, 512U);
    file.seekp(pageSize);
    const std::string garbage(pageSize, '\xA5');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    file.close();
    startService({"--hold-without-answerers"});
    answerOne();
    EXPECT_TRUE(rowsSoon(1));
    EXPECT_EQ(stopService(), 0);
    EXPECT_TRUE(std::filesystem::exists(directory / "history.db.damaged"));
    EXPECT_NE(serviceLog.find("damaged"), std::string::npos) << serviceLog;
    std::filesystem::remove_all(directory);
  }
  {
    SCOPED_TRACE("a symbolic link: refused and said, and recorded once it is gone");
    std::filesystem::create_directories(directory);
    std::filesystem::create_symlink(home / "elsewhere.db", database);
    startService({"--hold-without-answerers"});
    answerOne();
    for (const char* command : {"log", "doctor"}) {
      ChildProcess said({program("tarvel"), command}, home);
      EXPECT_EQ(said.wait(), 1) << command;
      EXPECT_NE((said.standardOutput() + said.standardError()).find("history.db is a symbolic link"),
                std::string::npos)
          << command << ": " << said.standardOutput() << said.standardError();
    }
    EXPECT_FALSE(std::filesystem::exists(home / "elsewhere.db"));
    std::filesystem::remove(database);
    EXPECT_TRUE(rowsSoon(1));
    EXPECT_EQ(stopService(), 0);
    std::filesystem::remove_all(directory);
  }
  {
    SCOPED_TRACE("kill -9: every answer delivered a second before is recorded");
    startService({"--hold-without-answerers"});
    // Answered while others still wait, as a busy service answers: the writer is never idle
    // for long between rows.
    constexpr int answers = 24;
    std::vector<ChildProcess*> waiting;
    for (int index = 0; index < answers; ++index) {
      char number[16];
      std::snprintf(number, sizeof number, "%012d", index);
      waiting.push_back(
          &startHook(document("claude", "PermissionRequest",
                              "99999999-9999-4999-9999-" + std::string(number))));
    }
    for (int index = 0; index < answers; ++index) {
      char number[16];
      std::snprintf(number, sizeof number, "%012d", index);
      const std::string replyId =
          livePrompt("claude-code:99999999-9999-4999-9999-" + std::string(number));
      EXPECT_EQ(answer(replyId, R"({"decision":"allow"})"), 200);
    }
    for (ChildProcess* hook : waiting) {
      EXPECT_EQ(hook->wait(), 0);
      EXPECT_EQ(hook->standardOutput(), allowAnswer);
    }
    std::this_thread::sleep_for(1500ms);
    service->signal(SIGKILL);
    service->wait();
    service.reset();
    EXPECT_EQ(rows({"-n", "100"}).size(), static_cast<std::size_t>(answers));
    hooks.clear();
    std::filesystem::remove_all(directory);
  }
  {
    SCOPED_TRACE("a full disk, then room again");
    std::filesystem::create_directories(directory);
    if (::geteuid() != 0 ||
        std::system(("mount -t tmpfs -o size=1m tarvel-test " + directory.string() +
                     " 2>/dev/null").c_str()) != 0) {
      GTEST_SKIP() << "a small disk needs a tmpfs mount, which needs root";
    }
    // Unmounted however this part ends (after the service, which keeps files open there).
    const std::unique_ptr<void, std::function<void(void*)>> mounted(this, [&](void*) {
      stopService();
      EXPECT_EQ(std::system(("umount " + directory.string()).c_str()), 0);
    });
    startService({"--hold-without-answerers"});
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(database); }));
    {
      std::ofstream filler(directory / "filler", std::ios::binary);
      const std::string block(4096, 'x');
      while (filler.write(block.data(), block.size())) {
      }
    }
    answerOne();
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(rows().empty());
    std::filesystem::remove(directory / "filler");
    EXPECT_TRUE(rowsSoon(1));
  }
}

}  // namespace
}  // namespace tarvel::Display
