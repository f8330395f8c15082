// A remote machine on this one: an OpenSSH server of the test's own on 127.0.0.1, in a UTS
// namespace with the host name "devbox" and a home folder of its own, reached through the real
// `tarvel remote add`, `tarvel serve` and the copied tarvel-hook.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using Testing::ChildProcess;
using Testing::eventually;
using Testing::program;
using Testing::writeFile;
constexpr auto readAll = [](const fs::path& path) { return Testing::readFile(path); };

int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

bool accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

// The children of `parent` whose command line holds `word`.
std::vector<pid_t> childrenWith(pid_t parent, const std::string& word) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const std::string stat = readAll(entry.path() / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    pid_t ppid = 0;
    fields >> state >> ppid;
    std::string command = readAll(entry.path() / "cmdline");
    std::replace(command.begin(), command.end(), '\0', ' ');
    if (ppid == parent && command.find(word) != std::string::npos) {
      found.push_back(static_cast<pid_t>(std::stoi(name)));
    }
  }
  return found;
}

class RemoteHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "needs root: the remote machine lives in a UTS namespace of its own";
    }
    if (!fs::exists("/usr/sbin/sshd") || !fs::exists("/usr/bin/ssh") ||
        !fs::exists("/usr/bin/ssh-keygen")) {
      GTEST_SKIP() << "needs openssh-server and openssh-client";
    }
    temporary.emplace("remote");
    root = temporary->path;
    local = root / "local";
    remote = root / "remote";
    fs::create_directories(local);
    fs::create_directories(remote);
    for (const char* key : {"hostkey", "userkey"}) {
      ChildProcess keygen({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                           (root / key).string()},
                          root);
      ASSERT_EQ(keygen.wait(), 0) << keygen.standardError();
    }
    fs::copy_file(root / "userkey.pub", root / "authorized_keys");
    port = freePort();
    ASSERT_GT(port, 0);
    writeFile(root / "sshd_config",
              "Port " + std::to_string(port) +
                  "\nListenAddress 127.0.0.1\nHostKey " + (root / "hostkey").string() +
                  "\nPidFile " + (root / "sshd.pid").string() +
                  "\nUsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                  "PermitRootLogin prohibit-password\nAuthorizedKeysFile " +
                  (root / "authorized_keys").string() +
                  "\nStrictModes no\nAllowStreamLocalForwarding yes\nSetEnv HOME=" +
                  remote.string() + " PATH=" + (root / "remotebin").string() + ":/usr/bin:/bin\n");
    // The remote's Codex: a stand-in that lists the hooks of ~/.codex/hooks.json with their trust.
    fs::create_directories(root / "remotebin");
    Testing::installFixtureProgram("codex-fakes/fake-codex-hooks.sh", root / "remotebin" / "codex");
    writeFile(root / "ssh_config", "Host devbox\n  HostName 127.0.0.1\n  Port " +
                                       std::to_string(port) + "\n  User root\n  IdentityFile " +
                                       (root / "userkey").string() +
                                       "\n  StrictHostKeyChecking no\n"
                                       "  UserKnownHostsFile /dev/null\n  BatchMode yes\n"
                                       "  LogLevel ERROR\n"
                                       // Shared connections, as many people set them: the
                                       // first command's connection stays for the next.
                                       "  ControlMaster auto\n  ControlPersist 300\n"
                                       "  ControlPath " +
                                       (root / "cm-%C").string() + "\n");
    fs::create_directories("/run/sshd");
    sshd = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/unshare", "--uts", "/bin/sh", "-c",
                                 "hostname devbox && exec /usr/sbin/sshd -D -e -f " +
                                     (root / "sshd_config").string()},
        root);
    ASSERT_TRUE(eventually([&] { return accepts(port) || sshd->hasEnded(); }));
    ASSERT_FALSE(sshd->hasEnded()) << sshd->standardError();
  }

  void TearDown() override {
    if (serve) {
      serve->signal(SIGTERM);
      serve->wait();
    }
    if (!root.empty()) {
      // The shared connection that the commands left.
      ChildProcess({"/usr/bin/ssh", "-F", (root / "ssh_config").string(), "-O", "exit", "devbox"},
                   root)
          .wait();
    }
    if (sshd) {
      sshd->signal(SIGTERM);
      sshd->wait();
    }
  }

  std::vector<std::string> environment() const {
    return {"TARVEL_SSH_COMMAND=ssh -F " + (root / "ssh_config").string()};
  }

  // `tarvel ARGUMENTS` on this machine.
  std::unique_ptr<ChildProcess> tarvel(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{program("tarvel")};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(command, local, "", environment());
  }

  // The copied tarvel-hook run on the remote machine, as its agent would; on a machine that
  // calls itself `hostName`.
  std::unique_ptr<ChildProcess> remoteHook(const std::string& input,
                                           const std::string& hostName = "devbox") const {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/unshare", "--uts", "/bin/sh", "-c",
                                 "hostname '" + hostName + "' && cd /srv 2>/dev/null; exec " +
                                     (remote / ".tarvel/bin/tarvel-hook").string() +
                                     " --provider claude-code"},
        remote, input);
  }

  nlohmann::json state() const {
    const auto response = Display::ApiClient::request(local / ".tarvel/api.sock", "GET",
                                                      "/v1/state", {}, std::chrono::seconds(5));
    if (!response || response->status != 200) {
      return nlohmann::json::object();
    }
    return nlohmann::json::parse(response->body, nullptr, false);
  }

  bool linkConnected() const {
    const auto current = state();
    const auto remotes = current.find("remotes");
    return current.is_object() && remotes != current.end() && remotes->size() == 1 &&
           (*remotes)[0].value("connected", false);
  }

  // The replyId of the one live prompt, once there is one.
  std::string livePrompt() const {
    std::string replyId;
    eventually(
        [&] {
          const auto current = state();
          if (!current.is_object() || !current.contains("prompts") ||
              current["prompts"].size() != 1) {
            return false;
          }
          replyId = current["prompts"][0].value("replyId", "");
          return true;
        });
    return replyId;
  }

  std::optional<Testing::TemporaryFolder> temporary;  // made once the test can run
  fs::path root, local, remote;
  int port = 0;
  std::unique_ptr<ChildProcess> sshd;
  std::unique_ptr<ChildProcess> serve;
};

