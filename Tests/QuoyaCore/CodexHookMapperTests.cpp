#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Support/Fixtures.hpp"
#include "QuoyaCore/CodexHookMapper.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"

namespace quoya {
namespace {

using tarvel::AgentEvent;
using tarvel::AgentEventType;
using tarvel::AgentProvider;
using tarvel::AgentState;
using tarvel::Json;

const tarvel::Date now = tarvel::Dates::fromSecondsSince1970(1'800'000'000.5);

using tarvel::Testing::agentDocument;

std::optional<AgentEvent> map(const std::string& data,
                              const AgentProvider& provider = AgentProvider::codex) {
  auto result = CodexHookMapper::event(data, now, provider);
  EXPECT_TRUE(result) << data.substr(0, 200);
  return result ? *result : std::nullopt;
}

std::string document(const Json& fields) { return fields.dump(); }

Json codexStart() {
  return {{"session_id", "abcdef123456"},
          {"hook_event_name", "SessionStart"},
          {"cwd", "/Users/x/proj"}};
}

TEST(CodexHookMapper, RealDocumentsOfEachAgent) {
  struct Case {
    const char* file;
    AgentProvider provider;
    const char* hookEvent;  // nullptr: no event
    AgentEventType type = AgentEventType::activity;
    AgentState state = AgentState::unknown;
  };
  const AgentProvider& codex = AgentProvider::codex;
  const AgentProvider& claude = AgentProvider::claudeCode;
  const AgentProvider& gemini = AgentProvider::geminiCLI;
  const Case cases[] = {
      {"codex/SessionStart.json", codex, "SessionStart", AgentEventType::started, AgentState::idle},
      {"codex/UserPromptSubmit.json", codex, "UserPromptSubmit", AgentEventType::started,
       AgentState::thinking},
      {"codex/PreToolUse.json", codex, "PreToolUse", AgentEventType::toolStarted,
       AgentState::executingTool},
      {"codex/PostToolUse.json", codex, "PostToolUse", AgentEventType::toolCompleted,
       AgentState::running},
      {"codex/PermissionRequest.json", codex, "PermissionRequest", AgentEventType::waiting,
       AgentState::waitingForUser},
      {"codex/Stop.json", codex, "Stop", AgentEventType::completed, AgentState::completed},
      {"codex/Interrupt.json", codex, "Interrupt", AgentEventType::completed, AgentState::idle},
      {"codex/SessionEnd.json", codex, "SessionEnd", AgentEventType::completed, AgentState::idle},
      {"codex/PreCompact.json", codex, nullptr},
      {"codex/PostCompact.json", codex, nullptr},
      {"codex/SubagentStart.json", codex, nullptr},
      {"codex/SubagentStop.json", codex, nullptr},
      {"claude/Notification.json", claude, "PermissionRequest", AgentEventType::waiting,
       AgentState::waitingForUser},
      {"claude/PermissionRequest.json", claude, "PermissionRequest", AgentEventType::waiting,
       AgentState::waitingForUser},
      {"claude/PostToolUseFailure.json", claude, "PostToolUse", AgentEventType::toolCompleted,
       AgentState::running},
      {"claude/StopFailure.json", claude, "StopFailure", AgentEventType::failed,
       AgentState::failed},
      {"claude/Stop.json", claude, "Stop", AgentEventType::completed, AgentState::completed},
      {"claude/MessageDisplay.json", claude, nullptr},
      {"claude/PostToolBatch.json", claude, nullptr},
      {"claude/SubagentStart.json", claude, nullptr},
      {"claude/PreCompact.json", claude, nullptr},
      {"gemini/BeforeAgent.json", gemini, "UserPromptSubmit", AgentEventType::started,
       AgentState::thinking},
      {"gemini/BeforeTool.json", gemini, "PreToolUse", AgentEventType::toolStarted,
       AgentState::executingTool},
      {"gemini/AfterTool.json", gemini, "PostToolUse", AgentEventType::toolCompleted,
       AgentState::running},
      {"gemini/AfterAgent.json", gemini, "Stop", AgentEventType::completed, AgentState::completed},
      {"gemini/Notification.json", gemini, "PermissionRequest", AgentEventType::waiting,
       AgentState::waitingForUser},
      {"gemini/BeforeModel.json", gemini, nullptr},
      {"gemini/AfterModel.json", gemini, nullptr},
      {"gemini/BeforeToolSelection.json", gemini, nullptr},
      {"gemini/PreCompress.json", gemini, nullptr},
      // The provider argument decides: a Claude Code failure is not a Codex event.
      {"claude/PostToolUseFailure.json", codex, nullptr},
      {"gemini/BeforeTool.json", codex, nullptr},
      {"codex/SessionStart.json", AgentProvider::grok, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " as " + c.provider.rawValue);
    const std::string data = agentDocument(c.file);
    const auto event = map(data, c.provider);
    if (c.hookEvent == nullptr) {
      EXPECT_FALSE(event.has_value());
      continue;
    }
    ASSERT_TRUE(event.has_value());
    const Json raw = Json::parse(data);
    const std::string sessionId = raw["session_id"];
    EXPECT_EQ(event->type, c.type);
    EXPECT_EQ(event->state, c.state);
    EXPECT_EQ(event->provider, c.provider);
    EXPECT_EQ(event->sessionId, sessionId);
    EXPECT_EQ(event->task, "proj · " + sessionId.substr(sessionId.size() - 6));
    EXPECT_EQ(event->workingDirectory, "/home/dev/proj");
    EXPECT_EQ(event->timestamp, now);
    std::map<std::string, std::string> metadata{{"hookEvent", c.hookEvent},
                                                {"quoyaSource", CodexHookMapper::sourceFor(c.provider)},
                                                {"threadID", sessionId}};
    if (raw.contains("turn_id")) {
      metadata["turnID"] = raw["turn_id"];
    }
    EXPECT_EQ(event->metadata, metadata);
    // The event survives the wire unchanged.
    EXPECT_EQ(tarvel::decodeEventLine(tarvel::encodeEventLine(*event)).optional(), event);
  }
}

TEST(CodexHookMapper, SessionStartBuildsTheWholeEvent) {
  const auto event = map(document(codexStart()));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->protocolVersion, 1);
  EXPECT_EQ(event->type, AgentEventType::started);
  EXPECT_EQ(event->state, AgentState::idle);
  EXPECT_EQ(event->task, "proj · 123456");
  EXPECT_EQ(event->activity, "会话已连接，等待新任务");
  EXPECT_EQ(event->metadata,
            (std::map<std::string, std::string>{{"hookEvent", "SessionStart"},
                                                {"quoyaSource", "quoya-codex-hook-v1"},
                                                {"threadID", "abcdef123456"}}));
  EXPECT_FALSE(event->file || event->applicationURL || event->origin || event->parentSessionId ||
               event->agentRole || event->plan || event->workflowUpdate || event->pendingReply);
  // Every event gets its own id.
  EXPECT_NE(map(document(codexStart()))->id, event->id);
}

TEST(CodexHookMapper, TitleComesFromTheLastComponentOfCwd) {
  struct Case {
    Json cwd;
    const char* task;
  };
  const Case cases[] = {
      {nullptr, "本地任务 · 123456"},       {"/Users/x/proj/", "proj · 123456"},
      {"", "本地任务 · 123456"},            {"/", "/ · 123456"},
      {"relative/项目", "项目 · 123456"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cwd.dump());
    Json fields = codexStart();
    fields.erase("cwd");
    if (!c.cwd.is_null()) {
      fields["cwd"] = c.cwd;
    }
    const auto event = map(document(fields));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->task, c.task);
    EXPECT_EQ(event->workingDirectory.has_value(), !c.cwd.is_null());
  }
  // The suffix counts user-perceived characters, never splitting one.
  Json fields = codexStart();
  fields["session_id"] = "id-a\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD" "e\xCC\x81xyz";
  EXPECT_EQ(map(document(fields))->task,
            "proj · a\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD" "e\xCC\x81xyz");
}

TEST(CodexHookMapper, IdentifierLengthLimits) {
  struct Case {
    std::string sessionId;
    bool accepted;
  };
  const Case cases[] = {{std::string(200, 's'), true}, {std::string(201, 's'), false}, {"", false},
                        // 198 bytes and one three-byte character: 201 bytes.
                        {std::string(200, 's').substr(0, 198) + "好", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sessionId.size());
    Json fields = codexStart();
    fields["session_id"] = c.sessionId;
    EXPECT_EQ(map(document(fields)).has_value(), c.accepted);
  }
  for (const std::size_t length : {std::size_t{0}, std::size_t{200}, std::size_t{250}}) {
    SCOPED_TRACE(length);
    Json fields = codexStart();
    fields["turn_id"] = std::string(length, 't');
    const auto event = map(document(fields));
    ASSERT_TRUE(event) << "a bad turn id never drops the event";
    EXPECT_EQ(event->metadata->count("turnID"), length == 200 ? 1U : 0U);
  }
}

TEST(CodexHookMapper, NotificationsAndToolsByProvider) {
  struct Case {
    AgentProvider provider;
    const char* eventName;
    Json extra;
    const char* hookEvent;  // nullptr: no event
    AgentEventType type = AgentEventType::activity;
  };
  const Case cases[] = {
      {AgentProvider::geminiCLI, "Notification", {{"notification_type", "ToolPermission"}},
       "PermissionRequest", AgentEventType::waiting},
      {AgentProvider::codex, "Notification", {{"notification_type", "ToolPermission"}}, nullptr},
      {AgentProvider::codex, "Notification", {{"notification_type", "permission_prompt"}},
       "PermissionRequest", AgentEventType::waiting},
      {AgentProvider::geminiCLI, "Notification", {{"notification_type", "permission_prompt"}},
       nullptr},
      {AgentProvider::claudeCode, "Notification", {{"notification_type", "idle_prompt"}}, nullptr},
      {AgentProvider::claudeCode, "Notification", Json::object(), nullptr},
      {AgentProvider::codex, "PreToolUse", {{"tool_name", "mcp__x__request_user_input_v2"}},
       "PreToolUse", AgentEventType::waiting},
      {AgentProvider::claudeCode, "PreToolUse", {{"tool_name", "AskUserQuestion"}}, "PreToolUse",
       AgentEventType::waiting},
      {AgentProvider::codex, "PreToolUse", {{"tool_name", "ask_user_question"}}, "PreToolUse",
       AgentEventType::toolStarted},
      {AgentProvider::codex, "PreToolUse", Json::object(), "PreToolUse",
       AgentEventType::toolStarted},
      {AgentProvider::geminiCLI, "PostToolUseFailure", Json::object(), nullptr},
      {AgentProvider::codex, "SubagentStart", Json::object(), nullptr},
      {AgentProvider::codex, "UserPromptSubmitted", Json::object(), nullptr},
      {AgentProvider::codex, "sessionstart", Json::object(), nullptr},
      // Gemini's own names are translated for Gemini CLI only.
      {AgentProvider::claudeCode, "BeforeTool", Json::object(), nullptr},
      {AgentProvider::geminiCLI, "PreToolUse", Json::object(), "PreToolUse",
       AgentEventType::toolStarted},
      {AgentProvider("My-Agent"), "SessionStart", Json::object(), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.provider.rawValue + " " + c.eventName + " " + c.extra.dump());
    Json fields = codexStart();
    fields["hook_event_name"] = c.eventName;
    fields.update(c.extra);
    const auto event = map(document(fields), c.provider);
    ASSERT_EQ(event.has_value(), c.hookEvent != nullptr);
    if (event) {
      EXPECT_EQ(event->type, c.type);
      EXPECT_EQ(event->metadata->at("hookEvent"), c.hookEvent);
    }
  }
  EXPECT_EQ(map(R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"AskUserQuestion"})")
                ->activity,
            "AI 需要你的回答，请回原会话处理");
}

