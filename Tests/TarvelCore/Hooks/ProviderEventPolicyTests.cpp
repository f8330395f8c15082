#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Support/Fixtures.hpp"
#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Hooks/Antigravity/AntigravityEventPolicy.hpp"
#include "TarvelCore/Hooks/Claude/ClaudeEventPolicy.hpp"
#include "TarvelCore/Hooks/Codex/CodexEventPolicy.hpp"
#include "TarvelCore/Hooks/Grok/GrokEventPolicy.hpp"
#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

using ProviderEventPolicy::concise;

const Date now = Dates::fromSecondsSince1970(1'800'000'000.0);

AgentHookPayload payload(std::string_view json) {
  auto decoded = AgentHookInput::decode(json);
  EXPECT_TRUE(decoded.hasValue()) << json;
  return decoded ? *decoded : AgentHookPayload{};
}

AgentHookPayload fixture(const std::string& name) {
  return payload(tarvel::Testing::agentDocument(name));
}

TEST(ProviderEventPolicy, ConciseCutsBetweenUserPerceivedCharacters) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character
  const std::string accented = "e\u0301";                                   // one character
  struct Case {
    std::string text;
    std::size_t limit;
    std::string expected;
  };
  const Case cases[] = {
      {std::string(200, 'a'), 90, std::string(89, 'a') + "\u2026"},
      {std::string(90, 'a'), 90, std::string(90, 'a')},
      {"  \t\nsecond line", 90, ""},
      {"\n\r\n  first  \nsecond", 90, "first"},
      {"one\u2028two", 90, "one"},
      {"one\u0085two", 90, "one"},
      {"\u3000 wide \u00a0", 90, "wide"},
      {family + family + family, 3, family + family + family},
      {family + family + family + family, 3, family + family + "\u2026"},
      {accented + accented + accented, 2, accented + "\u2026"},
      {"abc", 0, ""},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.text);
    const std::string result = concise(item.text, item.limit);
    EXPECT_EQ(result, item.expected);
    EXPECT_LE(Text::characterCount(result), item.limit);
    EXPECT_TRUE(Text::isValidUTF8(result));
  }
}

TEST(ProviderEventPolicy, ToolNamesReduceAndDisplay) {
  EXPECT_EQ(ProviderEventPolicy::toolIdentifier("mcp__files__Read_File"), "read_file");
  EXPECT_EQ(ProviderEventPolicy::toolIdentifier("Bash"), "bash");
  EXPECT_EQ(ProviderEventPolicy::toolIdentifier("mcp____x"), "x");
  EXPECT_EQ(ProviderEventPolicy::toolIdentifier("____"), "____");
  EXPECT_EQ(ProviderEventPolicy::toolIdentifier("mcp__srv__\u00C4rger"), "\u00e4rger");
  EXPECT_EQ(ProviderEventPolicy::displayTool("Bash"), "command");
  EXPECT_EQ(ProviderEventPolicy::displayTool("bash"), "bash");
  EXPECT_EQ(ProviderEventPolicy::displayTool("run_shell"), "run shell");
  EXPECT_EQ(ProviderEventPolicy::displayTool("mcp__srv__Query_DB"), "Query_DB");
  EXPECT_EQ(ProviderEventPolicy::displayTool("Web_Fetch"), "web fetch");
}

