// Events per second through UnixSocketServer: two client threads each send events with
// UnixSocketClient::send (one connection per event, as hooks do); a counting handler receives
// them. An iteration ends when the handler has seen every event of that iteration.
// Argument: connections held open and silent during the run (0 or 32 of the 64 slots).
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelCore/Sockets/UnixSocketServer.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace {

using namespace tarvel;

constexpr int clientThreads = 2;
constexpr int eventsPerIteration = 20'000;

class Counter {
 public:
  void add() {
    if (count.fetch_add(1) + 1 >= target.load()) {
      const std::scoped_lock lock(mutex);
      reached.notify_all();
    }
  }
  void reset() {
    count = 0;
    target = std::numeric_limits<long>::max();
  }
  // Waits until `expected` events arrived; false after 10 s (events were lost).
  bool waitFor(long expected) {
    std::unique_lock lock(mutex);
    target = expected;
    return reached.wait_for(lock, std::chrono::seconds(10),
                            [&] { return count.load() >= target.load(); });
  }
  long value() const { return count.load(); }

 private:
  std::atomic<long> count{0};
  std::atomic<long> target{std::numeric_limits<long>::max()};
  std::mutex mutex;
  std::condition_variable reached;
};

UniqueFd connectSilently(const std::filesystem::path& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const auto address = UnixSocketSupport::makeAddress(path.string());
  ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address),
            UnixSocketSupport::addressLength(path.string()));
  return fd;
}

void serverThroughput(benchmark::State& state) {
  std::string directory = (std::filesystem::temp_directory_path() / "tarvel-bench-XXXXXX").string();
  if (::mkdtemp(directory.data()) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::filesystem::path socketPath = std::filesystem::path(directory) / "events.sock";
  Counter counter;
  UnixSocketServer server(socketPath, 1 << 20, [&counter](const AgentEvent&) { counter.add(); });
  if (server.start()) {
    state.SkipWithError("server did not start");
    return;
  }
  std::vector<UniqueFd> idle;
  for (long index = 0; index < state.range(0); ++index) {
    idle.push_back(connectSilently(socketPath));
  }

  AgentEvent event;
  event.type = AgentEventType::toolStarted;
  event.sessionId = "codex:019af3c2-bench";
  event.provider = AgentProvider::codex;
  event.activity = "运行 make test";
  event.workingDirectory = "/home/user/project";
  event.timestamp = Dates::now();

  std::atomic<long> failures{0};
  long delivered = 0;
  for (auto _ : state) {
    counter.reset();
    const long failedBefore = failures.load();
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int thread = 0; thread < clientThreads; ++thread) {
      clients.emplace_back([&] {
        for (int index = 0; index < eventsPerIteration / clientThreads; ++index) {
          if (UnixSocketClient::send(event, socketPath)) {
            ++failures;
          }
        }
      });
    }
    for (auto& client : clients) {
      client.join();
    }
    if (!counter.waitFor(eventsPerIteration - (failures.load() - failedBefore))) {
      state.SkipWithError("events were lost");
      break;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
    state.SetIterationTime(elapsed.count());
    delivered += counter.value();
  }
  state.counters["events/s"] =
      benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
  state.counters["failedSends"] = static_cast<double>(failures.load());
  idle.clear();
  server.stop();
  std::filesystem::remove_all(directory);
}

BENCHMARK(serverThroughput)->Arg(0)->Arg(32)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