TEST(CodexHookInput, UndecodableDocumentsFailCleanly) {
  struct Case {
    std::string data;
    tarvel::DecodingError::Kind kind;
  };
  using Kind = tarvel::DecodingError::Kind;
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const Case cases[] = {
      {"", Kind::dataCorrupted},
      {R"({"session_id":"a","hook_event_name":"Stop")", Kind::dataCorrupted},
      {R"({"session_id":"a","hook_event_name":"Stop"} x)", Kind::dataCorrupted},
      {"{\"session_id\":\"a\xFF\",\"hook_event_name\":\"Stop\"}", Kind::dataCorrupted},
      {"{\"session_id\":\"a\",\"hook_event_name\":\"Stop\",\"x\":\"\xC3\x28\"}",
       Kind::dataCorrupted},
      {"{\"session_id\":\"a\",\"hook_event_name\":\"Stop\",\"x\":" + deep + "}",
       Kind::dataCorrupted},
      {deep, Kind::dataCorrupted},
      {R"(["session_id","hook_event_name"])", Kind::typeMismatch},
      {R"("Stop")", Kind::typeMismatch},
      {R"({"session_id":12,"hook_event_name":"Stop"})", Kind::typeMismatch},
      {R"({"session_id":"a","hook_event_name":"Stop","cwd":["/x"]})", Kind::typeMismatch},
      {R"({"session_id":"a","hook_event_name":"Stop","tool_name":{"n":1}})", Kind::typeMismatch},
      {R"({"session_id":"a","hook_event_name":"Stop","turn_id":false})", Kind::typeMismatch},
      {R"({"hook_event_name":"Stop"})", Kind::keyNotFound},
      {R"({"session_id":null,"hook_event_name":"Stop"})", Kind::valueNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.substr(0, 80));
    const auto result = CodexHookMapper::event(c.data, now, AgentProvider::codex);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, c.kind) << result.error().description;
  }
  const auto numeric = CodexHookInput::decode(R"({"session_id":12,"hook_event_name":"Stop"})");
  EXPECT_EQ(numeric.error().codingPath, "session_id");
  EXPECT_EQ(numeric.error().description, "Expected to decode String but found a number instead.");
}

