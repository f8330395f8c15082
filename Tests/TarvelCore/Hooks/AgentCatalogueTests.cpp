#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Fixtures.hpp"
#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Hooks/AgentReplyPromptBuilder.hpp"
#include "TarvelCore/Hooks/ProviderDecisionMapper.hpp"
#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

namespace fs = std::filesystem;

struct Document {
  std::string name;
  AgentProvider provider;
  std::string text;
};

using Testing::readFile;

// Every captured agent document, and for Claude Code its pre-tool document turned into each of
// its interactive tools (the captures hold none of those), so that every row's waiting cases
// are covered.
std::vector<Document> capturedDocuments() {
  const std::vector<std::pair<std::string, AgentProvider>> folders{
      {"claude", AgentProvider::claudeCode}, {"codex", AgentProvider::codex},
      {"gemini", AgentProvider::geminiCLI},  {"qwen", AgentProvider("qwen-code")},
      {"copilot", AgentProvider("copilot")}, {"opencode", AgentProvider("opencode")},
      {"kilo", AgentProvider("kilo")},       {"droid", AgentProvider("droid")}};
  std::vector<Document> documents;
  for (const auto& [folder, provider] : folders) {
    const fs::path directory = tarvel::Testing::fixturePath("agents") / folder;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
      if (entry.path().extension() == ".json") {
        documents.push_back({fs::relative(entry.path(), directory.parent_path()).string(), provider,
                             readFile(entry.path())});
      }
    }
  }
  // The tool input each kind of interactive tool asks with.
  const std::map<InteractiveTool, std::string> inputs{
      {InteractiveTool::question,
       R"({"questions":[{"question":"Which database?","header":"Database","multiSelect":false,)"
       R"("options":[{"label":"Postgres","description":""},{"label":"Redis","description":""}]}]})"},
      {InteractiveTool::plan, R"({"plan":"Edit src/a.txt"})"}};
  const std::string preToolUse =
      tarvel::Testing::agentDocument("claude/PreToolUse.json");
  const std::string bashInput =
      R"("tool_name":"Bash","tool_input":{"command":"ls","description":"Mock shell command"})";
  EXPECT_NE(preToolUse.find(bashInput), std::string::npos);
  for (const auto& tool : AgentCatalogue::of(AgentProvider::claudeCode)->tools.interactive) {
    documents.push_back({"claude/PreToolUse as " + std::string(tool.name),
                         AgentProvider::claudeCode,
                         Text::replacingAll(preToolUse, bashInput,
                                            R"("tool_name":")" + std::string(tool.name) +
                                                R"(","tool_input":)" + inputs.at(tool.kind))});
  }
  return documents;
}

// `event` as the agent's configuration spells it.
bool installsWaitingHook(const AgentRow& row, std::string_view event) {
  return std::any_of(row.hookEntries.begin(), row.hookEntries.end(), [&](const HookEntry& entry) {
    return entry.event == event && entry.limit == HookTimeLimit::waiting && !entry.capSeconds;
  });
}

bool installsHook(const AgentRow& row, std::string_view event) {
  return std::any_of(row.hookEntries.begin(), row.hookEntries.end(),
                     [&](const HookEntry& entry) { return entry.event == event; });
}

// The agent catalogue and every reader of it agree on each captured document: a document the
// hook holds the agent for gets a prompt someone can answer, a real answer for allow and for deny,
// and a hook entry with the long limit; a document it does not hold for gets the neutral answer.
TEST(AgentCatalogue, EveryCapturedDocumentAgreesWithItsAgentsRow) {
  const auto documents = capturedDocuments();
  ASSERT_GE(documents.size(), 30u);
  int held = 0;
  for (const Document& document : documents) {
    SCOPED_TRACE(document.name);
    const AgentRow* row = AgentCatalogue::of(document.provider);
    ASSERT_NE(row, nullptr);
    // The event as the agent names it: a plugin's documents are "event-TYPE-..." (a bus event)
    // and "hook-HANDLER-..." (a handler's call); the others' start with the event's name.
    std::string agentEvent = fs::path(document.name).stem().string();
    const bool plugin = row->configuration.format == HookFileFormat::plugin;
    if (plugin) {
      agentEvent.erase(0, agentEvent.find('-') + 1);
    }
    agentEvent = agentEvent.substr(0, agentEvent.find('-'));
    if (plugin && !installsHook(*row, agentEvent)) {
      continue;  // the plugin does not hand it to the hook
    }
    auto decoded = ProviderHookEnricher::decode(document.text, document.provider,
                                                plugin ? std::optional(agentEvent) : std::nullopt);
    ASSERT_TRUE(decoded.hasValue());
    AgentHookPayload& payload = *decoded;
    if (payload.hookEventName.empty()) {
      // GitHub Copilot CLI names the event on the hook's command line, as the file's name does.
      payload.hookEventName = agentEvent;
    }
    if (!plugin) {
      agentEvent = payload.hookEventName;
    }

    const auto prompt = AgentReplyPromptBuilder::make(payload, UUID::random());
    // Allowing a question means answering it: each question gets its first option.
    AgentReply allow{.replyId = UUID::random(), .decision = AgentReplyDecision::allow};
    if (prompt && prompt->questions) {
      allow.answers.emplace();
      for (const AgentPromptQuestion& question : *prompt->questions) {
        (*allow.answers)[question.text] = {question.options.at(0).label};
      }
    }
    const AgentReply deny{.replyId = UUID::random(), .decision = AgentReplyDecision::deny};
    const std::string allowed = ProviderDecisionMapper::data(document.provider, payload, allow);
    const std::string denied = ProviderDecisionMapper::data(document.provider, payload, deny);
    if (!AgentReplyPolicy::holdsAgent(document.provider, payload, true)) {
      EXPECT_EQ(allowed, "{}");
      EXPECT_EQ(denied, "{}");
      EXPECT_EQ(ProviderDecisionMapper::passiveData(document.provider, payload.hookEventName),
                "{}");
      continue;
    }
    ++held;
    EXPECT_TRUE(AgentReplyPolicy::canDecide(document.provider));
    // Droid's pre-tool hook answers its permission prompts, for every tool.
    EXPECT_TRUE(row->answersAtPreToolUse ||
                AgentReplyPolicy::waitsForAnswer(payload.hookEventName, payload.toolName));
    EXPECT_FALSE(AgentReplyPolicy::holdsAgent(document.provider, payload, false));
    ASSERT_TRUE(prompt.has_value());
    EXPECT_TRUE(AgentReplyPolicy::shouldAwaitReply(*prompt));
    EXPECT_NE(allowed, "{}");
    EXPECT_NE(denied, "{}");
    EXPECT_NE(allowed, denied);
    EXPECT_TRUE(installsWaitingHook(*row, agentEvent));
  }
  // Claude's permission request and two interactive tools, Codex's permission request, the
  // permission request that opens each of the four answered-in-the-agent scenarios and three of
  // the four settled by what the agent did next, Qwen Code's
  // three (a command, a sub-agent, the captured default) and GitHub Copilot's four (which of them
  // Copilot would ask about is its driver's call: CopilotContextTests), Claude's request with a
  // suggested rule, OpenCode's two and Kilo's one permission.asked, and Droid's four pre-tool
  // calls (which of them Droid would ask about is its driver's call: DroidAsksOnlyAboveItsAutonomy).
  EXPECT_EQ(held, 26);
}

}  // namespace
}  // namespace tarvel
