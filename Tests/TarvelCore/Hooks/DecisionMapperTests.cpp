#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Support/Fixtures.hpp"
#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/ProviderDecisionMapper.hpp"

namespace tarvel {
namespace {

using Answers = std::map<std::string, std::vector<std::string>>;

AgentHookPayload payloadFrom(const std::string& document) {
  auto payload = AgentHookInput::decode(document);
  EXPECT_TRUE(payload.hasValue()) << document;
  return payload ? *payload : AgentHookPayload{};
}

using tarvel::Testing::agentDocument;

std::string preToolUse(const std::string& tool, const std::string& input) {
  return R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":")" + tool + "\"" +
         (input.empty() ? "" : R"(,"tool_input":)" + input) + "}";
}

AgentReply answer(AgentReplyDecision decision, std::optional<Answers> answers = std::nullopt) {
  return AgentReply{.replyId = UUID::random(), .decision = decision, .answers = std::move(answers)};
}

const std::string allowPermission =
    R"({"hookSpecificOutput":{"decision":{"behavior":"allow"},"hookEventName":"PermissionRequest"}})";
const std::string denyPermission =
    R"({"hookSpecificOutput":{"decision":{"behavior":"deny","message":"Denied from Tarvel"},)"
    R"("hookEventName":"PermissionRequest"}})";
const std::string questionDenied =
    R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"deny",)"
    R"("permissionDecisionReason":"Denied from Tarvel"}})";
const std::string planDenied =
    R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"deny",)"
    R"("permissionDecisionReason":"Plan approval denied from Tarvel"}})";

struct Case {
  const char* name;
  AgentProvider provider;
  std::string document;
  AgentReply reply;
  std::string expected;
};

void check(const std::vector<Case>& cases) {
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const AgentHookPayload payload = payloadFrom(testCase.document);
    const std::string bytes =
        ProviderDecisionMapper::data(testCase.provider, payload, testCase.reply);
    EXPECT_EQ(bytes, testCase.expected);
    // The bytes are the object, in valid JSON.
    EXPECT_EQ(Json::parse(bytes),
              ProviderDecisionMapper::jsonObject(testCase.provider, payload, testCase.reply));
  }
}

TEST(ProviderDecisionMapper, PermissionRequestsAllowOnlyAnExplicitAllow) {
  const std::string claude = agentDocument("claude/PermissionRequest.json");
  const std::string codex = agentDocument("codex/PermissionRequest.json");
  check({
      {"Codex allow", AgentProvider::codex, codex, answer(AgentReplyDecision::allow),
       allowPermission},
      {"Codex option", AgentProvider::codex, codex, answer(AgentReplyDecision::option),
       denyPermission},
      {"Codex deny", AgentProvider::codex, codex, answer(AgentReplyDecision::deny), denyPermission},
      {"Claude allow", AgentProvider::claudeCode, claude, answer(AgentReplyDecision::allow),
       allowPermission},
      {"Claude cancel", AgentProvider::claudeCode, claude, answer(AgentReplyDecision::cancel),
       denyPermission},
      // "Always" gives the agent's own suggestions back as they came; where there are none (or
      // the answer form has no place for them) it is no approval.
      {"Claude always", AgentProvider::claudeCode, claude, answer(AgentReplyDecision::always),
       R"({"hookSpecificOutput":{"decision":{"behavior":"allow","updatedPermissions":)"
       R"([{"destination":"session","directories":["\/home\/dev\/proj"],"type":"addDirectories"},)"
       R"({"destination":"session","mode":"acceptEdits","type":"setMode"}]},)"
       R"("hookEventName":"PermissionRequest"}})"},
      {"Codex always", AgentProvider::codex, codex, answer(AgentReplyDecision::always),
       denyPermission},
      {"Gemini CLI", AgentProvider::geminiCLI, claude, answer(AgentReplyDecision::allow), "{}"},
      {"unknown provider", AgentProvider("my-agent"), codex, answer(AgentReplyDecision::allow),
       "{}"},
      {"Codex question", AgentProvider::codex,
       preToolUse("AskUserQuestion", R"({"questions":[{"question":"Q","options":["A"]}]})"),
       answer(AgentReplyDecision::allow, Answers{{"Q", {"A"}}}), "{}"},
      {"pre-tool use without a tool", AgentProvider::claudeCode,
       R"({"session_id":"s","hook_event_name":"PreToolUse"})", answer(AgentReplyDecision::allow),
       "{}"},
      {"other tool", AgentProvider::claudeCode, preToolUse("Bash", R"({"command":"ls"})"),
       answer(AgentReplyDecision::allow), "{}"},
      {"stop event", AgentProvider::claudeCode, R"({"session_id":"s","hook_event_name":"Stop"})",
       answer(AgentReplyDecision::allow), "{}"},
  });
}