TEST(ProviderEventPolicy, ToolPresentationPerToolFamily) {
  struct Case {
    const char* name;
    const char* json;
    bool completed;
    AgentEventType type;
    AgentState state;
    const char* activity;
    std::optional<std::string> file;
  };
  const Case cases[] = {
      {"command",
       R"({"session_id":"s","tool_name":"Bash","tool_input":{"command":"ls -la\nrm x"}})", false,
       AgentEventType::toolStarted, AgentState::executingTool, "Running ls -la", std::nullopt},
      {"command without command", R"({"session_id":"s","tool_name":"Bash"})", false,
       AgentEventType::toolStarted, AgentState::executingTool, "Using command", std::nullopt},
      {"blank command", R"({"session_id":"s","tool_name":"Bash","tool_input":{"command":" \n"}})",
       false, AgentEventType::toolStarted, AgentState::executingTool, "Using command",
       std::nullopt},
      {"command done", R"({"session_id":"s","tool_name":"Bash","tool_input":{"command":"ls"}})",
       true, AgentEventType::toolCompleted, AgentState::running, "Finished command", std::nullopt},
      {"other shells", R"({"session_id":"s","tool_name":"run_terminal_command",
         "tool_input":{"command":"make"}})",
       false, AgentEventType::toolStarted, AgentState::executingTool, "Running make", std::nullopt},
      {"patch header",
       R"({"session_id":"s","tool_name":"apply_patch",
         "tool_input":{"command":"*** Begin Patch\n*** Add File: src/a.txt\n+x"}})",
       false, AgentEventType::fileChanged, AgentState::editing, "Editing a.txt", "src/a.txt"},
      {"patch done",
       R"({"session_id":"s","tool_name":"apply_patch",
         "tool_input":{"command":"*** Delete File: src/a.txt"}})",
       true, AgentEventType::toolCompleted, AgentState::running, "Finished editing", "src/a.txt"},
      {"edit path keys in order",
       R"({"session_id":"s","tool_name":"Edit",
         "tool_input":{"path":"c","filePath":"b/","file_path":"/r/a.swift"}})",
       false, AgentEventType::fileChanged, AgentState::editing, "Editing a.swift", "/r/a.swift"},
      {"blank path skipped",
       R"({"session_id":"s","tool_name":"write_to_file",
         "tool_input":{"file_path":" ","filePath":"dir/b.md"}})",
       false, AgentEventType::fileChanged, AgentState::editing, "Editing b.md", "dir/b.md"},
      {"every agent's edit tools", R"({"session_id":"s","tool_name":"write_file",
         "tool_input":{"file_path":"docs/c.md"}})",
       false, AgentEventType::fileChanged, AgentState::editing, "Editing c.md", "docs/c.md"},
      {"grok's edit tool", R"({"session_id":"s","tool_name":"search_replace",
         "tool_input":{"path":"d.txt"}})",
       true, AgentEventType::toolCompleted, AgentState::running, "Finished editing", "d.txt"},
      {"edit without file", R"({"session_id":"s","tool_name":"MultiEdit","tool_input":[1]})", false,
       AgentEventType::fileChanged, AgentState::editing, "Editing files", std::nullopt},
      {"mcp tool", R"({"session_id":"s","tool_name":"mcp__github__Create_Issue"})", false,
       AgentEventType::toolStarted, AgentState::executingTool, "Using Create_Issue", std::nullopt},
      {"no tool name", R"({"session_id":"s"})", true, AgentEventType::toolCompleted,
       AgentState::running, "Finished tool", std::nullopt},
      {"plan tool", R"({"session_id":"s","tool_name":"update_plan"})", false,
       AgentEventType::toolStarted, AgentState::executingTool, "Updating plan", std::nullopt},
      {"goal tools", R"({"session_id":"s","tool_name":"create_goal"})", true,
       AgentEventType::toolCompleted, AgentState::running, "Workflow started", std::nullopt},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    const auto shown =
        ProviderEventPolicy::toolPresentation(payload(item.json), item.completed, "s", now);
    EXPECT_EQ(shown.type, item.type);
    EXPECT_EQ(shown.state, item.state);
    EXPECT_EQ(shown.activity, item.activity);
    EXPECT_EQ(shown.file, item.file);
  }
  const auto codex = ProviderEventPolicy::toolPresentation(fixture("codex/PreToolUse.json"), false,
                                                           "codex:x", now);
  EXPECT_EQ(codex.activity, "Running ls");
  EXPECT_EQ(codex.rawTool, "Bash");
  const auto gemini =
      ProviderEventPolicy::toolPresentation(fixture("gemini/BeforeTool.json"), false, "x", now);
  EXPECT_EQ(gemini.activity, "Using list directory");
}