TEST_F(RemoteHostTest, RemoteAgentIsAnsweredHereReleasedOnADeadLinkAndRemovedByteExactly) {
  const fs::path settings = remote / ".claude/settings.json";
  const std::string original =
      "{\n  \"model\": \"opus\",\n  \"hooks\": {\"Stop\": [{\"hooks\": [{\"type\": \"command\", "
      "\"command\": \"notify-send done\"}]}]}\n}\n";
  writeFile(settings, original);
  const fs::path codexHooks = remote / ".codex/hooks.json";
  const std::string originalHooks =
      "{\"hooks\": {\"Stop\": [{\"hooks\": [{\"type\": \"command\", \"command\": \"true\"}]}]}}\n";
  writeFile(codexHooks, originalHooks);
  const fs::path codexConfig = remote / ".codex/config.toml";
  const std::string originalConfig = "# mine\nmodel = \"o3\"  # fast\n\n[profiles.x]\nmodel = \"o4\"\n";
  writeFile(codexConfig, originalConfig);
  // The hosts are recorded in the settings file, beside a person's own lines.
  const fs::path localSettings = local / ".config/tarvel/config.toml";
  const std::string originalSettings = "# mine\nnotify_finished = 300  # five minutes\n";
  writeFile(localSettings, originalSettings);

  // The service runs before the host is added: it connects the new host by itself.
  serve = tarvel({"serve", "--no-notify", "--hold-without-answerers"});
  ASSERT_TRUE(eventually([&] { return state().contains("remotes"); }))
      << serve->standardError();
  EXPECT_EQ(state()["remotes"], nlohmann::json::array());
  // A stale socket file on the remote does not stop the link.
  writeFile(remote / ".tarvel/agent.sock", "stale");

  // add: the relay copied whole, the hooks in the remote configurations (Codex's trusted by the
  // remote's Codex), the host recorded.
  auto added = tarvel({"remote", "add", "devbox", "--agent", "claude-code", "--agent", "codex"});
  ASSERT_EQ(added->wait(std::chrono::seconds(180)), 0) << added->standardError();
  EXPECT_EQ(readAll(remote / ".tarvel/bin/tarvel-hook"), readAll(program("tarvel-hook")));
  EXPECT_NE(readAll(settings).find((remote / ".tarvel/bin/tarvel-hook").string() +
                                   " --provider claude-code"),
            std::string::npos);
  EXPECT_EQ(readAll(remote / ".claude/settings.json.tarvel-backup"), original);
  EXPECT_NE(added->standardOutput().find("Marked 2 tarvel hooks as trusted"), std::string::npos)
      << added->standardOutput();
  const std::string trusted = readAll(codexConfig);
  EXPECT_TRUE(trusted.starts_with(originalConfig)) << trusted;
  EXPECT_NE(trusted.find("trusted_hash = \"sha256:session_start\""), std::string::npos) << trusted;
  auto listed = tarvel({"remote", "list"});
  ASSERT_EQ(listed->wait(), 0);
  EXPECT_EQ(listed->standardOutput(), "devbox  " + remote.string() + "  claude-code, codex\n");
  EXPECT_TRUE(readAll(localSettings).starts_with(originalSettings)) << readAll(localSettings);

  ASSERT_TRUE(eventually([&] { return linkConnected(); }))
      << serve->standardError();
  // doctor: one line for the host, with its link's state and since when.
  auto doctor = tarvel({"doctor"});
  doctor->wait();
  std::istringstream report(doctor->standardOutput());
  std::string hostLine;
  for (std::string line; std::getline(report, line);) {
    if (line.starts_with("remote ") && line.find(" devbox ") != std::string::npos) {
      hostLine = line;
    }
  }
  EXPECT_NE(hostLine.find(" connected since 20"), std::string::npos) << doctor->standardOutput();

  // A waiting remote hook is answered from the local API, with its exact answer.
  auto waiting = remoteHook(Testing::permissionRequest("remote-session"));
  const std::string replyId = livePrompt();
  ASSERT_FALSE(replyId.empty()) << waiting->standardError();
  const auto current = state();
  ASSERT_EQ(current["sessions"].size(), 1u);
  EXPECT_EQ(current["sessions"][0]["id"], "claude-code:remote-session@devbox");
  EXPECT_EQ(current["sessions"][0]["origin"]["host"], "devbox");
  const auto answered = Display::ApiClient::request(
      local / ".tarvel/api.sock", "POST", "/v1/prompts/" + replyId,
      R"({"decision":"allow"})", std::chrono::seconds(30));
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 200) << answered->body;
  ASSERT_EQ(waiting->wait(), 0);
  EXPECT_EQ(waiting->standardOutput(), Testing::allowAnswer);

  // A remote machine that names itself like this one, or like another host, is still the host
  // its link reaches: its sessions are that host's.
  std::array<char, 256> localName{};
  ASSERT_EQ(::gethostname(localName.data(), localName.size() - 1), 0);
  for (const std::string& posed : {std::string(localName.data()), std::string("otherhost")}) {
    nlohmann::json document =
        nlohmann::json::parse(Testing::agentDocument("claude/UserPromptSubmit.json"));
    document["session_id"] = "posing-as-" + posed;
    auto posing = remoteHook(document.dump(), posed);
    ASSERT_EQ(posing->wait(), 0) << posing->standardError();
    std::string listed;
    EXPECT_TRUE(eventually(
        [&] {
          listed.clear();
          const auto current = state();
          for (const auto& session : current["sessions"]) {
            if (session["id"].get<std::string>().find("posing-as-" + posed) != std::string::npos) {
              listed = session["id"].get<std::string>() + " " + session["origin"]["host"].dump();
            }
          }
          return !listed.empty();
        }))
        << posing->standardError();
    EXPECT_EQ(listed, "claude-code:posing-as-" + posed + "@devbox \"devbox\"");
  }

  // The link killed mid-wait: the remote hook gets end-of-file and gives the neutral answer.
  auto held = remoteHook(Testing::permissionRequest("held-session"));
  ASSERT_FALSE(livePrompt().empty());
  const auto links = childrenWith(serve->processId(), " -N ");
  ASSERT_EQ(links.size(), 1u);
  const auto killed = std::chrono::steady_clock::now();
  ::kill(-links[0], SIGKILL);
  ASSERT_EQ(held->wait(), 0);
  EXPECT_EQ(held->standardOutput(), "{}\n");
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(30));

  // The service brings the link back by itself (a new ssh, connected) and a later event arrives.
  // The state may still show the old link as connected for a moment, and an event sent before
  // the new link is up is dropped by design, so the later event is sent until one arrives.
  ASSERT_TRUE(eventually(
      [&] {
        const auto now = childrenWith(serve->processId(), " -N ");
        return now.size() == 1 && now[0] != links[0] && linkConnected();
      }));
  const int before = state()["service"].value("eventsReceived", 0);
  bool arrived = false;
  for (int attempt = 0; attempt < 20 && !arrived; ++attempt) {
    auto later = remoteHook(Testing::agentDocument("claude/UserPromptSubmit.json"));
    ASSERT_EQ(later->wait(), 0);
    arrived = eventually(
        [&] {
          const auto now = state();
          return now.is_object() && now["service"].value("eventsReceived", 0) > before;
        },
        std::chrono::seconds(3));
  }
  EXPECT_TRUE(arrived);

  // remove while the service runs: its link ends, the configurations exactly as before add
  // (Codex's trust entries gone too), the relay gone, the host forgotten.
  auto removed = tarvel({"remote", "remove", "devbox"});
  ASSERT_EQ(removed->wait(std::chrono::seconds(180)), 0) << removed->standardError();
  ASSERT_TRUE(eventually(
      [&] {
        return childrenWith(serve->processId(), " -N ").empty() &&
               state()["remotes"] == nlohmann::json::array();
      }));
  EXPECT_EQ(readAll(settings), original);
  EXPECT_EQ(readAll(codexHooks), originalHooks);
  EXPECT_EQ(readAll(codexConfig), originalConfig) << removed->standardOutput();
  EXPECT_FALSE(fs::exists(remote / ".tarvel/bin/tarvel-hook"));
  EXPECT_EQ(readAll(localSettings), originalSettings);
  auto empty = tarvel({"remote", "list"});
  ASSERT_EQ(empty->wait(), 0);
  EXPECT_EQ(empty->standardOutput().rfind("No remote hosts", 0), 0u);

  serve->signal(SIGTERM);
  ASSERT_EQ(serve->wait(), 0);
  serve.reset();
}

