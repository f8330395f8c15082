#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "Support/RawSockets.hpp"
#include "TarvelDisplay/Api/ApiServer.hpp"
#include "TarvelDisplay/DisplayServiceTest.hpp"

namespace tarvel::Display {
namespace {

// The service keeps working and stays its user's own against slow or hostile clients, a second
// service, another user's sockets and hostile files.
using namespace std::chrono_literals;
using Testing::agentDocument;
using Testing::connectTo;
using Testing::permissionRequest;
using Testing::testFile;

TEST_F(DisplayServiceTest, SlowIdleAndGoneClientsCannotLockTheApiOut) {
  service = startService({"--http", "127.0.0.1:0"});
  std::string web;
  // A service still starting answers 503 for a moment.
  ASSERT_TRUE(eventually([&] {
    const auto health = Coding::parse(api("GET", "/v1/health").body);
    if (health && health->contains("web")) {
      web = (*health)["web"].get<std::string>();
    }
    return !web.empty();
  })) << service->standardError();
  const auto port = static_cast<std::uint16_t>(
      std::stoi(web.substr(web.rfind(':') + 1, web.size() - web.rfind(':') - 2)));
  {
    SCOPED_TRACE("clients that trickle their headers over TCP, a byte a second");
    std::vector<UniqueFd> slow;
    for (unsigned i = 0; i < ApiServer::maximumConnections; ++i) {
      slow.push_back(connectTo(port, 10s));
      const std::string_view line = "GET /v1/health HTTP/1.1\r\n";
      ::send(slow.back().get(), line.data(), line.size(), MSG_NOSIGNAL);
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
      while (!done) {
        for (const UniqueFd& socket : slow) {
          ::send(socket.get(), "X", 1, MSG_NOSIGNAL);
        }
        std::this_thread::sleep_for(1s);
      }
    });
    // Without a token (or the served host) the answer is a refusal: what counts is that one comes.
    EXPECT_TRUE(eventually(
        [&] { return statusLine(connectTo(port, 10s), "/v1/health").starts_with("HTTP/1.1 4"); },
        45s));
    done = true;
    trickle.join();
  }
  {
    SCOPED_TRACE("idle connections on the Unix socket");
    std::vector<UniqueFd> idle;
    for (unsigned i = 0; i < ApiServer::maximumConnections; ++i) {
      idle.push_back(connectTo(directory / "api.sock", 10s));
    }
    EXPECT_TRUE(eventually(
        [&] { return statusLine(connectTo(directory / "api.sock", 10s), "/v1/health") == "HTTP/1.1 200 OK"; },
        45s));
  }
  {
    SCOPED_TRACE("event streams whose readers have gone");
    std::vector<UniqueFd> streams;
    for (unsigned i = 0; i < ApiServer::maximumConnections; ++i) {  // every slot
      streams.push_back(connectTo(directory / "api.sock", 10s));
      ASSERT_EQ(statusLine(streams.back(), "/v1/events"), "HTTP/1.1 200 OK");
    }
    streams.clear();
    // Well before the streams' keep-alive, which was all that freed them.
    EXPECT_TRUE(eventually(
        [&] {
          return statusLine(connectTo(directory / "api.sock", 10s), "/v1/health") ==
                 "HTTP/1.1 200 OK";
        },
        ApiServer::keepAliveInterval / 2));
  }
  {
    SCOPED_TRACE("a service that answers slowly is busy, not gone");
    service->signal(SIGSTOP);
    ChildProcess status({program("tarvel"), "status"}, home);
    EXPECT_EQ(status.wait(), 4);
    service->signal(SIGCONT);
    EXPECT_NE(status.standardError().find("busy"), std::string::npos) << status.standardError();
  }
}

TEST_F(DisplayServiceTest, ASecondServiceIsRefusedAndWritesNothing) {
  service = startService();
  startHook(agentDocument("claude/UserPromptSubmit.json")).wait();
  ASSERT_TRUE(eventually([&] {
    std::ifstream file(directory / "sessions.json");
    return std::string(std::istreambuf_iterator<char>(file), {}).find("claude-code:") !=
           std::string::npos;
  }));
  std::this_thread::sleep_for(1200ms);  // past the service's own next save
  std::ifstream before(directory / "sessions.json");
  const std::string saved(std::istreambuf_iterator<char>(before), {});
  struct stat statusBefore {};
  ASSERT_EQ(::stat((directory / "sessions.json").c_str(), &statusBefore), 0);

  ChildProcess second({program("tarvel"), "serve"}, home);
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(second.standardError().find("already running"), std::string::npos)
      << second.standardError();
  struct stat statusAfter {};
  ASSERT_EQ(::stat((directory / "sessions.json").c_str(), &statusAfter), 0);
  EXPECT_EQ(statusAfter.st_ino, statusBefore.st_ino);
  EXPECT_EQ(statusAfter.st_mtim.tv_nsec, statusBefore.st_mtim.tv_nsec);
  EXPECT_EQ(api("GET", "/v1/health").status, 200);
  EXPECT_TRUE(std::filesystem::exists(directory / "agent.sock"));
  EXPECT_FALSE(saved.empty());
}

TEST_F(DisplayServiceTest, AnotherUsersSocketsAreTrustedByNeitherHookNorService) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "running a listener as another user needs root";
  }
  // The stranger runs a copy of its script from the test's home, which it can enter wherever the
  // clone lies (the clone may sit under a folder only its owner can enter).
  if (!temporary.openToOthers()) {
    GTEST_SKIP() << "another user cannot enter " << home.parent_path()
                 << ", which holds the test's home";
  }
  const std::filesystem::path strangerFolder = home / "stranger";
  std::filesystem::create_directories(strangerFolder);
  const std::string stranger = (strangerFolder / "stranger.py").string();
  ASSERT_TRUE(std::filesystem::copy_file(
      testFile("TarvelDisplay/stranger.py"), stranger));
  ASSERT_EQ(::chmod(strangerFolder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(stranger.c_str(), 0644), 0);
  const auto asStranger = [&](const std::string& mode, const std::string& path) {
    return std::vector<std::string>{"/usr/bin/setpriv", "--reuid=65534",   "--regid=65534",
                                    "--clear-groups",   "/usr/bin/python3", stranger,
                                    mode,               path};
  };
  // A ~/.tarvel that another user could once write: they left listeners of theirs in it.
  std::filesystem::create_directories(directory);
  ASSERT_EQ(::chmod(directory.c_str(), 0777), 0);
  ChildProcess listener(asStranger("listen", directory.string()), home);
  ASSERT_TRUE(eventually([&] { return listener.standardOutput().starts_with("ready"); }))
      << listener.standardError();
  ASSERT_EQ(::chmod(directory.c_str(), 0700), 0);

  {
    SCOPED_TRACE("the hook tells them nothing and takes no answer from them");
    ChildProcess& hook = startHook(permissionRequest("66666666-6666-4666-8666-666666666666"));
    EXPECT_EQ(hook.wait(), 0);
    EXPECT_EQ(hook.standardOutput(), "{}\n");
    EXPECT_EQ(listener.standardOutput(), "ready\n");
  }
  {
    SCOPED_TRACE("the service refuses their socket, saying whose it is");
    ChildProcess refused({program("tarvel"), "serve"}, home);
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_NE(refused.standardError().find("agent.sock belongs to another user (uid 65534)"),
              std::string::npos)
        << refused.standardError();
    EXPECT_EQ(refused.standardError().find("Another Tarvel instance"), std::string::npos);
  }
  listener.signal(SIGKILL);
  listener.wait();
  {
    SCOPED_TRACE("with the strangers gone the service starts; their API requests are refused");
    std::filesystem::remove(directory / "agent.sock");
    std::filesystem::remove(directory / "reply.sock");
    service = startService();
    ASSERT_EQ(api("GET", "/v1/health").status, 200);
    // As if the modes had been loosened: only the peer's credentials keep them out.
    ASSERT_EQ(::chmod(directory.c_str(), 0711), 0);
    ASSERT_EQ(::chmod((directory / "api.sock").c_str(), 0666), 0);
    ChildProcess asking(asStranger("ask", (directory / "api.sock").string()), home);
    EXPECT_EQ(asking.wait(), 0) << asking.standardError();
    EXPECT_EQ(asking.standardOutput(), "HTTP/1.1 403 Forbidden\n");
  }
  {
    SCOPED_TRACE("their idle connections to the page, made again as they close, never keep the "
                 "owner out");
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
    service = startService({"--http", "127.0.0.1:0"});
    std::string web;
    ASSERT_TRUE(eventually([&] {
      const auto health = Coding::parse(api("GET", "/v1/health").body);
      web = health && health->contains("web") ? (*health)["web"].get<std::string>() : "";
      return !web.empty();
    }));
    const std::string port = web.substr(web.rfind(':') + 1, web.size() - web.rfind(':') - 2);
    std::ifstream tokenFile(directory / "token");
    std::string token;
    std::getline(tokenFile, token);
    ASSERT_FALSE(token.empty());
    ChildProcess holder(asStranger("hold", port), home);
    ASSERT_TRUE(eventually([&] { return holder.standardOutput().starts_with("holding"); }))
        << holder.standardError();
    const std::string request = "GET /v1/health HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                "\r\nAuthorization: Bearer " + token +
                                "\r\nConnection: close\r\n\r\n";
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(statusLine(connectTo(static_cast<std::uint16_t>(std::stoi(port)), 10s), {},
                           request),
                "HTTP/1.1 200 OK")
          << "request " << i;
      std::this_thread::sleep_for(500ms);
    }
    holder.signal(SIGKILL);
    holder.wait();
  }
}

