// Installing and uninstalling the hooks: what is written, kept, refused and undone.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <set>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Waiting.hpp"
#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/TarvelInstallTest.hpp"
#include "Tools/tarvel/Installer.hpp"

namespace {

namespace fs = std::filesystem;
namespace Agent = tarvel::Testing::Agent;
using tarvel::AgentConfigurations::Document;
using tarvel::Testing::builtFile;
using tarvel::Testing::countOurs;
using tarvel::Testing::fixturePath;
using tarvel::Testing::Outcome;
using tarvel::Testing::program;
using tarvel::Testing::readFile;
using tarvel::Testing::TarvelInstallTest;
using tarvel::Testing::testFile;
using tarvel::Testing::writeFile;

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
    {Agent::qwenCode, "qwen-code", "qwen-settings.json"},
    {Agent::copilot, "copilot", "copilot-settings.json"},
    {Agent::droid, "droid", "droid-settings.json"},
    {Agent::grok, "grok", "grok-hooks.json"},
};

TEST_F(TarvelInstallTest, InstallKeepsUserEntriesIsIdempotentAndUninstallRestoresTheFile) {
  for (const auto& item : agentCases) {
    SCOPED_TRACE(item.name);
    const fs::path config = tarvel::AgentConfigurations::configurationPath(item.agent, home);
    const std::string original =
        readFile(fixturePath("configs") / item.fixture);
    ASSERT_FALSE(original.empty());
    writeFile(config, original);
    const Document before = Document::parse(original);

    const auto first = tarvel({"install", "--agent", item.name});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find(config.string() + ".tarvel-backup"), std::string::npos) << first.out;
    EXPECT_EQ(readFile(config.string() + ".tarvel-backup"), original);
    const std::string installed = readFile(config);
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
    EXPECT_EQ(readFile(config), installed);

    const auto removed = tarvel({"uninstall", "--agent", item.name});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(readFile(config), original);
    // The backup of the install is kept; uninstall's own goes beside it.
    EXPECT_EQ(readFile(config.string() + ".tarvel-backup"), original);
    EXPECT_EQ(readFile(config.string() + ".tarvel-backup-2"), installed);
  }
}

TEST_F(TarvelInstallTest, ClaudeCodeWaitsOnlyWhereTheDisplayCanAnswer) {
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  const Document settings = Document::parse(readFile(home / ".claude" / "settings.json"));
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
    writeFile(config, bytes);
    const auto outcome = tarvel({"install", "--agent", "claude-code"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find(config.string()), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("nothing was changed"), std::string::npos) << outcome.err;
    EXPECT_EQ(readFile(config), bytes);
    EXPECT_EQ(tarvel({"install", "--agent", "claude-code", "--dry-run"}).status, 1);
    EXPECT_FALSE(fs::exists(config.string() + ".tarvel-backup"));
    EXPECT_FALSE(fs::exists(relay()));
    // Uninstall finds nothing of ours in a list it cannot read, and changes nothing either.
    EXPECT_EQ(tarvel({"uninstall", "--agent", "claude-code"}).status,
              label == "event not an array" ? 0 : 1);
    EXPECT_EQ(readFile(config), bytes);
  }
}

