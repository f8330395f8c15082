#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QuoyaCore/CodexHookMapper.hpp"
#include "QuoyaCore/IslandStore.hpp"

namespace quoya {
namespace {

using namespace std::chrono_literals;
using tarvel::AgentEvent;
using tarvel::AgentEventType;
using tarvel::AgentProvider;
using tarvel::AgentState;
using tarvel::Date;

const Date start = tarvel::Dates::fromSecondsSince1970(1'800'000'000);

// An event as this system's own hook command sends it.
AgentEvent hookEvent(const std::string& sessionID, const std::string& name, Date at,
                     std::optional<std::string> turnID = std::nullopt,
                     const AgentProvider& provider = AgentProvider::codex,
                     std::optional<std::string> toolName = std::nullopt) {
  const auto event = CodexHookMapper::event(CodexHookInput{.sessionID = sessionID,
                                                           .eventName = name,
                                                           .cwd = "/Users/x/proj",
                                                           .turnID = std::move(turnID),
                                                           .toolName = std::move(toolName)},
                                            at, provider);
  EXPECT_TRUE(event.has_value()) << name;
  return event.value_or(AgentEvent{});
}

// An event from some other sender: no hook provenance.
AgentEvent plainEvent(const std::string& sessionID, Date at,
                      const AgentProvider& provider = AgentProvider::grok,
                      AgentEventType type = AgentEventType::activity) {
  return AgentEvent{.type = type,
                    .sessionId = sessionID,
                    .provider = provider,
                    .task = "Refactor parser",
                    .activity = "Reading files",
                    .timestamp = at};
}

const tarvel::AgentSession* find(const IslandStore& store, const std::string& id) {
  for (const auto& session : store.sessions()) {
    if (session.id == id) {
      return &session;
    }
  }
  return nullptr;
}

TEST(IslandStore, RejectsMalformedEventsWithoutTrace) {
  AgentProvider capital;
  capital.rawValue = "Codex";
  AgentProvider underscore;
  underscore.rawValue = "claude_code";
  AgentProvider tooLong;
  tooLong.rawValue = std::string(81, 'a');
  struct Case {
    const char* name;
    AgentEvent event;
  };
  std::vector<Case> cases;
  cases.push_back({"protocol 2", plainEvent("s1", start)});
  cases.back().event.protocolVersion = 2;
  cases.push_back({"blank session id", plainEvent("   ", start)});
  cases.push_back({"line breaks only", plainEvent("\n\t\r\n", start)});
  cases.push_back({"257-byte session id", plainEvent(std::string(257, 'x'), start)});
  cases.push_back({"capital provider", plainEvent("s1", start, capital)});
  cases.push_back({"underscore provider", plainEvent("s1", start, underscore)});
  cases.push_back({"81-byte provider", plainEvent("s1", start, tooLong)});
  cases.push_back({"empty provider", plainEvent("s1", start, AgentProvider{})});
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    IslandStore store;
    EXPECT_FALSE(store.receive(item.event, start));
    EXPECT_TRUE(store.sessions().empty());
    EXPECT_EQ(store.acceptedCount(), 0);
    // Nothing was remembered: the same id is accepted once the event is sound.
    AgentEvent repaired = plainEvent("s1", start);
    repaired.id = item.event.id;
    EXPECT_TRUE(store.receive(repaired, start));
  }

  IslandStore store;
  AgentProvider longest;
  longest.rawValue = std::string(80, 'z');
  EXPECT_TRUE(store.receive(plainEvent(std::string(256, 'x'), start, longest), start));
}

TEST(IslandStore, DuplicateIsAcceptedOnceUntil2048NewerIDs) {
  IslandStore store;
  const AgentEvent event = plainEvent("dup", start);
  ASSERT_TRUE(store.receive(event, start));
  EXPECT_FALSE(store.receive(event, start));
  for (int i = 0; i < 2047; ++i) {
    ASSERT_TRUE(store.receive(plainEvent("other", start + std::chrono::seconds(i)), start + 1h));
  }
  EXPECT_FALSE(store.receive(event, start + 1h));
  ASSERT_TRUE(store.receive(plainEvent("other", start + 1h), start + 1h));
  EXPECT_TRUE(store.receive(event, start + 1h));
  EXPECT_EQ(store.acceptedCount(), 2050);
}

TEST(IslandStore, FutureEventIsDatedAtReceipt) {
  IslandStore store;
  ASSERT_TRUE(store.receive(plainEvent("s1", start + 1h), start));
  ASSERT_EQ(store.sessions().size(), 1u);
  EXPECT_EQ(store.sessions()[0].updatedAt, start);
  EXPECT_TRUE(store.receive(plainEvent("s1", start + 1s), start + 1s));
  EXPECT_EQ(store.sessions()[0].updatedAt, start + 1s);
}

TEST(IslandStore, OlderEventIsRejectedAndChangesNothing) {
  IslandStore store;
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start + 10s), start + 10s));
  const auto before = store.sessions();
  const auto hookAt = store.providerEventAt();
  const AgentEvent older = hookEvent("t1", "PreToolUse", start + 9s);
  EXPECT_FALSE(store.receive(older, start + 20s));
  EXPECT_EQ(store.sessions(), before);
  EXPECT_EQ(store.acceptedCount(), 1);
  EXPECT_EQ(store.providerEventAt(), hookAt);
  EXPECT_EQ(store.lastCodexHook(), "UserPromptSubmit");
  EXPECT_EQ(store.lastCodexEventAt(), start + 10s);
}

