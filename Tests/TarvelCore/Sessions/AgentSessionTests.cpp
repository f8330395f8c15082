#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Sessions/AgentSession.hpp"

namespace tarvel {
namespace {

// Seconds after 2027-01-15T08:00:00Z, exact to the millisecond.
Date at(double seconds) {
  return Date{std::chrono::seconds(1'800'000'000)} +
         std::chrono::milliseconds(std::llround(seconds * 1000));
}

AgentEvent event(AgentEventType type, double seconds,
                 std::map<std::string, std::string> metadata = {}) {
  return AgentEvent{.type = type,
                    .sessionId = "claude-code:s1",
                    .provider = AgentProvider::claudeCode,
                    .timestamp = at(seconds),
                    .metadata = metadata.empty() ? std::nullopt : std::optional(metadata)};
}

AgentEvent withActivity(AgentEvent base, std::string activity) {
  base.activity = std::move(activity);
  return base;
}

AgentPendingReply reply(std::uint8_t tag, std::string prompt = "Allow?") {
  AgentPendingReply pending{.prompt = std::move(prompt)};
  pending.replyId.bytes[15] = tag;
  return pending;
}

// A session in `state` whose last update is at 10 s.
AgentSession sessionIn(AgentState state) {
  AgentEvent first = withActivity(event(AgentEventType::activity, 10), "Working");
  first.state = state;
  return AgentSession::fromEvent(first);
}

TEST(AgentSession, AdvanceDecisionsWithTiedLeadingAndLaggingTimestamps) {
  const std::map<std::string, std::string> prompt{{"hookEvent", "UserPromptSubmit"}};
  const std::map<std::string, std::string> promptAlias{{"hookEvent", "before_agent"}};
  struct Case {
    const char* label;
    AgentState current;
    AgentEvent incoming;
    bool advanced;
    AgentState state;
    double updatedAt;
    std::optional<double> completedAt;
  };
  const Case cases[] = {
      {"newer activity advances",
       AgentState::running,
       event(AgentEventType::toolStarted, 11),
       true,
       AgentState::executingTool,
       11,
       {}},
      {"tied activity advances",
       AgentState::running,
       event(AgentEventType::fileChanged, 10),
       true,
       AgentState::editing,
       10,
       {}},
      {"older activity is stale",
       AgentState::running,
       event(AgentEventType::fileChanged, 9),
       false,
       AgentState::running,
       10,
       {}},
      {"start while running regresses",
       AgentState::running,
       event(AgentEventType::started, 11),
       false,
       AgentState::running,
       10,
       {}},
      {"start while waiting regresses",
       AgentState::waitingForUser,
       event(AgentEventType::started, 11),
       false,
       AgentState::waitingForUser,
       10,
       {}},
      {"start while starting advances",
       AgentState::starting,
       event(AgentEventType::started, 11),
       true,
       AgentState::starting,
       11,
       {}},
      {"waiting holds a tie",
       AgentState::waitingForUser,
       event(AgentEventType::activity, 10),
       false,
       AgentState::waitingForUser,
       10,
       {}},
      {"waiting yields to newer",
       AgentState::waitingForUser,
       event(AgentEventType::activity, 11),
       true,
       AgentState::running,
       11,
       {}},
      {"waiting ends on a tied stop", AgentState::waitingForUser,
       event(AgentEventType::completed, 10), true, AgentState::completed, 10, 10},
      {"waiting resumes on a tied prompt",
       AgentState::waitingForUser,
       event(AgentEventType::activity, 10, prompt),
       true,
       AgentState::running,
       10,
       {}},
      {"completed holds newer activity", AgentState::completed, event(AgentEventType::activity, 11),
       false, AgentState::completed, 10, 10},
      {"failed holds newer activity", AgentState::failed, event(AgentEventType::toolStarted, 12),
       false, AgentState::failed, 10, 10},
      {"completed reopens on a start",
       AgentState::completed,
       event(AgentEventType::started, 11),
       true,
       AgentState::starting,
       11,
       {}},
      {"completed reopens on a tied start",
       AgentState::completed,
       event(AgentEventType::started, 10),
       true,
       AgentState::starting,
       10,
       {}},
      {"completed reopens on a prompt alias",
       AgentState::completed,
       event(AgentEventType::activity, 11, promptAlias),
       true,
       AgentState::running,
       11,
       {}},
      {"older start does not reopen", AgentState::completed, event(AgentEventType::started, 9),
       false, AgentState::completed, 10, 10},
      {"late stop ends a running session", AgentState::running, event(AgentEventType::completed, 9),
       true, AgentState::completed, 10, 9},
      {"late failure ends a waiting session", AgentState::waitingForUser,
       event(AgentEventType::failed, 9.5), true, AgentState::failed, 10, 9.5},
      {"late failure after completion is stale", AgentState::completed,
       event(AgentEventType::failed, 9), false, AgentState::completed, 10, 10},
      {"newer failure after completion advances", AgentState::completed,
       event(AgentEventType::failed, 11), true, AgentState::failed, 11, 11},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.label);
    AgentSession session = sessionIn(item.current);
    EXPECT_EQ(session.apply(item.incoming), item.advanced);
    EXPECT_EQ(session.state, item.state);
    EXPECT_EQ(session.updatedAt, at(item.updatedAt));
    EXPECT_EQ(session.completedAt,
              item.completedAt ? std::optional(at(*item.completedAt)) : std::nullopt);
    EXPECT_EQ(session.recentEvents.size(), 2u);
    EXPECT_EQ(session.startedAt, std::min(at(10), item.incoming.timestamp));
  }
}

TEST(AgentSession, NonAdvancingEventsOnlyFillGaps) {
  AgentSession session = sessionIn(AgentState::running);
  AgentEvent late = withActivity(event(AgentEventType::toolStarted, 9), "Old news");
  late.task = "Fix the parser";
  late.workingDirectory = " /nowhere/app ";
  late.applicationURL = "vscode://open";
  late.file = "/nowhere/app/a.c";
  late.plan = AgentPlan{.steps = {{.id = "1", .title = "Step"}}, .updatedAt = at(9)};
  EXPECT_FALSE(session.apply(late));
  EXPECT_EQ(session.currentActivity, "Working");
  EXPECT_EQ(session.state, AgentState::running);
  EXPECT_TRUE(session.recentFiles.empty());
  EXPECT_EQ(session.task, "Fix the parser");
  EXPECT_EQ(session.workingDirectory, "/nowhere/app");
  EXPECT_EQ(session.projectName, "app");
  EXPECT_EQ(session.applicationURL, "vscode://open");
  EXPECT_FALSE(session.plan) << "an older event's plan is not merged";

  // A start notice while working changes no state, but its plan and workflow still land.
  AgentEvent start = event(AgentEventType::started, 12);
  start.plan = AgentPlan{.steps = {{.id = "1", .title = "Step"}}, .updatedAt = at(12)};
  start.workflowUpdate = AgentWorkflowUpdate{.id = "w"};
  start.workingDirectory = "/elsewhere/other";
  EXPECT_FALSE(session.apply(start));
  EXPECT_EQ(session.state, AgentState::running);
  EXPECT_EQ(session.updatedAt, at(10));
  ASSERT_TRUE(session.plan);
  ASSERT_EQ(session.workflows.size(), 1u);
  EXPECT_EQ(session.workingDirectory, "/nowhere/app") << "a known directory is kept";
}

TEST(AgentSession, PendingRepliesMergeAndClear) {
  AgentEvent ask = event(AgentEventType::waiting, 10);
  ask.pendingReply = reply(1);
  AgentSession session = AgentSession::fromEvent(ask);
  ASSERT_EQ(session.pendingReplies.size(), 1u);

  AgentEvent second = event(AgentEventType::waiting, 10);
  second.pendingReply = reply(2, "Which file?");
  EXPECT_FALSE(session.apply(second));  // same timestamp while waiting: held, still merged
  AgentEvent again = event(AgentEventType::waiting, 10);
  again.pendingReply = reply(1, "Allow now?");
  EXPECT_FALSE(session.apply(again));
  EXPECT_EQ(session.state, AgentState::waitingForUser);
  ASSERT_EQ(session.pendingReplies.size(), 2u);
  EXPECT_EQ(session.pendingReplies[0].prompt, "Which file?");
  EXPECT_EQ(session.pendingReply, again.pendingReply);

  EXPECT_TRUE(session.apply(event(AgentEventType::activity, 11)));
  EXPECT_EQ(session.pendingReplies.size(), 2u) << "other states keep waiting prompts";
  EXPECT_TRUE(session.apply(event(AgentEventType::completed, 12)));
  EXPECT_TRUE(session.pendingReplies.empty());
  EXPECT_FALSE(session.pendingReply);

  // A question that arrives late on a finished session is still shown.
  AgentEvent late = event(AgentEventType::waiting, 5);
  late.pendingReply = reply(3);
  EXPECT_FALSE(session.apply(late));
  EXPECT_EQ(session.pendingReply, late.pendingReply);
  EXPECT_TRUE(session.removePendingReply(late.pendingReply->replyId));
  EXPECT_FALSE(session.removePendingReply(late.pendingReply->replyId));
  EXPECT_FALSE(session.pendingReply);
}

TEST(AgentSession, TitlesKeepRealTitlesAndTakeOfficialOnes) {
  AgentEvent first = event(AgentEventType::started, 1);
  first.workingDirectory = "/nowhere/app";
  first.task = "app";
  AgentSession session = AgentSession::fromEvent(first);
  EXPECT_EQ(session.task, "app");
  EXPECT_EQ(session.currentActivity, "Starting");

  AgentEvent named = event(AgentEventType::activity, 2);
  named.task = "Fix login [Image #1]";
  session.apply(named);
  EXPECT_EQ(session.task, "Fix login") << "the project name is a placeholder";

  named.task = "Something else";
  named.timestamp = at(3);
  session.apply(named);
  EXPECT_EQ(session.task, "Fix login");

  AgentEvent official = event(AgentEventType::activity, 2, {{"titleSource", "session"}});
  official.task = "  Official  ";
  session.apply(official);  // stale, yet an official title still wins
  EXPECT_EQ(session.task, "Official");
  EXPECT_TRUE(session.hasOfficialSessionTitle);

  AgentEvent helper = event(AgentEventType::activity, 4);
  helper.provider = AgentProvider::codex;
  helper.task = "Using the supplied git context below, generate a git commit message.";
  session.apply(helper);
  EXPECT_TRUE(session.isInternalHelper);
  EXPECT_FALSE(AgentTaskTitle::isUserVisible(sessionIn(AgentState::running), session));
  EXPECT_TRUE(
      AgentTaskTitle::isUserVisible(sessionIn(AgentState::running), sessionIn(AgentState::idle)));
}

TEST(AgentSession, RecentFilesAndEventsAreBoundedAndOrdered) {
  AgentSession session = sessionIn(AgentState::running);
  for (int i = 1; i <= 7; ++i) {
    AgentEvent edit = event(AgentEventType::fileChanged, 10 + i);
    edit.file = "f" + std::to_string(i);
    session.apply(edit);
  }
  EXPECT_EQ(session.recentFiles, (std::vector<std::string>{"f7", "f6", "f5", "f4", "f3", "f2"}));
  AgentEvent touch = event(AgentEventType::fileChanged, 20);
  touch.file = " f4 ";
  session.apply(touch);
  EXPECT_EQ(session.recentFiles, (std::vector<std::string>{"f4", "f7", "f6", "f5", "f3", "f2"}));

  // Equal timestamps keep their order of arrival; an older event slots in behind newer ones.
  AgentSession ordered = sessionIn(AgentState::running);
  const AgentEvent tieA = withActivity(event(AgentEventType::activity, 10), "tie A");
  const AgentEvent tieB = withActivity(event(AgentEventType::activity, 10), "tie B");
  const AgentEvent old = withActivity(event(AgentEventType::activity, 5), "old");
  ordered.apply(tieA);
  ordered.apply(old);
  ordered.apply(tieB);
  ASSERT_EQ(ordered.recentEvents.size(), 4u);
  EXPECT_EQ(ordered.recentEvents[1].activity, "tie A");
  EXPECT_EQ(ordered.recentEvents[2].activity, "tie B");
  EXPECT_EQ(ordered.recentEvents[3].activity, "old");

  for (int i = 0; i < 60; ++i) {
    ordered.apply(event(AgentEventType::activity, 100 + i * 0.001));
  }
  ASSERT_EQ(ordered.recentEvents.size(), AgentSession::recentEventLimit);
  EXPECT_EQ(ordered.recentEvents.front().timestamp, at(100.059));
  EXPECT_EQ(ordered.recentEvents.back().timestamp, at(100.010));
  ordered.apply(event(AgentEventType::activity, 1));  // older than all fifty: history only
  EXPECT_EQ(ordered.recentEvents.back().timestamp, at(100.010));
  EXPECT_EQ(ordered.startedAt, at(1));
}

TEST(AgentSession, WorkflowUpdatesAreOrderedAndCapped) {
  AgentSession session = sessionIn(AgentState::running);
  AgentEvent update = event(AgentEventType::activity, 11);
  update.workflowUpdate = AgentWorkflowUpdate{.id = "w1"};
  session.apply(update);
  ASSERT_EQ(session.workflows.size(), 1u);
  EXPECT_EQ(session.workflows[0].title, "Workflow");
  EXPECT_EQ(session.workflows[0].status, AgentWorkflowStatus::running);

  update.timestamp = at(10.5);
  update.workflowUpdate =
      AgentWorkflowUpdate{.id = "w1", .title = "Old", .status = AgentWorkflowStatus::failed};
  session.apply(update);
  EXPECT_EQ(session.workflows[0].title, "Workflow") << "an older update is ignored";

  // Six more at one later time: stable among ties, the oldest falls off.
  for (int i = 2; i <= 7; ++i) {
    AgentEvent next = event(AgentEventType::activity, 12);
    next.workflowUpdate = AgentWorkflowUpdate{.id = "w" + std::to_string(i), .title = " T "};
    session.apply(next);
  }
  ASSERT_EQ(session.workflows.size(), AgentSession::workflowLimit);
  EXPECT_EQ(session.workflows[0].id, "w2");
  EXPECT_EQ(session.workflows[0].title, "T");
  EXPECT_EQ(session.workflows[4].id, "w6");
  EXPECT_EQ(session.workflows[5].id, "w7");

  AgentEvent refresh = event(AgentEventType::activity, 13);
  refresh.workflowUpdate =
      AgentWorkflowUpdate{.id = "w4", .status = AgentWorkflowStatus::completed};
  session.apply(refresh);
  EXPECT_EQ(session.workflows[0].id, "w4");
  EXPECT_EQ(session.workflows[0].status, AgentWorkflowStatus::completed);
  EXPECT_EQ(session.workflows[0].title, "T");
  EXPECT_EQ(session.workflows[1].id, "w2");
}

TEST(AgentSession, PlansMergeByTimeAndCompleteWithTheSession) {
  AgentSession session = sessionIn(AgentState::running);
  AgentEvent planned = event(AgentEventType::activity, 11);
  planned.plan =
      AgentPlan{.title = "new",
                .steps = {{.id = "1", .title = "a", .status = AgentStepStatus::inProgress}},
                .updatedAt = at(11)};
  session.apply(planned);
  AgentEvent older = event(AgentEventType::activity, 12);
  older.plan = AgentPlan{.title = "older", .updatedAt = at(5)};
  session.apply(older);
  EXPECT_EQ(session.plan->title, "new");
  older.plan->updatedAt = at(11);
  older.timestamp = at(13);
  session.apply(older);
  EXPECT_EQ(session.plan->title, "older") << "equal plan times replace";
  session.plan = planned.plan;
  session.apply(event(AgentEventType::completed, 14));
  EXPECT_EQ(session.plan->steps[0].status, AgentStepStatus::completed);
  EXPECT_EQ(session.plan->updatedAt, at(14));
}

TEST(AgentSession, GrokSettlesOnlyTheNewestPrompt) {
  const auto grok = [](AgentEventType type, double seconds,
                       std::map<std::string, std::string> meta) {
    AgentEvent e = event(type, seconds, std::move(meta));
    e.provider = AgentProvider::grok;
    return e;
  };
  AgentSession session = AgentSession::fromEvent(
      grok(AgentEventType::activity, 1, {{"hookEvent", "UserPromptSubmit"}, {"promptId", "p1"}}));
  session.apply(
      grok(AgentEventType::activity, 2, {{"hookEvent", "UserPromptSubmit"}, {"promptId", "p2"}}));

  const AgentEvent oldStop =
      grok(AgentEventType::completed, 3, {{"hookEvent", "Stop"}, {"promptId", "p1"}});
  EXPECT_FALSE(session.apply(oldStop));
  EXPECT_EQ(session.state, AgentState::running);
  EXPECT_EQ(session.recentEvents.size(), 3u) << "an ignored stop is kept as history";
  EXPECT_EQ(session.recentEvents.front(), oldStop);

  AgentSession unknownPrompt = session;
  EXPECT_TRUE(unknownPrompt.apply(
      grok(AgentEventType::completed, 3, {{"hookEvent", "Stop"}, {"promptId", "p9"}})));

  EXPECT_TRUE(session.apply(
      grok(AgentEventType::completed, 4, {{"hookEvent", "stop_failure"}, {"promptId", " p2 "}})));
  EXPECT_EQ(session.state, AgentState::completed);

  const AgentEvent idle =
      grok(AgentEventType::waiting, 15,
           {{"hookEvent", "Notification"}, {"notificationType", "Idle-Prompt"}});
  AgentSession finished = session;
  EXPECT_FALSE(finished.apply(idle));
  EXPECT_EQ(finished.state, AgentState::completed);
  EXPECT_EQ(finished.recentEvents.front(), idle);

  AgentSession working = sessionIn(AgentState::running);
  working.provider = AgentProvider::grok;
  EXPECT_TRUE(working.apply(idle));
  EXPECT_EQ(working.state, AgentState::waitingForUser);

  // Other providers are never filtered.
  AgentSession claude = AgentSession::fromEvent(
      event(AgentEventType::activity, 1, {{"hookEvent", "UserPromptSubmit"}, {"promptId", "p1"}}));
  claude.apply(
      event(AgentEventType::activity, 2, {{"hookEvent", "UserPromptSubmit"}, {"promptId", "p2"}}));
  EXPECT_TRUE(claude.apply(
      event(AgentEventType::completed, 3, {{"hookEvent", "Stop"}, {"promptId", "p1"}})));
  EXPECT_EQ(claude.state, AgentState::completed);
}

TEST(AgentSession, LifecycleOperations) {
  AgentEvent ask = event(AgentEventType::waiting, 10);
  ask.pendingReply = reply(1);
  AgentSession waiting = AgentSession::fromEvent(ask);
  waiting.markUnknown();
  EXPECT_EQ(waiting.state, AgentState::waitingForUser);
  waiting.complete(AgentState::running, at(20));
  EXPECT_EQ(waiting.state, AgentState::waitingForUser);
  waiting.complete(AgentState::failed, at(5));
  EXPECT_EQ(waiting.state, AgentState::failed);
  EXPECT_EQ(waiting.currentActivity, "Session failed");
  EXPECT_EQ(waiting.completedAt, at(5));
  EXPECT_EQ(waiting.updatedAt, at(10));
  EXPECT_FALSE(waiting.pendingReply);
  EXPECT_EQ(waiting.pendingReplies.size(), 1u);
  waiting.complete(AgentState::completed, at(30));
  EXPECT_EQ(waiting.state, AgentState::failed) << "only an active session completes";

  AgentSession running = sessionIn(AgentState::running);
  EXPECT_FALSE(running.applyRestoredLifecycle(AgentState::running, "x", at(11)));
  running.markUnknown();
  EXPECT_EQ(running.state, AgentState::unknown);
  EXPECT_FALSE(running.applyRestoredLifecycle(AgentState::idle, "x", at(11)));
  EXPECT_TRUE(running.applyRestoredLifecycle(AgentState::thinking, "  Resumed ", at(11)));
  EXPECT_EQ(running.state, AgentState::thinking);
  EXPECT_EQ(running.currentActivity, "Resumed");
  running.markUnknown();
  EXPECT_TRUE(running.applyRestoredLifecycle(AgentState::completed, std::nullopt, at(12)));
  EXPECT_EQ(running.currentActivity, "Session ended");
  EXPECT_EQ(running.completedAt, at(12));
  EXPECT_EQ(running.updatedAt, at(12));

  AgentSession prompts = AgentSession::fromEvent(ask);
  prompts.pendingReplies = {reply(1), reply(2), reply(3)};
  prompts.retainPendingReplies([](const UUID& id) { return id.bytes[15] != 3; });
  ASSERT_EQ(prompts.pendingReplies.size(), 2u);
  EXPECT_EQ(prompts.pendingReply, reply(2));
  prompts.retainPendingReplies([](const UUID&) { return false; });
  EXPECT_FALSE(prompts.pendingReply);
}

TEST(AgentSession, RestoredGrokWorkflowRecencyIsRepaired) {
  const auto grok = [](AgentEventType type, double seconds, const char* hook) {
    AgentEvent e = event(type, seconds, {{"hookEvent", hook}});
    e.provider = AgentProvider::grok;
    return e;
  };
  AgentSession session =
      AgentSession::fromEvent(grok(AgentEventType::activity, 100, "UserPromptSubmit"));
  session.apply(grok(AgentEventType::completed, 110, "Stop"));
  AgentEvent boundary = grok(AgentEventType::activity, 125, "grokWorkflowState");
  AgentEvent stamped = grok(AgentEventType::activity, 500, "grokWorkflowState");
  stamped.workflowUpdate = AgentWorkflowUpdate{.id = "wf", .title = "Build"};
  session.recentEvents.record(boundary, AgentSession::recentEventLimit);
  session.recentEvents.record(stamped, AgentSession::recentEventLimit);
  session.updatedAt = at(500);
  session.completedAt = at(500);
  session.workflows = {{.id = "wf", .title = "Build", .updatedAt = at(500)}};

  AgentSession plain = session;
  plain.provider = AgentProvider::claudeCode;
  EXPECT_FALSE(plain.reconcileRestoredWorkflow(stamped));

  AgentEvent authoritative = stamped;
  authoritative.timestamp = at(120);  // late events are those after 125 s
  authoritative.task = "Build the thing";
  EXPECT_TRUE(session.reconcileRestoredWorkflow(authoritative));
  EXPECT_EQ(session.recentEvents.size(), 3u) << "the event at exactly A + 5 s stays";
  EXPECT_EQ(session.updatedAt, at(125));
  EXPECT_EQ(session.completedAt, at(120));
  ASSERT_EQ(session.workflows.size(), 1u);
  EXPECT_EQ(session.workflows[0].updatedAt, at(120));
  EXPECT_EQ(session.task, "Build the thing");

  // Applying the same thing again changes nothing.
  EXPECT_FALSE(session.reconcileRestoredWorkflow(authoritative));
}

TEST(AgentSession, CopiesShareHistoryButStayIndependent) {
  AgentSession original = sessionIn(AgentState::running);
  for (int i = 0; i < 10; ++i) {
    original.apply(event(AgentEventType::activity, 11 + i));
  }
  AgentSession copy = original;
  EXPECT_TRUE(copy.recentEvents.sharesEventsWith(original.recentEvents)) << "no deep copy";
  EXPECT_EQ(copy, original);
  copy.apply(event(AgentEventType::completed, 30));
  EXPECT_EQ(original.recentEvents.size(), 11u);
  EXPECT_EQ(original.state, AgentState::running);
  EXPECT_EQ(copy.recentEvents.size(), 12u);
  EXPECT_NE(copy, original);

  // Equal contents in separate buffers compare equal.
  AgentEventHistory rebuilt(original.recentEvents.toVector());
  EXPECT_EQ(rebuilt, original.recentEvents);
  EXPECT_EQ(std::hash<AgentSession>{}(original), std::hash<AgentSession>{}(AgentSession(original)));
}

TEST(AgentSession, JSONRoundTripKeepsMilliseconds) {
  AgentEvent ask = event(AgentEventType::waiting, 10.123);
  ask.pendingReply = reply(7);
  ask.workingDirectory = "/nowhere/app";
  ask.origin = AgentOrigin{.tty = "/dev/pts/3"};
  AgentSession session = AgentSession::fromEvent(ask);
  session.apply(withActivity(event(AgentEventType::waiting, 10.124), "Asked"));
  const std::string text = encodeJSON(session);
  const auto decoded = decodeJSONText<AgentSession>(text);
  ASSERT_TRUE(decoded) << decoded.error().description;
  EXPECT_EQ(*decoded, session);
  EXPECT_EQ(text.find("null"), std::string::npos);
  EXPECT_NE(text.find("\"updatedAt\":\"2027-01-15T08:00:10.124Z\""), std::string::npos) << text;

  // Events are kept as their text, or whole when the text would lose something (here a time
  // finer than a millisecond); either way they read back as recorded, and the session's text
  // spliced from the kept texts is the encoder's own, whole or with only the newest events.
  AgentEvent fine = withActivity(event(AgentEventType::activity, 10.2), "Fine\x01 \"quoted\"");
  fine.timestamp += std::chrono::microseconds(7);
  session.apply(fine);
  EXPECT_EQ(session.recentEvents.front(), fine);
  EXPECT_EQ(session.recentEvents.toVector()[2], ask);
  EXPECT_EQ(encodeSessionText(session), encodeJSON(session));
  const auto newest = decodeJSONText<AgentSession>(encodeSessionText(session, 1));
  ASSERT_TRUE(newest) << newest.error().description;
  ASSERT_EQ(newest->recentEvents.size(), 1u);
  EXPECT_EQ(newest->recentEvents.front().activity, fine.activity);
}

TEST(AgentSession, DecodingNormalises) {
  Json stored = toJSON(sessionIn(AgentState::running));
  stored.erase("hasOfficialSessionTitle");
  stored.erase("isInternalHelper");
  stored.erase("workflows");
  stored.erase("pendingReplies");
  stored["provider"] = "codex";
  stored["workingDirectory"] = "/nowhere/derived";
  stored["projectName"] = "  ";
  stored["pendingReply"] = toJSON(reply(1));
  stored["recentFiles"] = Json::array({"1", "2", "3", "4", "5", "6", "7"});
  Json events = Json::array();
  for (int i = 0; i < 55; ++i) {
    AgentEvent e = event(AgentEventType::activity, i % 2 == 0 ? i : 100 - i);
    if (i == 3) {
      e.metadata = std::map<std::string, std::string>{{"titleSource", "session"}};
      e.task = "Using the supplied git context below, generate a git commit message";
    }
    events.push_back(toJSON(e));
  }
  stored["recentEvents"] = events;

  auto decoded = decodeJSON<AgentSession>(stored);
  ASSERT_TRUE(decoded) << decoded.error().description;
  EXPECT_EQ(decoded->projectName, "derived");
  EXPECT_EQ(decoded->recentFiles.size(), 6u);
  ASSERT_EQ(decoded->recentEvents.size(), 50u);
  EXPECT_EQ(decoded->recentEvents.front().timestamp, at(99));
  EXPECT_TRUE(std::is_sorted(
      decoded->recentEvents.begin(), decoded->recentEvents.end(),
      [](const AgentEvent& a, const AgentEvent& b) { return a.timestamp > b.timestamp; }));
  EXPECT_FALSE(decoded->pendingReply) << "a running session has no waiting prompt";
  EXPECT_TRUE(decoded->pendingReplies.empty());
  EXPECT_TRUE(decoded->hasOfficialSessionTitle);
  EXPECT_TRUE(decoded->isInternalHelper);
  EXPECT_TRUE(decoded->workflows.empty());

  stored["state"] = "waitingForUser";
  decoded = decodeJSON<AgentSession>(stored);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->pendingReplies, std::vector<AgentPendingReply>{reply(1)});

  stored["state"] = "completed";
  stored["completedAt"] = "2027-01-15T08:00:20.000Z";
  stored["plan"] = toJSON(AgentPlan{.steps = {{.id = "1", .title = "a"}}, .updatedAt = at(1)});
  stored["workflows"] = Json::array({toJSON(AgentWorkflow{.id = "a", .updatedAt = at(1)}),
                                     toJSON(AgentWorkflow{.id = "b", .updatedAt = at(3)}),
                                     toJSON(AgentWorkflow{.id = "a", .updatedAt = at(2)})});
  decoded = decodeJSON<AgentSession>(stored);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->plan->steps[0].status, AgentStepStatus::completed);
  EXPECT_EQ(decoded->plan->updatedAt, at(20));
  ASSERT_EQ(decoded->workflows.size(), 2u);
  EXPECT_EQ(decoded->workflows[0].id, "b");
  EXPECT_EQ(decoded->workflows[1].updatedAt, at(2)) << "the newest of a duplicated id is kept";
}

TEST(AgentSession, DecodingRejectsMissingOrMistypedRequiredKeys) {
  const Json valid = toJSON(sessionIn(AgentState::running));
  for (const char* key : {"id", "provider", "task", "currentActivity", "state", "startedAt",
                          "updatedAt", "recentFiles", "recentEvents"}) {
    SCOPED_TRACE(key);
    Json missing = valid;
    missing.erase(key);
    const auto result = decodeJSON<AgentSession>(missing);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, DecodingError::Kind::keyNotFound);
  }
  Json mistyped = valid;
  mistyped["recentFiles"] = "a.txt";
  EXPECT_FALSE(decodeJSON<AgentSession>(mistyped));
  mistyped = valid;
  mistyped["state"] = "sleeping";
  EXPECT_FALSE(decodeJSON<AgentSession>(mistyped));
  mistyped = valid;
  mistyped["applicationURL"] = "not a url";
  EXPECT_FALSE(decodeJSON<AgentSession>(mistyped));
}

}  // namespace
}  // namespace tarvel