TEST_F(TarvelInstallTest, DryRunPrintsTheResultAndWritesNothing) {
  const fs::path config = home / ".gemini" / "settings.json";
  const std::string original =
      readFile(fixturePath("configs/gemini-settings.json"));
  writeFile(config, original);
  const auto outcome = tarvel({"install", "--agent", "gemini-cli", "--dry-run"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const Document printed = Document::parse(outcome.out, nullptr, false);
  ASSERT_FALSE(printed.is_discarded()) << outcome.out;
  EXPECT_EQ(countOurs(printed, tarvel::AgentConfigurations::hookCommand(Agent::geminiCLI, home)),
            tarvel::AgentConfigurations::hookedEvents(Agent::geminiCLI).size());
  EXPECT_EQ(printed["hooks"]["BeforeTool"][1]["hooks"][0]["timeout"], 5000);
  EXPECT_EQ(readFile(config), original);
  EXPECT_FALSE(fs::exists(home / ".tarvel"));
  EXPECT_FALSE(fs::exists(config.string() + ".tarvel-backup"));

  // Two agents in one run are refused rather than the first silently dropped.
  const auto twice = tarvel({"install", "--agent", "claude-code", "--agent", "gemini-cli"});
  EXPECT_EQ(twice.status, 2) << twice.err;
  EXPECT_NE(twice.err.find("--agent given twice"), std::string::npos) << twice.err;
  EXPECT_EQ(readFile(config), original);
}

// GitHub Copilot CLI's documents mostly name no event: each of its hooks names its own on the
// command line, with its limit in seconds. COPILOT_HOME moves its folder, and the hooks with it.
TEST_F(TarvelInstallTest, CopilotHooksNameTheirEventAndFollowCopilotHome) {
  ASSERT_EQ(tarvel({"install", "--agent", "copilot"}).status, 0);
  const Document hooks = Document::parse(readFile(home / ".copilot" / "settings.json"))["hooks"];
  const std::string command = relay().string() + " --provider copilot --event ";
  EXPECT_EQ(hooks["permissionRequest"],
            Document::parse(R"([{"type":"command","bash":")" + command +
                            R"(permissionRequest","timeoutSec":130}])"));
  EXPECT_EQ(hooks["agentStop"][0]["bash"], command + "agentStop");
  EXPECT_EQ(hooks["agentStop"][0]["timeoutSec"], 5);

  const fs::path moved = home / "copilot-home";
  const std::vector<std::string> environment{"COPILOT_HOME=" + moved.string()};
  const auto installed = run("tarvel", {"install", "--agent", "copilot"}, "/usr/bin:/bin",
                             environment);
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(Document::parse(readFile(moved / "settings.json"))["hooks"], hooks);
  const auto doctor = run("tarvel", {"doctor"}, "/usr/bin:/bin", environment);
  EXPECT_NE(doctor.out.find("copilot-home/settings.json"), std::string::npos) << doctor.out;
  ASSERT_EQ(run("tarvel", {"uninstall", "--agent", "copilot"}, "/usr/bin:/bin", environment).status,
            0);
  EXPECT_FALSE(fs::exists(moved / "settings.json"));
  // A relative COPILOT_HOME moves nothing: Copilot's own folder is used.
  ASSERT_EQ(run("tarvel", {"uninstall", "--agent", "copilot"}, "/usr/bin:/bin",
                {"COPILOT_HOME=relative"})
                .status,
            0);
  EXPECT_FALSE(fs::exists(home / ".copilot" / "settings.json"));
}