TEST(IslandStore, SessionIDsAreNamespacedPerProvider) {
  IslandStore store;
  ASSERT_TRUE(store.receive(plainEvent("abc", start, AgentProvider::codex), start));
  ASSERT_TRUE(store.receive(plainEvent("abc", start + 1s, AgentProvider::claudeCode), start + 1s));
  ASSERT_TRUE(store.receive(plainEvent("codex:abc", start + 2s, AgentProvider::codex), start + 2s));
  ASSERT_EQ(store.sessions().size(), 2u);
  EXPECT_EQ(store.sessions()[0].id, "codex:abc");
  EXPECT_EQ(store.sessions()[0].recentEvents.size(), 2u);
  EXPECT_EQ(store.sessions()[1].id, "claude-code:abc");
}

TEST(IslandStore, KeepsOnlyWhatTheIslandShows) {
  IslandStore store;
  AgentEvent event = hookEvent("t1", "PreToolUse", start, "turn-a");
  event.task = std::string(200, 'a') + "尾";
  event.activity = std::string(499, 'b') + "😀😀";
  event.file = "/tmp/a.txt";
  event.parentSessionId = "parent";
  event.applicationURL = "https://example.com";
  event.metadata->emplace("extra", "value");
  ASSERT_TRUE(store.receive(event, start));
  const auto& session = store.sessions().at(0);
  EXPECT_EQ(session.task, std::string(180, 'a'));
  EXPECT_EQ(session.currentActivity, std::string(499, 'b') + "😀");
  EXPECT_TRUE(session.recentFiles.empty());
  EXPECT_FALSE(session.parentSessionId.has_value());
  EXPECT_FALSE(session.applicationURL.has_value());
  const auto expected = std::map<std::string, std::string>{{"hookEvent", "PreToolUse"},
                                                           {"quoyaSource", "quoya-codex-hook-v1"}};
  EXPECT_EQ(session.recentEvents.front().metadata, expected);
  EXPECT_EQ(session.workingDirectory, "/Users/x/proj");

  // Relative or oversized directories and foreign metadata are dropped.
  AgentEvent foreign = plainEvent("g1", start);
  foreign.workingDirectory = "relative/dir";
  foreign.metadata = std::map<std::string, std::string>{{"hookEvent", "Stop"}};
  AgentEvent oversized = plainEvent("g2", start);
  oversized.workingDirectory = "/" + std::string(4096, 'd');
  ASSERT_TRUE(store.receive(foreign, start));
  ASSERT_TRUE(store.receive(oversized, start));
  for (const char* id : {"grok:g1", "grok:g2"}) {
    const auto* stored = find(store, id);
    ASSERT_NE(stored, nullptr);
    EXPECT_FALSE(stored->workingDirectory.has_value());
    EXPECT_FALSE(stored->recentEvents.front().metadata.has_value());
  }
}

