#include "TarvelDisplay/DisplayService.hpp"

#include <poll.h>

#include <algorithm>
#include <future>

#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Version.hpp"
#include "TarvelDisplay/ApiServer.hpp"
#include "TarvelDisplay/EventHost.hpp"

namespace tarvel::Display {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::int64_t maximumPayloadBytes = 1 << 20;
// Events folded in one pass before the service publishes and looks at other work again.
constexpr std::size_t eventsPerPass = 2048;

const Log::Logger& serviceLog() {
  static const Log::Logger logger("service");
  return logger;
}

std::string serverError(const std::filesystem::path& path, const AgentSocketError& error) {
  return error.kind == AgentSocketError::Kind::alreadyInUse
             ? error.description() + " (" + path.string() + ")"
             : "Cannot listen at " + path.string() + ": " + error.description();
}

AgentActivityService restoredService(const DisplayServiceOptions& options,
                                     SessionStore::LoadResult& restored,
                                     std::vector<std::string>& messages) {
  if (const std::size_t removed =
          SessionStore::removeStaleTemporaries(options.paths.sessionsFile)) {
    messages.push_back("Removed " + std::to_string(removed) +
                       " temporary file(s) left by an interrupted save.");
  }
  restored = SessionStore::load(options.paths.sessionsFile);
  if (restored.message) {
    messages.push_back(*restored.message);
  }
  return AgentActivityService(std::move(restored.sessions));
}

}  // namespace

DisplayService::DisplayService(DisplayServiceOptions givenOptions)
    : options(std::move(givenOptions)),
      activityService(restoredService(options, restored, messages)),
      startedAt(Dates::now()),
      localHost(EventHost::localName()),
      saveSchedule(options.saveInterval) {
  // The agents behind restored sessions may have ended while nobody listened.
  activityService.reconcileUnverifiedActiveSessions(
      options.processAlive ? options.processAlive : AgentProcessIdentity::isRunning,
      options.processStartedAt);
  activityService.pruneCompleted(pruneAge, Dates::now());
  // An observer rather than the sessions callback: the list is then never laid out per event.
  activityService.addObserver([this](AgentActivityService::Property property) {
    dirty = true;
    if (property == AgentActivityService::Property::sessions) {
      saveSchedule.markChanged();
    }
  });
  if (restored.savingAllowed) {
    saveSchedule.markChanged();  // the reconciled and pruned list replaces the old file
  }
  publishIfDue(true);
}

DisplayService::~DisplayService() { stop(); }

std::optional<std::string> DisplayService::start() {
  replyServer = std::make_unique<UnixReplyServer>(
      options.paths.replySocket, [this](const std::set<UUID>&) { registrationsChanged(); },
      options.replyLimits);
  eventServer = std::make_unique<UnixSocketServer>(options.paths.eventSocket, maximumPayloadBytes,
                                                   [this](const AgentEvent& event) {
                                                     bool post = false;
                                                     {
                                                       const std::scoped_lock guard(inboxMutex);
                                                       inbox.push_back(event);
                                                       post = !std::exchange(inboxPosted, true);
                                                     }
                                                     if (post) {
                                                       queue.post([this] { takeEvents(); });
                                                     }
                                                   });
  apiServer = std::make_unique<ApiServer>(
      options.paths.apiSocket,
      ApiServer::Handlers{
          .answer = [this](const UUID& id, const AgentReply& reply) { return answer(id, reply); },
          .clearFinished = [this] { return clearFinished(); }},
      stateHub, options.http);
  const auto fail = [this](std::string text) {
    if (apiServer) {
      apiServer->stop();
    }
    if (eventServer) {
      eventServer->stop();
    }
    if (replyServer) {
      replyServer->stop();
    }
    apiServer.reset();
    eventServer.reset();
    replyServer.reset();
    return text;
  };
  if (auto error = eventServer->start()) {
    return fail(serverError(options.paths.eventSocket, *error));
  }
  if (auto error = replyServer->start()) {
    return fail(serverError(options.paths.replySocket, *error));
  }
  if (auto error = apiServer->start()) {
    return fail(*error);
  }
  if (options.notifications) {
    notifier = std::make_unique<Notifier>(
        stateHub,
        [this](const UUID& id, const AgentReply& reply) { return answer(id, reply).status; },
        *options.notifications);
    notifier->start();
  }
  if (!options.remotes.empty()) {
    remoteLinks = std::make_unique<RemoteLinks>(
        options.remotes, options.paths.eventSocket.string(), options.paths.replySocket.string(),
        [this] { queue.post([this] { dirty = true; }); });
    remoteLinks->start();
    dirty = true;  // the next revision lists the hosts
  }
  serviceLog().info("Serving %s with %ld restored sessions",
                    {Log::value(options.paths.directory.string()),
                     Log::value(static_cast<long>(activityService.sessions().size()))});
  return std::nullopt;
}

