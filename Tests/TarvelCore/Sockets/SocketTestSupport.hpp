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

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/Log.hpp"

namespace tarvel::SocketTesting {

// A fresh mkdtemp directory that is also HOME for the test's duration; removed afterwards.
class TemporaryHome {
 public:
  TemporaryHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvel-sock-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    path = pattern;
    if (const char* home = std::getenv("HOME")) {  // NOLINT(concurrency-mt-unsafe)
      previousHome = home;
    }
    ::setenv("HOME", path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;
  ~TemporaryHome() {
    if (previousHome) {
      ::setenv("HOME", previousHome->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::unsetenv("HOME");  // NOLINT(concurrency-mt-unsafe)
    }
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }

  std::filesystem::path path;

 private:
  std::optional<std::string> previousHome;
};

// Collects log entries while it lives.
class CapturedLog {
 public:
  CapturedLog() {
    Log::setSink([this](const Log::Entry& entry) {
      const std::scoped_lock lock(mutex);
      entries.push_back(entry);
    });
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;
  ~CapturedLog() { Log::setSink(nullptr); }

  std::vector<Log::Entry> errors() const {
    const std::scoped_lock lock(mutex);
    std::vector<Log::Entry> found;
    for (const auto& entry : entries) {
      if (entry.level == Log::Level::error) {
        found.push_back(entry);
      }
    }
    return found;
  }

 private:
  mutable std::mutex mutex;
  std::vector<Log::Entry> entries;
};

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
                                  std::chrono::milliseconds limit = std::chrono::seconds(30)) {
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
