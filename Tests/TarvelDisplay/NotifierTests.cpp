#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"

#include <systemd/sd-bus.h>

namespace tarvel::Display {
namespace {

using namespace std::chrono_literals;
using Testing::ChildProcess;
using Testing::eventually;
using Testing::allowAnswer;
using Testing::permissionRequest;
using Testing::program;

constexpr const char* daemonProgram = "/usr/bin/dbus-daemon";
constexpr const char* pythonProgram = "/usr/bin/python3";

// Any captured Claude Code document, as from session `session`.
std::string claudeDocument(const std::string& name, const std::string& session) {
  return Testing::agentDocument("claude", name, session);
}

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// Any D-Bus value as JSON: numbers, strings, arrays, structs as arrays, dictionaries as objects.
Json readValue(sd_bus_message* message) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(message, &type, &contents) <= 0) {
    return nullptr;
  }
  switch (type) {
    case 's':
    case 'o':
    case 'g': {
      const char* text = nullptr;
      sd_bus_message_read_basic(message, type, &text);
      return text;
    }
    case 'y': {
      std::uint8_t value = 0;
      sd_bus_message_read_basic(message, type, &value);
      return value;
    }
    case 'i': {
      std::int32_t value = 0;
      sd_bus_message_read_basic(message, type, &value);
      return value;
    }
    case 'u': {
      std::uint32_t value = 0;
      sd_bus_message_read_basic(message, type, &value);
      return value;
    }
    case 't': {
      std::uint64_t value = 0;
      sd_bus_message_read_basic(message, type, &value);
      return value;
    }
    case 'v': {
      sd_bus_message_enter_container(message, 'v', contents);
      Json value = readValue(message);
      sd_bus_message_exit_container(message);
      return value;
    }
    case 'a':
    case 'r': {
      const std::string inner = contents;
      sd_bus_message_enter_container(message, type, contents);
      const bool dictionary = type == 'a' && inner.front() == '{';
      Json value = dictionary ? Json::object() : Json::array();
      while (sd_bus_message_at_end(message, false) == 0) {
        if (dictionary) {
          sd_bus_message_enter_container(message, 'e', inner.substr(1, inner.size() - 2).c_str());
          const Json key = readValue(message);
          value[key.is_string() ? key.get<std::string>() : key.dump()] = readValue(message);
          sd_bus_message_exit_container(message);
        } else {
          value.push_back(readValue(message));
        }
      }
      sd_bus_message_exit_container(message);
      return value;
    }
    default:
      ADD_FAILURE() << "unexpected D-Bus type " << type;
      sd_bus_message_skip(message, nullptr);
      return nullptr;
  }
}