// Hosts recorded by an older version in remotes.json move into the settings file once, beside the
// person's own lines, and stay readable when a setting is set afterwards.
TEST(RemoteHostRecords, OldRecordsMoveIntoTheSettingsFileAndSurviveConfigSet) {
  const Testing::TemporaryFolder temporary("records");
  const fs::path home = temporary.path;
  const fs::path old = home / ".tarvel/remotes.json";
  writeFile(old, R"({"remotes": [{"host": "dev@devbox", "home": "/home/dev",)"
                 R"( "agents": ["claude-code"]}]})");
  const fs::path settings = home / ".config/tarvel/config.toml";
  const std::string original = "# mine\nnotify = false  # quiet\n";
  writeFile(settings, original);
  const auto tarvel = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> command{program("tarvel")};
    command.insert(command.end(), arguments.begin(), arguments.end());
    auto child = std::make_unique<ChildProcess>(command, home);
    child->wait();
    return child;
  };

  const auto listed = tarvel({"remote", "list"});
  EXPECT_EQ(listed->standardOutput(), "dev@devbox  /home/dev  claude-code\n")
      << listed->standardError();
  EXPECT_NE(listed->standardError().find("Moved the remote hosts"), std::string::npos);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(readAll(settings), original +
                                   "\n[remotes.\"dev@devbox\"]\nhome = \"/home/dev\"\n"
                                   "agents = [\"claude-code\"]\n");

  // A setting set afterwards stays a setting, not a key of the host's table.
  const auto set = tarvel({"config", "set", "notify_finished", "60"});
  EXPECT_EQ(set->wait(), 0) << set->standardError();
  const auto got = tarvel({"config", "get", "notify_finished"});
  EXPECT_EQ(got->standardOutput(), "60\n") << got->standardError();
  const auto again = tarvel({"remote", "list"});
  EXPECT_EQ(again->standardOutput(), "dev@devbox  /home/dev  claude-code\n")
      << again->standardError();
}

