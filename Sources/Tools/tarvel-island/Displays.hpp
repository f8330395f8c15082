#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "QuoyaCore/IslandStore.hpp"
#include "TarvelCore/Models/AgentActivityService.hpp"
#include "TarvelCore/Platform/MainQueue.hpp"
#include "TarvelCore/Protocol/UnixReplyServer.hpp"
#include "TarvelCore/Protocol/UnixSocketServer.hpp"
#include "TarvelCore/Platform/WorkQueue.hpp"
#include "Tools/tarvel-island/KeyInput.hpp"
#include "Tools/tarvel-island/PromptKeys.hpp"
#include "Tools/tarvel-island/Screen.hpp"
#include "Tools/tarvel-island/SessionPersistence.hpp"

namespace tarvel::Island {

using SteadyClock = std::chrono::steady_clock;

// What the terminal loop drives: a source of screens that receives events on server threads,
// hands them to its owning thread through a MainQueue, and reacts to keys.
// Thread: constructed, started, drained, asked and stopped on one thread (the owner); only the
// servers' threads post into its queue.
class Display {
 public:
  Display() = default;
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;
  virtual ~Display() = default;

  // Starts listening; the text to show the user when a socket cannot be served.
  [[nodiscard]] virtual std::optional<std::string> start() = 0;
  // Stops every server (removing their socket files) and finishes pending work.
  virtual void stop() = 0;

  // Readable while handed-over work waits; drain() runs it on the owner.
  int wakeDescriptor() const { return queue.wakeDescriptor(); }
  std::size_t drain() { return queue.drain(); }

  // The screen now.
  virtual DisplayModel model(Date now) = 0;
  // True once after something visible changed since the last call.
  bool takeChanged() { return std::exchange(changed, false); }
  // Runs the key; true when the display should quit.
  virtual bool handleKey(const Key& key) = 0;
  // Timed work (saving, title refresh); when it next wants to run.
  virtual void tick(SteadyClock::time_point now) = 0;
  virtual std::optional<SteadyClock::time_point> nextDeadline() const = 0;

  // Events received since start (counted on the owner).
  std::uint64_t receivedEvents() const { return received; }

 protected:
  void markChanged() { changed = true; }
  MainQueue queue;
  std::uint64_t received = 0;
  std::optional<std::string> message;

 private:
  bool changed = true;
};

// Where the activity display listens and keeps its sessions; tests use their own.
struct ActivityDisplayOptions {
  std::filesystem::path eventSocket;
  std::filesystem::path replySocket;
  std::filesystem::path sessionsFile;
  // Whether a restored session's agent process still runs.
  AgentActivityService::ProcessAlive processAlive;
  AgentActivityService::ProcessStartedAt processStartedAt;
  std::chrono::milliseconds saveInterval{1000};
  UnixReplyServer::Limits replyLimits{};
  // The defaults: ~/.tarvel/agent.sock, ~/.tarvel/reply.sock, ~/.tarvel/sessions.json and the
  // system's process checks.
  static ActivityDisplayOptions standard();
};

// The core library's road: events on the agent socket feed an AgentActivityService; prompts
// are answered over the reply socket; sessions are saved and restored.
class ActivityDisplay final : public Display {
 public:
  // Restores the saved sessions (a damaged file is set aside with a message), then marks
  // sessions whose agent may have gone as unknown or completed, and drops those finished more
  // than a day ago.
  explicit ActivityDisplay(ActivityDisplayOptions options);
  ~ActivityDisplay() override;

  std::optional<std::string> start() override;
  void stop() override;
  DisplayModel model(Date now) override;
  bool handleKey(const Key& key) override;
  void tick(SteadyClock::time_point now) override;
  std::optional<SteadyClock::time_point> nextDeadline() const override;

  const AgentActivityService& service() const { return activity; }
  // The prompt presented now, with whether a hook listens for it.
  std::optional<PromptKeys::PresentedPrompt> presentedPrompt() const;
  const std::optional<std::string>& currentMessage() const { return message; }
  // Waits until no save runs in the background.
  void waitForSaves();

  static constexpr std::chrono::hours pruneAge{24};

 private:
  void answer(const AgentReply& reply, const std::string& sessionId);
  void saveInBackground(SteadyClock::time_point now);

  ActivityDisplayOptions options;
  SessionPersistence::LoadResult restored;
  AgentActivityService activity;
  PromptKeys::PickerState picker;
  SessionPersistence::SaveSchedule saveSchedule;
  std::shared_ptr<std::atomic<bool>> saving = std::make_shared<std::atomic<bool>>(false);
  WorkQueue saver{"com.tarvel.island.persistence", 1};
  std::unique_ptr<UnixReplyServer> replyServer;
  std::unique_ptr<UnixSocketServer> eventServer;
  bool stopped = false;
};

// The island road: events on the island socket feed an IslandStore; Codex titles are read
// through the Codex program in the background when one is on PATH.
class IslandDisplay final : public Display {
 public:
  struct Options {
    std::filesystem::path socket;                    // empty: the island socket after prepare()
    std::optional<std::filesystem::path> codexExecutable;  // absent: none is used
    std::chrono::milliseconds titleInterval{15000};
  };
  explicit IslandDisplay(Options options);
  ~IslandDisplay() override;

  std::optional<std::string> start() override;
  void stop() override;
  DisplayModel model(Date now) override;
  bool handleKey(const Key& key) override;
  void tick(SteadyClock::time_point now) override;
  std::optional<SteadyClock::time_point> nextDeadline() const override;

  const quoya::IslandStore& store() const { return islandStore; }
  void waitForTitles() { titleReader.waitUntilIdle(); }

  // The first executable "codex" on PATH.
  static std::optional<std::filesystem::path> codexOnPath();

 private:
  Options options;
  quoya::IslandStore islandStore;
  std::optional<SteadyClock::time_point> lastTitleRead;
  std::shared_ptr<std::atomic<bool>> readingTitles = std::make_shared<std::atomic<bool>>(false);
  WorkQueue titleReader{"com.tarvel.island.titles", 1};
  std::unique_ptr<UnixSocketServer> eventServer;
  bool stopped = false;
};

}  // namespace tarvel::Island
