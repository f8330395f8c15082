#pragma once

#include <mutex>
#include <vector>

#include "TarvelCore/Platform/Log.hpp"

namespace tarvel::Testing {

// Collects what this process logs while it lives, instead of the system log.
// Thread: entries come from any thread; one CapturedLog at a time.
class CapturedLog {
 public:
  CapturedLog() {
    Log::setSink([this](const Log::Entry& entry) {
      const std::scoped_lock guard(mutex);
      entries.push_back(entry);
    });
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;
  ~CapturedLog() { Log::setSink(nullptr); }

  std::vector<Log::Entry> all() const {
    const std::scoped_lock guard(mutex);
    return entries;
  }
  std::vector<Log::Entry> errors() const {
    std::vector<Log::Entry> found = all();
    std::erase_if(found, [](const Log::Entry& entry) { return entry.level != Log::Level::error; });
    return found;
  }

 private:
  mutable std::mutex mutex;
  std::vector<Log::Entry> entries;
};

}  // namespace tarvel::Testing
