#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/MainQueue.hpp"
#include "TarvelCore/Sessions/AgentActivityService.hpp"
#include "TarvelCore/Sessions/SessionIndex.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;

const Date base{std::chrono::seconds(1'700'000'000)};

AgentEvent event(const std::string& id, AgentEventType type, int second,
                 std::optional<std::string> parent = std::nullopt) {
  return AgentEvent{.type = type,
                    .sessionId = id,
                    .provider = AgentProvider::claudeCode,
                    .task = "Task of " + id,
                    .activity = "Working on " + id,
                    .timestamp = base + std::chrono::seconds(second),
                    .parentSessionId = std::move(parent)};
}

AgentSession session(const std::string& id, AgentState state, int second,
                     std::optional<std::string> parent = std::nullopt) {
  AgentSession result =
      AgentSession::fromEvent(event(id, AgentEventType::activity, second, parent));
  result.state = state;
  if (state == AgentState::completed || state == AgentState::failed) {
    result.completedAt = result.updatedAt;
  }
  return result;
}

std::vector<std::string> ids(const SessionList& list) {
  std::vector<std::string> result;
  for (const SharedSession& item : list) {
    result.push_back(item->id);
  }
  return result;
}

// ---- Ordering and tie-breaks ----

TEST(SessionIndex, OrdersGroupsAndWaitingSessionsWithTieBreaks) {
  const SessionIndex index(std::vector<AgentSession>{
      session("b", AgentState::waitingForUser, 10),
      session("a", AgentState::waitingForUser, 10),
      session("newer-running", AgentState::running, 50),
      session("old-root", AgentState::running, 1),
      session("grandchild", AgentState::waitingForUser, 2, "child"),
      session("child", AgentState::running, 2, "old-root"),
      session("done", AgentState::completed, 99),
  });
  // A group whose only waiting member is a grandchild comes before a newer running root;
  // waiting groups at equal times by root id; completed groups last.
  EXPECT_EQ(ids(index.groupRoots()),
            (std::vector<std::string>{"a", "b", "old-root", "newer-running", "done"}));
  EXPECT_EQ(ids(index.attentionSessions()), (std::vector<std::string>{"a", "b", "grandchild"}));
  EXPECT_EQ(ids(index.groupMembersByRootID().at("old-root")),
            (std::vector<std::string>{"old-root", "child", "grandchild"}));
  EXPECT_EQ(ids(index.activeSessions()).front(), "newer-running");
}

TEST(AgentActivityService, KeepsSessionOrderStableAmongEqualKeys) {
  AgentActivityService service(
      {session("x", AgentState::idle, 5), session("y", AgentState::idle, 5),
       session("w", AgentState::waitingForUser, 1), session("r", AgentState::running, 0)});
  EXPECT_EQ(ids(service.sessions()), (std::vector<std::string>{"claude-code:w", "claude-code:r",
                                                               "claude-code:x", "claude-code:y"}));
  EXPECT_EQ(service.historyRevision(), 0u);

  // Both need attention: the waiting (active) one before a newer failed one.
  AgentActivityService attention({session("failed", AgentState::failed, 9),
                                  session("waiting", AgentState::waitingForUser, 1),
                                  session("running", AgentState::running, 20)});
  EXPECT_EQ(ids(attention.sessions()),
            (std::vector<std::string>{"claude-code:waiting", "claude-code:failed",
                                      "claude-code:running"}));
}

// ---- Groups: sub-agents, orphans, cycles, internal helpers ----

TEST(SessionIndex, OrphanJoinsItsParentsGroupOnceTheParentArrives) {
  AgentSession orphan = session("sub", AgentState::running, 5, "root");
  SessionIndex index(std::vector<AgentSession>{orphan});
  EXPECT_EQ(index.rootID("sub"), "sub");
  index = SessionIndex(std::vector<AgentSession>{orphan, session("root", AgentState::running, 1)});
  EXPECT_EQ(index.rootID("sub"), "root");
  EXPECT_EQ(ids(index.groupRoots()), (std::vector<std::string>{"root"}));
}

TEST(SessionIndex, CyclesArePlacedByTheFinalPassAndEndDescendantWalks) {
  const SessionIndex index(std::vector<AgentSession>{
      session("a", AgentState::running, 1, "b"), session("b", AgentState::running, 2, "a"),
      session("c", AgentState::running, 3, "a"), session("d", AgentState::running, 4, "c")});
  EXPECT_EQ(ids(index.groupRoots()), (std::vector<std::string>{"a"}));
  EXPECT_EQ(ids(index.groupMembersByRootID().at("a")),
            (std::vector<std::string>{"a", "c", "d", "b"}));
  EXPECT_EQ(index.descendantIDs("a"), (std::unordered_set<std::string>{"b", "c", "d"}));
  EXPECT_EQ(index.descendantIDs("b"), (std::unordered_set<std::string>{"a", "c", "d"}));
}

TEST(SessionIndex, InternalHelpersStayInGroupsButAreNotVisible) {
  AgentSession helper = session("helper", AgentState::waitingForUser, 3, "root");
  helper.isInternalHelper = true;
  AgentSession helperRoot = session("helper-root", AgentState::running, 4);
  helperRoot.isInternalHelper = true;
  const SessionIndex index(std::vector<AgentSession>{
      session("root", AgentState::running, 1), helper, helperRoot,
      session("under-helper", AgentState::waitingForUser, 5, "helper-root")});
  EXPECT_EQ(ids(index.groupMembersByRootID().at("root")),
            (std::vector<std::string>{"root", "helper"}));
  EXPECT_EQ(ids(index.activeSessions()), (std::vector<std::string>{"root"}));
  EXPECT_TRUE(index.attentionSessions().empty());
}

TEST(SessionIndex, FiveThousandDeepChainIsWalkedWithoutRecursion) {
  std::vector<AgentSession> chain{session("s0", AgentState::running, 0)};
  for (int i = 1; i < 5000; ++i) {
    chain.push_back(
        session("s" + std::to_string(i), AgentState::running, i, "s" + std::to_string(i - 1)));
  }
  const SessionIndex index(chain);
  const SessionList& members = index.groupMembersByRootID().at("s0");
  ASSERT_EQ(members.size(), 5000u);
  EXPECT_EQ(members.back()->id, "s4999");
  EXPECT_EQ(index.descendantIDs("s0").size(), 4999u);
  EXPECT_EQ(index.rootID("s4999"), "s0");
}

// ---- The snapshot ----

TEST(SessionIndex, SnapshotListsThreeLatestGroupsAndPresentsAnUnlistedWaitingSubagent) {
  std::vector<AgentSession> sessions;
  for (int i = 0; i < 5; ++i) {
    sessions.push_back(session("g" + std::to_string(i), AgentState::running, 10 + i));
  }
  sessions.push_back(session("waiting-sub", AgentState::waitingForUser, 1, "g0"));
  AgentSession housekeeping = session("memory", AgentState::running, 100);
  housekeeping.task = "You are a Memory Writing Agent";
  sessions.push_back(housekeeping);
  const SessionIndex index(sessions);

  const NotchActivitySnapshot listed = index.notchSnapshot(std::nullopt);
  EXPECT_EQ(ids(listed.listSessions), (std::vector<std::string>{"g4", "g3", "g2"}));
  EXPECT_EQ(listed.activeGroupCount, 6);
  EXPECT_EQ(listed.hiddenActiveGroupCount, 3);  // g1, g0 and the housekeeping root
  EXPECT_EQ(listed.attentionSession.value()->id, "waiting-sub");

  const AgentEvent attention = attentionEventFor(sessions[5]);
  const NotchActivitySnapshot presented = index.notchSnapshot(attention);
  EXPECT_EQ(ids(presented.relatedSessions),
            (std::vector<std::string>{"g4", "g3", "g2", "g0", "waiting-sub"}));
  EXPECT_EQ(SessionIndex().notchSnapshot(std::nullopt), NotchActivitySnapshot::empty());
}

// ---- Attention moving between sessions ----

TEST(AgentActivityService, AttentionMovesBetweenWaitingSessions) {
  AgentActivityService service;
  service.ingest(event("a", AgentEventType::waiting, 1));
  service.ingest(event("b", AgentEventType::waiting, 2));
  EXPECT_EQ(service.attentionEvent()->sessionId, "b");
  service.ingest(event("a", AgentEventType::activity, 3));  // another session: stays
  EXPECT_EQ(service.attentionEvent()->sessionId, "b");
  service.ingest(event("b", AgentEventType::activity, 4));  // b stops waiting
  EXPECT_FALSE(service.attentionEvent().has_value());       // a is running again
  service.ingest(event("c", AgentEventType::waiting, 5));
  service.ingest(event("c", AgentEventType::completed, 6));
  EXPECT_FALSE(service.attentionSession().has_value());
}

// The parent rule completes a waiting sub-agent on an event that does not advance it: the
// snapshot must not keep presenting the completed session.
TEST(AgentActivityService, ParentRuleCompletingPresentedSessionMovesAttention) {
  AgentActivityService second({session("parent", AgentState::completed, 1),
                               session("sub", AgentState::waitingForUser, 10, "parent")});
  ASSERT_EQ(second.attentionEvent()->sessionId, "claude-code:sub");
  second.ingest(event("claude-code:sub", AgentEventType::activity, 5));  // stale
  EXPECT_EQ(second.session("claude-code:sub").value()->state, AgentState::completed);
  EXPECT_FALSE(second.attentionEvent().has_value());
  EXPECT_FALSE(second.notchSnapshot().attentionSession.has_value());
  EXPECT_TRUE(second.notchSnapshot().attentionSessions.empty());
}

// ---- Parents and descendants completing ----

TEST(AgentActivityService, TerminalParentsEndTheirDescendants) {
  AgentActivityService service;
  service.ingest(event("p", AgentEventType::activity, 1));
  service.ingest(event("c", AgentEventType::activity, 2, "p"));
  service.ingest(event("g", AgentEventType::activity, 3, "c"));
  service.ingest(event("done", AgentEventType::completed, 3, "p"));
  service.ingest(event("p", AgentEventType::failed, 4));
  EXPECT_EQ(service.session("c").value()->state, AgentState::failed);
  EXPECT_EQ(service.session("g").value()->completedAt, base + 4s);
  EXPECT_EQ(service.session("done").value()->state, AgentState::completed);

  service.ingest(event("late", AgentEventType::activity, 2, "p"));  // sub-agent after its parent
  EXPECT_EQ(service.session("late").value()->state, AgentState::failed);
  EXPECT_EQ(service.session("late").value()->completedAt, base + 4s);
}

// ---- Ingest guards ----

TEST(AgentActivityService, DropsUnsupportedProtocolAndClampsFutureTimestamps) {
  std::vector<Log::Entry> logged;
  Log::setSink([&logged](const Log::Entry& entry) { logged.push_back(entry); });
  AgentActivityService service;
  AgentEvent future = event("s", AgentEventType::activity, 0);
  future.protocolVersion = 2;
  EXPECT_FALSE(service.ingest(future));
  EXPECT_TRUE(service.sessions().empty());
  EXPECT_EQ(service.historyRevision(), 0u);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].category, "activity");
  EXPECT_EQ(logged[0].rendered(),
            "Dropped event for session <private>: protocol version 2 is not supported (expected "
            "1). Reinstall provider integrations or update the app.");
  Log::setSink({});

  future.protocolVersion = 1;
  future.timestamp = Dates::now() + 1h;
  future.plan = AgentPlan{.updatedAt = future.timestamp};
  const Date before = Dates::now();
  EXPECT_TRUE(service.ingest(future));
  EXPECT_TRUE(service.protocolMismatchDetected());
  EXPECT_EQ(service.historyRevision(), 1u);
  const AgentSession& stored = *service.sessions().front();
  EXPECT_GE(stored.updatedAt, before);
  EXPECT_LE(stored.updatedAt, Dates::now());
  EXPECT_LE(stored.plan->updatedAt, Dates::now());
}