TEST(CodexHookInput, OnlyTopLevelKeysCount) {
  const auto input = CodexHookInput::decode(
      R"({"tool_input":{"session_id":5,"cwd":[1],"x":{"hook_event_name":null}},)"
      R"("session_id":"first","hook_event_name":"Stop","notification_type":null,)"
      R"("session_id":"last","permission_suggestions":[{"tool_name":7}],"deep":)" +
      std::string(512 - 1, '[') + std::string(512 - 1, ']') + "}");
  ASSERT_TRUE(input) << input.error().description;
  EXPECT_EQ(*input, (CodexHookInput{.sessionID = "last", .eventName = "Stop"}));
}

TEST(CodexHookMapper, DocumentSizeLimit) {
  const std::string base = document(codexStart());
  const std::string exact = base + std::string(CodexHookMapper::maximumDocumentBytes - base.size(), ' ');
  EXPECT_TRUE(map(exact).has_value());
  // One byte more is refused before decoding, even when the extra byte breaks the JSON.
  const auto over = CodexHookMapper::event(exact + "x", now, AgentProvider::codex);
  ASSERT_TRUE(over);
  EXPECT_FALSE(over->has_value());
}

TEST(CodexHookMapper, SessionURLOnlyForCanonicalUUIDs) {
  EXPECT_EQ(CodexHookMapper::sessionURL("01a25408-6a69-7fa1-9ac0-1a9bd699e5be"),
            "codex://threads/01a25408-6a69-7fa1-9ac0-1a9bd699e5be");
  EXPECT_EQ(CodexHookMapper::sessionURL("01A25408-6A69-7FA1-9AC0-1A9BD699E5BE"),
            "codex://threads/01A25408-6A69-7FA1-9AC0-1A9BD699E5BE");
  for (const char* bad : {"", "abcdef123456", "01a254086a697fa19ac01a9bd699e5be",
                          "{01a25408-6a69-7fa1-9ac0-1a9bd699e5be}",
                          "01a25408-6a69-7fa1-9ac0-1a9bd699e5bg",
                          "01a25408-6a69-7fa1-9ac0-1a9bd699e5be/../x"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(CodexHookMapper::sessionURL(bad));
  }
}

}  // namespace
}  // namespace quoya
