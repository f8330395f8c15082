#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "Support/Fixtures.hpp"
#include "TarvelCore/Hooks/AgentHookPayload.hpp"

namespace tarvel {
namespace {

using tarvel::Testing::fixture;

AgentHookPayload decoded(std::string_view text) {
  auto payload = AgentHookInput::decode(text);
  if (!payload) {
    ADD_FAILURE() << "decoding failed: " << payload.error().description() << "\n" << text;
    return {};
  }
  return std::move(payload).value();
}

Date at(const char* text) { return *Dates::parseISO8601(text); }

TEST(AgentHookInput, RealAgentDocumentsDecode) {
  const auto claudeTool = decoded(fixture("agents/claude/PreToolUse.json"));
  EXPECT_EQ(claudeTool.sessionId, "da27457f-8ee9-4651-82a5-71a19268b878");
  EXPECT_EQ(claudeTool.cwd, "/home/dev/proj");
  EXPECT_EQ(claudeTool.hookEventName, "PreToolUse");
  EXPECT_EQ(claudeTool.toolName, "Bash");
  EXPECT_EQ(claudeTool.toolCallId, "toolu_144410a23df5");
  ASSERT_TRUE(claudeTool.toolInput);
  EXPECT_EQ(*(*claudeTool.toolInput)["command"], JSONValue::string("ls"));
  EXPECT_EQ(claudeTool.transcriptPath,
            "/home/dev/.claude/projects/-home-dev-proj/da27457f-8ee9-4651-82a5-71a19268b878.jsonl");
  // Claude Code writes "prompt_id"; only the camelCase spelling is a key of the payload.
  EXPECT_EQ(claudeTool.promptId, std::nullopt);

  const auto notification = decoded(fixture("agents/claude/Notification.json"));
  EXPECT_EQ(notification.notificationType, "permission_prompt");
  EXPECT_EQ(notification.notificationMessage, "Claude needs your permission");

  const auto failure = decoded(fixture("agents/claude/StopFailure.json"));
  EXPECT_EQ(failure.error, "server_error");
  EXPECT_EQ(failure.lastAssistantMessage,
            "API Error: Unable to connect to API (ConnectionRefused)");

  const auto subagent = decoded(fixture("agents/claude/SubagentStart.json"));
  EXPECT_EQ(subagent.agentId, "af56ae3fcdfeb55f7");
  EXPECT_EQ(subagent.agentType, "general-purpose");

  const auto codex = decoded(fixture("agents/codex/PreToolUse.json"));
  EXPECT_EQ(codex.turnId, "01a25419-3fa4-7951-b49f-2302ee583c3f");
  EXPECT_EQ(codex.toolCallId, "call_a61c3597");
  EXPECT_EQ(decoded(fixture("agents/codex/SessionStart.json")).source, "startup");

  const auto gemini = decoded(fixture("agents/gemini/AfterAgent.json"));
  EXPECT_EQ(gemini.hookEventName, "AfterAgent");
  EXPECT_EQ(gemini.prompt, "RUN_LS list the files");
  EXPECT_EQ(gemini.lastAssistantMessage, "Mock answer: done.");
  EXPECT_EQ(gemini.timestamp, at("2026-12-08T05:23:39.607Z"));

  // Variants the captured runs lack: Cursor's conversation ids and workspace roots, and a
  // nested tool call with an error object.
  const auto cursor = decoded(fixture("hooks/cursor-before-shell.json"));
  EXPECT_EQ(cursor.sessionId, "c0ffee00-1111-4222-8333-444455556666");
  EXPECT_EQ(cursor.cwd, "/home/dev/proj");
  EXPECT_EQ(cursor.hookEventName, "beforeShellExecution");
  EXPECT_EQ(cursor.parentSessionId, "parent-conv");
  const auto antigravity = decoded(fixture("hooks/antigravity-tool-call.json"));
  EXPECT_EQ(antigravity.toolName, "run_command");
  EXPECT_EQ(*(*antigravity.toolInput)["CommandLine"], JSONValue::string("make test"));
  EXPECT_EQ(antigravity.invocationNum, 3);
  EXPECT_EQ(antigravity.error, "permission denied");
  EXPECT_EQ(antigravity.timestamp, at("2023-11-14T22:13:20Z"));
}

TEST(AgentHookInput, EveryCapturedDocumentDecodes) {
  for (const char* agent : {"claude", "codex", "gemini"}) {
    for (const char* event : {"SessionStart",
                              "UserPromptSubmit",
                              "PreToolUse",
                              "PostToolUse",
                              "Stop",
                              "SessionEnd",
                              "BeforeAgent",
                              "BeforeTool",
                              "AfterTool",
                              "AfterAgent",
                              "Notification",
                              "PermissionRequest",
                              "SubagentStart",
                              "SubagentStop",
                              "PreCompact",
                              "Interrupt",
                              "PostToolUseFailure",
                              "StopFailure",
                              "MessageDisplay",
                              "PostToolBatch",
                              "BeforeModel",
                              "AfterModel",
                              "BeforeToolSelection",
                              "PreCompress",
                              "PostCompact"}) {
      // Not every agent has every event: a document that is not there is skipped.
      const std::string text = tarvel::Testing::readFile(
          tarvel::Testing::fixturePath(std::string("agents/") + agent + "/" + event + ".json"));
      if (text.empty()) {
        continue;
      }
      SCOPED_TRACE(std::string(agent) + "/" + event);
      const auto payload = decoded(text);
      EXPECT_FALSE(payload.sessionId.empty());
      EXPECT_EQ(payload.hookEventName, event);
    }
  }
}

TEST(AgentHookInput, SizeLimitIsExactlyOneMebibyte) {
  const std::string head = R"({"session_id":"s","pad":")";
  const std::string tail = "\"}";
  std::string exact =
      head + std::string(AgentHookInput::maximumBytes - head.size() - tail.size(), 'x') + tail;
  ASSERT_EQ(exact.size(), AgentHookInput::maximumBytes);
  EXPECT_EQ(decoded(exact).sessionId, "s");

