#include "Tools/tarvel-island/Displays.hpp"

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "QuoyaCore/CodexMetadataReader.hpp"
#include "QuoyaCore/IslandPaths.hpp"
#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Models/StringHelpers.hpp"
#include "TarvelCore/Protocol/AgentReplySocketLocation.hpp"
#include "TarvelCore/Protocol/AgentSocketLocation.hpp"

namespace tarvel::Island {
namespace {

constexpr std::int64_t maximumPayloadBytes = 1 << 20;

std::string serverError(const std::filesystem::path& path, const AgentSocketError& error) {
  return error.kind == AgentSocketError::Kind::alreadyInUse
             ? error.description()
             : "Cannot listen at " + path.string() + ": " + error.description();
}

AgentActivityService restoredService(ActivityDisplayOptions& options,
                                     SessionPersistence::LoadResult& restored) {
  restored = SessionPersistence::load(options.sessionsFile);
  return AgentActivityService(std::move(restored.sessions));
}

}  // namespace

ActivityDisplayOptions ActivityDisplayOptions::standard() {
  return {.eventSocket = AgentSocketLocation::defaultURL(),
          .replySocket = AgentReplySocketLocation::defaultURL(),
          .sessionsFile = SessionPersistence::defaultURL(),
          .processAlive = AgentProcessIdentity::isRunning,
          .processStartedAt = AgentProcessIdentity::startedAt};
}

ActivityDisplay::ActivityDisplay(ActivityDisplayOptions givenOptions)
    : options(std::move(givenOptions)),
      activity(restoredService(options, restored)),
      saveSchedule(options.saveInterval) {
  message = restored.message;
  // The agents behind restored sessions may have ended while nobody listened.
  activity.reconcileUnverifiedActiveSessions(
      options.processAlive ? options.processAlive : AgentProcessIdentity::isRunning,
      options.processStartedAt);
  activity.pruneCompleted(pruneAge, Dates::now());
  activity.addObserver([this](AgentActivityService::Property property) {
    if (property == AgentActivityService::Property::notchSnapshot) {
      markChanged();
    }
  });
  activity.setOnSessionsChanged([this](const SessionList&) { saveSchedule.markChanged(); });
  if (restored.savingAllowed) {
    saveSchedule.markChanged();  // the reconciled and pruned list replaces the old file
  }
}

ActivityDisplay::~ActivityDisplay() { stop(); }

std::optional<std::string> ActivityDisplay::start() {
  // The reply server reports live prompts from its own threads; the owner reconciles, asking
  // the server itself so that out-of-order reports cannot bring back a prompt that is gone.
  replyServer = std::make_unique<UnixReplyServer>(
      options.replySocket,
      [this](const std::set<UUID>&) {
        queue.post([this] {
          if (replyServer) {
            activity.reconcilePendingReplies(
                [this](const UUID& id) { return replyServer->isPending(id); });
          }
          markChanged();
        });
      },
      options.replyLimits);
  eventServer = std::make_unique<UnixSocketServer>(
      options.eventSocket, maximumPayloadBytes, [this](const AgentEvent& event) {
        queue.post([this, event] {
          ++received;
          activity.ingest(event);
        });
      });
  if (auto error = eventServer->start()) {
    eventServer.reset();
    replyServer.reset();
    return serverError(options.eventSocket, *error);
  }
  if (auto error = replyServer->start()) {
    eventServer->stop();
    eventServer.reset();
    replyServer.reset();
    return serverError(options.replySocket, *error);
  }
  return std::nullopt;
}

void ActivityDisplay::stop() {
  if (stopped) {
    return;
  }
  stopped = true;
  if (eventServer) {
    eventServer->stop();
  }
  if (replyServer) {
    replyServer->stop();
  }
  // Events that arrived before the stop still count.
  queue.drain();
  saver.waitUntilIdle();
  if (saveSchedule.hasChanges() && restored.savingAllowed) {
    if (auto error =
            SessionPersistence::save(options.sessionsFile, toSessions(activity.sessions()))) {
      message = "Sessions could not be saved: " + *error;
    }
    saveSchedule.didSave(SteadyClock::now());
  }
  eventServer.reset();
  replyServer.reset();
}

std::optional<PromptKeys::PresentedPrompt> ActivityDisplay::presentedPrompt() const {
  return Island::presentedPrompt(activity.notchSnapshot(), [this](const UUID& id) {
    return replyServer != nullptr && replyServer->isPending(id);
  });
}

DisplayModel ActivityDisplay::model(Date now) {
  const auto prompt = presentedPrompt();
  PromptKeys::synchronize(picker, prompt);
  DisplayModel screen =
      activityModel(activity.notchSnapshot(), activity.index(), prompt, picker, now);
  if (activity.protocolMismatchDetected() && !message) {
    screen.message =
        "An agent integration speaks an unsupported protocol: reinstall it or update Tarvel.";
  }
  if (message) {
    screen.message = message;
  }
  return screen;
}

bool ActivityDisplay::handleKey(const Key& key) {
  const auto prompt = presentedPrompt();
  PromptKeys::synchronize(picker, prompt);
  const PromptKeys::KeyAction action = PromptKeys::handle(key, prompt, picker, true);
  switch (action.kind) {
    case PromptKeys::KeyAction::Kind::quit:
      return true;
    case PromptKeys::KeyAction::Kind::clearFinished:
      activity.clearRecent();
      message.reset();
      markChanged();
      return false;
    case PromptKeys::KeyAction::Kind::submit:
      answer(*action.reply, action.sessionId);
      return false;
    case PromptKeys::KeyAction::Kind::pickerMoved:
      markChanged();
      return false;
    case PromptKeys::KeyAction::Kind::none:
      return false;
  }
  return false;
}

void ActivityDisplay::answer(const AgentReply& reply, const std::string& sessionId) {
  const bool delivered = replyServer != nullptr && replyServer->submit(reply);
  // Answered or abandoned, the prompt is over either way.
  activity.resolvePendingReply(reply.replyId, sessionId);
  if (delivered) {
    message.reset();
  } else {
    message = "The agent stopped waiting before the answer arrived; answer it in the agent.";
  }
  markChanged();
}

void ActivityDisplay::tick(SteadyClock::time_point now) {
  if (restored.savingAllowed && saveSchedule.isDue(now) && !saving->load()) {
    saveInBackground(now);
  }
}

std::optional<SteadyClock::time_point> ActivityDisplay::nextDeadline() const {
  if (!restored.savingAllowed) {
    return std::nullopt;
  }
  return saveSchedule.dueAt();
}

void ActivityDisplay::saveInBackground(SteadyClock::time_point now) {
  saveSchedule.didSave(now);
  saving->store(true);
  // The shared records are immutable, so the worker may read this copy of the list.
  saver.async([this, list = activity.sessions(), flag = saving] {
    auto error = SessionPersistence::save(options.sessionsFile, toSessions(list));
    flag->store(false);
    if (error) {
      queue.post([this, text = *error] {
        message = "Sessions could not be saved: " + text;
        markChanged();
      });
    }
  });
}

void ActivityDisplay::waitForSaves() { saver.waitUntilIdle(); }

// ---------------------------------------------------------------------------------------------

IslandDisplay::IslandDisplay(Options givenOptions) : options(std::move(givenOptions)) {}

IslandDisplay::~IslandDisplay() { stop(); }

std::optional<std::filesystem::path> IslandDisplay::codexOnPath() {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): read before threads
  if (path == nullptr) {
    return std::nullopt;
  }
  for (const std::string& directory : Text::split(path, ":")) {
    if (directory.empty()) {
      continue;
    }
    const std::filesystem::path candidate = std::filesystem::path(directory) / "codex";
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

std::optional<std::string> IslandDisplay::start() {
  std::filesystem::path socket = options.socket;
  if (socket.empty()) {
    if (auto error = quoya::IslandPaths::prepare()) {
      return "Cannot prepare " + quoya::IslandPaths::directory().string() + ": " +
             error->description();
    }
    socket = quoya::IslandPaths::socket();
  }
  eventServer = std::make_unique<UnixSocketServer>(
      socket, maximumPayloadBytes, [this](const AgentEvent& event) {
        queue.post([this, event] {
          ++received;
          if (islandStore.receive(event, Dates::now())) {
            markChanged();
          }
        });
      });
  if (auto error = eventServer->start()) {
    eventServer.reset();
    return serverError(socket, *error);
  }
  return std::nullopt;
}

void IslandDisplay::stop() {
  if (stopped) {
    return;
  }
  stopped = true;
  if (eventServer) {
    eventServer->stop();
  }
  titleReader.waitUntilIdle();
  queue.drain();
  eventServer.reset();
}

DisplayModel IslandDisplay::model(Date now) {
  DisplayModel screen = islandModel(islandStore, now);
  screen.message = message;
  return screen;
}

bool IslandDisplay::handleKey(const Key& key) {
  PromptKeys::PickerState none;
  const PromptKeys::KeyAction action = PromptKeys::handle(key, std::nullopt, none, true);
  if (action.kind == PromptKeys::KeyAction::Kind::quit) {
    return true;
  }
  if (action.kind == PromptKeys::KeyAction::Kind::clearFinished) {
    islandStore.clearFinished();
    markChanged();
  }
  return false;
}

void IslandDisplay::tick(SteadyClock::time_point now) {
  if (!options.codexExecutable || readingTitles->load()) {
    return;
  }
  if (lastTitleRead && now < *lastTitleRead + options.titleInterval) {
    return;
  }
  const std::string prefix = AgentProvider::codex.rawValue + ":";
  std::vector<std::string> threads;
  for (const AgentSession& session : islandStore.sessions()) {
    if (session.provider == AgentProvider::codex && Text::startsWith(session.id, prefix)) {
      threads.push_back(session.id.substr(prefix.size()));
    }
  }
  if (threads.empty()) {
    return;
  }
  lastTitleRead = now;
  readingTitles->store(true);
  // The Codex program may take seconds to answer: never on the drawing thread.
  titleReader.async([this, threads = std::move(threads), executable = *options.codexExecutable,
                     flag = readingTitles] {
    std::map<std::string, std::string> titles =
        quoya::CodexMetadataReader::readTitles(threads, executable);
    flag->store(false);
    queue.post([this, titles = std::move(titles)] {
      islandStore.synchronizeCodexTitles(titles);
      markChanged();
    });
  });
}

std::optional<SteadyClock::time_point> IslandDisplay::nextDeadline() const {
  return std::nullopt;  // titles are checked on the loop's once-a-second pass
}

}  // namespace tarvel::Island