TEST(IslandStore, ForgedSourceIsNotTrustedAsHookEvent) {
  IslandStore store;
  AgentEvent forged = hookEvent("t1", "Stop", start, std::nullopt, AgentProvider::claudeCode);
  (*forged.metadata)["quoyaSource"] = "quoya-codex-hook-v1";
  ASSERT_TRUE(store.receive(forged, start));
  EXPECT_TRUE(store.providerEventAt().empty());
  EXPECT_FALSE(store.sessions().at(0).recentEvents.front().metadata.has_value());

  AgentEvent grok = plainEvent("g1", start);
  grok.metadata = std::map<std::string, std::string>{{"quoyaSource", "quoya-grok-hook-v1"},
                                                     {"hookEvent", "Stop"}};
  ASSERT_TRUE(store.receive(grok, start));
  EXPECT_TRUE(store.providerEventAt().empty());
  EXPECT_FALSE(store.lastCodexHook().has_value());
}

TEST(IslandStore, RecordsWhenHooksLastSpoke) {
  IslandStore store;
  ASSERT_TRUE(store.receive(hookEvent("c1", "UserPromptSubmit", start), start + 1s));
  ASSERT_TRUE(store.receive(
      hookEvent("k1", "PreToolUse", start, std::nullopt, AgentProvider::claudeCode), start + 2s));
  EXPECT_EQ(store.lastCodexHook(), "UserPromptSubmit");
  EXPECT_EQ(store.lastCodexEventAt(), start + 1s);
  const std::map<AgentProvider, Date> expected{{AgentProvider::codex, start + 1s},
                                               {AgentProvider::claudeCode, start + 2s}};
  EXPECT_EQ(store.providerEventAt(), expected);
}

TEST(IslandStore, EventOfEarlierTurnIsRefusedButNewPromptStartsFresh) {
  IslandStore store;
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start, "turn-a"), start));
  ASSERT_TRUE(store.receive(hookEvent("t1", "PreToolUse", start + 1s, "turn-a"), start + 1s));
  EXPECT_FALSE(store.receive(hookEvent("t1", "PreToolUse", start + 2s, "turn-b"), start + 2s));
  EXPECT_EQ(store.sessions().at(0).recentEvents.size(), 2u);

  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start + 3s, "turn-b"), start + 3s));
  ASSERT_EQ(store.sessions().size(), 1u);
  EXPECT_EQ(store.sessions()[0].recentEvents.size(), 1u);
  EXPECT_EQ(store.sessions()[0].startedAt, start + 3s);
  EXPECT_EQ(store.sessions()[0].state, AgentState::thinking);
  EXPECT_TRUE(store.receive(hookEvent("t1", "PreToolUse", start + 4s, "turn-b"), start + 4s));
  EXPECT_FALSE(store.receive(hookEvent("t1", "PostToolUse", start + 5s, "turn-a"), start + 5s));
}

TEST(IslandStore, LateRefusedEventDoesNotTakeOverTheLiveTurn) {
  IslandStore store;
  const AgentEvent promptA = hookEvent("t1", "UserPromptSubmit", start, "turn-a");
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start + 5s, "turn-b"), start + 5s));
  // Turn A's prompt arrives late on another connection: allowed past the turn check as a
  // prompt, then refused as older than the session.
  EXPECT_FALSE(store.receive(promptA, start + 6s));
  EXPECT_TRUE(store.receive(hookEvent("t1", "PreToolUse", start + 7s, "turn-b"), start + 7s));
  EXPECT_EQ(store.sessions().at(0).state, AgentState::executingTool);
  EXPECT_FALSE(store.receive(hookEvent("t1", "PostToolUse", start + 8s, "turn-a"), start + 8s));
}