// A container stand-in: bubblewrap with its own namespaces, host name and home, and only what
// `tarvel container` prints bound in; its hooks installed with `tarvel install --home`.
TEST(ContainerSetup, ContainerHookReachesTheServiceThroughThePrintedMounts) {
  if (!fs::exists("/usr/bin/bwrap")) {
    GTEST_SKIP() << "needs bubblewrap";
  }
#if defined(__SANITIZE_ADDRESS__)
  // Sanitizer builds link the hook against the system's loader and runtimes, which a container
  // that holds only the hook and the two sockets does not have.
  GTEST_SKIP() << "the hook of a sanitizer build is not linked statically";
#endif
  const Testing::TemporaryFolder temporary("container");
  const fs::path root = temporary.path;
  const fs::path local = root / "local";
  const fs::path box = root / "box";
  fs::create_directories(local);
  fs::create_directories(box);
  const auto tarvel = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> command{program("tarvel")};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(command, local);
  };
  auto installed = tarvel({"install", "--agent", "claude-code", "--home", box.string()});
  ASSERT_EQ(installed->wait(), 0) << installed->standardError();
  EXPECT_NE(readAll(box / ".claude/settings.json")
                .find("\"/opt/tarvel/.tarvel/bin/tarvel-hook --provider claude-code\""),
            std::string::npos);
  EXPECT_FALSE(fs::exists(box / ".tarvel"));

  auto serve = tarvel({"serve", "--no-notify", "--hold-without-answerers"});
  ASSERT_TRUE(eventually([&] { return fs::exists(local / ".tarvel/api.sock"); }));
  auto printed = tarvel({"container"});
  ASSERT_EQ(printed->wait(), 0);
  // The docker line's "-v 'SOURCE:TARGET'" pairs become bubblewrap's binds.
  std::vector<std::string> command{"/usr/bin/bwrap", "--unshare-all", "--hostname", "box",
                                   "--proc", "/proc", "--dev", "/dev", "--bind", box.string(),
                                   "/home/agent", "--setenv", "HOME", "/home/agent"};
  const std::string text = printed->standardOutput();
  std::size_t mounts = 0;
  for (auto at = text.find(" -v '"); at != std::string::npos; at = text.find(" -v '", at + 1)) {
    const auto end = text.find('\'', at + 5);
    const std::string pair = text.substr(at + 5, end - at - 5);
    const auto colon = pair.find(':');
    command.insert(command.end(), {"--bind", pair.substr(0, colon), pair.substr(colon + 1)});
    ++mounts;
  }
  EXPECT_EQ(mounts, 3u) << text;
  const auto variable = text.find("-e TARVEL_HOME=");
  ASSERT_NE(variable, std::string::npos);
  const std::string directory =
      text.substr(variable + 15, text.find('\n', variable) - variable - 15);
  command.insert(command.end(), {"--setenv", "TARVEL_HOME", directory,
                                 directory + "/bin/tarvel-hook", "--provider", "claude-code"});

  auto waiting = std::make_unique<ChildProcess>(command, box,
                                                Testing::permissionRequest("boxed-session"));
  std::string replyId;
  std::string sessionId;
  ASSERT_TRUE(eventually(
      [&] {
        const auto response = Display::ApiClient::request(local / ".tarvel/api.sock", "GET",
                                                          "/v1/state", {}, std::chrono::seconds(5));
        const auto state = response ? nlohmann::json::parse(response->body, nullptr, false)
                                    : nlohmann::json();
        if (!state.is_object() || state["prompts"].size() != 1) {
          return false;
        }
        replyId = state["prompts"][0].value("replyId", "");
        sessionId = state["sessions"][0].value("id", "");
        return true;
      }))
      << waiting->standardError();
  EXPECT_EQ(sessionId, "claude-code:boxed-session@box");
  const auto answered =
      Display::ApiClient::request(local / ".tarvel/api.sock", "POST", "/v1/prompts/" + replyId,
                                  R"({"decision":"allow"})", std::chrono::seconds(30));
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 200);
  ASSERT_EQ(waiting->wait(), 0);
  EXPECT_EQ(waiting->standardOutput(), Testing::allowAnswer);

  serve->signal(SIGTERM);
  EXPECT_EQ(serve->wait(), 0);
}