// ---- Restore and reconcile ----

TEST(AgentActivityService, RestoreNamespacesDeduplicatesAndDropsOrphanedGrokStarts) {
  AgentSession bare = session("dup", AgentState::idle, 1);
  AgentSession namespaced = session("claude-code:dup", AgentState::idle, 9);
  AgentSession waiting = session("w", AgentState::waitingForUser, 2);
  waiting.pendingReplies = {AgentPendingReply{.prompt = "Allow?"}};
  waiting.pendingReply = waiting.pendingReplies.back();
  AgentEvent start = event("g", AgentEventType::started, 1);
  start.provider = AgentProvider::grok;
  start.metadata = std::map<std::string, std::string>{{"hookEvent", "SessionStart"}};
  AgentSession grok = AgentSession::fromEvent(start);

  AgentActivityService service({bare, namespaced, waiting, grok});
  EXPECT_EQ(ids(service.sessions()),
            (std::vector<std::string>{"claude-code:w", "claude-code:dup"}));
  EXPECT_EQ(service.session("claude-code:dup").value()->updatedAt, base + 9s);
  EXPECT_TRUE(service.session("claude-code:w").value()->pendingReplies.empty());
  EXPECT_EQ(service.session("claude-code:w").value()->recentEvents.front().sessionId,
            "claude-code:w");
}