TEST(ProviderDecisionMapper, QuestionAnswersAreValidatedAgainstTheOfferedOptions) {
  const std::string single = preToolUse(
      "AskUserQuestion", R"({"questions":[{"question":"Pick?","options":[{"label":"A"},"B"]}]})");
  const std::string multiple = preToolUse(
      "AskUserQuestion",
      R"({"questions":[{"question":"Pick?","multiSelect":true,"options":[{"label":"A"},"B"]}]})");
  const std::string truthyMultiSelect = preToolUse(
      "AskUserQuestion",
      R"({"questions":[{"question":"Pick?","multiSelect":"true","options":["A","B"]}]})");
  const std::string two = preToolUse(
      "AskUserQuestion",
      R"({"questions":[{"question":"One?","options":["A"]},{"question":"Two?","options":["B"]}]})");
  const std::string approvedSingle =
      R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow",)"
      R"("updatedInput":{"answers":{"Pick?":"A"},"questions":[{"options":[{"label":"A"},"B"],)"
      R"("question":"Pick?"}]}}})";
  const std::string approvedMultiple =
      R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow",)"
      R"("updatedInput":{"answers":{"Pick?":"B, A"},"questions":[{"multiSelect":true,)"
      R"("options":[{"label":"A"},"B"],"question":"Pick?"}]}}})";
  const auto claude = AgentProvider::claudeCode;
  using enum AgentReplyDecision;
  check({
      {"one label", claude, single, answer(allow, Answers{{"Pick?", {"A"}}}), approvedSingle},
      {"chosen as an option", claude, single, answer(option, Answers{{"Pick?", {"A"}}}),
       approvedSingle},
      {"two labels for a single choice", claude, single,
       answer(allow, Answers{{"Pick?", {"A", "B"}}}), questionDenied},
      {"two labels, multiple choice", claude, multiple,
       answer(allow, Answers{{"Pick?", {"B", "A"}}}), approvedMultiple},
      {"multiSelect that is no boolean", claude, truthyMultiSelect,
       answer(allow, Answers{{"Pick?", {"A", "B"}}}), questionDenied},
      {"label not offered", claude, single, answer(allow, Answers{{"Pick?", {"C"}}}),
       questionDenied},
      {"no label", claude, single, answer(allow, Answers{{"Pick?", {}}}), questionDenied},
      {"no answers", claude, single, answer(allow), questionDenied},
      {"answer to another question", claude, single, answer(allow, Answers{{"pick?", {"A"}}}),
       questionDenied},
      {"refused", claude, single, answer(deny, Answers{{"Pick?", {"A"}}}), questionDenied},
      {"cancelled", claude, single, answer(cancel, Answers{{"Pick?", {"A"}}}), questionDenied},
      {"one of two questions answered", claude, two, answer(allow, Answers{{"One?", {"A"}}}),
       questionDenied},
      {"empty questions", claude, preToolUse("AskUserQuestion", R"({"questions":[]})"),
       answer(allow, Answers{{"Pick?", {"A"}}}), questionDenied},
      {"no tool input", claude, preToolUse("AskUserQuestion", ""),
       answer(allow, Answers{{"Pick?", {"A"}}}), questionDenied},
      {"question that is no string", claude,
       preToolUse("AskUserQuestion", R"({"questions":[{"question":1,"options":["A"]}]})"),
       answer(allow, Answers{{"1", {"A"}}}), questionDenied},
  });
}

TEST(ProviderDecisionMapper, AnswersKeepExtraEntriesAndTheAgentsOwnLabels) {
  // The display shows labels trimmed and shortened; the agent must get back its own label.
  const std::string longLabel(60, 'x');
  const std::string document = preToolUse(
      "AskUserQuestion", R"({"questions":[{"question":"Pick?","options":[{"label":"  Padded "},)"
                         R"({"label":")" +
                             longLabel + R"("}]}]})");
  const AgentHookPayload payload = payloadFrom(document);
  const std::string shownLong = std::string(47, 'x') + "…";
  struct Expectation {
    std::vector<std::string> sent;
    std::string written;
  };
  for (const auto& [sent, written] : std::vector<Expectation>{
           {{"Padded"}, "  Padded "}, {{"  Padded "}, "  Padded "}, {{shownLong}, longLabel}}) {
    SCOPED_TRACE(written);
    const Json output = ProviderDecisionMapper::jsonObject(
        AgentProvider::claudeCode, payload,
        answer(AgentReplyDecision::allow, Answers{{"Pick?", sent}, {"Extra", {"Z"}}}));
    EXPECT_EQ(output["hookSpecificOutput"]["permissionDecision"], "allow");
    EXPECT_EQ(output["hookSpecificOutput"]["updatedInput"]["answers"],
              (Json{{"Pick?", written}, {"Extra", "Z"}}));
  }
}

TEST(ProviderDecisionMapper, PlanApprovalNeedsAllowAndAnInputObject) {
  const std::string withInput =
      preToolUse("ExitPlanMode", R"({"plan":"Edit src/a.txt","timeout":5000,"ratio":0.5})");
  const std::string approved =
      R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow",)"
      R"("updatedInput":{"plan":"Edit src\/a.txt","ratio":0.5,"timeout":5000}}})";
  const auto claude = AgentProvider::claudeCode;
  using enum AgentReplyDecision;
  check({
      {"allowed", claude, withInput, answer(allow), approved},
      {"refused", claude, withInput, answer(deny), planDenied},
      {"option", claude, withInput, answer(option), planDenied},
      {"without tool input", claude, preToolUse("ExitPlanMode", ""), answer(allow), planDenied},
      {"input that is no object", claude, preToolUse("ExitPlanMode", R"("plan")"), answer(allow),
       planDenied},
      {"Codex", AgentProvider::codex, withInput, answer(allow), "{}"},
  });
}

TEST(ProviderDecisionMapper, ElicitationsAreDeclinedUnlessCancelled) {
  const std::string elicitation =
      R"({"session_id":"s","hook_event_name":"Elicitation","message":"Token?"})";
  const std::string declined =
      R"({"hookSpecificOutput":{"action":"decline","hookEventName":"Elicitation"}})";
  const auto claude = AgentProvider::claudeCode;
  using enum AgentReplyDecision;
  check({
      {"allow", claude, elicitation, answer(allow), declined},
      {"option", claude, elicitation, answer(option), declined},
      {"deny", claude, elicitation, answer(deny), declined},
      {"cancel", claude, elicitation, answer(cancel),
       R"({"hookSpecificOutput":{"action":"cancel","hookEventName":"Elicitation"}})"},
      {"Codex", AgentProvider::codex, elicitation, answer(cancel), "{}"},
  });
}

}  // namespace
}  // namespace tarvel
