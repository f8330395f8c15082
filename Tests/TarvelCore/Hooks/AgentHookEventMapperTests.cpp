#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "Support/Fixtures.hpp"
#include "TarvelCore/Hooks/AgentHookEventMapper.hpp"
#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Hooks/ProviderDecisionMapper.hpp"
#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

const Date now = *Dates::parseISO8601("2026-12-08T06:00:00Z");

AgentHookPayload decoded(std::string_view document) {
  auto payload = AgentHookInput::decode(document);
  if (!payload) {
    ADD_FAILURE() << "undecodable: " << document << ": " << payload.error().description();
    return {};
  }
  return *payload;
}

using tarvel::Testing::agentDocument;
using tarvel::Testing::fixturePath;
namespace fs = std::filesystem;

std::optional<AgentEvent> mapped(std::string_view document, const AgentProvider& provider,
                                 bool permission = true) {
  return AgentHookEventMapper::map(decoded(document), provider, permission, now);
}

TEST(AgentHookEventMapper, RealAgentDocumentsMapToTheirEvents) {
  const AgentProvider qwen("qwen-code");
  struct Case {
    std::string file;
    AgentProvider provider;
    std::optional<AgentEventType> type;  // absent: no event
    AgentState state = AgentState::idle;
    std::optional<std::string> activity;  // checked when present
    std::optional<std::string> task;      // checked when present
  };
  const std::vector<Case> cases = {
      {"claude/SessionStart.json", AgentProvider::claudeCode, AgentEventType::started,
       AgentState::starting, "Session started", "proj"},
      {"claude/UserPromptSubmit.json", AgentProvider::claudeCode, AgentEventType::activity,
       AgentState::thinking, "Thinking"},
      {"claude/PreToolUse.json", AgentProvider::claudeCode, AgentEventType::toolStarted,
       AgentState::executingTool},
      {"claude/PostToolUse.json", AgentProvider::claudeCode, AgentEventType::toolCompleted,
       AgentState::running},
      {"claude/PermissionRequest.json", AgentProvider::claudeCode, AgentEventType::waiting,
       AgentState::waitingForUser},
      {"claude/Notification.json", AgentProvider::claudeCode, AgentEventType::waiting,
       AgentState::waitingForUser},
      {"claude/Stop.json", AgentProvider::claudeCode, AgentEventType::completed,
       AgentState::completed},
      {"claude/StopFailure.json", AgentProvider::claudeCode, AgentEventType::failed,
       AgentState::failed},
      {"claude/SessionEnd.json", AgentProvider::claudeCode, AgentEventType::completed,
       AgentState::completed, "Session ended"},
      {"claude/SubagentStart.json", AgentProvider::claudeCode, AgentEventType::started,
       AgentState::starting, "Subagent started"},
      {"claude/SubagentStop.json", AgentProvider::claudeCode, AgentEventType::completed,
       AgentState::completed, "Subagent completed"},
      {"claude/MessageDisplay.json", AgentProvider::claudeCode, std::nullopt},
      {"claude/PostToolBatch.json", AgentProvider::claudeCode, std::nullopt},
      {"claude/PreCompact.json", AgentProvider::claudeCode, std::nullopt},
      {"codex/SessionStart.json", AgentProvider::codex, AgentEventType::started,
       AgentState::starting, "Session started"},
      {"codex/PreToolUse.json", AgentProvider::codex, AgentEventType::toolStarted,
       AgentState::executingTool},
      {"codex/Stop.json", AgentProvider::codex, AgentEventType::completed, AgentState::completed},
      {"codex/SubagentStart.json", AgentProvider::codex, AgentEventType::started,
       AgentState::starting, "Subagent started", "Default subagent"},
      {"gemini/BeforeAgent.json", AgentProvider::geminiCLI, AgentEventType::activity,
       AgentState::thinking, "Thinking"},
      {"gemini/BeforeTool.json", AgentProvider::geminiCLI, AgentEventType::toolStarted,
       AgentState::executingTool},
      {"gemini/AfterTool.json", AgentProvider::geminiCLI, AgentEventType::toolCompleted,
       AgentState::running},
      {"gemini/AfterAgent.json", AgentProvider::geminiCLI, AgentEventType::completed,
       AgentState::completed},
      {"gemini/BeforeModel.json", AgentProvider::geminiCLI, std::nullopt},
      {"gemini/PreCompress.json", AgentProvider::geminiCLI, std::nullopt},
      {"qwen/SessionStart.json", qwen, AgentEventType::started, AgentState::starting,
       "Session started", "proj"},
      {"qwen/UserPromptSubmit.json", qwen, AgentEventType::activity, AgentState::thinking,
       "Thinking", "Hello there"},
      {"qwen/PermissionRequest-touch.json", qwen, AgentEventType::waiting,
       AgentState::waitingForUser, "Needs command approval"},
      {"qwen/PreToolUse-ls.json", qwen, AgentEventType::toolStarted, AgentState::executingTool,
       "Running ls"},
      {"qwen/PostToolUse-touch.json", qwen, AgentEventType::toolCompleted, AgentState::running,
       "Finished command"},
      {"qwen/Notification-permission_prompt.json", qwen, AgentEventType::waiting,
       AgentState::waitingForUser},
      {"qwen/Notification-idle_prompt.json", qwen, AgentEventType::completed,
       AgentState::completed},
      {"qwen/Notification-auth_success.json", qwen, std::nullopt},
      {"qwen/Stop.json", qwen, AgentEventType::completed, AgentState::completed,
       "Mock answer: hello."},
      {"qwen/SubagentStart.json", qwen, AgentEventType::started, AgentState::starting,
       "Subagent started"},
      {"qwen/SessionEnd.json", qwen, AgentEventType::completed, AgentState::completed,
       "Session ended"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string document = agentDocument(c.file);
    ASSERT_FALSE(document.empty());
    const auto event = mapped(document, c.provider);
    if (!c.type) {
      EXPECT_FALSE(event.has_value());
      continue;
    }
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->type, *c.type);
    EXPECT_EQ(event->state, c.state);
    EXPECT_TRUE(event->sessionId.starts_with(c.provider.rawValue + ":")) << event->sessionId;
    EXPECT_TRUE(event->activity.has_value() && !event->activity->empty());
    EXPECT_FALSE(event->pendingReply.has_value());
    EXPECT_EQ(event->workingDirectory, "/home/dev/proj");
    EXPECT_TRUE(event->metadata && event->metadata->count("hookEvent"));
    if (c.activity) {
      EXPECT_EQ(event->activity, c.activity);
    }
    if (c.task) {
      EXPECT_EQ(event->task, c.task);
    }
  }
  // Qwen Code's second, empty UserPromptSubmit after a tool result or a denial names no task, so
  // the task the user typed stays.
  for (const char* file : {"qwen/UserPromptSubmit-empty-after-tool-result.json",
                           "qwen/UserPromptSubmit-empty-after-hook-deny.json"}) {
    SCOPED_TRACE(file);
    const auto event = mapped(agentDocument(file), qwen);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->state, AgentState::thinking);
    EXPECT_FALSE(event->task.has_value());
  }
}