TEST(ProviderEventPolicy, StopFailureWording) {
  struct Case {
    const char* json;
    const char* expected;
  };
  const Case cases[] = {
      {R"({"session_id":"s","last_assistant_message":"rate_limit"})", "rate_limit"},
      {R"({"session_id":"s","last_assistant_message":"rate_limit","error":"rate-limit"})",
       "Usage limit reached"},
      {R"({"session_id":"s","error":"OAUTH_ORG_NOT_ALLOWED"})", "Organization not allowed"},
      {R"({"session_id":"s","error":{"message":"Boom\nstack"}})", "Boom"},
      {R"({"session_id":"s","error":"  ","last_assistant_message":"Overloaded"})", "Overloaded"},
      {R"({"session_id":"s","error":" "})", "Turn failed"},
      {R"({"session_id":"s"})", "Turn failed"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.json);
    EXPECT_EQ(ProviderEventPolicy::stopFailureActivity(payload(item.json)), item.expected);
  }
  EXPECT_EQ(ProviderEventPolicy::stopFailureActivity(fixture("claude/StopFailure.json")),
            "API Error: Unable to connect to API (ConnectionRefused)");
  const std::string longMessage =
      R"({"session_id":"s","last_assistant_message":")" + std::string(300, 'x') + "\"}";
  EXPECT_EQ(Text::characterCount(ProviderEventPolicy::stopFailureActivity(payload(longMessage))),
            90U);
}

TEST(ProviderEventPolicy, TurnEndsAndSessionStarts) {
  const auto outcome = [](const char* json) {
    return ProviderEventPolicy::stopCancelledOutcome(payload(json));
  };
  EXPECT_EQ(outcome(R"({"session_id":"s","reason":"MAX-TURNS"})"),
            (ProviderEventPolicy::StopOutcome{AgentEventType::failed, AgentState::failed,
                                              "Turn limit reached"}));
  EXPECT_EQ(outcome(R"({"session_id":"s","status":"no_progress"})").activity,
            "Stopped: no progress");
  EXPECT_EQ(outcome(R"({"session_id":"s","reason":"user"})").type, AgentEventType::completed);
  EXPECT_EQ(outcome(R"({"session_id":"s"})").activity, "Stopped");

  EXPECT_TRUE(
      ProviderEventPolicy::isTurnSettledNotification("Task-Complete", AgentProvider::codex));
  EXPECT_TRUE(ProviderEventPolicy::isTurnSettledNotification("idle_prompt", AgentProvider::grok));
  EXPECT_FALSE(
      ProviderEventPolicy::isTurnSettledNotification("idle_prompt", AgentProvider::claudeCode));
  EXPECT_FALSE(ProviderEventPolicy::isTurnSettledNotification(std::nullopt, AgentProvider::grok));
  EXPECT_EQ(ProviderEventPolicy::settledNotificationActivity(
                payload(R"({"session_id":"s","notification_type":"task_complete","message":" "})")),
            "Task completed");
  EXPECT_EQ(ProviderEventPolicy::settledNotificationActivity(payload(R"({"session_id":"s"})")),
            "Turn ended");

  EXPECT_FALSE(ProviderEventPolicy::shouldMapSessionStart(AgentProvider::grok, std::nullopt));
  EXPECT_TRUE(ProviderEventPolicy::shouldMapSessionStart(AgentProvider::codex, std::nullopt));
  EXPECT_FALSE(ProviderEventPolicy::shouldMapSessionStart(AgentProvider::codex, "Resume"));
  EXPECT_FALSE(ProviderEventPolicy::shouldMapSessionStart(AgentProvider::claudeCode, "compact"));
  EXPECT_TRUE(ProviderEventPolicy::shouldMapSessionStart(AgentProvider::claudeCode, "startup"));
}