// TARVEL_HOME moves the service's folder, with the guards of ~/.tarvel: made 0700, never a link.
TEST(TarvelHome, ServiceUsesTheGivenFolderAndRefusesALink) {
  const Testing::TemporaryFolder temporary("home");
  const fs::path root = temporary.path;
  fs::create_directories(root / "home");
  fs::create_directories(root / "elsewhere");
  fs::create_directory_symlink(root / "elsewhere", root / "link");

  ChildProcess refused({program("tarvel"), "serve", "--no-notify"}, root / "home", "",
                       {"TARVEL_HOME=" + (root / "link").string() + "/"});
  EXPECT_EQ(refused.wait(), 1);
  EXPECT_NE(refused.standardError().find("is a symbolic link"), std::string::npos)
      << refused.standardError();
  EXPECT_TRUE(fs::is_empty(root / "elsewhere"));

  const fs::path folder = root / "state" / "tarvel";
  ChildProcess serve({program("tarvel"), "serve", "--no-notify"}, root / "home", "",
                     {"TARVEL_HOME=" + folder.string()});
  ASSERT_TRUE(eventually([&] { return fs::exists(folder / "api.sock"); }))
      << serve.standardError();
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_TRUE(fs::is_socket(folder / "agent.sock"));
  EXPECT_FALSE(fs::exists(root / "home" / ".tarvel"));
  serve.signal(SIGTERM);
  EXPECT_EQ(serve.wait(), 0);
}

}  // namespace
}  // namespace tarvel
