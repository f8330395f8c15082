#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Hooks/AgentHookEventMapper.hpp"
#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Hooks/Grok/GrokHookRouting.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Version.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "TarvelDisplay/ServiceTestSupport.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/CodexHookTrust.hpp"
#include "Tools/tarvel/CommandLine.hpp"
#include "Tools/tarvel/Commands.hpp"
#include "Tools/tarvel/InstallCommand.hpp"
#include "Tools/tarvel/Installer.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
// The installable agents' rows in the catalogue.
namespace Agent {
const tarvel::AgentRow& claudeCode = *tarvel::AgentCatalogue::installable("claude-code");
const tarvel::AgentRow& codex = *tarvel::AgentCatalogue::installable("codex");
const tarvel::AgentRow& geminiCLI = *tarvel::AgentCatalogue::installable("gemini-cli");
const tarvel::AgentRow& cursor = *tarvel::AgentCatalogue::installable("cursor");
}  // namespace Agent
using tarvel::AgentConfigurations::Document;

std::string readBytes(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream bytes;
  bytes << stream.rdbuf();
  return bytes.str();
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// The built tarvel run as a child with HOME set to a temporary directory; PATH holds no codex.
class TarvelInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvel-install-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(home, ignored);
  }

  Outcome tarvel(std::vector<std::string> arguments,
                 const std::string& path = "/usr/bin:/bin") const {
    return run("tarvel", std::move(arguments), path);
  }

  // One of the built programs (or, named by its path, another program), as tarvel() runs tarvel.
  Outcome run(const std::string& name, std::vector<std::string> arguments,
              const std::string& path = "/usr/bin:/bin") const {
    const std::string program =
        name.starts_with('/') ? name : std::string(TARVEL_BINARY_DIR) + "/bin/" + name;
    arguments.insert(arguments.begin(), program);
    const fs::path outPath = home / "out.txt";
    const fs::path errPath = home / "err.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, home.c_str());
    std::vector<std::string> environment{"HOME=" + home.string(), "PATH=" + path};
    for (char** variable = environ; *variable != nullptr; ++variable) {
      if (std::string_view(*variable).starts_with("ASAN_") ||
          std::string_view(*variable).starts_with("UBSAN_")) {
        environment.emplace_back(*variable);
      }
    }
    std::vector<char*> envp;
    for (auto& item : environment) {
      envp.push_back(item.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& item : arguments) {
      argv.push_back(item.data());
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned =
        ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << program;
    // A command that blocks (on a FIFO, a hung program) is a failure, not a hung test.
    Outcome outcome;
    int status = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pid_t reaped = 0;
    while (spawned == 0 && (reaped = ::waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (spawned == 0 && reaped == 0) {
      ADD_FAILURE() << "tarvel did not finish within 30 s";
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    if (reaped == child && WIFEXITED(status)) {
      outcome.status = WEXITSTATUS(status);
    }
    outcome.out = readBytes(outPath);
    outcome.err = readBytes(errPath);
    return outcome;
  }

  fs::path relay() const { return home / ".tarvel" / "bin" / "tarvel-hook"; }

  fs::path home;
};

struct AgentCase {
  const tarvel::AgentRow& agent;
  std::string name;
  std::string fixture;
};

const std::vector<AgentCase> agentCases{
    {Agent::claudeCode, "claude-code", "claude-settings.json"},
    {Agent::codex, "codex", "codex-hooks.json"},
    {Agent::geminiCLI, "gemini-cli", "gemini-settings.json"},
    {Agent::cursor, "cursor", "cursor-hooks.json"},
};

// Every entry of ours (exactly `command`) found anywhere in the document.
std::size_t countOurs(const Document& value, const std::string& command) {
  std::size_t count = tarvel::AgentConfigurations::isOurEntry(value, command) ? 1 : 0;
  if (value.is_structured()) {
    for (const auto& element : value) {
      count += countOurs(element, command);
    }
  }
  return count;
}

TEST_F(TarvelInstallTest, InstallKeepsUserEntriesIsIdempotentAndUninstallRestoresTheFile) {
  for (const auto& item : agentCases) {
    SCOPED_TRACE(item.name);
    const fs::path config = tarvel::AgentConfigurations::configurationPath(item.agent, home);
    const std::string original =
        readBytes(fs::path(TARVEL_FIXTURES_DIR) / "configs" / item.fixture);
    ASSERT_FALSE(original.empty());
    writeBytes(config, original);
    const Document before = Document::parse(original);

    const auto first = tarvel({"install", "--agent", item.name});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find(config.string() + ".tarvel-backup"), std::string::npos) << first.out;
    EXPECT_EQ(readBytes(config.string() + ".tarvel-backup"), original);
    const std::string installed = readBytes(config);
    const Document after = Document::parse(installed);

    // The user's entries stay first, unchanged, in every event list, and other settings stay.
    for (const auto& [key, value] : before.items()) {
      if (key != "hooks") {
        EXPECT_EQ(after[key], value) << key;
      }
    }
    for (const auto& [event, list] : before["hooks"].items()) {
      ASSERT_TRUE(after["hooks"][event].is_array()) << event;
      for (std::size_t index = 0; index < list.size(); ++index) {
        EXPECT_EQ(after["hooks"][event][index], list[index]) << event;
      }
    }
    const std::size_t ours =
        countOurs(after, tarvel::AgentConfigurations::hookCommand(item.agent, home));
    EXPECT_EQ(ours, &item.agent == &Agent::claudeCode
                        ? tarvel::AgentConfigurations::hookedEvents(item.agent).size() + 1
                        : tarvel::AgentConfigurations::hookedEvents(item.agent).size());

    const auto second = tarvel({"install", "--agent", item.name});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(readBytes(config), installed);

    const auto removed = tarvel({"uninstall", "--agent", item.name});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(readBytes(config), original);
    // The backup of the install is kept; uninstall's own goes beside it.
    EXPECT_EQ(readBytes(config.string() + ".tarvel-backup"), original);
    EXPECT_EQ(readBytes(config.string() + ".tarvel-backup-2"), installed);
  }
}

TEST_F(TarvelInstallTest, ClaudeCodeWaitsOnlyWhereTheDisplayCanAnswer) {
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  const Document settings = Document::parse(readBytes(home / ".claude" / "settings.json"));
  const auto& preToolUse = settings["hooks"]["PreToolUse"];
  ASSERT_EQ(preToolUse.size(), 2U);
  EXPECT_EQ(preToolUse[0]["matcher"], "AskUserQuestion|ExitPlanMode");
  EXPECT_GT(preToolUse[0]["hooks"][0]["timeout"].get<int>(), tarvel::AgentReplyPolicy::waitSeconds);
  EXPECT_EQ(preToolUse[1]["matcher"], "^(?!AskUserQuestion$|ExitPlanMode$).*");
  EXPECT_LT(preToolUse[1]["hooks"][0]["timeout"].get<int>(), 10);
  for (const char* event : {"PermissionRequest", "Elicitation"}) {
    EXPECT_GT(settings["hooks"][event][0]["hooks"][0]["timeout"].get<int>(),
              tarvel::AgentReplyPolicy::waitSeconds)
        << event;
  }
  for (const char* event : {"Stop", "PostToolUse", "SessionStart"}) {
    EXPECT_LT(settings["hooks"][event][0]["hooks"][0]["timeout"].get<int>(), 10) << event;
  }
  EXPECT_EQ(settings["hooks"]["Stop"][0]["hooks"][0]["command"],
            relay().string() + " --provider claude-code");
}

TEST_F(TarvelInstallTest, UnparsableOrMisshapenFileIsRefusedAndLeftUnchanged) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"truncated", "{\"hooks\": {\"Stop\": ["},
      {"not an object", "[1, 2]"},
      {"hooks not an object", "{\"hooks\": []}"},
      {"event not an array", "{\"hooks\": {\"Stop\": {\"command\": \"x\"}}}"},
      {"comments", "{\n  // keep me\n  \"model\": \"opus\"\n}\n"},
      {"bad UTF-8", "{\"model\": \"\xff\xfe\"}"},
      {"NUL byte", std::string("{\"model\": \"opus\"}\0{\"hooks\": 1}", 31)},
      {"trailing garbage", "{\"model\": \"opus\"} x"},
      {"hooks twice", "{\"hooks\": {}, \"hooks\": {}}"},
      {"deep nesting", "{\"a\": " + std::string(50000, '[') + std::string(50000, ']') + "}"},
  };
  const fs::path config = home / ".claude" / "settings.json";
  for (const auto& [label, bytes] : cases) {
    SCOPED_TRACE(label);
    writeBytes(config, bytes);
    const auto outcome = tarvel({"install", "--agent", "claude-code"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find(config.string()), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("nothing was changed"), std::string::npos) << outcome.err;
    EXPECT_EQ(readBytes(config), bytes);
    EXPECT_EQ(tarvel({"install", "--agent", "claude-code", "--dry-run"}).status, 1);
    EXPECT_FALSE(fs::exists(config.string() + ".tarvel-backup"));
    EXPECT_FALSE(fs::exists(relay()));
    // Uninstall finds nothing of ours in a list it cannot read, and changes nothing either.
    EXPECT_EQ(tarvel({"uninstall", "--agent", "claude-code"}).status,
              label == "event not an array" ? 0 : 1);
    EXPECT_EQ(readBytes(config), bytes);
  }
}

TEST_F(TarvelInstallTest, DryRunPrintsTheResultAndWritesNothing) {
  const fs::path config = home / ".gemini" / "settings.json";
  const std::string original =
      readBytes(fs::path(TARVEL_FIXTURES_DIR) / "configs" / "gemini-settings.json");
  writeBytes(config, original);
  const auto outcome = tarvel({"install", "--agent", "gemini-cli", "--dry-run"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const Document printed = Document::parse(outcome.out, nullptr, false);
  ASSERT_FALSE(printed.is_discarded()) << outcome.out;
  EXPECT_EQ(countOurs(printed, tarvel::AgentConfigurations::hookCommand(Agent::geminiCLI, home)),
            tarvel::AgentConfigurations::hookedEvents(Agent::geminiCLI).size());
  EXPECT_EQ(printed["hooks"]["BeforeTool"][1]["hooks"][0]["timeout"], 5000);
  EXPECT_EQ(readBytes(config), original);
  EXPECT_FALSE(fs::exists(home / ".tarvel"));
  EXPECT_FALSE(fs::exists(config.string() + ".tarvel-backup"));

  // Two agents in one run are refused rather than the first silently dropped.
  const auto twice = tarvel({"install", "--agent", "claude-code", "--agent", "gemini-cli"});
  EXPECT_EQ(twice.status, 2) << twice.err;
  EXPECT_NE(twice.err.find("--agent given twice"), std::string::npos) << twice.err;
  EXPECT_EQ(readBytes(config), original);
}

TEST_F(TarvelInstallTest, MissingConfigurationIsCreatedAndTheRelayIsCopiedExecutable) {
  const auto outcome = tarvel({"install", "--agent", "cursor"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const Document hooks = Document::parse(readBytes(home / ".cursor" / "hooks.json"));
  EXPECT_EQ(hooks["version"], 1);
  EXPECT_EQ(hooks["hooks"]["stop"][0]["command"], relay().string() + " --provider cursor");
  EXPECT_FALSE(fs::exists(home / ".cursor" / "hooks.json.tarvel-backup"));

  struct stat status {};
  ASSERT_EQ(::stat(relay().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755U);
  EXPECT_EQ(readBytes(relay()), readBytes(fs::path(TARVEL_BINARY_DIR) / "bin" / "tarvel-hook"));
  // No temporary files are left beside what was written.
  for (const auto& directory : {home / ".cursor", home / ".tarvel" / "bin"}) {
    for (const auto& entry : fs::directory_iterator(directory)) {
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
          << entry.path();
    }
  }
}

TEST_F(TarvelInstallTest, CodexWithoutTheCodexProgramAsksTheUserToReviewTheHooks) {
  const auto outcome = tarvel({"install", "--agent", "codex"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("hooks need review"), std::string::npos) << outcome.out;
  EXPECT_FALSE(fs::exists(home / ".codex" / "config.toml"));
  const std::string hooks = readBytes(home / ".codex" / "hooks.json");
  EXPECT_EQ(hooks.find("codex_hooks"), std::string::npos);
}

TEST_F(TarvelInstallTest, MissingRelayIsAnErrorThatChangesNothing) {
  const fs::path config = home / ".claude" / "settings.json";
  writeBytes(config, "{}\n");
  const tarvel::Installer::Context context{
      .home = home, .hookSource = home / "no-such" / "tarvel-hook", .workingDirectory = home};
  std::ostringstream out;
  std::ostringstream err;
  const tarvel::Installer::Options options{.action = tarvel::Installer::Action::install,
                                           .agent = &Agent::claudeCode};
  EXPECT_EQ(tarvel::Installer::run(options, context, out, err), 1);
  EXPECT_NE(err.str().find("tarvel-hook was not found"), std::string::npos) << err.str();
  EXPECT_EQ(readBytes(config), "{}\n");
}

TEST_F(TarvelInstallTest, ProblemsInTheFileAreShownWhereTheyAre) {
  const fs::path config = home / ".claude" / "settings.json";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"{\n  \"model\": \"opus\",\n  \"x\": tru\n}\n", "is not valid JSON (line 3, column 11)"},
      {"{\n  \"model\": \"opus\" // mine\n}\n", "holds comments (the first at line 2, column 19)"},
      {std::string("{}\n\0x", 5), "holds a NUL byte (line 2, column 1)"},
  };
  for (const auto& [bytes, message] : cases) {
    SCOPED_TRACE(message);
    writeBytes(config, bytes);
    const auto outcome = tarvel({"install", "--agent", "claude-code"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("--dry-run"), std::string::npos) << outcome.err;
  }
}

TEST_F(TarvelInstallTest, EveryByteOutsideOurEntriesSurvivesInstallAndUninstall) {
  // Numbers beyond 64 bits and double precision, -0, 1E5, duplicate keys, tabs and odd spacing,
  // keys out of order, and a user hook whose command merely mentions the relay's path.
  const std::string mine = "echo " + relay().string() + " --provider claude-code";
  const std::string original =
      "{\"z\" :\t123456789012345678901234567890 , \"pi\": 3.14159265358979323846264338327950288,\n"
      "\t\"neg\": -0, \"e\": 1E5, \"env\": {\"A\": \"1\", \"A\": \"2\"},\n"
      "\t\"hooks\": {\n"
      "\t\t\"Stop\": [\n"
      "\t\t\t{\"hooks\": [{\"type\": \"command\", \"command\": \"" +
      mine +
      "\"}]}\n"
      "\t\t],\n"
      "\t\t\"Custom\" : [ ]\n"
      "\t}, \"a\": [1,2 ,3]\n"
      "}";
  const fs::path config = home / ".claude" / "settings.json";
  writeBytes(config, original);
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  const std::string installed = readBytes(config);
  // Our entries went in, in the file's own tab indentation, after the user's.
  const std::string ours = tarvel::AgentConfigurations::hookCommand(Agent::claudeCode, home);
  const std::string expectedStop =
      "\t\t\"Stop\": [\n"
      "\t\t\t{\"hooks\": [{\"type\": \"command\", \"command\": \"" +
      mine +
      "\"}]},\n"
      "\t\t\t{\n"
      "\t\t\t\t\"hooks\": [\n"
      "\t\t\t\t\t{\n"
      "\t\t\t\t\t\t\"type\": \"command\",\n"
      "\t\t\t\t\t\t\"command\": \"" +
      ours +
      "\",\n"
      "\t\t\t\t\t\t\"timeout\": 5\n"
      "\t\t\t\t\t}\n"
      "\t\t\t\t]\n"
      "\t\t\t}\n"
      "\t\t],\n";
  EXPECT_NE(installed.find(expectedStop), std::string::npos) << installed;
  EXPECT_TRUE(installed.starts_with(original.substr(0, original.find("\t\t\"Stop\""))));
  EXPECT_TRUE(installed.ends_with("\t}, \"a\": [1,2 ,3]\n}"));
  const Document parsed = Document::parse(installed);
  EXPECT_EQ(countOurs(parsed, ours),
            tarvel::AgentConfigurations::hookedEvents(Agent::claudeCode).size() + 1);
  EXPECT_EQ(countOurs(parsed, mine), 1u);

  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  EXPECT_EQ(readBytes(config), installed);
  ASSERT_EQ(tarvel({"uninstall", "--agent", "claude-code"}).status, 0);
  EXPECT_EQ(readBytes(config), original);
  // Uninstall with nothing of ours left leaves the user's look-alike alone.
  const auto again = tarvel({"uninstall", "--agent", "claude-code"});
  EXPECT_NE(again.out.find("holds no tarvel hooks"), std::string::npos) << again.out;
  EXPECT_EQ(readBytes(config), original);
}

TEST_F(TarvelInstallTest, WhatIsNotAPlainWritableFileIsRefusedWithoutWaitingOrChanging) {
  const fs::path config = home / ".claude" / "settings.json";
  fs::create_directories(config.parent_path());
  const auto refusedUnchanged = [&](const std::string& expected) {
    for (const bool dryRun : {false, true}) {
      SCOPED_TRACE(dryRun ? "dry run" : "install");
      std::vector<std::string> arguments{"install", "--agent", "claude-code"};
      if (dryRun) {
        arguments.emplace_back("--dry-run");
      }
      const auto outcome = tarvel(arguments);
      EXPECT_EQ(outcome.status, 1);
      EXPECT_NE(outcome.err.find(expected), std::string::npos) << outcome.err;
      EXPECT_FALSE(fs::exists(relay()));
    }
  };
  {
    SCOPED_TRACE("FIFO");
    ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);
    refusedUnchanged("is not a regular file");
    EXPECT_TRUE(fs::is_fifo(config));
    fs::remove(config);
  }
  {
    SCOPED_TRACE("dangling link");
    fs::create_symlink(home / "dotfiles" / "settings.json", config);
    refusedUnchanged("which does not exist");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(config)));
    EXPECT_FALSE(fs::exists(home / "dotfiles"));
    fs::remove(config);
  }
  {
    SCOPED_TRACE("read-only");
    writeBytes(config, "{}\n");
    fs::permissions(config, fs::perms::owner_read | fs::perms::group_read);
    const auto outcome = tarvel({"install", "--agent", "claude-code"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("read-only"), std::string::npos) << outcome.err;
    EXPECT_EQ(readBytes(config), "{}\n");
    const auto forced = tarvel({"install", "--agent", "claude-code", "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(readBytes(config), "{}\n");
    EXPECT_EQ(fs::status(config).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read);
  }
}

TEST_F(TarvelInstallTest, CodexTrustIsRecordedOnInstallAndOnlyOursRemovedOnUninstall) {
  const fs::path bin = home / "fakebin";
  fs::create_directories(bin);
  fs::copy_file(fs::path(TARVEL_FIXTURES_DIR) / "codex-fakes" / "fake-codex-hooks.sh",
                bin / "codex");
  fs::permissions(bin / "codex", fs::perms(0755));
  const fs::path toml = home / ".codex" / "config.toml";
  const std::string original =
      "# my settings\nmodel = \"o3\"   # fast\n\n[profiles.x]\nmodel = \"o4\"\n\n"
      "[hooks.state.\"/elsewhere/hooks.json:stop:0:0\"]\ntrusted_hash = \"sha256:mine\"\n";
  writeBytes(toml, original);
  const std::string path = bin.string() + ":/usr/bin:/bin";

  const auto installed = tarvel({"install", "--agent", "codex"}, path);
  ASSERT_EQ(installed.status, 0) << installed.err;
  // One query to Codex per install.
  const auto asked = installed.out.find("Asking " + (bin / "codex").string());
  EXPECT_NE(asked, std::string::npos) << installed.out;
  EXPECT_EQ(installed.out.find("Asking ", asked + 1), std::string::npos) << installed.out;
  // Within what Codex accepts for each event: it clamps Interrupt and SessionEnd to 3 s.
  const Document hooks = Document::parse(readBytes(home / ".codex" / "hooks.json"));
  for (const std::string event : {"Interrupt", "SessionEnd"}) {
    EXPECT_LE(hooks["hooks"][event][0]["hooks"][0]["timeout"].get<int>(), 3) << event;
  }
  EXPECT_NE(installed.out.find("Marked 2 tarvel hooks as trusted"), std::string::npos)
      << installed.out;
  const std::string trusted = readBytes(toml);
  EXPECT_TRUE(trusted.starts_with(original));
  EXPECT_NE(trusted.find("trusted_hash = \"sha256:session_start\""), std::string::npos);

  const auto removed = tarvel({"uninstall", "--agent", "codex"}, path);
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(readBytes(toml), original) << removed.out;
}

TEST_F(TarvelInstallTest, HungCodexIsGivenUpOnWithinItsBoundAndSaidSo) {
  const fs::path bin = home / "fakebin";
  writeBytes(bin / "codex", "#!/bin/sh\nexec sleep 600\n");
  fs::permissions(bin / "codex", fs::perms(0755));
  const tarvel::Installer::Context context{
      .home = home,
      .hookSource = fs::path(TARVEL_BINARY_DIR) / "bin" / "tarvel-hook",
      .workingDirectory = home,
      .searchPath = bin.string(),
      .codexDeadline = std::chrono::milliseconds(300)};
  std::ostringstream out;
  std::ostringstream err;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(
      tarvel::Installer::run({.action = tarvel::Installer::Action::install, .agent = &Agent::codex},
                             context, out, err),
      0);
  // Well before the 600 s the fake would take.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  EXPECT_NE(out.str().find("(at most 300 ms)"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("did not list its hooks"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("hooks need review"), std::string::npos) << out.str();
}

TEST_F(TarvelInstallTest, UninstallTakesBackAFileInstallMadeAndNamesTheBackups) {
  const fs::path config = home / ".claude" / "settings.json";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
    ASSERT_TRUE(fs::exists(config));
    const auto removed = tarvel({"uninstall", "--agent", "claude-code"});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_FALSE(fs::exists(config)) << readBytes(config);
    EXPECT_NE(removed.out.find("which tarvel install had created"), std::string::npos)
        << removed.out;
    EXPECT_FALSE(fs::exists(home / ".tarvel" / "created-files"));
  }
  // The person's own file stays, even when only {} is left, and its backups are named.
  writeBytes(config, "{}\n");
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  const auto removed = tarvel({"uninstall", "--agent", "claude-code"});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(readBytes(config), "{}\n");
  EXPECT_NE(removed.out.find("settings.json.tarvel-backup settings.json.tarvel-backup-2"),
            std::string::npos)
      << removed.out;
}

TEST_F(TarvelInstallTest, EveryProgramAnswersHelp) {
  // Program, arguments, what the answer starts with; -h and --help alike, exit 0, on stdout.
  // (Each tarvel command's help: EveryCommandsHelpCompletionsAndManualFollowTheTable.)
  const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> table{
      {"tarvel", {}, "usage: tarvel install"},
      {"tarvel-hook", {}, "usage: tarvel-hook"},
      {"tarvel-island", {}, "usage: tarvel-island"},
      {"tarvel-monitor", {}, "usage: tarvel-monitor"},
      {"QuoyaCodexHook", {}, "usage: QuoyaCodexHook"},
  };
  for (const auto& [program, subcommand, expected] : table) {
    for (const std::string flag : {"-h", "--help"}) {
      std::vector<std::string> arguments = subcommand;
      arguments.push_back(flag);
      SCOPED_TRACE(program + " " + (subcommand.empty() ? "" : subcommand[0] + " ") + flag);
      const auto outcome = run(program, arguments);
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      EXPECT_TRUE(outcome.out.starts_with(expected)) << outcome.out;
      EXPECT_EQ(outcome.err, "");
    }
  }
  // Help wins wherever it stands; a wrong subcommand still gets the usage on stderr, exit 2.
  EXPECT_EQ(tarvel({"uninstall", "-h", "--agent", "codex"}).status, 0);
  const auto wrong = tarvel({"service", "enable"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("usage: tarvel service"), std::string::npos) << wrong.err;
  EXPECT_EQ(wrong.out, "");
  const auto version = tarvel({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("tarvel ") + TARVEL_VERSION + "\n");
}

std::vector<std::string> nonEmptyLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

std::vector<std::string> sortedUnique(std::vector<std::string> words) {
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

std::vector<std::string> namesOf(tarvel::CommandLine::WordList list) {
  std::vector<std::string> names;
  for (const auto& word : list()) {
    names.push_back(word.name);
  }
  return names;
}

std::vector<std::string> plus(std::vector<std::string> words, std::vector<std::string> more) {
  words.insert(words.end(), more.begin(), more.end());
  return words;
}

// A tarvel command line being completed, and the words each shell must offer for its last one.
struct CompletionCase {
  std::vector<std::string> words;  // after "tarvel"; the last is the one being completed
  std::vector<std::string> expected;
  bool afterEquals = false;  // the last word is the value of "--option=", the word before it
};

// What the command table says the shells offer: the commands; each command's actions; each
// command's (or action's) options after "-", their values' words (after the option, and after
// "--option="), and each operand's words.
std::vector<CompletionCase> completionCasesOfTheTable() {
  using tarvel::CommandLine::Operand;
  using tarvel::CommandLine::Option;
  std::vector<CompletionCase> cases;
  const auto scope = [&](const std::vector<std::string>& head,
                         const std::vector<std::span<const Option>>& optionLists,
                         std::span<const Operand> operands) {
    std::vector<std::string> names;
    for (const auto options : optionLists) {
      for (const Option& option : options) {
        names.emplace_back(option.name);
        const auto words =
            option.words != nullptr ? namesOf(option.words) : std::vector<std::string>{};
        if (!option.value.empty()) {
          cases.push_back({plus(head, {std::string(option.name), ""}), words});
        }
        if (!option.value.empty() && option.name.starts_with("--")) {
          cases.push_back({plus(head, {std::string(option.name), ""}), words, true});
        }
      }
    }
    cases.push_back({plus(head, {"-"}), names});
    std::vector<std::string> before = head;
    for (const Operand& operand : operands) {
      cases.push_back({plus(before, {""}), operand.words != nullptr ? namesOf(operand.words)
                                                                    : std::vector<std::string>{}});
      before.emplace_back("x");
    }
  };
  std::vector<std::string> commandNames;
  for (const auto* command : tarvel::Commands::all()) {
    if (command->hidden) {
      continue;
    }
    const std::string name(command->name);
    commandNames.push_back(name);
    if (command->actions.empty()) {
      scope({name}, {command->options}, command->operands);
      continue;
    }
    std::vector<std::string> actionNames;
    for (const auto& action : command->actions) {
      actionNames.emplace_back(action.name);
      scope({name, std::string(action.name)}, {action.options, command->options}, action.operands);
    }
    cases.push_back({{name, ""}, actionNames});
  }
  cases.push_back({{""}, commandNames});
  return cases;
}

std::string traceOf(const CompletionCase& completion) {
  std::string text = "tarvel";
  for (std::size_t index = 0; index < completion.words.size(); ++index) {
    const bool joined = completion.afterEquals && index + 1 == completion.words.size();
    text += (joined ? "=" : " ") + completion.words[index];
  }
  return text + "<TAB>";
}

TEST_F(TarvelInstallTest, EveryCommandsHelpCompletionsAndManualFollowTheTable) {
  const fs::path built(TARVEL_BINARY_DIR);
  // --agent takes the agent table's installable rows, each of which install accepts.
  std::vector<std::string> agents;
  for (const auto* row : tarvel::AgentCatalogue::all()) {
    if (!row->installName.empty()) {
      agents.emplace_back(row->installName);
    }
  }
  ASSERT_EQ(namesOf(tarvel::InstallCommand::install.options.front().words), agents);
  for (const std::string& agent : agents) {
    SCOPED_TRACE(agent);
    const auto installed = tarvel({"install", "--agent", agent, "--dry-run"});
    EXPECT_EQ(installed.status, 0) << installed.err;
  }

  // Each command's help, asked three ways, on stdout with exit 0; its usage, unwrapped, is the
  // manual's synopsis line.
  std::vector<std::string> synopsis;
  for (const auto* command : tarvel::Commands::all()) {
    const std::string name(command->name);
    SCOPED_TRACE(name);
    const auto help = tarvel({name, "--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.err, "");
    ASSERT_TRUE(help.out.starts_with("usage: tarvel " + name)) << help.out;
    EXPECT_EQ(tarvel({name, "-h"}).out, help.out);
    EXPECT_EQ(tarvel({"help", name}).out, help.out);
    if (command->hidden) {
      continue;
    }
    std::string usage;
    for (const std::string& line : nonEmptyLines(help.out)) {
      if (!usage.empty() && !line.starts_with("   ")) {
        break;
      }
      usage += (usage.empty() ? "" : " ") + line.substr(line.find_first_not_of(' '));
    }
    synopsis.push_back(usage.substr(std::string_view("usage: ").size()));
    // Every option and action is in the help.
    for (const auto& option : command->options) {
      EXPECT_NE(help.out.find(std::string(option.name) + " "), std::string::npos) << option.name;
    }
    for (const auto& action : command->actions) {
      EXPECT_NE(help.out.find("  " + std::string(action.name)), std::string::npos) << action.name;
    }
  }
  synopsis.emplace_back("tarvel --version | --help");
  const auto manual = run("/usr/bin/groff", {"-man", "-Tutf8", "-P-cbou", "-rLL=2000n", "-ww",
                                             (built / "man" / "tarvel.1").string()});
  ASSERT_EQ(manual.status, 0) << manual.err;
  EXPECT_EQ(manual.err, "");  // no warning
  std::vector<std::string> manualSynopsis;
  bool inSynopsis = false;
  for (const std::string& line : nonEmptyLines(manual.out)) {
    if (!line.starts_with(' ')) {
      inSynopsis = line == "SYNOPSIS";
    } else if (inSynopsis) {
      manualSynopsis.push_back(line.substr(line.find_first_not_of(' ')));
    }
  }
  EXPECT_EQ(manualSynopsis, synopsis);
  // The manual's install entry names every agent --agent takes.
  const std::size_t agentList = manual.out.find(" is one of ");
  ASSERT_NE(agentList, std::string::npos);
  const std::string named =
      manual.out.substr(agentList, manual.out.find(" works too", agentList) - agentList);
  for (const std::string& agent : agents) {
    EXPECT_NE(named.find(" " + agent), std::string::npos) << agent << " in: " << named;
  }
  const auto overview = tarvel({"--help"});
  for (const std::string& line : synopsis) {
    EXPECT_NE(overview.out.find(line.substr(0, line.find(' ', 7))), std::string::npos) << line;
  }

  // bash, with the completion loaded as bash-completion loads it: sourced inside a function.
  const std::string bashScript =
      "load() { source \"$1\"; }; load \"$1\"; shift; COMP_WORDS=(tarvel \"$@\"); "
      "COMP_CWORD=$#; _tarvel; printf '%s\\n' \"${COMPREPLY[@]}\"";
  for (const CompletionCase& completion : completionCasesOfTheTable()) {
    SCOPED_TRACE("bash: " + traceOf(completion));
    std::vector<std::string> words = completion.words;
    if (completion.afterEquals) {  // bash splits "--agent=" into "--agent" and "="
      words.back() = "=";
    }
    const auto offered = run(
        "/bin/bash",
        plus({"-c", bashScript, "bash", (built / "completions" / "tarvel.bash").string()}, words));
    ASSERT_EQ(offered.status, 0) << offered.err;
    EXPECT_EQ(offered.err, "");
    EXPECT_EQ(sortedUnique(nonEmptyLines(offered.out)), sortedUnique(completion.expected));
  }
}

// zsh's own completion system, driven on a pseudo-terminal, offers what the table declares.
TEST_F(TarvelInstallTest, ZshCompletionOffersWhatTheTableDeclares) {
  if (::access("/usr/bin/zsh", X_OK) != 0) {
    GTEST_SKIP() << "needs zsh (make deps-test installs it)";
  }
  const std::vector<CompletionCase> cases = completionCasesOfTheTable();
  std::vector<std::string> arguments{
      std::string(TARVEL_SOURCE_DIR) + "/Tests/Tools/tarvel/zsh_complete.zsh",
      std::string(TARVEL_BINARY_DIR) + "/completions"};
  for (const CompletionCase& completion : cases) {
    std::string line = "tarvel";
    for (std::size_t index = 0; index < completion.words.size(); ++index) {
      const bool joined = completion.afterEquals && index + 1 == completion.words.size();
      line += (joined ? "=" : " ") + completion.words[index];
    }
    arguments.push_back(line);
  }
  const auto offered = run("/usr/bin/zsh", arguments);
  ASSERT_EQ(offered.status, 0) << offered.err;
  std::vector<std::vector<std::string>> answers(1);
  for (const std::string& word : nonEmptyLines(offered.out)) {
    if (word == "--") {
      answers.emplace_back();
    } else {
      // zsh offers "--since=" for an option whose value may follow "=".
      answers.back().push_back(word.ends_with('=') ? word.substr(0, word.size() - 1) : word);
    }
  }
  ASSERT_EQ(answers.size(), cases.size() + 1) << offered.out;
  for (std::size_t index = 0; index < cases.size(); ++index) {
    SCOPED_TRACE("zsh: " + traceOf(cases[index]));
    EXPECT_EQ(sortedUnique(answers[index]), sortedUnique(cases[index].expected));
  }
}

// Every file under `directory` with its size and a hash of its bytes (short to print when they
// differ), but the test's own out.txt and err.txt.
std::map<std::string, std::string> filesUnder(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    const std::string name = entry.path().lexically_relative(directory).string();
    if (name == "out.txt" || name == "err.txt") {
      continue;
    }
    const std::string bytes = entry.is_regular_file() ? readBytes(entry.path()) : std::string();
    files[name] = entry.is_regular_file() ? std::to_string(bytes.size()) + " bytes, hash " +
                                                std::to_string(std::hash<std::string>{}(bytes))
                                          : "not a regular file";
  }
  return files;
}

std::size_t countProblems(const std::string& output) {
  std::size_t count = 0;
  for (auto at = output.find("problem: "); at != std::string::npos;
       at = output.find("problem: ", at + 1)) {
    count += at == 0 || output[at - 1] == '\n' ? 1 : 0;
  }
  return count;
}

TEST_F(TarvelInstallTest, DoctorNamesWhatKeepsEventsFromShowingAndHowToFixIt) {
  {
    SCOPED_TRACE("nothing set up, no service");
    const auto before = filesUnder(home);
    const auto outcome = tarvel({"doctor"});
    EXPECT_EQ(outcome.status, 1) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("claude-code  ~/.claude/settings.json"), std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("problem: the service is not running: run tarvel serve, or "
                               "tarvel service install"),
              std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("problem: no agent is set up: run tarvel install --agent"),
              std::string::npos)
        << outcome.out;
    EXPECT_EQ(countProblems(outcome.out), 2U) << outcome.out;
    EXPECT_EQ(filesUnder(home), before);
    EXPECT_EQ(tarvel({"doctor", "--agent"}).status, 2);
  }

  // Set up as a user would: a Claude settings file, the install, the service, one agent step.
  writeBytes(home / ".claude" / "settings.json", "{\n  \"model\": \"opus\"\n}\n");
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  tarvel::Testing::ChildProcess service({tarvel::Testing::program("tarvel"), "serve"}, home);
  ASSERT_TRUE(tarvel::Testing::eventually([&] {
    return tarvel::UnixSocketSupport::isPathAccepting(home / ".tarvel" / "api.sock") ||
           service.hasEnded();
  })) << service.standardError();
  tarvel::Testing::ChildProcess hook({relay().string(), "--provider", "claude-code"}, home,
                                     tarvel::Testing::fixture("claude/UserPromptSubmit.json"));
  EXPECT_EQ(hook.wait(), 0) << hook.standardError();
  ASSERT_TRUE(tarvel::Testing::eventually([&] {
    return tarvel({"status", "--json"}).out.find("\"sessions\":1") != std::string::npos;
  }));
  {
    SCOPED_TRACE("set up, running, one event");
    // The running service saves its sessions when it likes; everything else is left alone.
    const auto withoutSessions = [&] {
      auto files = filesUnder(home);
      std::erase_if(
          files, [](const auto& file) { return file.first.starts_with(".tarvel/sessions.json"); });
      return files;
    };
    const auto before = withoutSessions();
    const auto outcome = tarvel({"doctor"});
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_TRUE(std::regex_search(
        outcome.out,
        std::regex("(^|\n)claude-code +~/\\.claude/settings\\.json +hooks installed and current +"
                   "last event (just now|[0-9]+ s ago)\n")))
        << outcome.out;
    EXPECT_TRUE(std::regex_search(outcome.out, std::regex("\ncodex +~/\\.codex/hooks\\.json +"
                                                          "not found\n")))
        << outcome.out;
    EXPECT_NE(outcome.out.find("current: same as "), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("running (tarvel " + std::string(TARVEL_VERSION) + ")"),
              std::string::npos)
        << outcome.out;
    EXPECT_EQ(outcome.out.find("never"), std::string::npos) << outcome.out;
    EXPECT_EQ(countProblems(outcome.out), 0U) << outcome.out;
    EXPECT_EQ(withoutSessions(), before);
  }
  {
    SCOPED_TRACE("its session ended and cleared");
    tarvel::Testing::ChildProcess end({relay().string(), "--provider", "claude-code"}, home,
                                      tarvel::Testing::fixture("claude/SessionEnd.json"));
    EXPECT_EQ(end.wait(), 0) << end.standardError();
    ASSERT_TRUE(tarvel::Testing::eventually([&] {
      const auto cleared = tarvel::Display::ApiClient::request(
          home / ".tarvel" / "api.sock", "POST", "/v1/sessions/clear-finished", "{}",
          std::chrono::seconds(10));
      return cleared && tarvel({"status", "--json"}).out.find("\"sessions\":0") != std::string::npos;
    }));
    const auto outcome = tarvel({"doctor"});
    EXPECT_TRUE(std::regex_search(
        outcome.out, std::regex("(^|\n)claude-code +[^\n]+last event (just now|[0-9]+ s ago)\n")))
        << outcome.out;
  }
  {
    SCOPED_TRACE("installed hook altered");
    std::ofstream(relay(), std::ios::binary | std::ios::app) << '\0';
    const auto outcome = tarvel({"doctor"});
    EXPECT_EQ(outcome.status, 1) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("problem: the hook program ~/.tarvel/bin/tarvel-hook is outdated"),
              std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find(": run tarvel install --agent claude-code"), std::string::npos)
        << outcome.out;
    EXPECT_EQ(countProblems(outcome.out), 1U) << outcome.out;
    // The fix it names is the fix.
    ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
    EXPECT_EQ(tarvel({"doctor"}).status, 0);
  }
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0) << service.standardError();
}

TEST(AgentConfigurations, EveryEventTheMappingUnderstandsIsHookedAndNoOther) {
  // Real agents' hook documents, one per event each fired: an event whose document becomes an
  // activity event must be installed, and one that never does must not cost a hook run.
  const std::vector<std::tuple<const tarvel::AgentRow*, std::string, tarvel::AgentProvider>> agents{
      {&Agent::claudeCode, "claude", tarvel::AgentProvider::claudeCode},
      {&Agent::codex, "codex", tarvel::AgentProvider::codex},
      {&Agent::geminiCLI, "gemini", tarvel::AgentProvider::geminiCLI},
  };
  for (const auto& [agent, folder, provider] : agents) {
    const auto hooked = tarvel::AgentConfigurations::hookedEvents(*agent);
    // Single documents named by their event, and scenarios' documents numbered in order
    // ("2-PostToolUse.json").
    for (const auto& file :
         fs::recursive_directory_iterator(fs::path(TARVEL_FIXTURES_DIR) / "agents" / folder)) {
      if (file.path().extension() != ".json") {
        continue;
      }
      std::string event = file.path().stem().string();
      if (const auto dash = event.find('-'); dash != std::string::npos && std::isdigit(event[0])) {
        event.erase(0, dash + 1);
      }
      SCOPED_TRACE(file.path().string());
      const auto payload = tarvel::AgentHookInput::decode(readBytes(file.path()));
      ASSERT_TRUE(payload);
      const bool understood =
          tarvel::AgentHookEventMapper::map(*payload, provider, true, tarvel::Dates::now())
              .has_value();
      const bool installed = std::find(hooked.begin(), hooked.end(), event) != hooked.end();
      EXPECT_EQ(installed, understood);
    }
  }
}

TEST(AgentConfigurations, EditsKeepAnyLayoutAndUndoExactly) {
  const std::string ours = tarvel::AgentConfigurations::hookCommand(Agent::codex, "/h");
  const std::string oursEntry = "{\"hooks\":[{\"type\":\"command\",\"command\":\"" + ours + "\"}]}";
  // Layout, and what uninstall gives back: the same bytes, except that lists and a "hooks"
  // object that held only ours go (they were empty before).
  const std::vector<std::tuple<std::string, std::string, std::string>> layouts{
      {"one line", "{\"model\":\"o3\",\"hooks\":{\"Stop\":[{\"hooks\":[]}],\"X\":1}}", ""},
      {"empty object", "{}", ""},
      {"empty hooks", "{\n  \"hooks\": {}\n}\n", "{}\n"},
      {"spaces in brackets", "{ \"hooks\" : { \"Stop\" : [ ] } , \"a\" : [ 1 , 2 ] }",
       "{ \"a\" : [ 1 , 2 ] }"},
      {"deep user value", "{\"deep\": " + std::string(400, '[') + std::string(400, ']') + "}", ""},
  };
  for (const auto& [label, text, uninstalled] : layouts) {
    SCOPED_TRACE(label);
    const auto installed = tarvel::AgentConfigurations::withOurEntries(Agent::codex, text, ours);
    ASSERT_TRUE(installed) << installed.error().reason;
    const Document parsed = Document::parse(*installed, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << *installed;
    EXPECT_EQ(countOurs(parsed, ours),
              tarvel::AgentConfigurations::hookedEvents(Agent::codex).size());
    const auto again = tarvel::AgentConfigurations::withOurEntries(Agent::codex, *installed, ours);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *installed);
    const auto removed =
        tarvel::AgentConfigurations::withoutOurEntries(Agent::codex, *installed, ours);
    ASSERT_TRUE(removed);
    EXPECT_EQ(*removed, uninstalled.empty() ? text : uninstalled);
  }
  // Ours first, or in a group with a user's hook: only our parts go, with their separators.
  const std::string mixed = "{\"hooks\": {\"Stop\": [" + oursEntry +
                            ", {\"hooks\": [{\"command\": \"u\"}, " +
                            "{\"type\":\"command\",\"command\":\"" + ours + "\"}]}]}}";
  const auto cleaned = tarvel::AgentConfigurations::withoutOurEntries(Agent::codex, mixed, ours);
  ASSERT_TRUE(cleaned);
  EXPECT_EQ(*cleaned, "{\"hooks\": {\"Stop\": [{\"hooks\": [{\"command\": \"u\"}]}]}}");
}

TEST(AgentConfigurations, HomeWithSpacesIsQuotedAndStillRecognised) {
  const std::string command =
      tarvel::AgentConfigurations::hookCommand(Agent::claudeCode, "/home/Ann O'Neil");
  EXPECT_EQ(command, "'/home/Ann O'\\''Neil/.tarvel/bin/tarvel-hook' --provider claude-code");
  EXPECT_TRUE(tarvel::AgentConfigurations::isOurEntry(Document{{"command", command}}, command));
  EXPECT_FALSE(
      tarvel::AgentConfigurations::isOurEntry(Document{{"command", command + " --x"}}, command));
  // The same command form for Grok is what Grok's routing treats as a native relay.
  const tarvel::Json grok = {
      {"hooks", {{"Stop", {{{"command", "/home/a/.tarvel/bin/tarvel-hook --provider grok"}}}}}}};
  EXPECT_TRUE(tarvel::GrokHookRouting::containsNativeRelay(grok));
}

TEST(CodexHookTrust, TrustTablesAreAddedOrReplacedAndEverythingElseKept) {
  const std::vector<tarvel::CodexHookTrust::ListedHook> hooks{
      {.key = "/h/.codex/hooks.json:stop:0:0", .currentHash = "sha256:new"}};
  const std::string added =
      "[hooks.state.\"/h/.codex/hooks.json:stop:0:0\"]\n"
      "trusted_hash = \"sha256:new\"\n";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"", added},
      {"model = \"o3\"", "model = \"o3\"\n\n" + added},
      {"# mine\n[profiles.x]\nmodel = \"o3\"\n",
       "# mine\n[profiles.x]\nmodel = \"o3\"\n\n" + added},
      {"[hooks.state.\"/h/.codex/hooks.json:stop:0:0\"]\ntrusted_hash = \"sha256:old\"\n[x]\na = "
       "1\n",
       "[hooks.state.\"/h/.codex/hooks.json:stop:0:0\"]\ntrusted_hash = \"sha256:new\"\n[x]\na = "
       "1\n"},
      {"[hooks.state.\"/h/.codex/hooks.json:stop:0:0\"]\nenabled = true\n\n[x]\n",
       "[hooks.state.\"/h/.codex/hooks.json:stop:0:0\"]\ntrusted_hash = \"sha256:new\"\n"
       "enabled = true\n\n[x]\n"},
  };
  for (const auto& [before, expected] : cases) {
    SCOPED_TRACE(before);
    EXPECT_EQ(tarvel::CodexHookTrust::withTrustedHashes(before, hooks), expected);
  }
  EXPECT_EQ(tarvel::CodexHookTrust::withTrustedHashes("", {{.key = "a\"b\\c", .currentHash = "h"}}),
            "[hooks.state.\"a\\\"b\\\\c\"]\ntrusted_hash = \"h\"\n");

  // Removal undoes the addition; a table that also holds the user's settings keeps them.
  const std::vector<std::string> keys{hooks[0].key};
  for (const std::string before : {"", "model = \"o3\"\n", "# mine\n[profiles.x]\nmodel = \"o3\"\n"}) {
    SCOPED_TRACE(before);
    EXPECT_EQ(tarvel::CodexHookTrust::withoutTrustedHashes(
                  tarvel::CodexHookTrust::withTrustedHashes(before, hooks), keys),
              before);
  }
  EXPECT_EQ(tarvel::CodexHookTrust::withoutTrustedHashes(
                "[hooks.state.\"/h/.codex/hooks.json:stop:0:0\"]\ntrusted_hash = \"x\"\n"
                "enabled = true\n\n[x]\n",
                keys),
            "[hooks.state.\"/h/.codex/hooks.json:stop:0:0\"]\nenabled = true\n\n[x]\n");
}

}  // namespace