TEST(AgentActivityService, ReconcilesRestoredSessionsAgainstLiveAndDeadProcesses) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const auto started = AgentProcessIdentity::startedAt(child);
  ASSERT_TRUE(started.has_value());
  const auto withOrigin = [](AgentSession value, std::int32_t pid, std::optional<Date> startedAt) {
    value.origin = AgentOrigin{.processIdentifier = pid, .processStartedAt = startedAt};
    return value;
  };
  std::vector<AgentSession> restored{
      withOrigin(session("live", AgentState::running, 1), child, started),
      withOrigin(session("reused", AgentState::running, 2), child, *started - 1s),
      withOrigin(session("waiting", AgentState::waitingForUser, 3), child, started),
      withOrigin(session("dead", AgentState::running, 4), child, started),
      session("dead-sub", AgentState::running, 5, "dead"),
  };
  AgentActivityService live(restored);
  live.reconcileUnverifiedActiveSessions(AgentProcessIdentity::isRunning);
  EXPECT_EQ(live.session("claude-code:live").value()->state, AgentState::unknown);
  EXPECT_EQ(live.session("claude-code:reused").value()->state, AgentState::completed);
  EXPECT_EQ(live.session("claude-code:waiting").value()->state, AgentState::waitingForUser);

  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  AgentActivityService dead(restored);
  dead.reconcileUnverifiedActiveSessions(AgentProcessIdentity::isRunning);
  const AgentSession& ended = *dead.session("claude-code:dead").value();
  EXPECT_EQ(ended.state, AgentState::completed);
  EXPECT_EQ(ended.completedAt, base + 4s);
  EXPECT_EQ(dead.session("claude-code:dead-sub").value()->state, AgentState::completed);
  EXPECT_EQ(dead.historyRevision(), 1u);

  live.completeUnknownSessions();
  EXPECT_EQ(live.session("claude-code:live").value()->state, AgentState::completed);
}

