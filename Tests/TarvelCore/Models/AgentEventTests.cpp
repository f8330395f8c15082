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

// The event decoder builds no tree; it must take and refuse exactly what the strict decoder does,
// with the same errors. Every member of a full event is left out, doubled, and given each kind
// of value, and whole documents are broken in the ways a sender can break them.
TEST(AgentEvent, TreeFreeDecoderAgreesWithTheStrictDecoder) {
  AgentEvent event = minimalEvent();
  event.task = "task";
  event.activity = "Running rg";
  event.state = AgentState::executingTool;
  event.workingDirectory = "/home/dev/proj";
  event.file = "a.txt";
  event.applicationURL = "codex://threads/abc";
  event.origin = AgentOrigin{.processIdentifier = 42, .tty = "/dev/pts/3"};
  event.metadata = std::map<std::string, std::string>{{"hookEvent", "PreToolUse"}};
  event.parentSessionId = "parent";
  event.agentRole = "reviewer";
  event.plan = AgentPlan{.steps = {{.id = "1", .title = "a", .status = AgentStepStatus::inProgress}},
                         .updatedAt = at("2026-12-07T11:47:08.123Z")};
  event.workflowUpdate = AgentWorkflowUpdate{.id = "w"};
  event.pendingReply = AgentPendingReply{.replyId = UUID::random(),
                                         .kind = AgentPromptKind::question,
                                         .prompt = "Pick",
                                         .grants = {AgentReplyGrant::cancel}};
  const Json full = toJSON(event);
  const std::string fullText = Coding::encode(full);

  std::vector<std::string> documents{fullText, fullText + "\n", "  " + fullText + " \r\n"};
  const std::vector<std::string> values{
      "null", "true", "false", "0", "1", "-1", "1.0", "1.5", "1e30", "18446744073709551615",
      "9223372036854775807", "\"\"", "\"x\"", "\"agent.activity\"", "\"running\"",
      "\"2026-12-07T11:47:08Z\"", "\"6F1C2B3A-0000-4000-8000-00000000ABCD\"", "\"a://b\"", "{}",
      "[]", R"({"a":"b"})", R"({"a":1})", R"({"processIdentifier":7})", R"([{"a":[{}]}])",
      R"({"steps":[],"updatedAt":"2026-12-07T11:47:08Z"})"};
  for (const auto& [key, value] : full.items()) {
    Json without = full;
    without.erase(key);
    documents.push_back(Coding::encode(without));
    for (const std::string& replacement : values) {
      Json changed = full;
      changed[key] = Json::parse(replacement);
      documents.push_back(Coding::encode(changed));
      // The same member twice: the later one counts.
      documents.push_back("{\"" + key + "\":" + replacement + "," + fullText.substr(1));
      documents.push_back(fullText.substr(0, fullText.size() - 1) + ",\"" + key +
                          "\":" + replacement + "}");
    }
  }
  const std::string body = fullText.substr(1, fullText.size() - 2);
  for (const std::string& broken :
       {std::string(), std::string("{}"), std::string("[]"), std::string("1"), std::string("\"s\""),
        std::string("null"), "{" + body, fullText + "x", fullText + fullText,
        "{" + body + ",}", "{" + body + ",\"unknown\":{\"a\":[{\"b\":{}},1,\"c\"],\"d\":null}}",
        "{" + body + ",\"unknown\":[[[[]]]]}", "{" + body + ",\"unknown\":\"\xff\"}",
        "{" + body + ",\"task\":\"\xc3\"}", "{" + body + ",\"task\":\"\\ud800\"}",
        "{" + body + ",\"task\":\"caf\\u00e9\"}", fullText.substr(0, 20) + std::string(1, '\0'),
        fullText + std::string(1, '\0') + "x",
        "{" + body + ",\"unknown\":" + std::string(600, '[') + std::string(600, ']') + "}",
        "{" + body + ",\"unknown\":" + std::string(500, '[') + std::string(500, ']') + "}",
        "{" + body + ",\"metadata\":{\"a\":\"b\",\"a\":\"c\"}}",
        "{" + body + ",\"origin\":{\"processIdentifier\":1,\"processIdentifier\":\"x\"}}",
        "{" + body + ",\"task\":\"a\tb\"}", "{" + body + ",\"unknown\":\"a\x01\"}",
        "{" + body + ",\"unknown\":tru}", "{" + body + ",\"unknown\":[1,]}",
        "{\"t\\u0061sk\":\"escaped key\"," + body + "}", fullText + " {}", fullText + " 1",
        "{" + body + ",\"origin\":{\"processIdentifier\":7.0,\"tty\":null}}",
        "{" + body + ",\"origin\":{\"processIdentifier\":2147483648}}",
        "{" + body + ",\"origin\":{\"processStartedAt\":\"yesterday\"}}",
        "{" + body + ",\"origin\":{\"host\":\"h\",\"extra\":{\"a\":[]}}}",
        "{" + body + ",\"metadata\":{\"a\":null}}", "{\"task\":nul," + body + "}",
        "{\"task\":ntask\":\"x\"," + body + "}", "{" + body + ",\"origin\":{\"tty\":nx}}",
        "{" + body + ",\"origin\":{\"processIdentifier\":n}}", "{" + body + ",\"plan\":nul}", "{" + body + ",\"metadata\":{\"\\u00e9\":\"\\n\"}}"}) {
    documents.push_back(broken);
  }

  // A nested member's tree at the depth bound (512 with the document and the plan) and past it.
  Json withoutPlan = full;
  withoutPlan.erase("plan");
  const std::string rest = Coding::encode(withoutPlan);
  for (const std::size_t depth : {510, 511, 600}) {
    documents.push_back(rest.substr(0, rest.size() - 1) +
                        R"(,"plan":{"steps":[],"updatedAt":"2026-12-07T11:47:08Z","deep":)" +
                        std::string(depth, '[') + std::string(depth, ']') + "}}");
  }

  std::size_t accepted = 0;
  for (const std::string& document : documents) {
    SCOPED_TRACE(document);
    const auto strict = decodeJSONText<AgentEvent>(document);
    const auto streamed = decodeEventLine(document);
    ASSERT_EQ(bool(strict), bool(streamed));
    if (strict) {
      ++accepted;
      EXPECT_EQ(*streamed, *strict);
      EXPECT_EQ(encodeJSON(*strict), Coding::encode(toJSON(*strict)));
    } else {
      EXPECT_EQ(streamed.error(), strict.error());
    }
  }
  // Both outcomes were tried many times over.
  EXPECT_GT(accepted, 50u);
  EXPECT_GT(documents.size() - accepted, 200u);
}