// A private session bus with python3-dbusmock's notification daemon on it (with actions), and a
// client that reads the calls it recorded and makes it emit signals.
class NotificationDaemon {
 public:
  // `capabilities` empty: the bus without a notification service on it.
  explicit NotificationDaemon(const std::filesystem::path& home,
                              const std::string& capabilities = "body body-markup actions")
      : home(home) {
    daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{daemonProgram, "--session", "--print-address", "--nofork"}, home);
    EXPECT_TRUE(eventually([&] {
      return daemon->standardOutput().find('\n') != std::string::npos;
    })) << daemon->standardError();
    const std::string printed = daemon->standardOutput();
    address = printed.substr(0, printed.find('\n'));
    sd_bus* opened = nullptr;
    EXPECT_GE(sd_bus_new(&opened), 0);
    bus.reset(opened);
    sd_bus_set_address(opened, address.c_str());
    sd_bus_set_bus_client(opened, 1);
    EXPECT_GE(sd_bus_start(opened), 0) << address;
    if (!capabilities.empty()) {
      startService(capabilities);
    }
  }

  // Starts the notification service (a new one, whose ids begin at 1 again).
  void startService(const std::string& capabilities) {
    mock = std::make_unique<ChildProcess>(
        std::vector<std::string>{pythonProgram, "-m", "dbusmock", "--template",
                                 "notification_daemon", "--parameters",
                                 Json{{"capabilities", capabilities}}.dump()},
        home, "", environment());
    // Ready once the mock answers on the bus.
    EXPECT_TRUE(eventually([&] { return call("GetCalls").has_value(); }))
        << mock->standardError();
  }
  // Ends the notification service; it leaves the bus.
  void stopService() {
    mock->signal(SIGTERM);
    mock->wait();
    EXPECT_TRUE(eventually([&] { return !call("GetCalls").has_value(); }));
  }

  std::vector<std::string> environment() const { return {"DBUS_SESSION_BUS_ADDRESS=" + address}; }

  // The arguments of every recorded call of `method`, oldest first.
  std::vector<Json> calls(const std::string& method) {
    std::vector<Json> found;
    if (const auto recorded = call("GetMethodCalls", method)) {
      for (const Json& entry : *recorded) {
        found.push_back(entry.at(1));
      }
    }
    return found;
  }

  // Makes the daemon emit ActionInvoked(id, key) as when the user chooses an action.
  void invokeAction(std::uint32_t id, const std::string& key) {
    sd_bus_message* raw = nullptr;
    ASSERT_GE(sd_bus_message_new_method_call(bus.get(), &raw, "org.freedesktop.Notifications",
                                             "/org/freedesktop/Notifications",
                                             "org.freedesktop.DBus.Mock", "EmitSignal"),
              0);
    const Message message(raw);
    ASSERT_GE(sd_bus_message_append(raw, "sss", "", "ActionInvoked", "us"), 0);
    ASSERT_GE(sd_bus_message_open_container(raw, 'a', "v"), 0);
    ASSERT_GE(sd_bus_message_append(raw, "v", "u", id), 0);
    ASSERT_GE(sd_bus_message_append(raw, "v", "s", key.c_str()), 0);
    ASSERT_GE(sd_bus_message_close_container(raw), 0);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    EXPECT_GE(sd_bus_call(bus.get(), raw, 0, &error, &reply), 0) << error.message;
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
  }

 private:
  std::optional<Json> call(const char* method, const std::string& argument = {}) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result =
        argument.empty()
            ? sd_bus_call_method(bus.get(), "org.freedesktop.Notifications",
                                 "/org/freedesktop/Notifications", "org.freedesktop.DBus.Mock",
                                 method, &error, &reply, "")
            : sd_bus_call_method(bus.get(), "org.freedesktop.Notifications",
                                 "/org/freedesktop/Notifications", "org.freedesktop.DBus.Mock",
                                 method, &error, &reply, "s", argument.c_str());
    const Message owned(reply);
    sd_bus_error_free(&error);
    if (result < 0) {
      return std::nullopt;
    }
    return readValue(reply);
  }

  std::filesystem::path home;
  std::unique_ptr<ChildProcess> daemon;
  std::unique_ptr<ChildProcess> mock;
  std::string address;
  std::unique_ptr<sd_bus, BusDeleter> bus;
};