TEST(AgentActivityService, PrunesOnlySessionsCompletedStrictlyLongerAgo) {
  const Date now = base + 10000s;
  AgentSession older = session("older", AgentState::completed, 0);
  older.completedAt = now - 3601s;
  AgentSession exact = session("exact", AgentState::completed, 0);
  exact.completedAt = now - 3600s;
  AgentActivityService service({older, exact});
  service.pruneCompleted(3600s, now);
  EXPECT_EQ(ids(service.sessions()), (std::vector<std::string>{"claude-code:exact"}));
  EXPECT_EQ(service.historyRevision(), 1u);
  service.pruneCompleted(3600s, now);
  EXPECT_EQ(service.historyRevision(), 1u);  // nothing removed, nothing committed
}

// ---- Observers ----

TEST(AgentActivityService, ObserversAreToldOnlyAboutPropertiesThatChanged) {
  AgentActivityService service;
  std::vector<AgentActivityService::Property> told;
  service.addObserver(
      [&told](AgentActivityService::Property property) { told.push_back(property); });
  service.reconcilePendingReplies([](const UUID&) { return true; });
  // Always commits: the revision changes, nothing else does.
  EXPECT_EQ(told, (std::vector{AgentActivityService::Property::historyRevision}));
  told.clear();
  int calls = 0;
  service.setOnSessionsChanged([&calls](const SessionList&) { ++calls; });
  service.ingest(event("s", AgentEventType::activity, 1));
  EXPECT_EQ(calls, 1);
  using P = AgentActivityService::Property;
  EXPECT_EQ(told, (std::vector{P::onSessionsChanged, P::sessions, P::notchSnapshot,
                               P::historyRevision, P::index, P::sessionsByID}));
}

