#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "TarvelCore/Hooks/ContextTestSupport.hpp"
#include "TarvelCore/Hooks/Grok/GrokHookRouting.hpp"
#include "TarvelCore/Hooks/Grok/GrokSessionContextResolver.hpp"
#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using ContextTesting::setModificationTime;
using ContextTesting::TemporaryHome;
using ContextTesting::writeFile;

const std::string workspace = "/work/项目 one";

std::string state(const std::string& run, const std::string& status,
                  const std::string& currentPhase = "") {
  return R"({"state":{"run_id":")" + run + R"(","name":"Ship it","status":")" + status +
         R"(","phases":[{"title":"plan"},{"title":"build"},{"title":"test"}])" +
         (currentPhase.empty() ? "" : R"(,"current_phase":")" + currentPhase + "\"") + "}}";
}

class GrokContextTest : public ::testing::Test {
 protected:
  fs::path grokHome() const { return home.path / ".grok"; }
  fs::path bucket() const {
    return grokHome() / "sessions" / GrokSessionContextResolver::workspaceBucketName(workspace);
  }
  void writeRun(const std::string& session, const std::string& run, const std::string& json,
                long modified) const {
    const fs::path file = bucket() / session / "workflows" / run / "state.json";
    writeFile(file, json);
    setModificationTime(file, modified);
  }
  AgentHookPayload payload(const std::string& session, const std::string& event = "Stop") const {
    return AgentHookPayload{.sessionId = session,
                            .cwd = workspace,
                            .hookEventName = event,
                            .agentType = "explorer",
                            .parentSessionId = "payload-parent"};
  }
  TemporaryHome home;
};

TEST(GrokSessionContextResolver, BucketNamesKeepLettersMarksAndDigitsOfEveryScript) {
  struct Case {
    const char* path;
    const char* bucket;
  };
  const Case cases[] = {
      {"/Users/x/my-proj_1", "%2FUsers%2Fx%2Fmy%2Dproj%5F1"},
      {"/srv/项目/./a/../b/", "%2Fsrv%2F项目%2Fb"},
      {"/r/Café/e\u0301/٣", "%2Fr%2FCafé%2Fe\u0301%2F٣"},
      {"/x y/ü²", "%2Fx%20y%2Fü%C2%B2"},
      {"/bad\xFF", "%2Fbad%FF"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.path);
    EXPECT_EQ(GrokSessionContextResolver::workspaceBucketName(item.path), item.bucket);
  }
}

TEST_F(GrokContextTest, TopLevelSessionReportsItsLatestRunAndDropsThePayloadsParent) {
  writeFile(bucket() / "s1" / "summary.json",
            R"({"generated_title":"  ","session_summary":"Port the CLI"})");
  writeRun("s1", "a-old", state("old", "running", "plan"), 1000);
  writeRun("s1", "b-new", state("new", "Running", "build"), 2000);
  writeRun("s1", "c-tie", state("tie", "running"), 2000);  // same date, listed later
  writeFile(bucket() / "s1" / "workflows" / "d-bad" / "state.json", R"({"state":{"run_id":"x"}})");

  const auto context = GrokSessionContextResolver::resolve(payload("s1"), grokHome());
  EXPECT_EQ(context.sessionTitle, "Port the CLI");
  EXPECT_EQ(context.parentSessionId, std::nullopt);
  EXPECT_EQ(context.agentRole, std::nullopt);
  EXPECT_EQ(context.workflowOwnerSessionId, "s1");
  EXPECT_EQ(context.workflowTask, "Ship it");
  EXPECT_EQ(context.workflowPhase, "build");
  EXPECT_EQ(context.workflowState, AgentState::running);
  EXPECT_EQ(context.workflowUpdatedAt, Dates::fromSecondsSince1970(2000));
  ASSERT_TRUE(context.workflowUpdate);
  EXPECT_EQ(context.workflowUpdate->id, "new");
  EXPECT_EQ(context.workflowUpdate->steps,
            (std::vector<AgentStep>{
                {.id = "new:phase:0", .title = "plan", .status = AgentStepStatus::completed},
                {.id = "new:phase:1", .title = "build", .status = AgentStepStatus::inProgress},
                {.id = "new:phase:2", .title = "test", .status = AgentStepStatus::pending}}));
}