// OpenCode's and Kilo's plugin hands the hook the agent's bus events and its handlers' calls (the
// handler named on the command line), with the project's folder: each becomes its step, in the
// session it names, under the agent's name; a sub-agent's session has its parent's; a permission
// is answered with the response OpenCode's client takes.
TEST(AgentHookEventMapper, OpenCodePluginDocumentsMapToTheirEvents) {
  struct Case {
    std::string file;
    std::optional<AgentEventType> type;
    AgentState state = AgentState::idle;
    std::optional<std::string> activity;
    std::optional<std::string> task;
  };
  const std::vector<Case> cases = {
      {"event-session.created", AgentEventType::started, AgentState::starting, "Session started",
       "proj"},
      {"hook-chat.message", AgentEventType::activity, AgentState::thinking, "Thinking",
       "Hello there"},
      {"hook-tool.execute.before-ls", AgentEventType::toolStarted, AgentState::executingTool,
       "Running ls"},
      {"hook-tool.execute.after-ls", AgentEventType::toolCompleted, AgentState::running},
      {"event-permission.asked-touch", AgentEventType::waiting, AgentState::waitingForUser,
       "Needs command approval"},
      {"event-session.idle", AgentEventType::completed, AgentState::completed, "Task completed"},
      {"event-session.created-subagent", AgentEventType::started, AgentState::starting,
       "Subagent started", "General subagent"},
      {"hook-chat.message-subagent", AgentEventType::activity, AgentState::thinking, "Thinking",
       "SUBAGENT_TASK: reply with one short line."},
      {"event-session.idle-subagent", AgentEventType::completed, AgentState::completed},
  };
  for (const char* agent : {"opencode", "kilo"}) {
    const AgentProvider provider(agent);
    for (const Case& c : cases) {
      const fs::path file = fixturePath("agents") / agent / (c.file + ".json");
      if (!fs::exists(file)) {
        continue;  // Kilo's captures hold fewer
      }
      SCOPED_TRACE(file.string());
      // "hook-NAME-..." is a handler's call, whose name the plugin puts on the command line.
      std::optional<std::string> handler;
      if (c.file.starts_with("hook-")) {
        handler = c.file.substr(5, c.file.find('-', 5) - 5);
      }
      const auto payload =
          ProviderHookEnricher::decode(tarvel::Testing::readFile(file), provider, handler);
      ASSERT_TRUE(payload.hasValue()) << payload.error().description();
      const auto event = AgentHookEventMapper::map(*payload, provider, true, now);
      ASSERT_TRUE(event.has_value());
      EXPECT_EQ(event->type, c.type);
      EXPECT_EQ(event->state, c.state);
      // The session the document names, and a sub-agent's parent.
      const Json raw = Json::parse(tarvel::Testing::readFile(file));
      const Json& named = raw.contains("input") ? raw["input"] : raw["properties"];
      EXPECT_EQ(event->sessionId, std::string(agent) + ":" + named["sessionID"].get<std::string>());
      const Json info = named.value("info", Json::object());
      EXPECT_EQ(event->parentSessionId,
                info.contains("parentID")
                    ? std::optional(std::string(agent) + ":" + info["parentID"].get<std::string>())
                    : std::nullopt);
      if (c.activity) {
        EXPECT_EQ(event->activity, c.activity);
      }
      if (c.task) {
        EXPECT_EQ(event->task, c.task);
      }
      if (c.type == AgentEventType::waiting) {
        const AgentReply allow{.replyId = UUID::random(), .decision = AgentReplyDecision::allow};
        const AgentReply deny{.replyId = UUID::random(), .decision = AgentReplyDecision::deny};
        EXPECT_EQ(ProviderDecisionMapper::data(provider, *payload, allow),
                  R"({"response":"once"})");
        EXPECT_EQ(ProviderDecisionMapper::data(provider, *payload, deny),
                  R"({"response":"reject"})");
        ASSERT_TRUE(payload->toolInput.has_value());
        EXPECT_EQ(*(*payload->toolInput)["command"]->stringValue(), "touch created-by-agent.txt");
      }
    }
  }
  // The plugin adds the project's folder to what it hands on; an error ends the turn as failed.
  const AgentProvider openCode("opencode");
  const auto failed = ProviderHookEnricher::decode(
      R"({"type":"session.error","properties":{"sessionID":"ses_1","error":)"
      R"({"name":"APIError","data":{"message":"Model unreachable"}}},"directory":"/home/dev/proj"})",
      openCode, std::nullopt);
  ASSERT_TRUE(failed.hasValue());
  EXPECT_EQ(failed->cwd, "/home/dev/proj");
  const auto event = AgentHookEventMapper::map(*failed, openCode, true, now);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->state, AgentState::failed);
  EXPECT_EQ(event->activity, "Model unreachable");
  // A document that names no session is no step of any.
  EXPECT_FALSE(ProviderHookEnricher::decode(R"({"type":"session.idle","properties":{}})", openCode,
                                            std::nullopt)
                   .hasValue());
}

