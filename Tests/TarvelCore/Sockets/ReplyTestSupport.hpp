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

#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/UUID.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

// Helpers shared by the reply socket tests: a temporary HOME, raw socket peers, a recorder for
// pendingChanged, a log capture and descriptor/thread counters.
namespace tarvel::ReplyTestSupport {

// A fresh directory under /tmp (short, so socket paths fit), set as HOME; removed afterwards.
class TemporaryHome {
 public:
  TemporaryHome() {
    std::string pattern = "/tmp/tarvel-reply-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
      path = pattern;
    }
    if (const char* old = std::getenv("HOME")) {
      previousHome = old;
    }
    ::setenv("HOME", path.c_str(), 1);
  }
  ~TemporaryHome() {
    if (previousHome) {
      ::setenv("HOME", previousHome->c_str(), 1);
    }
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  std::filesystem::path path;

 private:
  std::optional<std::string> previousHome;
};

inline void setReceiveTimeout(int descriptor, std::chrono::milliseconds limit) {
  const timeval value{.tv_sec = static_cast<time_t>(limit.count() / 1000),
                      .tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000)};
  ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

// A connected stream socket, with a 10-second receive limit so that a broken test cannot hang.
inline UniqueFd connectTo(const std::filesystem::path& path) {
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  text.copy(address.sun_path, sizeof address.sun_path - 1);
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  setReceiveTimeout(socket.get(), std::chrono::seconds(10));
  return socket;
}

// A listening socket at `path` (any file there is replaced).
inline UniqueFd listenAt(const std::filesystem::path& path) {
  ::unlink(path.c_str());
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.string().copy(address.sun_path, sizeof address.sun_path - 1);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket.get(), 16) != 0) {
    return UniqueFd();
  }
  return socket;
}

inline bool sendAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

// Reads up to and including the first line feed; absent on end of stream, error or time-out.
inline std::optional<std::string> readLine(int descriptor) {
  std::string line;
  char byte = 0;
  while (::read(descriptor, &byte, 1) == 1) {
    line.push_back(byte);
    if (byte == '\n') {
      return line;
    }
  }
  return std::nullopt;
}

// Everything until the peer closes; `endedCleanly` is false when the read limit ran out (a peer
// that closes with unread data resets the connection, which counts as closing).
inline std::string readToEnd(int descriptor, bool* endedCleanly = nullptr) {
  std::string bytes;
  char chunk[4096];
  while (true) {
    const ssize_t count = ::read(descriptor, chunk, sizeof chunk);
    if (count <= 0) {
      if (endedCleanly != nullptr) {
        *endedCleanly = count == 0 || errno == ECONNRESET;
      }
      return bytes;
    }
    bytes.append(chunk, static_cast<std::size_t>(count));
  }
}

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
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
class LogCapture {
 public:
  LogCapture() {
    Log::setSink([this](const Log::Entry& entry) {
      const std::scoped_lock guard(mutex);
      entries.push_back(entry);
    });
  }
  ~LogCapture() { Log::setSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Log::Entry> snapshot() const {
    const std::scoped_lock guard(mutex);
    return entries;
  }

 private:
  mutable std::mutex mutex;
  std::vector<Log::Entry> entries;
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