TEST(ClaudeEventPolicy, PromptsAndWaitingNotifications) {
  const auto question = payload(R"({"session_id":"s","tool_name":"AskUserQuestion","tool_input":
      {"questions":[5,{"question":"  "},{"question":"Which port?\nDetails"},{"question":"b"}]}})");
  EXPECT_TRUE(ClaudeEventPolicy::isInteractiveTool(question.toolName));
  EXPECT_EQ(ClaudeEventPolicy::interactiveToolActivity(question), "Which port?");
  EXPECT_EQ(ClaudeEventPolicy::interactiveToolActivity(
                payload(R"({"session_id":"s","tool_name":"askuserquestion","tool_input":{}})")),
            "Needs an answer");
  EXPECT_EQ(ClaudeEventPolicy::interactiveToolActivity(
                payload(R"({"session_id":"s","tool_name":"ExitPlanMode"})")),
            "Needs plan approval");
  EXPECT_FALSE(ClaudeEventPolicy::isInteractiveTool(std::nullopt));

  const auto approval = [](const char* tool) {
    AgentHookPayload request;
    request.toolName = tool;
    return ClaudeEventPolicy::approvalActivity(request);
  };
  EXPECT_EQ(approval("Bash"), "Needs command approval");
  EXPECT_EQ(approval("mcp__x__Write"), "Needs edit approval");
  EXPECT_EQ(approval("AskUserQuestion"), "Needs an answer");
  EXPECT_EQ(approval("WebFetch"), "Needs approval for webfetch");
  EXPECT_EQ(approval("mcp__srv__Query_DB"), "Needs approval for Query_DB");
  EXPECT_EQ(ClaudeEventPolicy::approvalActivity(AgentHookPayload{}), "Needs approval");

  const auto notification = fixture("claude/Notification.json");
  EXPECT_TRUE(ClaudeEventPolicy::isWaitingNotification(notification.notificationType));
  EXPECT_EQ(ClaudeEventPolicy::waitingNotificationActivity(notification.notificationType,
                                                           notification.notificationMessage),
            "Claude needs your permission");
  EXPECT_TRUE(ClaudeEventPolicy::isWaitingNotification("Tool-Permission"));
  EXPECT_FALSE(ClaudeEventPolicy::isWaitingNotification("idle_prompt"));
  EXPECT_EQ(ClaudeEventPolicy::waitingNotificationActivity("elicitation-dialog", " "),
            "Needs approval");
  EXPECT_EQ(ClaudeEventPolicy::waitingNotificationActivity("agent_needs_input", std::nullopt),
            "Waiting for input");
}