// Droid has no permission request: its pre-tool hook answers for the prompt it would show, which
// it shows when the risk the model gave a command is above the autonomy it runs with. Only those
// calls wait and show a prompt; the answer is its pre-tool decision.
TEST(AgentHookEventMapper, DroidAsksOnlyAboveItsAutonomy) {
  const AgentProvider droid("droid");
  const std::vector<std::pair<std::string, bool>> cases{
      {"droid/PreToolUse-ls-low.json", false},
      {"droid/PreToolUse-touch-medium-auto-low.json", true},
      {"droid/PreToolUse-touch-medium-auto-medium.json", false},
  };
  for (const auto& [file, asks] : cases) {
    SCOPED_TRACE(file);
    const AgentHookPayload payload = decoded(agentDocument(file));
    const bool wouldAsk = ProviderHookEnricher::agentWouldAsk(payload, droid, "/home/dev", {});
    EXPECT_EQ(wouldAsk, asks);
    EXPECT_EQ(AgentReplyPolicy::holdsAgent(droid, payload, wouldAsk), asks);
    const auto event = AgentHookEventMapper::map(payload, droid, wouldAsk, now);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->state, asks ? AgentState::waitingForUser : AgentState::executingTool);
    if (asks) {
      EXPECT_EQ(event->activity, "Needs command approval");
      const AgentReply allow{.replyId = UUID::random(), .decision = AgentReplyDecision::allow};
      const AgentReply deny{.replyId = UUID::random(), .decision = AgentReplyDecision::deny};
      EXPECT_EQ(
          ProviderDecisionMapper::data(droid, payload, allow),
          R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow"}})");
      EXPECT_EQ(
          ProviderDecisionMapper::data(droid, payload, deny),
          R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"deny",)"
          R"("permissionDecisionReason":"Denied from Tarvel"}})");
    }
  }
  // Its allowlist never asks, a high risk asks at medium autonomy, and a call without a risk asks
  // only to edit with no autonomy.
  const std::string execute =
      R"({"session_id":"s","cwd":"/p","hook_event_name":"PreToolUse","permission_mode":"MODE",)"
      R"("tool_name":"TOOL","tool_input":INPUT})";
  const auto asks = [&](std::string mode, std::string tool, std::string input) {
    std::string text = Text::replacingAll(execute, "MODE", mode);
    text = Text::replacingAll(text, "TOOL", tool);
    text = Text::replacingAll(text, "INPUT", input);
    return ProviderHookEnricher::agentWouldAsk(decoded(text), droid, "/home/dev", {});
  };
  EXPECT_FALSE(asks("auto-low", "Execute", R"({"command":"git status","riskLevel":"medium"})"));
  EXPECT_TRUE(asks("auto-medium", "Execute", R"({"command":"rm -rf build","riskLevel":"high"})"));
  EXPECT_FALSE(asks("auto-high", "Execute", R"({"command":"make clean","riskLevel":"high"})"));
  EXPECT_TRUE(asks("auto-high", "Execute", R"({"command":"rm -rf build","riskLevel":"high"})"));
  EXPECT_TRUE(asks("off", "Edit", R"({"file_path":"a.txt"})"));
  EXPECT_FALSE(asks("auto-low", "Edit", R"({"file_path":"a.txt"})"));
  EXPECT_FALSE(asks("off", "Read", R"({"file_path":"a.txt"})"));
}