// ---- Changes in place against a rebuild ----

// Random events over a few hundred sessions: sub-agents and grandchildren, orphans whose parent
// arrives later, a parent link that changes, internal helpers, housekeeping titles, equal and stale
// timestamps, terminal events ending whole groups, prompts dropped and answered, the operations
// of a restart (agents gone or unknown, unknown ones completed or reporting again), and a
// removal in between. After every change the list must be the stable sort of the previous
// one, the index and snapshot those of a fresh index of that list, and observers told exactly
// which properties differ. For the first 800 steps the list itself is not read (its order is
// read through sessionsByID), so it is laid out afresh when read; afterwards onSessionsChanged
// reads it after every change, so it is patched.
TEST(AgentActivityService, ChangesInPlaceMatchAFullRebuild) {
  using P = AgentActivityService::Property;
  std::mt19937 random(20261208);
  const auto pick = [&random](int count) {
    return std::uniform_int_distribution<int>(0, count - 1)(random);
  };
  const std::vector<AgentEventType> types{AgentEventType::activity,  AgentEventType::toolStarted,
                                          AgentEventType::activity,  AgentEventType::waiting,
                                          AgentEventType::completed, AgentEventType::failed,
                                          AgentEventType::started};
  const auto rank = [](const SharedSession& session) {
    return (session->needsAttention() ? 0 : 2) + (session->isActive() ? 0 : 1);
  };

  AgentActivityService service;
  std::vector<P> told;
  service.addObserver([&told](P property) { told.push_back(property); });
  std::size_t listed = 0;
  // The list in position order, through the positions alone.
  const auto positionOrder = [&service] {
    SessionList list;
    for (const auto& [id, position] : service.sessionsByID()) {
      list.resize(std::max(list.size(), position + 1), service.session(id).value());
      list[position] = service.session(id).value();
    }
    return list;
  };
  std::vector<std::pair<UUID, std::string>> prompts;  // reply id, session id
  SessionIndex previousIndex;
  for (int step = 0; step < 1800; ++step) {
    if (step == 800) {
      ASSERT_EQ(service.sessions(), positionOrder());
      service.setOnSessionsChanged([&listed](const SessionList& list) { listed += list.size(); });
    }
    if (step == 1000) {
      service.clearRecent();
      previousIndex = SessionIndex(service.sessions());
    }
    const int number = pick(250);
    AgentEvent next =
        event("s" + std::to_string(number), types[pick(int(types.size()))], step / 4 - pick(3));
    if (number % 4 != 0) {  // 1 and 2 are children of a root, 3 a grandchild
      next.parentSessionId = "s" + std::to_string(number % 4 == 3 ? number - 1 : number / 4 * 4);
    }
    if (pick(100) == 0) {
      next.parentSessionId = "s" + std::to_string(pick(250));
    }
    if (number % 50 == 7) {
      next.provider = AgentProvider::codex;
      next.task = "Using the supplied git context below, generate a git commit message";
    } else if (number % 40 == 5) {
      next.task = "Memory writing agent";
    }
    if (next.type == AgentEventType::waiting && pick(2) == 0) {
      next.pendingReply = AgentPendingReply{.replyId = UUID::random(), .prompt = "Allow?"};
      prompts.emplace_back(next.pendingReply->replyId, next.sessionId);
    }
    SCOPED_TRACE("step " + std::to_string(step) + ", session s" + std::to_string(number));

    const SessionList before = positionOrder();
    const std::optional<AgentEvent> attentionBefore = service.attentionEvent();
    const NotchActivitySnapshot snapshotBefore = service.notchSnapshot();
    told.clear();
    const int operation = pick(40);
    if (operation == 0 && !prompts.empty()) {  // one prompt answered
      const std::size_t answered = static_cast<std::size_t>(pick(int(prompts.size())));
      service.resolvePendingReply(prompts[answered].first, prompts[answered].second);
      prompts.erase(prompts.begin() + static_cast<std::ptrdiff_t>(answered));
    } else if (operation == 1) {  // the hooks of about half the prompts went away
      const std::size_t cut = prompts.size() / 2;
      service.reconcilePendingReplies([&](const UUID& id) {
        return std::any_of(prompts.begin() + static_cast<std::ptrdiff_t>(cut), prompts.end(),
                           [&id](const auto& prompt) { return prompt.first == id; });
      });
      prompts.erase(prompts.begin(), prompts.begin() + static_cast<std::ptrdiff_t>(cut));
      for (const SharedSession& session : positionOrder()) {  // no dropped prompt is kept
        for (const AgentPendingReply& reply : session->pendingReplies) {
          ASSERT_TRUE(std::any_of(prompts.begin(), prompts.end(), [&reply](const auto& prompt) {
            return prompt.first == reply.replyId;
          }));
        }
      }
    } else if (operation == 2) {  // as after a restart: a few agents gone, the others unknown
      service.reconcileUnverifiedActiveSessions([&](std::int32_t pid) { return pid % 3 != 0; },
                                                [](std::int32_t) { return std::nullopt; });
    } else if (operation == 3) {
      service.completeUnknownSessions();
    } else if (operation == 4) {  // an unknown session's agent reported in again
      const std::vector<AgentState> states{AgentState::running, AgentState::completed,
                                           AgentState::failed, AgentState::waitingForUser};
      service.applyRestoredLifecycle(next.sessionId, states[pick(int(states.size()))],
                                     "Restored", base + std::chrono::seconds(step / 4 + pick(3)));
    } else {
      if (pick(2) == 0) {  // gives the restart operations live and gone agents to tell apart
        next.origin = AgentOrigin{.processIdentifier = number};
      }
      ASSERT_TRUE(service.ingest(next));
    }
    if (told.empty()) {
      continue;  // nothing committed (an answer for a prompt no longer held)
    }

    SessionList expected;
    for (const SharedSession& session : before) {
      expected.push_back(service.session(session->id).value());
    }
    if (expected.size() < service.sessionsByID().size()) {
      expected.push_back(service.session(next.sessionId).value());
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [&rank](const SharedSession& a, const SharedSession& b) {
                       return rank(a) != rank(b) ? rank(a) < rank(b) : a->updatedAt > b->updatedAt;
                     });
    const SessionList after = positionOrder();
    ASSERT_EQ(ids(after), ids(expected));
    ASSERT_EQ(after, expected);
    if (step >= 800) {
      ASSERT_EQ(service.sessions(), after);
    }
    const SessionIndex rebuilt(after);
    ASSERT_TRUE(service.index() == rebuilt);
    ASSERT_EQ(service.notchSnapshot(), rebuilt.notchSnapshot(service.attentionEvent()));

    std::vector<P> differing;
    if (!(before == after)) {
      differing.push_back(P::sessions);
    }
    if (attentionBefore != service.attentionEvent()) {
      differing.push_back(P::attentionEvent);
    }
    if (!(snapshotBefore == service.notchSnapshot())) {
      differing.push_back(P::notchSnapshot);
    }
    differing.push_back(P::historyRevision);
    if (!(previousIndex == rebuilt)) {
      differing.push_back(P::index);
    }
    if (ids(before) != ids(after)) {
      differing.push_back(P::sessionsByID);
    }
    ASSERT_EQ(told, differing);
    previousIndex = rebuilt;
  }
  EXPECT_GT(service.sessions().size(), 150u);
  EXPECT_GT(listed, 0u);
}

// ---- Thread confinement and the hand-over ----

TEST(MainQueue, RunsPostedClosuresOnTheOwningThread) {
  MainQueue queue;
  AgentActivityService service;
  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < 20; ++i) {
      queue.post([&, i] {
        order.push_back(i);
        service.ingest(event("s" + std::to_string(i), AgentEventType::activity, i));
      });
    }
    queue.post([&queue] { queue.stop(); });
  });
  queue.run();
  poster.join();
  EXPECT_EQ(order.size(), 20u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(service.historyRevision(), 20u);
}

TEST(AgentActivityServiceDeathTest, UseFromAnotherThreadAborts) {
#ifdef NDEBUG
  GTEST_SKIP() << "the thread check is compiled only into debug builds";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        AgentActivityService service;
        std::thread other([&service] { (void)service.historyRevision(); });
        other.join();
      },
      "TarvelCore/AgentActivityService");
#endif
}

}  // namespace
}  // namespace tarvel