TEST(AntigravityEventPolicy, RewritesToolsInputsAndLifecycle) {
  const auto write = AntigravityEventPolicy::enrich(payload(R"({"session_id":"s",
      "hook_event_name":"PreToolUse","tool_name":"client_write_file",
      "tool_input":{"AbsolutePath":"/p/new.txt","target_file":"/p/other.txt","CommandLine":"x"}})"));
  EXPECT_EQ(write.payload.toolName, "write_to_file");
  ASSERT_TRUE(write.payload.toolInput.has_value());
  EXPECT_EQ(*(*write.payload.toolInput)["file_path"], JSONValue::string("/p/other.txt"));
  EXPECT_EQ(*(*write.payload.toolInput)["command"], JSONValue::string("x"));
  EXPECT_TRUE(write.permissionRequestRequiresUserInput);
  EXPECT_FALSE(write.preferredTask || write.titleSource || write.workflowEvent);
  EXPECT_FALSE(write.replaceExistingTask);
  EXPECT_EQ(ProviderEventPolicy::toolPresentation(write.payload, false, "s", now).activity,
            "Editing other.txt");

  const auto kept = AntigravityEventPolicy::enrich(payload(R"({"session_id":"s",
      "tool_name":"client_edit_file","tool_input":{"file_path":"a","TargetFile":"b",
      "command":"c","command_line":"d"}})"));
  EXPECT_EQ(kept.payload.toolName, "replace_file_content");
  EXPECT_EQ(*(*kept.payload.toolInput)["file_path"], JSONValue::string("a"));
  EXPECT_EQ(*(*kept.payload.toolInput)["command"], JSONValue::string("c"));

  struct Case {
    const char* json;
    const char* event;
    std::optional<std::string> reason;
  };
  const Case cases[] = {
      {R"({"session_id":"s","hook_event_name":"Stop","reason":"MAX-STEPS-EXCEEDED"})",
       "StopCancelled", "max_turns"},
      {R"({"session_id":"s","hook_event_name":"Stop","reason":"done"})", "Stop", "done"},
      {R"({"session_id":"s","hook_event_name":"post_tool_use","error":"denied"})",
       "PostToolUseFailure", std::nullopt},
      {R"({"session_id":"s","hook_event_name":"PostToolUse","error":" "})", "PostToolUse",
       std::nullopt},
      {R"({"session_id":"s","hook_event_name":"UserPromptSubmit","invocationNum":0})",
       "SessionStart", std::nullopt},
      {R"({"session_id":"s","hook_event_name":"UserPromptSubmit","invocationNum":1})",
       "UserPromptSubmit", std::nullopt},
      {R"({"session_id":"s","hook_event_name":"UserPromptSubmit"})", "UserPromptSubmit",
       std::nullopt},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.json);
    const auto enriched = AntigravityEventPolicy::enrich(payload(item.json));
    EXPECT_EQ(enriched.payload.hookEventName, item.event);
    EXPECT_EQ(enriched.payload.reason, item.reason);
  }
}

TEST(AntigravityEventPolicy, WaitingToolsAndPassiveAnswers) {
  const auto permission = payload(R"({"session_id":"s","tool_name":"ask_permission",
      "tool_input":{"Reason":" ","reason":"Delete the build folder"}})");
  EXPECT_TRUE(AntigravityEventPolicy::isWaitingTool(permission.toolName));
  EXPECT_EQ(AntigravityEventPolicy::waitingActivity(permission), "Delete the build folder");
  EXPECT_EQ(AntigravityEventPolicy::waitingActivity(
                payload(R"({"session_id":"s","tool_name":"ask_permission","tool_input":"x"})")),
            "Needs approval");
  EXPECT_EQ(AntigravityEventPolicy::waitingActivity(
                payload(R"({"session_id":"s","tool_name":"ask_question"})")),
            "Needs an answer");
  EXPECT_EQ(AntigravityEventPolicy::passiveResponse("after_agent"), "{\"decision\":\"stop\"}\n");
  EXPECT_EQ(AntigravityEventPolicy::passiveResponse("Stop"), "{\"decision\":\"stop\"}\n");
  EXPECT_EQ(AntigravityEventPolicy::passiveResponse("StopFailure"), "{}\n");
  EXPECT_EQ(AntigravityEventPolicy::passiveResponse(std::nullopt), "{}\n");
}