// Grok reads its own hook file and runs Claude Code's and Cursor's hooks besides. With Tarvel
// installed for all three, one Grok session must still show once: the installed commands, run as
// Grok runs them (through the shell, GROK_HOOK_EVENT set, Grok's document on standard input),
// reach the service as one Grok session, Claude Code's and Cursor's saying nothing. Without
// Grok's own file, the Claude Code hook reports it as Grok instead; Claude Code's own documents
// stay Claude Code's throughout.
TEST_F(TarvelInstallTest, AGrokSessionShowsOnceWhicheverOfItsHooksRun) {
  for (const char* agent : {"claude-code", "cursor", "grok"}) {
    const auto installed = tarvel({"install", "--agent", agent});
    ASSERT_EQ(installed.status, 0) << installed.err;
  }
  // Grok's file: its own, in Claude Code's shape, no matcher (Grok reads one as a regular
  // expression; none matches every tool), limits in seconds.
  const fs::path grokFile = home / ".grok" / "hooks" / "tarvel.json";
  const Document grokHooks = Document::parse(readFile(grokFile))["hooks"];
  ASSERT_TRUE(grokHooks.is_object()) << readFile(grokFile);
  EXPECT_FALSE(grokHooks.contains("SessionStart"));  // a Grok session begins with its prompt
  for (const auto& [event, groups] : grokHooks.items()) {
    SCOPED_TRACE(event);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_FALSE(groups[0].contains("matcher"));
    EXPECT_EQ(groups[0]["hooks"][0]["command"], relay().string() + " --provider grok");
    EXPECT_EQ(groups[0]["hooks"][0]["timeout"], tarvel::AgentConfigurations::passiveTimeoutSeconds);
  }

  // The command each agent's file runs for `event`.
  const auto commandOf = [&](const fs::path& file, const std::string& event) {
    const Document hooks = Document::parse(readFile(file))["hooks"];
    const Document& entry = hooks[event].back();
    return (entry.contains("hooks") ? entry["hooks"][0]["command"] : entry["command"])
        .get<std::string>();
  };
  const std::string claudePrompt = commandOf(home / ".claude" / "settings.json", "UserPromptSubmit");
  const std::string claudeTool = commandOf(home / ".claude" / "settings.json", "PreToolUse");
  const std::string cursorPrompt = commandOf(home / ".cursor" / "hooks.json", "beforeSubmitPrompt");
  const std::string grokPrompt = commandOf(grokFile, "UserPromptSubmit");
  const std::string grokTool = commandOf(grokFile, "PreToolUse");

  tarvel::Testing::ChildProcess service({program("tarvel"), "serve", "--no-notify"}, home);
  const fs::path api = home / ".tarvel" / "api.sock";
  ASSERT_TRUE(tarvel::Testing::eventually([&] {
    return tarvel::UnixSocketSupport::isPathAccepting(api) || service.hasEnded();
  }));
  ASSERT_FALSE(service.hasEnded()) << service.standardError();
  // The service's sessions, as "id provider".
  const auto sessions = [&] {
    std::set<std::string> listed;
    const auto response = tarvel::Display::ApiClient::request(api, "GET", "/v1/state");
    const tarvel::Json state = response ? tarvel::Json::parse(response->body, nullptr, false)
                                        : tarvel::Json::object();
    if (state.is_object()) {
      for (const auto& session : state.value("sessions", tarvel::Json::array())) {
        listed.insert(session.value("id", "") + " " + session.value("provider", ""));
      }
    }
    return listed;
  };
  // Runs an installed command as an agent does; what it printed.
  const auto runInstalled = [&](const std::string& command, const std::string& document,
                                const std::string& grokEvent) {
    std::vector<std::string> environment;
    if (!grokEvent.empty()) {
      environment.push_back("GROK_HOOK_EVENT=" + grokEvent);
    }
    tarvel::Testing::ChildProcess hook(
        {.command = {"/bin/sh", "-c", command}, .home = home, .input = document,
         .environment = environment, .workingDirectory = home});
    EXPECT_EQ(hook.wait(), 0) << command;
    EXPECT_EQ(hook.standardError(), "");
    return hook.standardOutput();
  };
  const std::string grokId = "019f4a2c-7d10-7b3e-9c41-5e8f0a1b2c3d";
  const std::string prompt = tarvel::Testing::agentDocument("grok/UserPromptSubmit.json");
  const std::string tool = tarvel::Testing::agentDocument("grok/PreToolUse.json");

  // Each event reaches every installed hook, in the order Grok may run them.
  for (const auto& [command, document, event] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {claudePrompt, prompt, "user_prompt_submit"},
           {cursorPrompt, prompt, "user_prompt_submit"},
           {grokPrompt, prompt, "user_prompt_submit"},
           {grokTool, tool, "pre_tool_use"},
           {claudeTool, tool, "pre_tool_use"}}) {
    SCOPED_TRACE(command);
    const std::string printed = runInstalled(command, document, event);
    EXPECT_EQ(printed, command.find("--provider grok") != std::string::npos ? "{}\n" : "");
  }
  ASSERT_TRUE(tarvel::Testing::eventually([&] {
    return sessions() == std::set<std::string>{"grok:" + grokId + " grok"};
  })) << *sessions().begin();

  // Without Grok's own file, Claude Code's hook reports Grok's sessions as Grok's, and Claude
  // Code's own document as Claude Code's.
  ASSERT_EQ(tarvel({"uninstall", "--agent", "grok"}).status, 0);
  ASSERT_FALSE(fs::exists(grokFile));
  const std::string otherId = "019f4a2c-7d10-7b3e-9c41-000000000002";
  EXPECT_EQ(runInstalled(claudePrompt, tarvel::Text::replacingAll(prompt, grokId, otherId),
                         "user_prompt_submit"),
            "{}\n");
  const std::string claudeDocument = tarvel::Testing::agentDocument("claude/UserPromptSubmit.json");
  EXPECT_EQ(runInstalled(claudePrompt, claudeDocument, ""), "{}\n");
  const std::string claudeId =
      tarvel::Json::parse(claudeDocument).value("session_id", "");
  EXPECT_TRUE(tarvel::Testing::eventually([&] {
    return sessions() == std::set<std::string>{"grok:" + grokId + " grok",
                                               "grok:" + otherId + " grok",
                                               "claude-code:" + claudeId + " claude-code"};
  }));
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);
}