// The event's text is written without a tree; it must be the tree's text byte for byte, for every
// kind of text an agent may send.
TEST(AgentEvent, DirectTextIsTheTreesText) {
  const std::vector<std::string> texts{
      "", "plain", "quote \" backslash \\ slash /", "\b\f\n\r\t\x01\x1f\x7f end",
      "caf\u00e9 \u4fee\u590d \U0001F600 \u2026", "bad \xff byte", "cut \xe2\x80", "\xed\xa0\x80"};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    AgentEvent event = minimalEvent();
    event.task = text;
    event.activity = "a" + text;
    event.metadata = std::map<std::string, std::string>{{text, text}, {"Z", "1"}, {"a", ""}};
    event.origin = AgentOrigin{.bundleIdentifier = "b",
                               .processIdentifier = -7,
                               .processStartedAt = at("2026-12-07T11:47:08.123Z"),
                               .terminalProgram = text,
                               .terminalSessionIdentifier = "s",
                               .tty = "/dev/pts/3",
                               .tmux = "/tmp/tmux,1,0",
                               .tmuxPane = "%3",
                               .host = "h"};
    EXPECT_EQ(encodeJSON(event), Coding::encode(toJSON(event)));
    event.origin = AgentOrigin{};
    event.metadata = std::map<std::string, std::string>{};
    event.plan = AgentPlan{.steps = {{.id = "1", .title = text, .status = AgentStepStatus::pending}},
                           .updatedAt = at("2026-12-07T11:47:08Z")};
    event.pendingReply = AgentPendingReply{.replyId = UUID::random(), .prompt = text};
    event.state = AgentState::waitingForUser;
    EXPECT_EQ(encodeJSON(event), Coding::encode(toJSON(event)));
  }
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
