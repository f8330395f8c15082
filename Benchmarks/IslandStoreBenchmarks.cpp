// Cost of offering one event to an island store that holds 100 sessions with full histories.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "QuoyaCore/CodexHookMapper.hpp"
#include "QuoyaCore/IslandStore.hpp"

namespace {

namespace CodexHookMapper = quoya::CodexHookMapper;
using tarvel::AgentEvent;
using tarvel::Date;

const Date start = tarvel::Dates::fromSecondsSince1970(1'800'000'000);

AgentEvent hookEvent(int session, const std::string& name) {
  return CodexHookMapper::event(
             quoya::CodexHookInput{
                 .sessionID = "019a0000-0000-7000-8000-" + std::to_string(100000000000 + session),
                 .eventName = name,
                 .cwd = "/Users/someone/Projects/tarvel",
                 .turnID = "turn-" + std::to_string(session)},
             start, tarvel::AgentProvider::codex)
      .value();
}

// A fresh id and a later date for each offer, without drawing random numbers in the loop.
void restamp(AgentEvent& event, std::uint64_t serial) {
  std::memcpy(event.id.bytes.data(), &serial, sizeof serial);
  event.id.bytes[15] = 0xA5;
  event.timestamp = start + std::chrono::microseconds(serial);
}

struct Fixture {
  quoya::IslandStore store;
  std::vector<AgentEvent> events;  // one per session, oldest session first
  std::uint64_t serial = 1;

  explicit Fixture(const std::string& name) {
    for (int round = 0; round < 50; ++round) {
      for (int session = 0; session < 100; ++session) {
        AgentEvent event = hookEvent(session, round == 0 ? "UserPromptSubmit" : "PreToolUse");
        restamp(event, serial++);
        store.receive(event, event.timestamp);
      }
    }
    for (int session = 0; session < 100; ++session) {
      events.push_back(hookEvent(session, name));
    }
  }
};

// Each offer goes to the least recently updated session, which then moves to the front: the
// longest move the ordering can make.
void offer(benchmark::State& state, const std::string& name) {
  Fixture fixture(name);
  std::size_t next = 0;
  std::int64_t accepted = 0;
  for (auto _ : state) {
    AgentEvent& event = fixture.events[next];
    restamp(event, fixture.serial++);
    accepted += fixture.store.receive(event, event.timestamp) ? 1 : 0;
    next = (next + 1) % fixture.events.size();
  }
  if (accepted != static_cast<std::int64_t>(state.iterations())) {
    state.SkipWithError("an event was refused");
  }
  state.counters["sessions"] = static_cast<double>(fixture.store.sessions().size());
}

void BM_IslandStoreReceiveToolEvent(benchmark::State& state) { offer(state, "PreToolUse"); }
void BM_IslandStoreReceiveNewPrompt(benchmark::State& state) { offer(state, "UserPromptSubmit"); }
void BM_IslandStoreReceiveToolResult(benchmark::State& state) { offer(state, "PostToolUse"); }

BENCHMARK(BM_IslandStoreReceiveToolEvent);
BENCHMARK(BM_IslandStoreReceiveNewPrompt);
BENCHMARK(BM_IslandStoreReceiveToolResult);

// A duplicate is refused before any copy is made.
void BM_IslandStoreRefuseDuplicate(benchmark::State& state) {
  Fixture fixture("PreToolUse");
  AgentEvent event = fixture.events[0];
  restamp(event, fixture.serial++);
  fixture.store.receive(event, event.timestamp);
  for (auto _ : state) {
    benchmark::DoNotOptimize(fixture.store.receive(event, event.timestamp));
  }
}
BENCHMARK(BM_IslandStoreRefuseDuplicate);

}  // namespace
