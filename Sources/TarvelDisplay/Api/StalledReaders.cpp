#include "TarvelDisplay/Api/StalledReaders.hpp"

#include <linux/sockios.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <system_error>

#include "TarvelCore/Platform/Log.hpp"

namespace tarvel::Display {

namespace {

const Log::Logger& stallLog() {
  static const Log::Logger logger("api");
  return logger;
}

}  // namespace

bool StalledReaders::start() {
  const std::scoped_lock guard(mutex);
  if (watcher.joinable()) {
    return true;
  }
  stopping = false;
  try {
    watcher = std::thread([this] {
      ::pthread_setname_np(::pthread_self(), "tarvel.api.st");
      run();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void StalledReaders::stop() {
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

void StalledReaders::watch(const void* connection, int descriptor) {
  const std::scoped_lock guard(mutex);
  readers[connection] = Reader{.descriptor = descriptor, .queued = 0, .lastTaken = Clock::now()};
}

void StalledReaders::forget(const void* connection) {
  const std::scoped_lock guard(mutex);
  readers.erase(connection);
}

void StalledReaders::run() {
  std::unique_lock guard(mutex);
  while (!stopping) {
    const auto now = Clock::now();
    for (auto entry = readers.begin(); entry != readers.end();) {
      Reader& reader = entry->second;
      int queued = 0;
      if (::ioctl(reader.descriptor, SIOCOUTQ, &queued) != 0 || queued < reader.queued ||
          queued == 0) {
        reader.lastTaken = now;
      }
      reader.queued = queued;
      if (now - reader.lastTaken >= limit) {
        stallLog().info("Ended an event stream whose reader took nothing for %ld ms",
                        {Log::value(static_cast<long>(limit.count()))});
        // Under the lock, so its owner cannot have closed (and reused) the descriptor yet.
        ::shutdown(reader.descriptor, SHUT_RDWR);
        entry = readers.erase(entry);
      } else {
        ++entry;
      }
    }
    changed.wait_for(guard, std::chrono::milliseconds(250));
  }
}

}  // namespace tarvel::Display
