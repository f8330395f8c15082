#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "QuoyaCore/IslandStore.hpp"
#include "TarvelCore/Platform/MainQueue.hpp"
#include "TarvelCore/Platform/WorkQueue.hpp"
#include "TarvelCore/Sockets/UnixSocketServer.hpp"
#include "TarvelDisplay/Client/RemoteState.hpp"
#include "Tools/tarvel-island/KeyInput.hpp"
#include "Tools/tarvel-island/PromptKeys.hpp"
#include "Tools/tarvel-island/Screen.hpp"

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

  // Bytes for the terminal beside the frame (the bell, the window title), taken once.
  virtual std::string takeTerminalControls() { return {}; }
  // The terminal's size in cells, told by the loop before each model and key.
  void setTerminalSize(std::size_t columns, std::size_t rows) {
    terminalColumns = columns;
    terminalRows = rows;
  }

 protected:
  void markChanged() { changed = true; }
  MainQueue queue;
  std::uint64_t received = 0;
  std::optional<std::string> message;
  std::size_t terminalColumns = 80;
  std::size_t terminalRows = 24;

 private:
  bool changed = true;
};

// Where the service display finds the service, and how it starts one when none runs.
struct ServiceDisplayOptions {
  std::filesystem::path apiSocket;
  // The `tarvel` program that starts a service (`tarvel serve`, detached) when none answers on
  // `apiSocket`; absent: none is started.
  std::optional<std::filesystem::path> serveProgram;
  // Where a service started here writes its log.
  std::filesystem::path serviceLog;
  std::chrono::milliseconds startTimeout{5000};
  // Rings the terminal bell when a new prompt waits.
  bool bell = true;
  // How long answer keys are held after the prompt in view changed.
  std::chrono::milliseconds hold{1000};
  // The tmux server this display runs in ("TMUX"); absent outside tmux.
  std::optional<std::string> tmux;
  // ~/.tarvel/api.sock, the `tarvel` beside this program (else on PATH), ~/.tarvel/serve.log.
  static ServiceDisplayOptions standard();
};

// The core road, as a client of the display service: its state and changes arrive over the
// event stream of the local API; answers are sent by replyId and cleared sessions by request.
// The prompt in view stays until it is answered, goes away or the user moves to another: a
// prompt that arrives meanwhile waits in the list of live prompts. After the prompt in view
// changed, answer keys are held for `hold`. Quitting leaves the service and every waiting
// prompt alone.
class ServiceDisplay final : public Display {
 public:
  explicit ServiceDisplay(ServiceDisplayOptions options);
  ~ServiceDisplay() override;

  // Attaches to the service, starting one when none runs; the text for the user when none can
  // be reached.
  std::optional<std::string> start() override;
  void stop() override;
  DisplayModel model(Date now) override;
  bool handleKey(const Key& key) override;
  void tick(SteadyClock::time_point now) override;
  std::optional<SteadyClock::time_point> nextDeadline() const override;
  std::string takeTerminalControls() override;

  const tarvel::Display::RemoteState& state() const { return remote; }
  // The prompt presented now, with whether a hook listens for it.
  std::optional<PromptKeys::PresentedPrompt> presentedPrompt() const;
  const std::optional<std::string>& currentMessage() const { return message; }
  // Waits until no request runs in the background.
  void waitForRequests() { requests.waitUntilIdle(); }

  // Starts `program serve` detached from this process (its own session, no terminal), writing
  // its log to `log`. Its process id, or -1 when it could not be started.
  static pid_t startService(const std::filesystem::path& program, const std::filesystem::path& log);

 private:
  void streamLoop();
  void answer(const AgentReply& reply, const std::string& sessionId);
  // Keeps the prompt in view while it lives; else takes the live prompt at its place in the
  // list. Starts the hold when the prompt in view changes.
  void choosePrompt(SteadyClock::time_point now);
  void showPrompt(std::size_t index, SteadyClock::time_point now);
  bool holding(SteadyClock::time_point now) const;
  // Rings for prompts not seen before and updates the title's count.
  void noticePrompts();
  void jumpToAgent();

  ServiceDisplayOptions options;
  tarvel::Display::RemoteState remote;
  bool connected = false;
  PromptKeys::PickerState picker;
  std::optional<UUID> shownReplyId;
  std::size_t shownIndex = 0;
  SteadyClock::time_point shownSince{};
  bool holdShown = false;  // the frame drawn last showed the hold
  // A message that answers a key stays this long even as the state changes under it.
  SteadyClock::time_point messageKeptUntil{};
  std::size_t promptScroll = 0;
  std::size_t sessionScroll = 0;
  struct Confirmation {
    std::string text;
    SteadyClock::time_point until;
    // Shown once the state no longer lists this prompt: never beside it still waiting.
    std::optional<UUID> answered;
  };
  std::optional<Confirmation> confirmation;
  std::set<UUID> announced;  // live prompts already rung for
  std::size_t bells = 0;
  std::string title;
  std::string writtenTitle;
  WorkQueue requests{"com.tarvel.island.requests", 1};
  std::atomic<bool> stopping{false};
  std::atomic<bool> abortStream{false};  // ends the current stream (stop or resynchronise)
  std::atomic<std::uint64_t> streamGeneration{0};
  std::thread stream;
  bool stopped = false;
};

// The island road: events on the island socket feed an IslandStore; Codex titles are read
// through the Codex program in the background when one is on PATH.
class IslandDisplay final : public Display {
 public:
  struct Options {
    std::filesystem::path socket;  // empty: the island socket after prepare()
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
  // The first executable `name` on PATH.
  static std::optional<std::filesystem::path> programOnPath(std::string_view name);

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
