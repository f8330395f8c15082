#include "TarvelDisplay/Api/HeaderDeadlines.hpp"

#include <pthread.h>
#include <sys/socket.h>

#include <system_error>

namespace tarvel::Display {

bool HeaderDeadlines::start() {
  const std::scoped_lock guard(mutex);
  if (watcher.joinable()) {
    return true;
  }
  stopping = false;
  try {
    watcher = std::thread([this] {
      ::pthread_setname_np(::pthread_self(), "tarvel.api.dl");
      watch();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void HeaderDeadlines::stop() {
  std::thread ending;
  {
    const std::scoped_lock guard(mutex);
    stopping = true;
    ending = std::move(watcher);
  }
  changed.notify_all();
  if (ending.joinable()) {
    ending.join();
  }
}

void HeaderDeadlines::await(const void* connection, int descriptor) {
  const std::scoped_lock guard(mutex);
  waiting[connection] = {descriptor, Clock::now() + limit};
}

void HeaderDeadlines::forget(const void* connection) {
  const std::scoped_lock guard(mutex);
  waiting.erase(connection);
}

void HeaderDeadlines::watch() {
  std::unique_lock guard(mutex);
  while (!stopping) {
    const auto now = Clock::now();
    for (auto entry = waiting.begin(); entry != waiting.end();) {
      if (entry->second.second <= now) {
        // Under the lock, so its owner cannot have closed (and reused) the descriptor yet.
        ::shutdown(entry->second.first, SHUT_RDWR);
        entry = waiting.erase(entry);
      } else {
        ++entry;
      }
    }
    changed.wait_for(guard, std::chrono::milliseconds(250));
  }
}

}  // namespace tarvel::Display