TEST(AgentHookEventMapper, SessionIdentityNeverDoublesThePrefix) {
  struct Case {
    std::string document;
    std::string session;
    std::optional<std::string> parent;
  };
  const std::vector<Case> cases = {
      {R"({"session_id":"s1","hook_event_name":"Stop"})", "codex:s1", std::nullopt},
      {R"({"session_id":"codex:s1","hook_event_name":"Stop"})", "codex:s1", std::nullopt},
      {R"({"session_id":"s1","agent_id":"a7","hook_event_name":"Stop"})", "codex:s1:a7",
       "codex:s1"},
      {R"({"session_id":"s1","agent_id":"a7","parent_session_id":"  ","hook_event_name":"Stop"})",
       "codex:s1:a7", "codex:s1"},
      {R"({"session_id":"s1","agent_id":"","hook_event_name":"Stop"})", "codex:s1", std::nullopt},
      {R"({"session_id":"s1","parent_session_id":"codex:p","hook_event_name":"Stop"})", "codex:s1",
       "codex:p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    const auto event = mapped(c.document, AgentProvider::codex);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->sessionId, c.session);
    EXPECT_EQ(event->parentSessionId, c.parent);
  }
}

TEST(AgentHookEventMapper, DispatchRowsAndTheirTexts) {
  struct Case {
    std::string document;
    AgentProvider provider;
    std::optional<AgentEventType> type;
    std::string activity;
  };
  const AgentProvider claude = AgentProvider::claudeCode;
  const AgentProvider grok = AgentProvider::grok;
  const std::vector<Case> cases = {
      {R"({"session_id":"s","hook_event_name":"SessionStart","source":"RESUME"})", claude, {}, ""},
      {R"({"session_id":"s","hook_event_name":"SessionStart","source":"compaction"})",
       claude,
       {},
       ""},
      {R"({"session_id":"s","hook_event_name":"SessionStart","source":"startup"})", claude,
       AgentEventType::started, "Session started"},
      {R"({"session_id":"s","hook_event_name":"SessionStart"})", grok, {}, ""},
      {R"({"session_id":"s","hook_event_name":"Stop","reason":"Aborted"})", claude,
       AgentEventType::failed, "Task failed"},
      {R"({"session_id":"s","hook_event_name":"Stop","reason":"error","error":"boom\nmore"})",
       claude, AgentEventType::failed, "boom"},
      {R"({"session_id":"s","hook_event_name":"Stop","reason":"cancelled"})", claude,
       AgentEventType::completed, "Task completed"},
      {R"({"session_id":"s","hook_event_name":"Stop","last_assistant_message":"  Done.  "})",
       claude, AgentEventType::completed, "Done."},
      {R"({"session_id":"s","hook_event_name":"StopCancelled","reason":"max-turns"})", claude,
       AgentEventType::failed, "Turn limit reached"},
      {R"({"session_id":"s","hook_event_name":"StopCancelled","reason":"no_progress"})", claude,
       AgentEventType::failed, "Stopped: no progress"},
      {R"({"session_id":"s","hook_event_name":"StopCancelled"})", claude, AgentEventType::completed,
       "Stopped"},
      {R"({"session_id":"s","hook_event_name":"SessionEnd","reason":"failure"})", claude,
       AgentEventType::failed, "Session failed"},
      {R"({"session_id":"s","hook_event_name":"PermissionDenied"})", claude,
       AgentEventType::activity, "Tool permission denied"},
      {R"({"session_id":"s","hook_event_name":"ElicitationResult"})", claude,
       AgentEventType::activity, "Input received"},
      {R"({"session_id":"s","hook_event_name":"PostToolUseFailure"})", claude,
       AgentEventType::toolCompleted, "Tool failed"},
      {R"({"session_id":"s","hook_event_name":"Notification","notification_type":"idle_prompt"})",
       grok, AgentEventType::completed, "Turn ended"},
      {R"({"session_id":"s","hook_event_name":"Notification","notification_type":"task-complete",
          "message":"All set"})",
       claude, AgentEventType::completed, "All set"},
      {R"({"session_id":"s","hook_event_name":"Notification","notification_type":"whatever"})",
       claude,
       {},
       ""},
      {R"({"session_id":"s","hook_event_name":"Stop","agent_type":"explorer"})", grok, {}, ""},
      {R"({"session_id":"s","hook_event_name":"Stop","agent_type":"explorer"})", claude,
       AgentEventType::completed, "Task completed"},
      {R"({"session_id":"s","hook_event_name":"SubagentStart"})", grok, AgentEventType::activity,
       "Running subagents"},
      {R"({"session_id":"s","hook_event_name":"SubagentStop"})", grok, AgentEventType::activity,
       "Subagent completed"},
      {R"({"session_id":"s","hook_event_name":"NoSuchEvent"})", claude, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    const auto event = mapped(c.document, c.provider);
    if (!c.type) {
      EXPECT_FALSE(event.has_value());
      continue;
    }
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->type, *c.type);
    EXPECT_EQ(event->activity, c.activity);
  }
}

