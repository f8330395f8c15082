#pragma once

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/CapturedLog.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Log.hpp"

namespace tarvel::SocketTesting {

// A fresh folder that is also HOME for the test's duration; removed afterwards.
using TemporaryHome = Testing::TemporaryHome;
// Collects log entries while it lives.
using CapturedLog = Testing::CapturedLog;

// Thread-safe event sink for a server's handler.
class EventCollector {
 public:
  void add(const AgentEvent& event) {
    {
      const std::scoped_lock lock(mutex);
      events.push_back(event);
    }
    changed.notify_all();
  }

  // Waits until at least `count` events arrived or `limit` passed; returns what arrived.
  std::vector<AgentEvent> waitFor(std::size_t count,
                                  std::chrono::milliseconds limit = Testing::generousBound) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, limit, [&] { return events.size() >= count; });
    return events;
  }

  std::vector<AgentEvent> snapshot() const {
    const std::scoped_lock lock(mutex);
    return events;
  }

 private:
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<AgentEvent> events;
};

inline AgentEvent sampleEvent(std::string sessionId, std::optional<std::string> activity = {}) {
  AgentEvent event;
  event.id = *UUID::parse("5B0D8E6A-3C2F-4A71-9E84-0C6D2F1A7B39");
  event.type = AgentEventType::activity;
  event.sessionId = std::move(sessionId);
  event.provider = AgentProvider::codex;
  event.activity = std::move(activity);
  event.timestamp = *Dates::parseISO8601("2026-12-08T09:30:00.250Z");
  return event;
}

}  // namespace tarvel::SocketTesting