TEST_F(GrokContextTest, StatusWordsGiveStatesAndStepStatuses) {
  struct Case {
    const char* status;
    const char* phase;
    AgentWorkflowStatus workflowStatus;
    AgentState state;
    std::vector<AgentStepStatus> steps;
  };
  using S = AgentStepStatus;
  const Case cases[] = {
      {"Done",
       "plan",
       AgentWorkflowStatus::completed,
       AgentState::completed,
       {S::completed, S::completed, S::completed}},
      {"running",
       "deploy",
       AgentWorkflowStatus::running,
       AgentState::running,
       {S::pending, S::pending, S::pending}},
      {"PAUSED",
       "test",
       AgentWorkflowStatus::waiting,
       AgentState::waitingForUser,
       {S::completed, S::completed, S::blocked}},
      {"error",
       "plan",
       AgentWorkflowStatus::failed,
       AgentState::failed,
       {S::failed, S::pending, S::pending}},
      {"canceled",
       "build",
       AgentWorkflowStatus::blocked,
       AgentState::waitingForUser,
       {S::completed, S::blocked, S::pending}},
      {"pending",
       "",
       AgentWorkflowStatus::pending,
       AgentState::starting,
       {S::pending, S::pending, S::pending}},
      {"whatever",
       "plan",
       AgentWorkflowStatus::running,
       AgentState::running,
       {S::inProgress, S::pending, S::pending}},
  };
  long modified = 100;
  for (const Case& item : cases) {
    SCOPED_TRACE(item.status);
    writeRun("s2", "run", state("r", item.status, item.phase), ++modified);
    const auto context = GrokSessionContextResolver::resolve("s2", workspace, grokHome());
    ASSERT_TRUE(context.workflowUpdate);
    EXPECT_EQ(context.workflowUpdate->status, item.workflowStatus);
    EXPECT_EQ(context.workflowState, item.state);
    std::vector<AgentStepStatus> steps;
    for (const auto& step : *context.workflowUpdate->steps) {
      steps.push_back(step.status);
    }
    EXPECT_EQ(steps, item.steps);
  }
}

TEST_F(GrokContextTest, SubagentReportsItsParentsWorkflowAndTitle) {
  writeFile(bucket() / "parent" / "summary.json", R"({"generated_title":"Parent task"})");
  writeFile(
      bucket() / "parent" / "subagents" / "child" / "meta.json",
      R"({"parent_session_id":"parent","subagent_type":"explorer","description":"Scan files"})");
  writeRun("parent", "run", state("r1", "running", "test"), 3000);
  writeFile(bucket() / "aaa-other" / "subagents" / "child" / "meta.json", R"({"description":"x"})");

  const auto context = GrokSessionContextResolver::resolve(payload("child"), grokHome());
  EXPECT_EQ(context.parentSessionId, "parent");
  EXPECT_EQ(context.agentRole, "Scan files");
  EXPECT_EQ(context.sessionTitle, "Parent task");
  EXPECT_EQ(context.workflowOwnerSessionId, "parent");
  const auto event = context.workflowEvent(Dates::fromSecondsSince1970(5), "/w");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->sessionId, "grok:parent");
  EXPECT_EQ(event->activity, "Workflow \u00B7 test");
  EXPECT_EQ(event->metadata,
            (std::map<std::string, std::string>{{"hookEvent", "grokWorkflowState"}}));
  EXPECT_EQ(event->workingDirectory, "/w");
}

TEST_F(GrokContextTest, UnsafeIdsAndMissingFilesGiveOnlyThePayloadsFallbacks) {
  writeFile(bucket() / "s1" / "summary.json", R"({"generated_title":"T"})");
  const GrokSessionContext fallback{.parentSessionId = "payload-parent", .agentRole = "explorer"};
  for (const char* id : {"..", "a/b", "", "nobody"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(GrokSessionContextResolver::resolve(payload(id), grokHome()), fallback);
  }
  // Without a run, a top-level session keeps the payload's parent and role.
  const auto context = GrokSessionContextResolver::resolve(payload("s1"), grokHome());
  EXPECT_EQ(context.parentSessionId, "payload-parent");
  EXPECT_EQ(context.sessionTitle, "T");
  EXPECT_EQ(context.workflowEvent(Dates::now(), std::nullopt), std::nullopt);
  // A summary with a wrongly typed key, or above 1 MiB, counts as absent.
  writeFile(bucket() / "s1" / "summary.json", R"({"generated_title":"T","session_summary":3})");
  EXPECT_EQ(GrokSessionContextResolver::resolve(payload("s1"), grokHome()).sessionTitle,
            std::nullopt);
  writeFile(bucket() / "s1" / "summary.json",
            R"({"generated_title":"T","pad":")" + std::string(1 << 20, 'p') + "\"}");
  EXPECT_EQ(GrokSessionContextResolver::resolve(payload("s1"), grokHome()).sessionTitle,
            std::nullopt);
}

TEST_F(GrokContextTest, LinksOutOfTheGrokHomeAreNotFollowed) {
  TemporaryHome elsewhere;
  writeFile(elsewhere.path / "s9" / "summary.json", R"({"generated_title":"Secret"})");
  fs::create_directories(bucket());
  fs::create_directory_symlink(elsewhere.path / "s9", bucket() / "s9");
  EXPECT_EQ(GrokSessionContextResolver::resolve("s9", workspace, grokHome()), GrokSessionContext{});
}