// A real `tarvel serve` on a private session bus with a notification daemon, and real hooks.
class NotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(daemonProgram, X_OK) != 0 ||
        std::system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
      GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock (make deps installs them)";
    }
  }
  void TearDown() override {
    hooks.clear();
    service.reset();
    daemon.reset();
  }

  void startService(const std::vector<std::string>& environment,
                    const std::vector<std::string>& options = {}) {
    std::vector<std::string> command{program("tarvel"), "serve"};
    command.insert(command.end(), options.begin(), options.end());
    service = std::make_unique<ChildProcess>(command, home, "", environment);
    EXPECT_TRUE(eventually([&] {
      return UnixSocketSupport::isPathAccepting(home / ".tarvel" / "api.sock") ||
             service->hasEnded();
    })) << service->standardError();
  }

  // Starts the service and waits until its notifier counts as a way to answer: a prompt that
  // came before that would be released at once.
  void startServiceWithNotifier(const std::vector<std::string>& environment,
                                const std::vector<std::string>& options = {}) {
    startService(environment, options);
    waitForAnswerers({"notifications"});
  }

  ChildProcess& startHook(const std::string& session,
                          const std::string& document = "PermissionRequest") {
    hooks.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{program("tarvel-hook"), "--provider", "claude-code"}, home,
        document == "PermissionRequest" ? permissionRequest(session)
                                        : claudeDocument(document, session)));
    return *hooks.back();
  }

  // A hook waiting on a permission request to run `command`.
  ChildProcess& startCommandHook(const std::string& session, const std::string& command) {
    Json request = Coding::parse(permissionRequest(session)).value();
    request["tool_input"]["command"] = command;
    hooks.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{program("tarvel-hook"), "--provider", "claude-code"}, home,
        request.dump()));
    return *hooks.back();
  }

  // The kinds of answerer /v1/state lists, once they are `kinds`.
  void waitForAnswerers(const std::vector<std::string>& kinds) {
    std::vector<std::string> found;
    EXPECT_TRUE(eventually(
        [&] {
          found.clear();
          const auto state = Coding::parse(api("GET", "/v1/state").body);
          for (const Json& entry :
               state ? state->value("answerers", Json::array()) : Json::array()) {
            found.push_back(entry.value("kind", ""));
          }
          return found == kinds;
        }))
        << "answerers: " << found.size();
  }

  // Sends one event through a real hook and waits until it is done.
  void sendEvent(const std::string& session, const std::string& document) {
    EXPECT_EQ(startHook(session, document).wait(), 0);
  }

  // Waits until the service lists `session` in `state`.
  void waitForSessionState(const std::string& session, const std::string& state) {
    EXPECT_TRUE(eventually([&] {
      const auto whole = Coding::parse(api("GET", "/v1/state").body);
      for (const Json& entry : whole ? whole->value("sessions", Json::array()) : Json::array()) {
        if (entry.value("id", "") == "claude-code:" + session) {
          return entry.value("state", "") == state;
        }
      }
      return false;
    })) << session
        << " " << state;
  }

  ApiClient::Response api(std::string_view method, std::string_view path,
                          std::string_view body = {}) {
    auto response = ApiClient::request(home / ".tarvel" / "api.sock", method, path, body,
                                       std::chrono::seconds(30));  // generous on a busy machine
    EXPECT_TRUE(response) << (response ? "" : response.error());
    return response ? *response : ApiClient::Response{};
  }

  // The replyId of the only live prompt, once there is one other than `previous`.
  std::string onlyPrompt(const std::string& previous = {}) {
    std::string replyId;
    EXPECT_TRUE(eventually([&] {
      const auto state = Coding::parse(api("GET", "/v1/state").body);
      const Json prompts = state ? state->value("prompts", Json::array()) : Json::array();
      replyId = prompts.size() == 1 ? prompts[0]["replyId"].get<std::string>() : "";
      return !replyId.empty() && replyId != previous;
    }));
    return replyId;
  }

  // Waits until the daemon has recorded `count` calls of `method`.
  std::vector<Json> waitForCalls(const std::string& method, std::size_t count) {
    std::vector<Json> calls;
    EXPECT_TRUE(eventually([&] {
      calls = daemon->calls(method);
      return calls.size() >= count;
    })) << method
        << " calls: " << calls.size();
    return calls;
  }

  Testing::TemporaryFolder temporary{"notify"};
  const std::filesystem::path home = temporary.path;
  std::unique_ptr<NotificationDaemon> daemon;
  std::unique_ptr<ChildProcess> service;
  std::vector<std::unique_ptr<ChildProcess>> hooks;
};