  exact.insert(head.size(), "x");
  const auto tooLarge = AgentHookInput::decode(exact);
  ASSERT_FALSE(tooLarge);
  ASSERT_NE(tooLarge.error().inputError(), nullptr);
  EXPECT_EQ(*tooLarge.error().inputError(), AgentHookInputError::inputTooLarge);
  EXPECT_EQ(tooLarge.error().description(), "Hook input exceeds the 1 MiB safety limit.");
}

TEST(AgentHookInput, SessionIdSpellingsAndPrecedence) {
  struct Case {
    const char* json;
    const char* expected;  // nullptr: decoding fails
  };
  const Case cases[] = {
      {R"({"sessionId":"camel","session_id":"snake"})", "camel"},
      {R"({"sessionId":5,"session_id":"snake"})", "snake"},
      {R"({"sessionId":null,"session_id":"snake"})", "snake"},
      {R"({"conversationId":"a","conversation_id":"b"})", "a"},
      {R"({"conversation_id":"b"})", "b"},
      {R"({"session_id":"s","conversationId":7})", "s"},  // later keys are read only if needed
      {R"({"sessionId":""})", ""},
      {R"({"session_id":5})", nullptr},
      {R"({"conversationId":5,"conversation_id":"b"})", nullptr},
      {R"({"conversation_id":null})", nullptr},
      {R"({})", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const auto payload = AgentHookInput::decode(c.json);
    if (c.expected == nullptr) {
      EXPECT_FALSE(payload);
    } else {
      ASSERT_TRUE(payload);
      EXPECT_EQ(payload->sessionId, c.expected);
    }
  }
  const auto missing = AgentHookInput::decode("{}");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().decodingError()->kind, DecodingError::Kind::keyNotFound);
  EXPECT_NE(missing.error().description().find("conversation_id"), std::string::npos);
}

TEST(AgentHookInput, WronglyTypedStrictKeyFailsTheWholePayload) {
  const char* strictCases[] = {
      R"("prompt":5)",
      R"("workspace_roots":"x")",
      R"("workspacePaths":[1])",
      R"("toolCall":"x")",
      R"("toolCall":{"name":5})",
      R"("invocationNum":"7")",
      R"("invocationNum":7.5)",
      R"("cwd":["/p"])",
      R"("promptId":1)",
      R"("source":true)",
      R"("reason":1)",
      R"("message":{})",
      R"("description":0)",
      // Every tool-call id spelling is read, even after an earlier one gave the id.
      R"("toolUseId":"a","tool_call_id":5)",
      // The second spelling of a pair is strict, even when the field is filled otherwise.
      R"("tool_name":5)",
      R"("transcriptPath":1,"transcript_path":2)",
      R"("lastAssistantMessage":"m","prompt_response":5)",
  };
  for (const char* members : strictCases) {
    SCOPED_TRACE(members);
    const auto payload =
        AgentHookInput::decode(std::string(R"({"session_id":"s",)") + members + "}");
    ASSERT_FALSE(payload);
    ASSERT_NE(payload.error().decodingError(), nullptr);
  }
  const auto prompt = AgentHookInput::decode(R"({"session_id":"s","prompt":5})");
  ASSERT_FALSE(prompt);
  EXPECT_EQ(prompt.error().decodingError()->kind, DecodingError::Kind::typeMismatch);
  EXPECT_EQ(prompt.error().decodingError()->codingPath, "prompt");
}

TEST(AgentHookInput, TolerantKeysNeverFail) {
  const auto payload = decoded(
      R"({"session_id":"s","toolName":5,"tool_name":"Bash","transcriptPath":[],)"
      R"("hookEventName":{},"hook_event_name":"Stop","reason":"done","status":5,)"
      R"("error":5,"error_message":{"error":"boom"},"timestamp":"yesterday","createdAt":{},)"
      R"("created_at":1700000000,"invocationNum":7.0,"toolCall":null,"agentId":1,"subagent_id":"sub"})");
  EXPECT_EQ(payload.toolName, "Bash");
  EXPECT_EQ(payload.transcriptPath, std::nullopt);
  EXPECT_EQ(payload.hookEventName, "Stop");
  EXPECT_EQ(payload.reason, "done");
  EXPECT_EQ(payload.error, "boom");
  EXPECT_EQ(payload.timestamp, at("2023-11-14T22:13:20Z"));
  EXPECT_EQ(payload.invocationNum, 7);
  EXPECT_EQ(payload.agentId, "sub");

  EXPECT_EQ(decoded(R"({"session_id":"s","status":"failed"})").reason, "failed");
  EXPECT_EQ(decoded(R"({"session_id":"s","terminationReason":"user"})").reason, "user");
}

TEST(AgentHookInput, BadDocumentsFailWithDecodingErrors) {
  const std::string cases[] = {
      "",
      "{\"session_id\":\"s\"",
      "[\"session_id\"]",
      "\"s\"",
      "{\"session_id\":\"\xC3\x28\"}",
      "{\"session_id\":\"s\",\"tool_input\":" + std::string(600, '[') + std::string(600, ']') + "}",
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    const auto payload = AgentHookInput::decode(text);
    ASSERT_FALSE(payload);
    EXPECT_NE(payload.error().decodingError(), nullptr);
    EXPECT_FALSE(payload.error().description().empty());
  }
}

TEST(AgentHookInput, WorkingDirectoryFallsBackAndIsTrimmed) {
  struct Case {
    const char* members;
    const char* cwd;
  };
  const Case cases[] = {
      {R"("cwd":"  /a\n")", "/a"},
      {R"("cwd":" ","workspaceRoot":"\u3000/root ")", "/root"},
      {R"("cwd":"","workspace_roots":["", "  /p  "])", "/p"},
      {R"("workspace_roots":["\u00a0"],"workspacePaths":["/w"])", "/w"},
      {R"("workspace_roots":[],"workspacePaths":[" "])", ""},
      {R"("workspaceRoot":5,"workspace_root":"/snake")", "/snake"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.members);
    std::string json =
        std::string(R"({"session_id":"s")") + (*c.members ? "," : "") + c.members + "}";
    EXPECT_EQ(decoded(json).cwd, c.cwd);
  }
  // The workspace root itself is kept as received.
  EXPECT_EQ(decoded(R"({"session_id":"s","workspaceRoot":" /r "})").workspaceRoot, " /r ");
}

TEST(AgentHookInput, FlatToolKeysWinOverTheNestedToolCall) {
  const auto nestedArgs = decoded(
      R"({"session_id":"s","toolName":"flat","toolCall":{"name":"nested","args":{"path":"a"}}})");
  EXPECT_EQ(nestedArgs.toolName, "flat");
  EXPECT_EQ(nestedArgs.toolInput, JSONValue::object({{"path", JSONValue::string("a")}}));

  const auto flatInput = decoded(
      R"({"session_id":"s","tool_input":[1],"toolCall":{"name":"nested","args":{"path":"a"}}})");
  EXPECT_EQ(flatInput.toolName, "nested");
  EXPECT_EQ(flatInput.toolInput, JSONValue::array({JSONValue::number(1)}));

  EXPECT_EQ(decoded(R"({"session_id":"s","toolInput":null,"tool_input":"x"})").toolInput,
            JSONValue::string("x"));
  EXPECT_EQ(decoded(R"({"session_id":"s","toolCall":{}})").toolInput, std::nullopt);
}

TEST(AgentHookInput, ToolCallIdIsTheFirstNonBlankSpelling) {
  EXPECT_EQ(decoded(R"({"session_id":"s","toolUseId":"  ","tool_call_id":" call_1 "})").toolCallId,
            "call_1");
  EXPECT_EQ(decoded(R"({"session_id":"s","tool_use_id":"b","toolCallId":"a"})").toolCallId, "a");
  EXPECT_EQ(decoded(R"({"session_id":"s","toolUseId":""})").toolCallId, std::nullopt);
}

TEST(AgentHookInput, ErrorTextFromStringsAndErrorObjects) {
  struct Case {
    const char* members;
    std::optional<std::string> error;
  };
  const Case cases[] = {
      {R"("error":{"message":"m","error":"e"})", "m"},
      {R"("error":{"message":1,"error":"e"})", "e"},
      {R"("error":{"code":1},"error_message":"fallback")", "fallback"},
      {R"("error":5,"error_message":"fallback")", "fallback"},
      {R"("error":null,"error_message":{"message":"m2"})", "m2"},
      {R"("error":"")", ""},
      {R"("error":[ "x" ])", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.members);
    EXPECT_EQ(decoded(std::string(R"({"session_id":"s",)") + c.members + "}").error, c.error);
  }
}

TEST(AgentHookInput, FlexibleTimestamps) {
  struct Case {
    const char* members;
    std::optional<Date> timestamp;
  };
  const Date expected = at("2023-11-14T22:13:20Z");
  const Case cases[] = {
      {R"("timestamp":1700000000)", expected},
      {R"("timestamp":1700000000000)", expected},
      {R"("timestamp":1700000000.5)", expected + std::chrono::milliseconds(500)},
      {R"("timestamp":"2023-11-14T22:13:20Z")", expected},
      {R"("timestamp":"2023-11-14T22:13:20.250Z")", expected + std::chrono::milliseconds(250)},
      {R"("timestamp":"2023-11-14T23:13:20+0100")", expected},
      {R"("timestamp":"2023-11-14 22:13:20","createdAt":"2023-11-14T22:13:20Z")", expected},
      {R"("timestamp":"1700000000","created_at":1700000000)", expected},
      {R"("timestamp":true,"createdAt":null,"created_at":1700000000000)", expected},
      // Numbers that name no writable date (years 1 to 9999) fall through to the next key.
      {R"("timestamp":1e300,"createdAt":1700000000)", expected},
      {R"("timestamp":-1e14,"created_at":1700000000)", expected},
      {R"("timestamp":1e300)", std::nullopt},
      {R"("createdAt":"soon")", std::nullopt},
      {R"("timestamp":0)", Date{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.members);
    EXPECT_EQ(decoded(std::string(R"({"session_id":"s",)") + c.members + "}").timestamp,
              c.timestamp);
  }
}

TEST(AgentHookInput, OtherSpellingsAndFallbacks) {
  const auto first = decoded(
      R"({"session_id":"s","subagentType":5,"subagent_type":"explorer","parent_conversation_id":"p",)"
      R"("turn_id":"t","approvals_reviewer":"guardian","prompt_response":"answer"})");
  EXPECT_EQ(first.agentType, "explorer");
  EXPECT_EQ(first.parentSessionId, "p");
  EXPECT_EQ(first.turnId, "t");
  EXPECT_EQ(first.approvalsReviewer, "guardian");
  EXPECT_EQ(first.lastAssistantMessage, "answer");

  const auto second = decoded(
      R"({"session_id":"s","agent_type":"a","subagentType":"b","parentSessionId":"camel",)"
      R"("parent_conversation_id":"p","last_assistant_message":"last","promptResponse":"answer"})");
  EXPECT_EQ(second.agentType, "a");
  EXPECT_EQ(second.parentSessionId, "camel");
  EXPECT_EQ(second.lastAssistantMessage, "last");
}

TEST(AgentHookInput, DecodedPayloadsCompareAndHashAlike) {
  const std::string text = fixture("agents/claude/PreToolUse.json");
  const auto a = decoded(text);
  auto b = decoded(text);
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::hash<AgentHookPayload>{}(a), std::hash<AgentHookPayload>{}(b));
  b.toolInput = JSONValue::object({{"command", JSONValue::string("pwd")}});
  EXPECT_NE(a, b);
  EXPECT_NE(std::hash<AgentHookPayload>{}(a), std::hash<AgentHookPayload>{}(b));
}

}  // namespace
}  // namespace tarvel
