#pragma once

#include <dirent.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Support/CapturedLog.hpp"
#include "Support/RawSockets.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/UUID.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

// Helpers shared by the reply socket tests: a temporary HOME, raw socket peers, a recorder for
// pendingChanged, a log capture and descriptor/thread counters.
namespace tarvel::ReplyTestSupport {

using Testing::listenAt;
using Testing::readLine;
using Testing::readToEnd;
using Testing::sendAll;
// A fresh folder under /tmp (short, so socket paths fit), set as HOME; removed afterwards.
using TemporaryHome = Testing::TemporaryHome;

inline void setReceiveTimeout(int descriptor, std::chrono::milliseconds limit) {
  Testing::setTimeouts(descriptor, limit);
}

// A connected stream socket, with a 10-second limit on reads so that a broken test cannot hang.
inline UniqueFd connectTo(const std::filesystem::path& path) {
  return Testing::connectTo(path, std::chrono::seconds(10));
}

// Polls `condition` until it holds; false when the generous bound passed first.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = Testing::generousBound) {
  return Testing::Waiting::poll(condition, limit);
}

// Records every pendingChanged call.
class PendingRecorder {
 public:
  std::function<void(const std::set<UUID>&)> callback() {
    return [this](const std::set<UUID>& keys) {
      const std::scoped_lock guard(mutex);
      calls.push_back(keys);
    };
  }
  std::vector<std::set<UUID>> snapshot() const {
    const std::scoped_lock guard(mutex);
    return calls;
  }
  std::size_t count() const { return snapshot().size(); }

 private:
  mutable std::mutex mutex;
  std::vector<std::set<UUID>> calls;
};

// Captures log entries while alive.
class LogCapture : public Testing::CapturedLog {
 public:
  std::vector<Log::Entry> snapshot() const { return all(); }
};

inline std::size_t countEntries(const char* directory) {
  std::size_t count = 0;
  if (DIR* listing = ::opendir(directory)) {
    while (const dirent* entry = ::readdir(listing)) {
      if (entry->d_name[0] != '.') {
        ++count;
      }
    }
    ::closedir(listing);
  }
  return count;
}

// Open descriptors and live threads of this process.
inline std::size_t openDescriptorCount() { return countEntries("/proc/self/fd"); }
inline std::size_t threadCount() { return countEntries("/proc/self/task"); }

}  // namespace tarvel::ReplyTestSupport