TEST(CodexEventPolicy, PlansAndGoals) {
  const auto plan = payload(R"({"session_id":"s","tool_name":"update_plan","tool_input":{
      "explanation":"  ","title":" Ship ","plan":["skip",{"step":" Build ","status":"in-progress"},
      {"step":""},{"step":"Test","status":"DONE"},{"step":"Fix","status":"Blocked"},
      {"step":"Ask","status":"later"}]}})");
  const auto snapshot = CodexEventPolicy::planSnapshot(plan, "update_plan", now);
  ASSERT_TRUE(snapshot.has_value());
  EXPECT_EQ(snapshot->title, "Ship");
  EXPECT_EQ(snapshot->explanation, std::nullopt);
  EXPECT_EQ(snapshot->updatedAt, now);
  const std::vector<AgentStep> expected{
      {"plan-step-1", "Build", AgentStepStatus::inProgress},
      {"plan-step-3", "Test", AgentStepStatus::completed},
      {"plan-step-4", "Fix", AgentStepStatus::blocked},
      {"plan-step-5", "Ask", AgentStepStatus::pending},
  };
  EXPECT_EQ(snapshot->steps, expected);
  EXPECT_EQ(CodexEventPolicy::planSnapshot(plan, "create_goal", now), std::nullopt);
  EXPECT_EQ(CodexEventPolicy::planSnapshot(
                payload(R"({"session_id":"s","tool_input":{"plan":[{"step":" "}]}})"),
                "update_plan", now),
            std::nullopt);
  EXPECT_EQ(ProviderEventPolicy::toolPresentation(plan, true, "s", now).plan, snapshot);

  const auto created = CodexEventPolicy::workflowUpdate(
      payload(R"({"session_id":"s","tool_input":{"objective":" Port the app ","id":"g1"}})"),
      "create_goal", "codex:s");
  EXPECT_EQ(created,
            (AgentWorkflowUpdate{
                .id = "g1", .title = "Port the app", .status = AgentWorkflowStatus::running}));
  const auto untitled =
      CodexEventPolicy::workflowUpdate(payload(R"({"session_id":"s"})"), "create_goal", "codex:s");
  EXPECT_EQ(untitled->id, "goal:codex:s");
  EXPECT_EQ(untitled->title, "Goal");

  struct Case {
    const char* status;
    AgentWorkflowStatus expected;
  };
  const Case cases[] = {
      {"complete", AgentWorkflowStatus::completed}, {"completed", AgentWorkflowStatus::completed},
      {"Completed", AgentWorkflowStatus::running},  {"blocked", AgentWorkflowStatus::blocked},
      {"failed", AgentWorkflowStatus::failed},      {"waiting", AgentWorkflowStatus::waiting},
      {"paused", AgentWorkflowStatus::running},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.status);
    const std::string json = std::string(R"({"session_id":"s","tool_input":{"workflow_id":"w",)") +
                             R"("id":"i","status":")" + item.status + "\"}}";
    const auto update = CodexEventPolicy::workflowUpdate(payload(json), "update_goal", "s");
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->id, "w");
    EXPECT_EQ(update->title, std::nullopt);
    EXPECT_EQ(update->status, item.expected);
  }
  EXPECT_EQ(CodexEventPolicy::workflowUpdate(payload(R"({"session_id":"s"})"), "bash", "s"),
            std::nullopt);
}

TEST(GrokEventPolicy, PromptUnwrapping) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"<USER_QUERY> fix it </user_query>", " fix it "},
      {"context\n<user_query>\nline one\n\nline two\n</User_Query>\ntrailer",
       "\nline one\n\nline two\n"},
      {"<user_query>unclosed\n</user_query>", "unclosed\n"},
      {"<user_query>only opening", "only opening"},
      {"a\r\n</user_query>b\n<user_query><user_query>c", "a\nb\n<user_query>c"},
      {"plain \u00c4rger", "plain \u00c4rger"},
      {"", ""},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.text);
    EXPECT_EQ(GrokEventPolicy::visiblePrompt(item.text), item.expected);
  }
}