TEST(AgentHookEventMapper, PermissionRequestsNeedAPromptingCaller) {
  const std::string document =
      R"({"session_id":"s","hook_event_name":"PermissionRequest","tool_name":"Bash"})";
  EXPECT_FALSE(mapped(document, AgentProvider::claudeCode, false).has_value());
  const auto event = mapped(document, AgentProvider::claudeCode, true);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->state, AgentState::waitingForUser);
}

TEST(AgentHookEventMapper, AliasesKeepTheirMetadataSpelling) {
  const auto alias =
      mapped(R"({"session_id":"s","hook_event_name":"BeforeAgent","prompt":"Fix it"})",
             AgentProvider::geminiCLI);
  ASSERT_TRUE(alias.has_value());
  EXPECT_EQ(alias->metadata->at("hookEvent"), "UserPromptSubmit");
  EXPECT_EQ(alias->task, "Fix it");
  const auto snake =
      mapped(R"({"session_id":"s","hook_event_name":"user_prompt_submit"})", AgentProvider::codex);
  ASSERT_TRUE(snake.has_value());
  EXPECT_EQ(snake->type, AgentEventType::activity);
  EXPECT_EQ(snake->metadata->at("hookEvent"), "user_prompt_submit");
  EXPECT_FALSE(snake->task.has_value());
}

