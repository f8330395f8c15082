#include <gtest/gtest.h>

#include "TarvelCore/Models/AgentEvent.hpp"

namespace tarvel {
namespace {

Date at(const char* text) { return *Dates::parseISO8601(text); }

AgentEvent minimalEvent() {
  AgentEvent event;
  event.id = *UUID::parse("6f1c2b3a-0000-4000-8000-00000000abcd");
  event.type = AgentEventType::toolStarted;
  event.sessionId = "s1";
  event.provider = AgentProvider::codex;
  event.timestamp = at("2026-12-07T11:47:08Z");
  return event;
}

TEST(AgentEvent, MinimalEventEncodesRequiredKeysInSortedOrder) {
  EXPECT_EQ(encodeEventLine(minimalEvent()),
            "{\"id\":\"6F1C2B3A-0000-4000-8000-00000000ABCD\",\"protocolVersion\":1,"
            "\"provider\":\"codex\",\"sessionId\":\"s1\",\"timestamp\":\"2026-12-07T11:47:08.000Z\","
            "\"type\":\"agent.tool.started\"}\n");
}

TEST(AgentEvent, FullEventRoundTripsWithUnescapedSlashesAndUTF8) {
  AgentEvent event = minimalEvent();
  event.task = "修复 bug";
  event.activity = "line\nbreak";
  event.state = AgentState::editing;
  event.workingDirectory = "/Users/x/proj";
  event.applicationURL = "codex://threads/abc";
  event.origin = AgentOrigin{.processIdentifier = 42, .tty = "/dev/pts/3"};
  event.metadata = std::map<std::string, std::string>{{"source", "hook"}};
  event.plan = AgentPlan{.steps = {{.id = "1", .title = "a", .status = AgentStepStatus::inProgress}},
                         .updatedAt = at("2026-12-07T11:47:08.123Z")};
  event.workflowUpdate = AgentWorkflowUpdate{.id = "w"};
  event.pendingReply = AgentPendingReply{.replyId = UUID::random(),
                                         .kind = AgentPromptKind::question,
                                         .prompt = "Pick",
                                         .grants = {AgentReplyGrant::cancel}};
  const std::string line = encodeEventLine(event);
  EXPECT_NE(line.find("\"workingDirectory\":\"/Users/x/proj\""), std::string::npos);
  EXPECT_NE(line.find("修复 bug"), std::string::npos);
  EXPECT_NE(line.find("\"workflowUpdate\":{\"id\":\"w\"}"), std::string::npos);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  auto decoded = decodeEventLine(line);
  ASSERT_TRUE(decoded) << decoded.error().description;
  EXPECT_EQ(*decoded, event);
}

TEST(AgentEvent, DecodingFailures) {
  const std::string base =
      R"({"id":"6F1C2B3A-0000-4000-8000-00000000ABCD","protocolVersion":1,"provider":"codex",)"
      R"("sessionId":"s1","timestamp":"2026-12-07T11:47:08Z")";
  struct Case {
    std::string tail;
    std::string description;
  };
  const std::vector<Case> cases = {
      {R"(,"type":"agent.paused"})", "Cannot initialize from invalid String value agent.paused"},
      {R"(})", "No value associated with key \"type\"."},
      {R"(,"type":"agent.activity","state":"Running"})",
       "Cannot initialize from invalid String value Running"},
      {R"(,"type":"agent.activity","metadata":{"a":1}})",
       "Expected to decode String but found a number instead."},
      {R"(,"type":"agent.activity","applicationURL":"not a url"})", "Invalid URL string."},
      {R"(,"type":"agent.activity","plan":{"steps":[{"id":"1","title":"t","status":"done"}],)"
       R"("updatedAt":"2026-12-07T11:47:08Z"}})",
       "Cannot initialize from invalid String value done"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    auto decoded = decodeEventLine(base + c.tail);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().description, c.description);
  }
  auto spaced = decodeEventLine(
      R"({"id":"6F1C2B3A-0000-4000-8000-00000000ABCD","protocolVersion":1,"provider":"codex",)"
      R"("sessionId":"s1","timestamp":"2026-12-07 11:47:08Z","type":"agent.activity"})");
  ASSERT_FALSE(spaced);
  EXPECT_EQ(spaced.error().description, "Invalid ISO 8601 timestamp");
}

TEST(AgentEvent, DecodingIsLenientWhereTheWireAllows) {
  auto decoded = decodeEventLine(
      R"({"id":"6f1c2b3a-0000-4000-8000-00000000abcd","protocolVersion":2,"provider":"Claude-Code",)"
      R"("sessionId":"s1","timestamp":"2026-12-07T11:47:08.5Z","type":"agent.activity",)"
      R"("task":null,"unknown":[1,2]})"
      "\n");
  ASSERT_TRUE(decoded) << decoded.error().description;
  EXPECT_EQ(decoded->protocolVersion, 2);
  EXPECT_EQ(decoded->provider, AgentProvider::claudeCode);
  EXPECT_FALSE(decoded->task.has_value());
  EXPECT_EQ(Dates::iso8601(decoded->timestamp), "2026-12-07T11:47:08.500Z");
}

TEST(AgentEvent, ResolvedStateAndStateTables) {
  AgentEvent event = minimalEvent();
  event.type = AgentEventType::toolCompleted;
  EXPECT_EQ(event.resolvedState(), AgentState::running);
  event.state = AgentState::idle;
  EXPECT_EQ(event.resolvedState(), AgentState::idle);
  int active = 0;
  for (const auto& [state, name] : EnumNames<AgentState>::table) {
    active += isActive(state) ? 1 : 0;
    EXPECT_EQ(needsAttention(state),
              state == AgentState::waitingForUser || state == AgentState::failed)
        << name;
  }
  EXPECT_EQ(active, 7);
}

TEST(AgentProvider, LowerCasesNamesAndNamespacesOnce) {
  EXPECT_EQ(AgentProvider("Claude-Code"), AgentProvider::claudeCode);
  EXPECT_EQ(AgentProvider("my-agent").displayName(), "My Agent");
  EXPECT_EQ(AgentProvider::claudeCode.displayName(), "Claude");
  EXPECT_EQ(AgentProvider::codex.namespacedSessionID("codex:x"), "codex:x");
  EXPECT_EQ(AgentProvider::grok.namespacedSessionID("codex:x"), "grok:codex:x");
  EXPECT_EQ(AgentProvider::claudeCode.namespacedSessionID("abc"), "claude-code:abc");
}

TEST(AgentPlan, CompletesUnfinishedStepsAndKeepsTheLaterDate) {
  const Date early = at("2026-01-01T00:00:00Z");
  const Date late = at("2026-06-01T00:00:00Z");
  AgentPlan plan{.steps = {{"1", "a", AgentStepStatus::pending},
                           {"2", "b", AgentStepStatus::failed},
                           {"3", "c", AgentStepStatus::inProgress}},
                 .updatedAt = early};
  plan.completeUnfinishedSteps(late);
  EXPECT_EQ(plan.steps[0].status, AgentStepStatus::completed);
  EXPECT_EQ(plan.steps[1].status, AgentStepStatus::failed);
  EXPECT_EQ(plan.steps[2].status, AgentStepStatus::completed);
  EXPECT_EQ(plan.updatedAt, late);

  AgentPlan settled{.steps = {{"1", "a", AgentStepStatus::completed},
                              {"2", "b", AgentStepStatus::blocked}},
                    .updatedAt = early};
  settled.completeUnfinishedSteps(late);
  EXPECT_EQ(settled.updatedAt, early);

  AgentPlan newer{.steps = {{"1", "a", AgentStepStatus::pending}}, .updatedAt = late};
  newer.completeUnfinishedSteps(early);
  EXPECT_EQ(newer.steps[0].status, AgentStepStatus::completed);
  EXPECT_EQ(newer.updatedAt, late);
}

TEST(AgentReply, RecordsDecodeExactly) {
  EXPECT_FALSE(decodeJSONText<AgentPendingReply>(
      R"({"replyId":"6F1C2B3A-0000-4000-8000-00000000ABCD","kind":"Permission","prompt":"p","options":[],"grants":[]})"));
  EXPECT_FALSE(decodeJSONText<AgentPendingReply>(
      R"({"replyId":"6F1C2B3A-0000-4000-8000-00000000ABCD","kind":"permission","prompt":"p","options":[],"grants":["maybe"]})"));
  EXPECT_FALSE(decodeJSONText<AgentPromptQuestion>(R"({"text":"q","options":[]})"));
  auto reply = decodeJSONText<AgentPendingReply>(
      R"({"replyId":"6F1C2B3A-0000-4000-8000-00000000ABCD","kind":"permission","prompt":"p","detail":null,"options":[],"grants":[]})");
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->detail.has_value());
  EXPECT_FALSE(reply->allowsAllow() || reply->allowsDeny() || reply->allowsCancel());
  EXPECT_EQ(encodeJSON(*reply),
            R"({"grants":[],"kind":"permission","options":[],"prompt":"p","replyId":"6F1C2B3A-0000-4000-8000-00000000ABCD"})");
}

}  // namespace
}  // namespace tarvel