// OpenCode and Kilo load a plugin of ours rather than hook entries: install writes it whole
// (running the installed relay, its wait above the hold), again changes nothing, uninstall
// removes it whole with no copy left, and a file of the same name that is not ours is refused and
// left as it is. XDG_CONFIG_HOME moves it with the agent's folder; doctor knows it.
TEST_F(TarvelInstallTest, APluginIsOursAloneWrittenAndRemovedWhole) {
  for (const tarvel::AgentRow* agent : {&Agent::openCode, &Agent::kilo}) {
    const std::string name(agent->installName);
    SCOPED_TRACE(name);
    const fs::path plugin = home / ".config" / name / "plugins" / "tarvel.js";

    const auto dry = tarvel({"install", "--agent", name, "--dry-run"});
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_FALSE(fs::exists(plugin));
    EXPECT_TRUE(dry.out.starts_with("// Written by tarvel install")) << dry.out;

    const auto first = tarvel({"install", "--agent", name});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(readFile(plugin), dry.out);
    EXPECT_NE(dry.out.find("const COMMAND = \"" + relay().string() + " --provider " + name + "\""),
              std::string::npos);
    EXPECT_NE(dry.out.find("const WAIT_LIMIT = " +
                           std::to_string((tarvel::AgentReplyPolicy::waitSeconds + 10) * 1000)),
              std::string::npos);
    EXPECT_EQ(readFile(relay()), readFile(program("tarvel-hook")));
    const auto doctor = tarvel({"doctor"});
    std::istringstream lines(doctor.out);
    bool current = false;
    for (std::string line; std::getline(lines, line);) {
      current |= line.starts_with(name + " ") &&
                 line.find(".config/" + name + "/plugins/tarvel.js") != std::string::npos &&
                 line.find("hooks installed and current") != std::string::npos;
    }
    EXPECT_TRUE(current) << doctor.out;

    const auto second = tarvel({"install", "--agent", name});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.out.find("it was not changed"), std::string::npos) << second.out;
    EXPECT_EQ(readFile(plugin), dry.out);

    EXPECT_EQ(tarvel({"uninstall", "--agent", name, "--dry-run"}).status, 0);
    EXPECT_TRUE(fs::exists(plugin));
    const auto removed = tarvel({"uninstall", "--agent", name});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_FALSE(fs::exists(plugin));
    EXPECT_TRUE(fs::is_empty(plugin.parent_path()));

    const std::string theirs = "export const Theirs = async () => ({})\n";
    writeFile(plugin, theirs);
    for (const char* action : {"install", "uninstall"}) {
      const auto refused = tarvel({action, "--agent", name});
      EXPECT_EQ(refused.status, 1) << action;
      EXPECT_NE(refused.err.find("was not written by tarvel install"), std::string::npos)
          << refused.err;
      EXPECT_EQ(readFile(plugin), theirs);
    }
    fs::remove(plugin);

    const fs::path moved = home / "xdg";
    const std::vector<std::string> environment{"XDG_CONFIG_HOME=" + moved.string()};
    ASSERT_EQ(run("tarvel", {"install", "--agent", name}, "/usr/bin:/bin", environment).status, 0);
    EXPECT_TRUE(fs::exists(moved / name / "plugins" / "tarvel.js"));
    EXPECT_FALSE(fs::exists(plugin));
    ASSERT_EQ(run("tarvel", {"uninstall", "--agent", name}, "/usr/bin:/bin", environment).status,
              0);
    EXPECT_FALSE(fs::exists(moved / name / "plugins" / "tarvel.js"));
  }
}