TEST(AgentHookEventMapper, FinishingStepsSetTimeParentAndRole) {
  const auto timed = mapped(
      R"({"session_id":"s","agent_id":"a","agent_type":"explorer","hook_event_name":"SubagentStart",
          "timestamp":"2026-12-08T05:23:39.335Z"})",
      AgentProvider::claudeCode);
  ASSERT_TRUE(timed.has_value());
  EXPECT_EQ(Dates::iso8601(timed->timestamp), "2026-12-08T05:23:39.335Z");
  EXPECT_EQ(timed->agentRole, "explorer");
  EXPECT_EQ(timed->task, "Explorer subagent");
  EXPECT_EQ(timed->parentSessionId, "claude-code:s");

  const auto described = mapped(
      R"({"session_id":"s","agent_id":"a","agent_type":"explorer","description":" Scan repo ",
          "hook_event_name":"SubagentStart"})",
      AgentProvider::claudeCode);
  ASSERT_TRUE(described.has_value());
  EXPECT_EQ(described->timestamp, now);
  EXPECT_EQ(described->agentRole, "Scan repo");
  EXPECT_EQ(described->task, "Scan repo subagent");

  const auto planned = mapped(
      R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"update_plan",
          "timestamp":1765171419,
          "tool_input":{"plan":[{"step":"Read","status":"completed"},{"step":"Write","status":"in_progress"}]}})",
      AgentProvider::codex);
  ASSERT_TRUE(planned.has_value());
  ASSERT_TRUE(planned->plan.has_value());
  EXPECT_EQ(planned->plan->updatedAt, planned->timestamp);
  EXPECT_EQ(planned->metadata->at("tool"), "update_plan");
}

TEST(AgentHookEventMapper, LongToolFailureIsShortened) {
  const std::string error(200, 'x');
  const auto event = mapped(
      R"({"session_id":"s","hook_event_name":"PostToolUseFailure","tool_name":"Bash","error":")" +
          error + "\"}",
      AgentProvider::claudeCode);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(*event->activity, "Tool failed: " + std::string(75, 'x') + "…");
  EXPECT_EQ(event->metadata->at("tool"), "Bash");
}

}  // namespace
}  // namespace tarvel