TEST(GrokEventPolicy, SubagentsAndWorkflowState) {
  EXPECT_TRUE(GrokEventPolicy::shouldIgnoreNestedTurnEnd(
      payload(R"({"session_id":"s","agent_type":"explorer","agent_id":" "})")));
  EXPECT_FALSE(GrokEventPolicy::shouldIgnoreNestedTurnEnd(
      payload(R"({"session_id":"s","agent_type":"explorer","parent_session_id":"p"})")));
  const auto orphan = payload(R"({"session_id":"s","agentId":""})");
  EXPECT_TRUE(
      GrokEventPolicy::remapsParentScopedSubagent(AgentProvider::grok, orphan, std::nullopt));
  EXPECT_FALSE(GrokEventPolicy::remapsParentScopedSubagent(AgentProvider::grok, orphan, "p"));
  EXPECT_FALSE(
      GrokEventPolicy::remapsParentScopedSubagent(AgentProvider::codex, orphan, std::nullopt));

  struct Case {
    const char* json;
    bool publishes;
    bool resolves;
  };
  const Case cases[] = {
      {R"({"session_id":"s","hook_event_name":"subagent_end","parent_session_id":"p"})", true,
       true},
      {R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"Workflow",
          "parent_session_id":"p"})",
       true, true},
      {R"({"session_id":"s","hook_event_name":"UserPromptSubmit","parent_session_id":"p"})", false,
       true},
      {R"({"session_id":"s","hook_event_name":"PreToolUse","parent_session_id":"p"})", false,
       false},
      {R"({"session_id":"s","hook_event_name":"PreToolUse","parent_session_id":" "})", false, true},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.json);
    const auto hook = payload(item.json);
    EXPECT_EQ(GrokEventPolicy::shouldPublishWorkflowState(hook), item.publishes);
    EXPECT_EQ(GrokEventPolicy::shouldResolveSessionContext(hook), item.resolves);
  }
}

TEST(AgentReplyPolicy, WhichHooksWaitForAnAnswer) {
  EXPECT_TRUE(AgentReplyPolicy::waitsForAnswer("PermissionRequest", std::nullopt));
  EXPECT_TRUE(AgentReplyPolicy::waitsForAnswer("elicitation", "anything"));
  EXPECT_TRUE(AgentReplyPolicy::waitsForAnswer("pre_tool_use", "mcp__ui__ASKUSERQUESTION"));
  EXPECT_TRUE(AgentReplyPolicy::waitsForAnswer("BeforeTool", "ExitPlanMode"));
  EXPECT_FALSE(AgentReplyPolicy::waitsForAnswer("PreToolUse", "Bash"));
  EXPECT_FALSE(AgentReplyPolicy::waitsForAnswer("PreToolUse", std::nullopt));
  EXPECT_FALSE(AgentReplyPolicy::waitsForAnswer("PostToolUse", "AskUserQuestion"));
  EXPECT_FALSE(AgentReplyPolicy::waitsForAnswer(" PermissionRequest", std::nullopt));

  EXPECT_TRUE(AgentReplyPolicy::canDecide(AgentProvider::codex));
  EXPECT_TRUE(AgentReplyPolicy::canDecide(AgentProvider("Claude-Code")));
  EXPECT_TRUE(AgentReplyPolicy::canDecide(AgentProvider::openCode));
  for (const AgentProvider& other :
       {AgentProvider::geminiCLI, AgentProvider::grok, AgentProvider::antigravity,
        AgentProvider::cursor, AgentProvider("codex2")}) {
    SCOPED_TRACE(other.rawValue);
    EXPECT_FALSE(AgentReplyPolicy::canDecide(other));
  }
  AgentPendingReply reply;
  EXPECT_FALSE(AgentReplyPolicy::shouldAwaitReply(reply));
  reply.grants = {AgentReplyGrant::cancel};
  EXPECT_TRUE(AgentReplyPolicy::shouldAwaitReply(reply));
  EXPECT_EQ(AgentReplyPolicy::waitSeconds, 120);
  const AgentRow& claude = *AgentCatalogue::of(AgentProvider::claudeCode);
  EXPECT_EQ(AgentCatalogue::matcherText(claude,
                                        {.event = "PreToolUse", .tools = ToolMatcher::interactive}),
            "AskUserQuestion|ExitPlanMode");
  EXPECT_EQ(
      AgentCatalogue::matcherText(claude, {.event = "PreToolUse", .tools = ToolMatcher::others}),
      "^(?!AskUserQuestion$|ExitPlanMode$).*");
}

}  // namespace
}  // namespace tarvel