TEST_F(NotifierTest, AWaitingHookGetsOneNotificationWhoseAllowActionAnswersIt) {
  daemon = std::make_unique<NotificationDaemon>(home);
  startServiceWithNotifier(daemon->environment());
  ChildProcess& hook = startHook("11111111-1111-4111-8111-111111111111");

  const auto notified = waitForCalls("Notify", 1);
  ASSERT_EQ(notified.size(), 1U);
  const Json& arguments =
      notified[0];  // app, replaces, icon, summary, body, actions, hints, expiry
  ASSERT_EQ(arguments.size(), 8U) << arguments.dump();
  EXPECT_EQ(arguments[1], 0);
  EXPECT_EQ(arguments[3], "Claude Code \u00B7 proj") << arguments.dump();
  EXPECT_EQ(arguments[4], "Allow this command?\nReason: Mock shell command\ntouch created-by-agent.txt");
  EXPECT_EQ(arguments[5], Json({"allow", "Allow", "deny", "Deny"}));
  EXPECT_EQ(arguments[6]["urgency"], 2);
  // The hook's own wait (120 s) bounds the notification's.
  EXPECT_GT(arguments[7].get<int>(), 60'000);
  EXPECT_LE(arguments[7].get<int>(), 120'000);

  // Clicking the body, or an action on some other notification, answers nothing; then Allow.
  daemon->invokeAction(1, "default");
  daemon->invokeAction(77, "deny");
  daemon->invokeAction(1, "allow");
  EXPECT_EQ(hook.wait(), 0);
  EXPECT_EQ(hook.standardOutput(), allowAnswer);
  // Once answered the notification is withdrawn, and it was the only one.
  EXPECT_EQ(waitForCalls("CloseNotification", 1).at(0), Json::array({1}));
  EXPECT_EQ(daemon->calls("Notify").size(), 1U);
  EXPECT_FALSE(service->hasEnded()) << service->standardError();
}

TEST_F(NotifierTest, APromptAnsweredElsewhereOrWhoseHookIsKilledHasItsNotificationWithdrawn) {
  daemon = std::make_unique<NotificationDaemon>(home);
  startServiceWithNotifier(daemon->environment());

  ChildProcess& answered = startHook("22222222-2222-4222-8222-222222222222");
  const std::string replyId = onlyPrompt();
  waitForCalls("Notify", 1);
  EXPECT_EQ(api("POST", "/v1/prompts/" + replyId, R"({"decision":"deny"})").status, 200);
  EXPECT_EQ(answered.wait(), 0);
  EXPECT_EQ(waitForCalls("CloseNotification", 1), std::vector<Json>{Json::array({1})});

  ChildProcess& killed = startHook("33333333-3333-4333-8333-333333333333");
  waitForCalls("Notify", 2);
  killed.signal(SIGKILL);
  killed.wait();
  const auto closed = waitForCalls("CloseNotification", 2);
  EXPECT_EQ(closed, (std::vector<Json>{Json::array({1}), Json::array({2})}));
  EXPECT_EQ(daemon->calls("Notify").size(), 2U);
}

TEST_F(NotifierTest, TheNotifierCountsAsAnAnswererOnlyWhileAServiceWithActionsIsOnTheBus) {
  daemon = std::make_unique<NotificationDaemon>(home, "");
  startService(daemon->environment());
  const std::string session = "12121212-1212-4121-8121-121212121212";
  const auto expectReleased = [&] {
    ChildProcess& hook = startHook(session);
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
  };
  {
    SCOPED_TRACE("no notification service yet");
    waitForAnswerers({});
    expectReleased();
  }
  {
    SCOPED_TRACE("a service with actions starts after the service: held, then it leaves");
    daemon->startService("body actions");
    waitForAnswerers({"notifications"});
    ChildProcess& hook = startHook(session);
    waitForCalls("Notify", 1);
    EXPECT_FALSE(hook.hasEnded());
    daemon->stopService();
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
    waitForAnswerers({});
  }
  {
    SCOPED_TRACE("a service without actions cannot answer");
    daemon->startService("body");
    // Asked for its capabilities: the service has seen it.
    EXPECT_TRUE(eventually([&] { return !daemon->calls("GetCapabilities").empty(); }));
    waitForAnswerers({});
    expectReleased();
  }
  EXPECT_FALSE(service->hasEnded()) << service->standardError();
}

TEST_F(NotifierTest, ANewNotificationServiceNeverGetsAnActionThroughToAnOldNotificationsPrompt) {
  daemon = std::make_unique<NotificationDaemon>(home);
  // Prompts are held for answers through the API across the service's restart.
  startService(daemon->environment(), {"--hold-without-answerers"});
  ChildProcess& first = startCommandHook("13131313-1313-4131-8131-131313131313", "make first");
  waitForCalls("Notify", 1);
  daemon->stopService();
  daemon->startService("body actions");
  waitForAnswerers({"notifications"});
  // The new service shows the prompt still waiting, under its own ids.
  waitForCalls("Notify", 1);
  ChildProcess& second = startCommandHook("14141414-1414-4141-8141-141414141414", "make second");
  std::uint32_t secondId = 0;
  EXPECT_TRUE(eventually([&] {
    const auto calls = daemon->calls("Notify");
    for (std::size_t index = 0; index < calls.size(); ++index) {
      if (calls[index][4].get<std::string>().find("make second") != std::string::npos) {
        secondId = static_cast<std::uint32_t>(index + 1);  // the mock counts its ids from 1
      }
    }
    return secondId != 0;
  }));
  daemon->invokeAction(secondId, "allow");
  EXPECT_EQ(second.wait(), 0);
  EXPECT_EQ(second.standardOutput(), allowAnswer);
  EXPECT_FALSE(first.hasEnded()) << first.standardOutput();
  EXPECT_EQ(onlyPrompt().size(), 36U);
}

// A command the notification cannot show whole offers Open instead of Allow; Open answers nothing
// and shows the prompt where it can be answered: the web page at that prompt when it is served,
// else a terminal display in the desktop's terminal. With neither, there is no Open.
TEST_F(NotifierTest, ACommandTooLongToShowOffersOpenWhichShowsItWhereItCanBeAnswered) {
  // Stand-ins for the desktop's programs, on the service's whole PATH: each records how it ran.
  const auto bin = home / "bin";
  std::filesystem::create_directory(bin);
  std::filesystem::create_symlink("/usr/bin/setsid", bin / "setsid");
  const auto install = [&](const std::string& name) {
    const auto record = (home / ("ran-" + name)).string();
    std::ofstream(bin / name) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" << record
                              << ".new' && /bin/mv '" << record << ".new' '" << record << "'\n";
    ::chmod((bin / name).c_str(), 0755);
  };
  const auto ran = [&](const std::string& name) {
    std::string text;
    EXPECT_TRUE(eventually([&] {
      std::ifstream file(home / ("ran-" + name));
      text.assign(std::istreambuf_iterator<char>(file), {});
      return !text.empty();
    })) << name;
    return text;
  };
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  const std::string command = "make a\nmake b\nmake c\nmake d\nmake e\nmake f\nmake g\nmake h";
  const std::string openText = "\n+2 more lines\nOpen shows all of it, to allow it there.";
  struct Case {
    std::string name;
    std::vector<std::string> programs;
    std::vector<std::string> options;
  };
  for (const Case& test : {Case{"page", {"xdg-open", "x-terminal-emulator"}, {"--http", "127.0.0.1:0"}},
                           Case{"terminal", {"xdg-open", "x-terminal-emulator"}, {}},
                           Case{"neither", {"xdg-open"}, {}}}) {
    SCOPED_TRACE(test.name);
    for (const std::string& name : test.programs) {
      install(name);
    }
    daemon = std::make_unique<NotificationDaemon>(home);
    auto environment = daemon->environment();
    environment.push_back("PATH=" + bin.string());
    startServiceWithNotifier(environment, test.options);
    ChildProcess& hook = startCommandHook("15151515-1515-4151-8151-151515151515", command);
    const std::string replyId = onlyPrompt();
    const Json notified = waitForCalls("Notify", 1).at(0);
    const std::string body = notified[4].get<std::string>();
    if (test.name == "neither") {
      EXPECT_TRUE(body.ends_with("\n+2 more lines\nOpen Tarvel to see all of it and allow it."))
          << body;
      EXPECT_EQ(notified[5], Json({"deny", "Deny"}));
    } else {
      EXPECT_TRUE(body.ends_with(openText)) << body;
      EXPECT_EQ(notified[5], Json({"open", "Open", "deny", "Deny"}));
      // Allow is not offered: it answers nothing. Open shows the prompt, and answers nothing.
      daemon->invokeAction(1, "allow");
      daemon->invokeAction(1, "open");
      if (test.name == "page") {
        const std::string log = service->standardError();
        const auto at = log.find("web page at ");
        ASSERT_NE(at, std::string::npos) << log;
        const std::string page = log.substr(at + 12, log.find('\n', at) - at - 12);
        // xdg-open is given a private page that leads there: never the token itself.
        const auto opened = home / ".tarvel" / "open.html";
        EXPECT_EQ(ran("xdg-open"), bin.string() + "/xdg-open\nfile://" + opened.string() + "\n");
        EXPECT_EQ(ran("xdg-open").find("token"), std::string::npos);
        struct stat status {};
        ASSERT_EQ(::stat(opened.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600U);
        std::ifstream file(opened);
        const std::string leading((std::istreambuf_iterator<char>(file)), {});
        const std::string address = page + "&amp;prompt=" + replyId;
        EXPECT_NE(lower(leading).find("content=\"0;url=" + lower(address) + "\""),
                  std::string::npos)
            << leading;
      } else {
        EXPECT_EQ(ran("x-terminal-emulator"),
                  bin.string() + "/x-terminal-emulator\n-e\n" + program("tarvel-island") + "\n");
      }
      EXPECT_FALSE(hook.hasEnded()) << hook.standardOutput();
    }
    EXPECT_EQ(api("POST", "/v1/prompts/" + replyId, R"({"decision":"deny"})").status, 200);
    EXPECT_EQ(hook.wait(), 0);
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
    hooks.clear();
    service.reset();
    daemon.reset();
    std::filesystem::remove(home / "ran-xdg-open");
    std::filesystem::remove(home / "ran-x-terminal-emulator");
    std::filesystem::remove(bin / "x-terminal-emulator");
  }
}

TEST_F(NotifierTest, ASessionThatEndsAfterRunningLongerThanTheThresholdGetsOnePlainNotification) {
  daemon = std::make_unique<NotificationDaemon>(home);
  auto environment = daemon->environment();
  service = std::make_unique<ChildProcess>(
      std::vector<std::string>{program("tarvel"), "serve", "--notify-finished", "5"}, home, "",
      environment);
  ASSERT_TRUE(eventually([&] {
    return UnixSocketSupport::isPathAccepting(home / ".tarvel" / "api.sock");
  })) << service->standardError();

  const std::string quick = "66666666-6666-4666-8666-666666666666";
  const std::string slow = "77777777-7777-4777-8777-777777777777";
  sendEvent(quick, "SessionStart");
  sendEvent(slow, "SessionStart");
  waitForSessionState(slow, "starting");
  sendEvent(quick, "SessionEnd");
  waitForSessionState(quick, "completed");
  // The slow one runs past the threshold; the quick one's start and end (two hook runs) stay well
  // within it even on a busy machine.
  std::this_thread::sleep_for(6100ms);
  sendEvent(slow, "SessionEnd");
  waitForSessionState(slow, "completed");
  // A late event for a finished session is not a second end.
  sendEvent(slow, "SessionEnd");

  const auto notified = waitForCalls("Notify", 1);
  ASSERT_EQ(notified.size(), 1U);
  EXPECT_EQ(notified[0][3], "Claude Code \u00B7 proj finished") << notified[0].dump();
  EXPECT_EQ(notified[0][5], Json::array());
  EXPECT_EQ(notified[0][6]["urgency"], 1);
  // The hook's events are in; one more revision would have shown a second notification by now.
  sendEvent(quick, "SessionStart");
  waitForSessionState(quick, "starting");
  EXPECT_EQ(daemon->calls("Notify").size(), 1U);
}

// Without a session bus, or with a bus but no notification service, the service says so once and
// prompts stay answerable through the API.
TEST_F(NotifierTest, WithoutABusOrANotificationServiceTheServiceSaysSoOnceAndAnswersThroughTheApi) {
  struct Case {
    std::string name;
    bool withBus;
    std::string expected;
  };
  for (const Case& test : {Case{"no bus", false, "No session bus"},
                           Case{"no service", true, "No desktop notification service"}}) {
    SCOPED_TRACE(test.name);
    std::unique_ptr<ChildProcess> bus;
    std::vector<std::string> environment;
    if (test.withBus) {
      bus = std::make_unique<ChildProcess>(
          std::vector<std::string>{daemonProgram, "--session", "--print-address", "--nofork"},
          home);
      ASSERT_TRUE(
          eventually([&] { return bus->standardOutput().find('\n') != std::string::npos; }));
      const std::string printed = bus->standardOutput();
      environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + printed.substr(0, printed.find('\n')));
    }
    // Nobody can answer here but through the API.
    startService(environment, {"--hold-without-answerers"});
    std::string replyId;
    for (const std::string session :
         {"44444444-4444-4444-8444-444444444444", "55555555-5555-4555-8555-555555555555"}) {
      ChildProcess& hook = startHook(session);
      replyId = onlyPrompt(replyId);
      EXPECT_EQ(api("POST", "/v1/prompts/" + replyId, R"({"decision":"allow"})").status, 200);
      EXPECT_EQ(hook.wait(), 0);
      EXPECT_EQ(hook.standardOutput(), allowAnswer);
    }
    EXPECT_FALSE(service->hasEnded());
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
    const std::string log = service->standardError();
    std::size_t mentions = 0;
    for (auto at = log.find("notifications: "); at != std::string::npos;
         at = log.find("notifications: ", at + 1)) {
      ++mentions;
    }
    EXPECT_EQ(mentions, 1U) << log;
    EXPECT_NE(log.find(test.expected), std::string::npos) << log;
    hooks.clear();
    service.reset();
  }
}

// The agent's own tmux pane in front of the person: its prompt is there already, so no
// notification; an agent in a pane that is not on screen still gets one.
TEST_F(NotifierTest, NoNotificationWhileTheAgentsTmuxPaneIsActiveInAnAttachedClient) {
  if (std::system("command -v tmux >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs tmux";
  }
  const std::string inner = (home / "inner.sock").string();
  const std::string outer = (home / "outer.sock").string();
  const auto shell = [](const std::string& command) { return std::system(command.c_str()); };
  struct Servers {
    std::string inner, outer;
    ~Servers() {
      std::system(("tmux -S '" + inner + "' kill-server >/dev/null 2>&1").c_str());
      std::system(("tmux -S '" + outer + "' kill-server >/dev/null 2>&1").c_str());
    }
  } servers{inner, outer};
  // The agent's server: pane %0 (active) and, in a second window that is not shown, pane %1.
  ASSERT_EQ(shell("tmux -S '" + inner + "' -f /dev/null new-session -d -s agent -x 80 -y 24 && "
                  "tmux -S '" + inner + "' new-window -d -t agent"),
            0);
  // A client attached to it, in a terminal of a second server.
  ASSERT_EQ(shell("tmux -S '" + outer + "' -f /dev/null new-session -d -x 80 -y 24 "
                  "\"env -u TMUX tmux -S '" + inner + "' attach -t agent\""),
            0);
  ASSERT_TRUE(eventually([&] {
    return shell("tmux -S '" + inner +
                 "' display-message -p -t %0 '#{session_attached}' | grep -qx 1") == 0;
  }));
  daemon = std::make_unique<NotificationDaemon>(home);
  startServiceWithNotifier(daemon->environment());
  const auto hookIn = [&](const std::string& session, const std::string& pane) -> ChildProcess& {
    hooks.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{program("tarvel-hook"), "--provider", "claude-code"}, home,
        permissionRequest(session),
        std::vector<std::string>{"TMUX=" + inner + ",1,0", "TMUX_PANE=" + pane}));
    return *hooks.back();
  };
  ChildProcess& onScreen = hookIn("44444444-4444-4444-8444-444444444444", "%0");
  onlyPrompt();
  ChildProcess& hidden = hookIn("55555555-5555-4555-8555-555555555555", "%1");
  // The notifier takes prompts in order: once the second is notified, the first was passed over.
  waitForCalls("Notify", 1);
  daemon->invokeAction(1, "allow");
  EXPECT_EQ(hidden.wait(), 0);
  EXPECT_EQ(hidden.standardOutput(), allowAnswer);
  EXPECT_EQ(daemon->calls("Notify").size(), 1U);
  EXPECT_FALSE(onScreen.hasEnded());
}

}  // namespace
}  // namespace tarvel::Display