std::optional<WebAccess::Served> DisplayService::webAddress() const {
  return apiServer ? apiServer->served() : std::nullopt;
}

void DisplayService::registrationsChanged() {
  {
    // Whoever reads later publishes later, so the newest registrations always win.
    const std::scoped_lock guard(registrationMutex);
    if (replyServer) {
      prompts.setRegistrations(replyServer->registrations());
    }
  }
  queue.post([this] {
    if (replyServer) {
      activityService.reconcilePendingReplies(
          [this](const UUID& id) { return replyServer->isPending(id); });
    }
    dirty = true;
  });
}

void DisplayService::takeEvents() {
  std::vector<AgentEvent> batch;
  {
    const std::scoped_lock guard(inboxMutex);
    if (inbox.size() <= eventsPerPass) {
      batch.swap(inbox);
      inboxPosted = false;
    } else {
      batch.assign(std::make_move_iterator(inbox.begin()),
                   std::make_move_iterator(inbox.begin() + eventsPerPass));
      inbox.erase(inbox.begin(), inbox.begin() + eventsPerPass);
      queue.post([this] { takeEvents(); });  // the rest after this pass is published
    }
  }
  for (AgentEvent& event : batch) {
    ++received;
    EventHost::localize(event, localHost);
    if (!event.pendingReply) {
      activityService.ingest(std::move(event));
      continue;
    }
    const Date arrived = Dates::now();
    const AgentEvent waiting = event;
    activityService.ingest(std::move(event));
    const auto session =
        activityService.session(waiting.provider.namespacedSessionID(waiting.sessionId));
    prompts.record(waiting, session ? (*session)->projectName : std::nullopt, arrived);
  }
  dirty = true;
}

void DisplayService::publishIfDue(bool force) {
  const auto now = SteadyClock::now();
  const std::uint64_t generation = prompts.generation();
  if (!force && !dirty && generation == publishedPromptGeneration) {
    return;
  }
  if (!force && now < lastPublish + options.publishInterval) {
    return;
  }
  dirty = false;
  publishedPromptGeneration = generation;
  lastPublish = now;
  stateHub.publish(publisher.publish(
      activityService, prompts.live(),
      ServiceInfo{
          .version = std::string(version),
          .startedAt = startedAt,
          .eventsReceived = received,
          .remotes = remoteLinks ? Coding::encode(RemoteLinks::encode(remoteLinks->statuses()))
                                 : std::string("[]")}));
}

std::optional<SteadyClock::time_point> DisplayService::nextDeadline() const {
  std::optional<SteadyClock::time_point> deadline;
  if (dirty || prompts.generation() != publishedPromptGeneration) {
    deadline = lastPublish + options.publishInterval;
  }
  if (restored.savingAllowed) {
    if (const auto due = saveSchedule.dueAt()) {
      deadline = deadline ? std::min(*deadline, *due) : *due;
    }
  }
  return deadline;
}

