// One ingest into an activity service of 100, 1,000 and 3,000 sessions holding 50 recent events
// each: the work per event should not grow with the number of sessions.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "TarvelCore/Sessions/AgentActivityService.hpp"
#include "TarvelCore/Sessions/SessionIndex.hpp"

namespace {

using tarvel::AgentEvent;
using tarvel::AgentSession;

const tarvel::Date base{std::chrono::seconds(1'700'000'000)};

std::string sessionID(int session) {
  return "claude-code:6f1d2c1e-3f7b-4c55-9d0e-" + std::to_string(100000000000 + session);
}

// Sessions in groups of five: a root with four sub-agents; every seventh session waits.
AgentEvent makeEvent(int session, int step) {
  AgentEvent event{
      .type = step % 7 == 0 && session % 7 == 0 ? tarvel::AgentEventType::waiting
                                                : tarvel::AgentEventType::toolStarted,
      .sessionId = sessionID(session),
      .provider = tarvel::AgentProvider::claudeCode,
      .task = "Refactor the socket reader so that partial lines survive a reconnect",
      .activity = "Running: cmake --build build -j2 (step " + std::to_string(step) + ")",
      .timestamp = base + std::chrono::milliseconds(step * 1000 + session),
      .workingDirectory = "/nonexistent/benchmark/tarvel",
      .file = "Sources/File" + std::to_string(step % 9) + ".cpp",
      .metadata = std::map<std::string, std::string>{{"hookEvent", "PreToolUse"}},
  };
  if (session % 5 != 0) {
    event.parentSessionId = sessionID(session - session % 5);
  }
  return event;
}

std::vector<AgentSession> makeSessions(int count) {
  std::vector<AgentSession> sessions;
  for (int session = 0; session < count; ++session) {
    AgentSession folded = AgentSession::fromEvent(makeEvent(session, 0));
    for (int step = 1; step < 50; ++step) {
      folded.apply(makeEvent(session, step));
    }
    sessions.push_back(std::move(folded));
  }
  return sessions;
}

std::vector<AgentSession> hundredSessions() { return makeSessions(100); }

// state.range(0) sessions; the events visit them in a fixed stride, each newer than the last.
// With state.range(1) set, an onSessionsChanged callback takes the list after every event, as the
// display service's save schedule does.
void ingestIntoSessions(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  tarvel::AgentActivityService service(makeSessions(count));
  std::size_t observed = 0;
  service.addObserver([&observed](tarvel::AgentActivityService::Property) { ++observed; });
  std::size_t listed = 0;
  if (state.range(1) != 0) {
    service.setOnSessionsChanged(
        [&listed](const tarvel::SessionList& list) { listed += list.size(); });
  }
  // The events are made beforehand (a fresh UUID each costs more than a microsecond); the
  // service gets a copy of each, as from the event server.
  std::vector<AgentEvent> events;
  for (int step = 50, session = 0; step < 50 + 4096; ++step, session = (session + 37) % count) {
    events.push_back(makeEvent(session, step));
  }
  std::size_t next = 0;
  for (auto _ : state) {
    if (next == events.size()) {
      state.PauseTiming();
      for (AgentEvent& event : events) {
        event.timestamp += std::chrono::hours(2);
      }
      next = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(service.ingest(events[next++]));
  }
  if (service.sessions().size() != static_cast<std::size_t>(count) ||
      service.sessions().front()->recentEvents.size() != AgentSession::recentEventLimit) {
    state.SkipWithError("the service does not hold full sessions");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ingestIntoSessions)
    ->ArgNames({"sessions", "listCallback"})
    ->ArgsProduct({{100, 1000, 3000}, {0, 1}});

// A restart with state.range(0) restored sessions, most of them running: every running one is
// marked unknown, then completed (the waiting ones stay). The list callback is set, so each operation also lays out the list.
void reconcileAfterRestart(benchmark::State& state) {
  const std::vector<AgentSession> restored = makeSessions(static_cast<int>(state.range(0)));
  std::optional<tarvel::AgentActivityService> service;
  std::size_t listed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    service.reset();
    service.emplace(restored);
    listed = 0;
    service->setOnSessionsChanged(
        [&listed](const tarvel::SessionList& list) { listed += list.size(); });
    state.ResumeTiming();
    service->reconcileUnverifiedActiveSessions([](std::int32_t) { return true; });
    service->completeUnknownSessions();
  }
  const auto& active = service->activeSessions();
  if (listed != 2 * restored.size() ||
      std::any_of(active.begin(), active.end(), [](const tarvel::SharedSession& session) {
        return session->state != tarvel::AgentState::waitingForUser;
      })) {
    state.SkipWithError("the restored sessions were not all completed");
  }
}
BENCHMARK(reconcileAfterRestart)->Arg(3000)->Arg(10000)->Unit(benchmark::kMillisecond);

void buildIndexOfHundredSessions(benchmark::State& state) {
  const tarvel::SessionList sessions = tarvel::toSessionList(hundredSessions());
  for (auto _ : state) {
    const tarvel::SessionIndex index(sessions);
    benchmark::DoNotOptimize(index.notchSnapshot(std::nullopt));
  }
}
BENCHMARK(buildIndexOfHundredSessions);

// What the index alone would cost if it copied every session into each of its collections.
void deepCopyHundredSessionsSevenTimes(benchmark::State& state) {
  const std::vector<AgentSession> sessions = hundredSessions();
  for (auto _ : state) {
    for (int copy = 0; copy < 7; ++copy) {
      std::vector<AgentSession> copied = sessions;
      benchmark::DoNotOptimize(copied);
    }
  }
}
BENCHMARK(deepCopyHundredSessionsSevenTimes);

}  // namespace