TEST_F(DisplayServiceTest, HostileFilesNeverHangTheServiceNorLeadItElsewhere) {
  {
    SCOPED_TRACE("a FIFO at the sessions file, and temporary files of killed saves");
    std::filesystem::create_directories(directory);
    ASSERT_EQ(::mkfifo((directory / "sessions.json").c_str(), 0600), 0);
    std::ofstream(directory / "sessions.json.tmp-123") << "partial";
    std::ofstream(directory / "sessions.json.tmp-456") << "partial";
    service = startService();
    EXPECT_EQ(api("GET", "/v1/health").status, 200);
    EXPECT_FALSE(std::filesystem::exists(directory / "sessions.json.tmp-123"));
    EXPECT_FALSE(std::filesystem::exists(directory / "sessions.json.tmp-456"));
    std::size_t setAside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      setAside += entry.path().filename().string().starts_with("sessions.json.corrupt-") ? 1 : 0;
    }
    EXPECT_EQ(setAside, 1U);
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
    std::filesystem::remove_all(directory);
  }
  {
    SCOPED_TRACE("~/.tarvel as a symbolic link");
    const std::filesystem::path elsewhere = home / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    ::chmod(elsewhere.c_str(), 0755);
    std::filesystem::create_directory_symlink(elsewhere, directory);
    ChildProcess refused({program("tarvel"), "serve"}, home);
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_NE(refused.standardError().find("symbolic link"), std::string::npos)
        << refused.standardError();
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    struct stat status {};
    ASSERT_EQ(::stat(elsewhere.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0755U);
  }
}

TEST_F(DisplayServiceTest, TheSystemdUnitRunsThisProgramAndOnlyOursIsRemoved) {
  const std::filesystem::path unit = home / ".config/systemd/user/tarvel.service";
  ChildProcess install({program("tarvel"), "service", "install"}, home);
  ASSERT_EQ(install.wait(), 0) << install.standardError();
  EXPECT_NE(install.standardOutput().find("systemctl --user enable --now tarvel"),
            std::string::npos);
  std::ifstream file(unit);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  EXPECT_NE(
      text.find("ExecStart=" + std::filesystem::canonical(program("tarvel")).string() + " serve\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("Restart=on-failure\n"), std::string::npos);
  ChildProcess uninstall({program("tarvel"), "service", "uninstall"}, home);
  EXPECT_EQ(uninstall.wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(unit));

  std::ofstream(unit) << "[Service]\nExecStart=/usr/bin/something-else\n";
  ChildProcess refused({program("tarvel"), "service", "uninstall"}, home);
  EXPECT_EQ(refused.wait(), 1);
  EXPECT_TRUE(std::filesystem::exists(unit));
}


}  // namespace
}  // namespace tarvel::Display