TEST_F(GrokContextTest, EnricherClosesARunningWorkflowAtTurnEndOnly) {
  writeRun("s1", "run", state("r", "running", "build"), 1000);
  const Date now = Dates::fromSecondsSince1970(10);
  const auto stop =
      ProviderHookEnricher::enrich(payload("s1", "Stop"), AgentProvider::grok, now, home.path);
  ASSERT_TRUE(stop.workflowEvent);
  EXPECT_EQ(stop.workflowEvent->type, AgentEventType::completed);
  EXPECT_EQ(stop.workflowEvent->state, AgentState::completed);
  EXPECT_EQ(stop.workflowEvent->workingDirectory, workspace);
  EXPECT_TRUE(stop.permissionRequestRequiresUserInput);

  const auto subagentStart = ProviderHookEnricher::enrich(payload("s1", "SubagentStart"),
                                                          AgentProvider::grok, now, home.path);
  ASSERT_TRUE(subagentStart.workflowEvent);
  EXPECT_EQ(subagentStart.workflowEvent->state, AgentState::running);

  AgentHookPayload tool = payload("s1", "PreToolUse");
  tool.toolName = "read_file";
  tool.parentSessionId.reset();
  EXPECT_EQ(ProviderHookEnricher::enrich(tool, AgentProvider::grok, now, home.path).workflowEvent,
            std::nullopt);
  tool.toolName = "Workflow";
  EXPECT_TRUE(
      ProviderHookEnricher::enrich(tool, AgentProvider::grok, now, home.path).workflowEvent);
}

TEST_F(GrokContextTest, EnricherNamesSubagentsAndKeepsAKnownParent) {
  writeFile(bucket() / "parent" / "subagents" / "child" / "meta.json",
            R"({"parent_session_id":"parent","subagent_type":"explorer"})");
  AgentHookPayload child = payload("child", "UserPromptSubmit");
  child.parentSessionId.reset();
  const auto enriched =
      ProviderHookEnricher::enrich(child, AgentProvider::grok, Dates::now(), home.path);
  EXPECT_EQ(enriched.payload.parentSessionId, "parent");
  EXPECT_EQ(enriched.payload.description, "explorer");

  AgentHookPayload known = payload("unknown", "UserPromptSubmit");
  const auto kept =
      ProviderHookEnricher::enrich(known, AgentProvider::grok, Dates::now(), home.path);
  EXPECT_EQ(kept.payload.parentSessionId, "payload-parent");
}

TEST(GrokHookRouting, ProvidersAndSkipsFollowTheRelayRules) {
  EXPECT_TRUE(
      GrokHookRouting::shouldSkipClaudeCompatibilityHook(true, AgentProvider::claudeCode, true));
  EXPECT_TRUE(
      GrokHookRouting::shouldSkipClaudeCompatibilityHook(true, AgentProvider::cursor, true));
  EXPECT_FALSE(
      GrokHookRouting::shouldSkipClaudeCompatibilityHook(true, AgentProvider::claudeCode, false));
  EXPECT_FALSE(GrokHookRouting::shouldSkipClaudeCompatibilityHook(true, AgentProvider::grok, true));
  EXPECT_FALSE(
      GrokHookRouting::shouldSkipClaudeCompatibilityHook(false, AgentProvider::claudeCode, true));
  EXPECT_EQ(GrokHookRouting::resolvedProvider(std::nullopt, true), AgentProvider::grok);
  EXPECT_EQ(GrokHookRouting::resolvedProvider(std::nullopt, false), AgentProvider::codex);
  EXPECT_EQ(GrokHookRouting::resolvedProvider(AgentProvider::cursor, true), AgentProvider::grok);
  EXPECT_EQ(GrokHookRouting::resolvedProvider(AgentProvider::cursor, false), AgentProvider::cursor);
  EXPECT_EQ(GrokHookRouting::resolvedProvider(AgentProvider::geminiCLI, true),
            AgentProvider::geminiCLI);
}

TEST(GrokHookRouting, NativeRelayIsFoundAnywhereUnderHooks) {
  TemporaryHome home;
  const fs::path file = home.path / "settings.json";
  struct Case {
    std::string json;
    bool relay;
  };
  const std::string command = R"("command":"/home/u/.tarvel/bin/tarvel-hook --provider )";
  const Case cases[] = {
      {R"({"hooks":{"Stop":[{"hooks":[{)" + command + R"(grok"}]}]}})", true},
      {R"({"hooks":[{)" + command + R"('grok'"}]})", true},
      {R"({"hooks":[{)" + command + R"(\"grok\""}]})", true},
      {R"({"hooks":[{)" + command + R"(claude"}]})", false},
      {R"({"hooks":[{"command":"tarvel-hook --provider grok"}]})", false},
      {R"({"other":{)" + command + R"(grok"}})", false},
      {R"([{"hooks":1}])", false},
      {"{not json", false},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.json);
    writeFile(file, item.json);
    EXPECT_EQ(GrokHookRouting::configurationContainsNativeRelay(file), item.relay);
  }
  EXPECT_FALSE(GrokHookRouting::configurationContainsNativeRelay(home.path / "missing.json"));
}

}  // namespace
}  // namespace tarvel