void DisplayService::run(int stopDescriptor) {
  running = true;
  while (true) {
    int timeout = 1000;
    if (const auto deadline = nextDeadline()) {
      const auto wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - SteadyClock::now());
      timeout = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 1000));
    }
    pollfd descriptors[2] = {{.fd = queue.wakeDescriptor(), .events = POLLIN},
                             {.fd = stopDescriptor, .events = POLLIN}};
    const int ready = ::poll(descriptors, 2, timeout);
    if (ready > 0 && (descriptors[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      break;
    }
    queue.drain();
    publishIfDue(false);
    const auto now = SteadyClock::now();
    if (restored.savingAllowed && saveSchedule.isDue(now) && !saving->load()) {
      saveInBackground(now);
    }
  }
  running = false;
}

void DisplayService::stop() {
  if (stopped) {
    return;
  }
  stopped = true;
  stateHub.close();
  if (notifier) {
    notifier->stop();  // withdraws its notifications before the hooks are released
  }
  if (apiServer) {
    apiServer->stop();
  }
  if (eventServer) {
    eventServer->stop();
  }
  if (replyServer) {
    replyServer->stop();  // every waiting hook is released now
  }
  if (remoteLinks) {
    remoteLinks->stop();
  }
  // Events that arrived before the stop still count.
  queue.drain();
  takeEvents();
  saver.waitUntilIdle();
  if (saveSchedule.hasChanges() && restored.savingAllowed) {
    if (auto error = SessionStore::save(options.paths.sessionsFile, activityService.sessions())) {
      serviceLog().error("Sessions could not be saved: %s", {Log::value(*error)});
    }
    saveSchedule.didSave(SteadyClock::now());
  }
  apiServer.reset();
  eventServer.reset();
  replyServer.reset();
}

AnswerOutcome DisplayService::answer(const UUID& replyId, const AgentReply& given) {
  const auto error = [](int status, std::string_view text) {
    return AnswerOutcome{.status = status, .body = Coding::encode(Json{{"error", text}})};
  };
  AgentReply reply = given;
  reply.replyId = replyId;
  const PromptBook::Lookup found = prompts.lookup(replyId);
  switch (found.kind) {
    case PromptBook::Lookup::Kind::unknown:
      return error(404, "no prompt with this replyId");
    case PromptBook::Lookup::Kind::over:
      return error(409,
                   "this prompt is no longer waiting (answered elsewhere, or its hook is gone)");
    case PromptBook::Lookup::Kind::live:
      break;
  }
  if (const auto problem = mismatch(reply, found.prompt->pendingReply)) {
    return error(400, *problem);
  }
  if (!replyServer || !replyServer->submit(reply)) {
    prompts.finish(replyId);
    queue.post([] {});  // wakes the service to publish
    return error(409, "this prompt is no longer waiting (answered elsewhere, or its hook is gone)");
  }
  prompts.finish(replyId);
  queue.post([this, replyId, sessionId = found.prompt->sessionId] {
    activityService.resolvePendingReply(replyId, sessionId);
    dirty = true;
  });
  serviceLog().info("Delivered an answer for a prompt of %{private}s",
                    {Log::privateValue(found.prompt->sessionId)});
  return {.status = 200, .body = "{\"delivered\":true}"};
}

bool DisplayService::clearFinished() {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  queue.post([this, done] {
    activityService.clearRecent();
    dirty = true;
    done->set_value();
  });
  return future.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

void DisplayService::saveInBackground(SteadyClock::time_point now) {
  saveSchedule.didSave(now);
  saving->store(true);
  // The shared records are immutable, so the worker may read this copy of the list.
  saver.async(
      [path = options.paths.sessionsFile, list = activityService.sessions(), flag = saving] {
        if (auto error = SessionStore::save(path, list)) {
          serviceLog().error("Sessions could not be saved: %s", {Log::value(*error)});
        }
        flag->store(false);
      });
}

}  // namespace tarvel::Display