TEST(IslandStore, EndedSessionIsRevivedOnlyByNewPrompt) {
  for (const char* ending : {"SessionEnd", "Interrupt"}) {
    SCOPED_TRACE(ending);
    IslandStore store;
    ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start), start));
    ASSERT_TRUE(store.receive(hookEvent("t1", ending, start + 1s), start + 1s));
    ASSERT_EQ(store.sessions().at(0).state, AgentState::idle);

    EXPECT_FALSE(store.receive(hookEvent("t1", "Stop", start + 2s), start + 2s));
    EXPECT_FALSE(store.receive(hookEvent("t1", "PreToolUse", start + 2s), start + 2s));
    EXPECT_EQ(store.acceptedCount(), 2);

    // An unverified event for the same id goes through the ordinary folding rules.
    AgentEvent unverified = plainEvent("t1", start + 3s, AgentProvider::codex);
    unverified.state = AgentState::running;
    EXPECT_TRUE(store.receive(unverified, start + 3s));
    EXPECT_EQ(store.sessions().at(0).state, AgentState::running);
    EXPECT_EQ(store.sessions().at(0).recentEvents.size(), 3u);
  }

  IslandStore store;
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start), start));
  ASSERT_TRUE(store.receive(hookEvent("t1", "SessionEnd", start + 1s), start + 1s));
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start + 2s), start + 2s));
  EXPECT_EQ(store.sessions().at(0).state, AgentState::thinking);
  EXPECT_EQ(store.sessions().at(0).recentEvents.size(), 1u);
}

TEST(IslandStore, SessionStartCreatesButNeverRestarts) {
  IslandStore store;
  ASSERT_TRUE(store.receive(hookEvent("t1", "SessionStart", start), start));
  EXPECT_EQ(store.sessions().at(0).state, AgentState::idle);
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start + 1s), start + 1s));
  EXPECT_FALSE(store.receive(hookEvent("t1", "SessionStart", start + 2s), start + 2s));
  EXPECT_EQ(store.sessions().at(0).state, AgentState::thinking);
}

TEST(IslandStore, ToolResultResumesSessionWaitingForUser) {
  IslandStore store;
  ASSERT_TRUE(store.receive(hookEvent("t1", "PermissionRequest", start), start));
  ASSERT_EQ(store.sessions().at(0).state, AgentState::waitingForUser);
  // Same date as the request: folding alone would hold the waiting state.
  ASSERT_TRUE(store.receive(hookEvent("t1", "PostToolUse", start), start));
  EXPECT_EQ(store.sessions().at(0).state, AgentState::running);
  EXPECT_EQ(store.sessions().at(0).recentEvents.size(), 2u);
}

TEST(IslandStore, KeepsHundredNewestSessionsInStableOrder) {
  IslandStore store;
  // Pairs of sessions share a date; within a pair the first received stays first.
  for (int i = 0; i < 100; ++i) {
    const Date at = start + std::chrono::seconds(i / 2);
    ASSERT_TRUE(store.receive(plainEvent("s" + std::to_string(i), at), start + 1h));
  }
  ASSERT_EQ(store.sessions().size(), 100u);
  EXPECT_EQ(store.sessions()[0].id, "grok:s98");
  EXPECT_EQ(store.sessions()[1].id, "grok:s99");
  EXPECT_EQ(store.sessions()[98].id, "grok:s0");
  EXPECT_EQ(store.sessions()[99].id, "grok:s1");

  // A 101st session older than all is accepted and then falls off at once.
  EXPECT_TRUE(store.receive(plainEvent("old", start - 1s), start + 1h));
  EXPECT_EQ(find(store, "grok:old"), nullptr);
  EXPECT_EQ(store.sessions().size(), 100u);

  // A newer one pushes out the oldest; an update moves a session to the front.
  EXPECT_TRUE(store.receive(plainEvent("new", start + 1min), start + 1h));
  EXPECT_EQ(store.sessions()[0].id, "grok:new");
  EXPECT_EQ(store.sessions()[99].id, "grok:s0");
  EXPECT_EQ(find(store, "grok:s1"), nullptr);
  EXPECT_TRUE(store.receive(plainEvent("s0", start + 1min), start + 1h));
  EXPECT_EQ(store.sessions()[0].id, "grok:new");
  EXPECT_EQ(store.sessions()[1].id, "grok:s0");
  EXPECT_EQ(store.sessions()[99].id, "grok:s3");
}

