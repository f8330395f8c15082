// The agents' configuration edits and Codex's hook trust, without running a program.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Hooks/AgentHookEventMapper.hpp"
#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/Grok/GrokHookRouting.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/TarvelInstallTest.hpp"
#include "Tools/tarvel/CodexHookTrust.hpp"

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

TEST(AgentConfigurations, EveryEventTheMappingUnderstandsIsHookedAndNoOther) {
  // Agents' hook documents, one per event each fired: an event whose document becomes an
  // activity event must be installed, and one that never does must not cost a hook run.
  const std::vector<std::tuple<const tarvel::AgentRow*, std::string, tarvel::AgentProvider>> agents{
      {&Agent::claudeCode, "claude", tarvel::AgentProvider::claudeCode},
      {&Agent::codex, "codex", tarvel::AgentProvider::codex},
      {&Agent::geminiCLI, "gemini", tarvel::AgentProvider::geminiCLI},
      {&Agent::qwenCode, "qwen", tarvel::AgentProvider("qwen-code")},
      {&Agent::copilot, "copilot", tarvel::AgentProvider("copilot")},
      {&Agent::droid, "droid", tarvel::AgentProvider("droid")},
      {&Agent::grok, "grok", tarvel::AgentProvider::grok},  // written from its documents
  };
  for (const auto& [agent, folder, provider] : agents) {
    SCOPED_TRACE(folder);
    const auto hooked = tarvel::AgentConfigurations::hookedEvents(*agent);
    // Documents named by their event, perhaps with what they show ("Stop-ls.json"), and
    // scenarios' documents numbered in order ("2-PostToolUse.json"). An event is understood when
    // any of its documents becomes an activity event (an agent's notice of a successful login
    // does not, its permission notice does).
    std::map<std::string, bool> understoodEvents;
    for (const auto& file :
         fs::recursive_directory_iterator(fixturePath("agents") / folder)) {
      if (file.path().extension() != ".json") {
        continue;
      }
      std::string event = file.path().stem().string();
      if (const auto dash = event.find('-'); dash != std::string::npos && std::isdigit(event[0])) {
        event.erase(0, dash + 1);
      }
      event = event.substr(0, event.find('-'));
      SCOPED_TRACE(file.path().string());
      auto payload = tarvel::AgentHookInput::decode(readFile(file.path()));
      ASSERT_TRUE(payload);
      if (payload->hookEventName.empty()) {
        payload->hookEventName = event;  // named on the hook's command line (GitHub Copilot CLI)
      }
      understoodEvents[event] |=
          tarvel::AgentHookEventMapper::map(*payload, provider, true, tarvel::Dates::now())
              .has_value();
    }
    for (const auto& [event, understood] : understoodEvents) {
      SCOPED_TRACE(event);
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

// Each limit in the unit the agent reads: a waiting hook above the reply wait, a passive one
// short. Qwen Code documents seconds but reads 1000 and more as milliseconds, so its limits are
// written in milliseconds, which it reads as such at any length.
TEST(AgentConfigurations, LimitsAreWrittenInTheUnitTheAgentReads) {
  const std::vector<std::tuple<const tarvel::AgentRow*, std::string, std::string, int, int>> cases{
      {&Agent::claudeCode, "PermissionRequest", "Stop", 130, 5},
      {&Agent::geminiCLI, "BeforeTool", "AfterTool", 5000, 5000},
      {&Agent::qwenCode, "PermissionRequest", "Stop", 130000, 5000},
  };
  for (const auto& [agent, waitingEvent, passiveEvent, waiting, passive] : cases) {
    SCOPED_TRACE(std::string(agent->installName));
    const auto written = tarvel::AgentConfigurations::withOurEntries(*agent, "{}", "relay");
    ASSERT_TRUE(written);
    const Document hooks = Document::parse(*written)["hooks"];
    EXPECT_EQ(hooks[waitingEvent].back()["hooks"][0]["timeout"], waiting);
    EXPECT_EQ(hooks[passiveEvent].back()["hooks"][0]["timeout"], passive);
  }
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