TEST_F(TarvelInstallTest, MissingConfigurationIsCreatedAndTheRelayIsCopiedExecutable) {
  const auto outcome = tarvel({"install", "--agent", "cursor"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const Document hooks = Document::parse(readFile(home / ".cursor" / "hooks.json"));
  EXPECT_EQ(hooks["version"], 1);
  EXPECT_EQ(hooks["hooks"]["stop"][0]["command"], relay().string() + " --provider cursor");
  EXPECT_FALSE(fs::exists(home / ".cursor" / "hooks.json.tarvel-backup"));

  struct stat status {};
  ASSERT_EQ(::stat(relay().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755U);
  EXPECT_EQ(readFile(relay()), readFile(program("tarvel-hook")));
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
  const std::string hooks = readFile(home / ".codex" / "hooks.json");
  EXPECT_EQ(hooks.find("codex_hooks"), std::string::npos);
}

TEST_F(TarvelInstallTest, MissingRelayIsAnErrorThatChangesNothing) {
  const fs::path config = home / ".claude" / "settings.json";
  writeFile(config, "{}\n");
  const tarvel::Installer::Context context{
      .home = home, .hookSource = home / "no-such" / "tarvel-hook", .workingDirectory = home};
  std::ostringstream out;
  std::ostringstream err;
  const tarvel::Installer::Options options{.action = tarvel::Installer::Action::install,
                                           .agent = &Agent::claudeCode};
  EXPECT_EQ(tarvel::Installer::run(options, context, out, err), 1);
  EXPECT_NE(err.str().find("tarvel-hook was not found"), std::string::npos) << err.str();
  EXPECT_EQ(readFile(config), "{}\n");
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
    writeFile(config, bytes);
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
  writeFile(config, original);
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  const std::string installed = readFile(config);
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
  EXPECT_EQ(readFile(config), installed);
  ASSERT_EQ(tarvel({"uninstall", "--agent", "claude-code"}).status, 0);
  EXPECT_EQ(readFile(config), original);
  // Uninstall with nothing of ours left leaves the user's look-alike alone.
  const auto again = tarvel({"uninstall", "--agent", "claude-code"});
  EXPECT_NE(again.out.find("holds no tarvel hooks"), std::string::npos) << again.out;
  EXPECT_EQ(readFile(config), original);
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
    writeFile(config, "{}\n");
    fs::permissions(config, fs::perms::owner_read | fs::perms::group_read);
    const auto outcome = tarvel({"install", "--agent", "claude-code"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("read-only"), std::string::npos) << outcome.err;
    EXPECT_EQ(readFile(config), "{}\n");
    const auto forced = tarvel({"install", "--agent", "claude-code", "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(readFile(config), "{}\n");
    EXPECT_EQ(fs::status(config).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read);
  }
}

TEST_F(TarvelInstallTest, CodexTrustIsRecordedOnInstallAndOnlyOursRemovedOnUninstall) {
  const fs::path bin = home / "fakebin";
  tarvel::Testing::installFixtureProgram("codex-fakes/fake-codex-hooks.sh", bin / "codex");
  const fs::path toml = home / ".codex" / "config.toml";
  const std::string original =
      "# my settings\nmodel = \"o3\"   # fast\n\n[profiles.x]\nmodel = \"o4\"\n\n"
      "[hooks.state.\"/elsewhere/hooks.json:stop:0:0\"]\ntrusted_hash = \"sha256:mine\"\n";
  writeFile(toml, original);
  const std::string path = bin.string() + ":/usr/bin:/bin";

  const auto installed = tarvel({"install", "--agent", "codex"}, path);
  ASSERT_EQ(installed.status, 0) << installed.err;
  // One query to Codex per install.
  const auto asked = installed.out.find("Asking " + (bin / "codex").string());
  EXPECT_NE(asked, std::string::npos) << installed.out;
  EXPECT_EQ(installed.out.find("Asking ", asked + 1), std::string::npos) << installed.out;
  // Within what Codex accepts for each event: it clamps Interrupt and SessionEnd to 3 s.
  const Document hooks = Document::parse(readFile(home / ".codex" / "hooks.json"));
  for (const std::string event : {"Interrupt", "SessionEnd"}) {
    EXPECT_LE(hooks["hooks"][event][0]["hooks"][0]["timeout"].get<int>(), 3) << event;
  }
  EXPECT_NE(installed.out.find("Marked 2 tarvel hooks as trusted"), std::string::npos)
      << installed.out;
  const std::string trusted = readFile(toml);
  EXPECT_TRUE(trusted.starts_with(original));
  EXPECT_NE(trusted.find("trusted_hash = \"sha256:session_start\""), std::string::npos);

  const auto removed = tarvel({"uninstall", "--agent", "codex"}, path);
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(readFile(toml), original) << removed.out;
}

TEST_F(TarvelInstallTest, HungCodexIsGivenUpOnWithinItsBoundAndSaidSo) {
  const fs::path bin = home / "fakebin";
  writeFile(bin / "codex", "#!/bin/sh\nexec sleep 600\n");
  fs::permissions(bin / "codex", fs::perms(0755));
  const tarvel::Installer::Context context{
      .home = home,
      .hookSource = program("tarvel-hook"),
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
    EXPECT_FALSE(fs::exists(config)) << readFile(config);
    EXPECT_NE(removed.out.find("which tarvel install had created"), std::string::npos)
        << removed.out;
    EXPECT_FALSE(fs::exists(home / ".tarvel" / "created-files"));
  }
  // The person's own file stays, even when only {} is left, and its backups are named.
  writeFile(config, "{}\n");
  ASSERT_EQ(tarvel({"install", "--agent", "claude-code"}).status, 0);
  const auto removed = tarvel({"uninstall", "--agent", "claude-code"});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(readFile(config), "{}\n");
  EXPECT_NE(removed.out.find("settings.json.tarvel-backup settings.json.tarvel-backup-2"),
            std::string::npos)
      << removed.out;
}

}  // namespace