TEST(IslandStore, DroppedSessionTakesItsTurnAlong) {
  IslandStore store;
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start, "turn-a"), start));
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(store.receive(plainEvent("s" + std::to_string(i), start + 1s), start + 1s));
  }
  ASSERT_EQ(find(store, "codex:t1"), nullptr);
  // Coming back, the session starts over without the forgotten turn.
  EXPECT_TRUE(store.receive(hookEvent("t1", "PreToolUse", start + 2s, "turn-b"), start + 2s));
}

TEST(IslandStore, WorkingSessionAgesIntoUnknownAfterNinetySeconds) {
  IslandStore store;
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start), start));
  ASSERT_TRUE(store.receive(hookEvent("w1", "PermissionRequest", start), start));
  const auto& thinking = *find(store, "codex:t1");
  const auto& waiting = *find(store, "codex:w1");
  EXPECT_EQ(store.state(thinking, start + 90s), AgentState::thinking);
  EXPECT_EQ(store.state(thinking, start + 90001ms), AgentState::unknown);
  EXPECT_EQ(store.state(waiting, start + 1h), AgentState::waitingForUser);
}

TEST(IslandStore, TitlesComeFromThreadsForHookProviders) {
  IslandStore store;
  ASSERT_TRUE(store.receive(
      hookEvent("k1", "UserPromptSubmit", start, std::nullopt, AgentProvider::claudeCode), start));
  ASSERT_TRUE(store.receive(plainEvent("g1", start), start));
  ASSERT_TRUE(store.receive(hookEvent("t1", "UserPromptSubmit", start), start));
  EXPECT_EQ(store.displayTitle(*find(store, "claude-code:k1")), "会话标题未同步");
  EXPECT_EQ(store.displayTitle(*find(store, "grok:g1")), "Refactor parser");

  store.synchronizeCodexTitles({{"t1", "  Fix the parser "}, {"codex:t2", "Other"}});
  EXPECT_EQ(store.displayTitle(*find(store, "codex:t1")), "  Fix the parser ");
  EXPECT_EQ(store.titles().count("codex:t2"), 1u);
  store.synchronizeCodexTitles({{"t1", " \n "}});
  EXPECT_EQ(store.displayTitle(*find(store, "codex:t1")), "会话标题未同步");
  EXPECT_EQ(store.titles().count("codex:t2"), 1u);
}

TEST(IslandStore, ClearingKeepsOrderOfTheRest) {
  IslandStore store;
  AgentProvider demo;
  demo.rawValue = "demo";
  ASSERT_TRUE(store.receive(plainEvent("a", start + 5s), start + 1h));
  ASSERT_TRUE(store.receive(hookEvent("done", "Stop", start + 4s), start + 1h));
  ASSERT_TRUE(store.receive(plainEvent("b", start + 3s, demo), start + 1h));
  ASSERT_TRUE(store.receive(hookEvent("idle", "SessionStart", start + 2s), start + 1h));
  ASSERT_TRUE(store.receive(hookEvent("fail", "StopFailure", start + 1s), start + 1h));
  ASSERT_TRUE(store.receive(plainEvent("c", start), start + 1h));

  store.clearFinished();
  std::vector<std::string> ids;
  for (const auto& session : store.sessions()) {
    ids.push_back(session.id);
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"grok:a", "demo:b", "grok:c"}));
  store.clearDemo();
  ASSERT_EQ(store.sessions().size(), 2u);
  EXPECT_EQ(store.sessions()[1].id, "grok:c");
}

}  // namespace
}  // namespace quoya
