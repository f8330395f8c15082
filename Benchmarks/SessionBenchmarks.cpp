// Folding and copying sessions: the activity service folds every event into a session and copies
// sessions whenever it publishes, sorts or indexes them.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "TarvelCore/Sessions/AgentSession.hpp"

namespace {

using tarvel::AgentEvent;
using tarvel::AgentEventType;
using tarvel::AgentSession;

const tarvel::Date base{std::chrono::seconds(1'800'000'000)};

// A typical tool event: activity text, file, hook metadata and a workflow update.
AgentEvent makeEvent(int index) {
  return AgentEvent{
      .type = index % 3 == 0 ? AgentEventType::toolStarted : AgentEventType::toolCompleted,
      .sessionId = "claude-code:6f1d2c1e-3f7b-4c55-9d0e-2b8f6a4e9c10",
      .provider = tarvel::AgentProvider::claudeCode,
      .task = "Refactor the socket reader so that partial lines survive a reconnect",
      .activity = "Running: cmake --build build --target TarvelCore -j2 (step " +
                  std::to_string(index) + ")",
      .timestamp = base + std::chrono::milliseconds(index * 250),
      .workingDirectory = "/nonexistent/benchmark/tarvel",
      .file = "Sources/TarvelCore/Protocol/File" + std::to_string(index % 9) + ".cpp",
      .metadata =
          std::map<std::string, std::string>{{"hookEvent", "PostToolUse"},
                                             {"toolCallId", "toolu_" + std::to_string(index)},
                                             {"source", "benchmark"}},
      .workflowUpdate =
          tarvel::AgentWorkflowUpdate{
              .id = "workflow-" + std::to_string(index % 6),
              .title = "Build and test",
              .status = tarvel::AgentWorkflowStatus::running,
              .steps = std::vector<tarvel::AgentStep>{{.id = "1", .title = "Build"},
                                                      {.id = "2", .title = "Test"}}},
  };
}

// A session holding 50 recent events and 6 workflows.
AgentSession fullSession() {
  AgentSession session = AgentSession::fromEvent(makeEvent(0));
  for (int i = 1; i < 60; ++i) {
    session.apply(makeEvent(i));
  }
  return session;
}

void sessionApply(benchmark::State& state) {
  AgentSession session = fullSession();
  std::vector<AgentEvent> events;
  for (int i = 0; i < 4096; ++i) {
    events.push_back(makeEvent(60 + i));
  }
  std::size_t next = 0;
  for (auto _ : state) {
    if (next == events.size()) {
      state.PauseTiming();
      session = fullSession();
      for (auto& event : events) {
        event.timestamp += std::chrono::hours(1);
      }
      next = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(session.apply(events[next++]));
  }
  if (session.recentEvents.size() != AgentSession::recentEventLimit ||
      session.workflows.size() != AgentSession::workflowLimit) {
    state.SkipWithError("session is not at its bounds");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(sessionApply);

// The service's pattern: copy the stored session, fold into the copy, store it back.
void sessionCopyThenApply(benchmark::State& state) {
  AgentSession stored = fullSession();
  int index = 60;
  for (auto _ : state) {
    AgentSession copy = stored;
    copy.apply(makeEvent(index++));
    stored = std::move(copy);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(sessionCopyThenApply);

void sessionCopy(benchmark::State& state) {
  const AgentSession session = fullSession();
  for (auto _ : state) {
    AgentSession copy = session;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(sessionCopy);

// What a copy would cost if the 50 events were copied one by one.
void deepCopyOfFiftyEvents(benchmark::State& state) {
  const std::vector<AgentEvent> events = fullSession().recentEvents.toVector();
  for (auto _ : state) {
    std::vector<AgentEvent> copy = events;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(deepCopyOfFiftyEvents);

// Sorting 100 sessions by recency, as a list view does.
void sortHundredSessions(benchmark::State& state) {
  std::vector<AgentSession> sessions;
  for (int i = 0; i < 100; ++i) {
    AgentSession session = fullSession();
    session.updatedAt += std::chrono::seconds((i * 37) % 100);
    sessions.push_back(std::move(session));
  }
  for (auto _ : state) {
    std::vector<AgentSession> copy = sessions;
    std::stable_sort(copy.begin(), copy.end(), [](const AgentSession& a, const AgentSession& b) {
      return a.updatedAt > b.updatedAt;
    });
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(sortHundredSessions);

}  // namespace
