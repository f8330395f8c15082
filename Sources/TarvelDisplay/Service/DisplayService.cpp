#include "TarvelDisplay/Service/DisplayService.hpp"

#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "TarvelCore/Platform/Version.hpp"
#include "TarvelDisplay/Api/ApiServer.hpp"
#include "TarvelDisplay/Service/EventHost.hpp"
#include "TarvelDisplay/Shared/VisibleText.hpp"

namespace tarvel::Display {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::int64_t maximumPayloadBytes = 1 << 20;
// Events folded in one pass before the service publishes and looks at other work again.
constexpr std::size_t eventsPerPass = 2048;
// Slots the inbox keeps between batches (a batch is usually a few dozen events).
constexpr std::size_t keptInboxRoom = 256;
static_assert(std::is_nothrow_move_constructible_v<AgentEvent>,
              "a growing inbox moves its events rather than copying them");

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

// What tells one version of the hosts file from another: `tarvel remote` replaces it by a rename
// (a new inode), an editor may rewrite it in place (a new size or modification time). Empty when
// there is no file.
std::string remotesFileVersion(const std::filesystem::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) {
    return {};
  }
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
         std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
         std::to_string(status.st_mtim.tv_nsec) + ":" + std::to_string(status.st_ctim.tv_sec) +
         "." + std::to_string(status.st_ctim.tv_nsec);
}

// A look at the hosts file costs one stat; once a second keeps a change's delay short.
constexpr auto remotesFileInterval = std::chrono::seconds(1);
// A look at the agents costs a read of /proc/<pid>/stat per agent process of an active session.
constexpr auto agentLookInterval = std::chrono::seconds(1);

}  // namespace

DisplayService::DisplayService(DisplayServiceOptions givenOptions)
    : options(std::move(givenOptions)),
      activityService(restoredService(options, restored, messages)),
      startedAt(Dates::now()),
      localHost(EventHost::localName()),
      history(std::make_unique<AnswerHistory>(
          AnswerHistory::Options{.file = options.paths.historyFile,
                                 .maximumRows = options.historyRows},
          [this] { queue.post([this] { dirty = true; }); })),
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
  answererList.onChange([this](std::size_t count) { answerersChanged(count); });
  publishIfDue(true);
}

DisplayService::~DisplayService() { stop(); }

// Each waiting hook holds a connection (and each display, notification and link a few more): the
// soft limit on open descriptors, often 1024, is raised to the hard one, so that thousands of
// waiting hooks are each taken in.
void DisplayService::raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) {
    return;
  }
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    serviceLog().error("Cannot raise the limit of open files from %ld",
                       {Log::value(static_cast<long>(before))});
    return;
  }
  serviceLog().info("Raised the limit of open files from %ld to %ld",
                    {Log::value(static_cast<long>(before)),
                     Log::value(static_cast<long>(limit.rlim_cur))});
}

std::optional<std::string> DisplayService::start() {
  raiseDescriptorLimit();
  // The links exist before the event server starts, which asks them who forwarded an event.
  if (options.remotesFile) {
    // Seen before it is read: a change made while it is read is then read again.
    remotesFileSeen = remotesFileVersion(*options.remotesFile);
    nextRemotesLook = SteadyClock::now() + remotesFileInterval;
    if (auto hosts = options.readRemotes(*options.remotesFile)) {
      options.remotes = std::move(*hosts);
    } else {
      serviceLog().error("%s; no remote host is connected", {Log::value(hosts.error())});
    }
  }
  if (!options.remotes.empty() || options.remotesFile) {
    remoteLinks = std::make_unique<RemoteLinks>(
        options.remotes, options.paths.eventSocket.string(), options.paths.replySocket.string(),
        [this] { queue.post([this] { dirty = true; }); });
  }
  replyServer = std::make_unique<UnixReplyServer>(
      options.paths.replySocket, [this](const std::set<UUID>&) { registrationsChanged(); },
      options.replyLimits);
  // A hook forwarded by a host's link is that host's: each host has its share of the slots.
  replyServer->setHostOf([this](pid_t process) -> std::optional<std::string> {
    return remoteLinks ? remoteLinks->hostBehind(process) : std::nullopt;
  });
  eventServer = std::make_unique<UnixSocketServer>(options.paths.eventSocket, maximumPayloadBytes,
                                                   [this](AgentEvent event, std::string_view,
                                                          pid_t peer) {
                                                     stampLinkHost(event, peer);
                                                     bool post = false;
                                                     {
                                                       std::unique_lock guard(inboxMutex);
                                                       inboxRoom.wait(guard, [this] {
                                                         return inboxUnbounded ||
                                                                inbox.size() < maximumInbox;
                                                       });
                                                       inbox.push_back(std::move(event));
                                                       post = !std::exchange(inboxPosted, true);
                                                     }
                                                     if (post) {
                                                       queue.post([this] { takeEvents(); });
                                                     }
                                                   });
  apiServer = std::make_unique<ApiServer>(
      options.paths.apiSocket,
      ApiServer::Handlers{
          .answer = [this](const UUID& id, const AgentReply& reply,
                           std::string_view from) { return answer(id, reply, from); },
          .clearFinished = [this] { return clearFinished(); },
          .answerers = &answererList,
          .capabilities = &answerCapabilities},
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
    NotifierOptions notifierOptions = *options.notifications;
    notifierOptions.opener = promptOpener();
    notifier = std::make_unique<Notifier>(
        stateHub,
        [this](const UUID& id, const AgentReply& reply) {
          return answer(id, reply, "notification").status;
        },
        std::move(notifierOptions), &answererList);
    notifier->start();
  }
  if (options.ntfy) {
    ntfyChannel =
        std::make_unique<NtfyChannel>(stateHub, *options.ntfy, answererList, answerCapabilities);
    ntfyChannel->start();
  }
  if (options.notifyCommand) {
    notifyCommand = std::make_unique<NotifyCommand>(stateHub, *options.notifyCommand);
    notifyCommand->start();
  }
  if (remoteLinks) {
    remoteLinks->start();
    dirty = true;  // the next revision lists the hosts
  }
  serviceLog().info("Serving %s with %ld restored sessions",
                    {Log::value(options.paths.directory.string()),
                     Log::value(static_cast<long>(activityService.sessions().size()))});
  return std::nullopt;
}

std::optional<PromptOpener> DisplayService::promptOpener() const {
  std::optional<std::string> page;
  if (const auto served = webAddress(); served && options.http) {
    page = served->origin() + "/#token=" + options.http->token.text;
  }
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): nothing sets it
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return PromptOpener::find(std::move(page), options.paths.directory,
                            path != nullptr ? path : "/usr/bin:/bin",
                            error ? std::filesystem::path() : self.parent_path() / "tarvel-island");
}

std::optional<WebAccess::Served> DisplayService::webAddress() const {
  return apiServer ? apiServer->served() : std::nullopt;
}

void DisplayService::registrationsChanged() {
  std::vector<UnixReplyServer::Registration> registrations;
  {
    // Whoever reads later publishes later, so the newest registrations always win.
    const std::scoped_lock guard(registrationMutex);
    if (replyServer) {
      registrations = replyServer->registrations();
      hooksGone(prompts.setRegistrations(registrations));
    }
  }
  if (!options.holdWithoutAnswerers && !registrations.empty() && answererList.count() == 0) {
    // Nobody could answer: the agent asks in its own terminal, as when no service runs.
    for (const auto& registration : registrations) {
      release(registration.replyId, {}, "released", "noAnswerer");
    }
  }
  queue.post([this] {
    if (replyServer) {
      // A prompt being answered keeps its place until its answer's own change.
      activityService.reconcilePendingReplies([this](const UUID& id) {
        return replyServer->isPending(id) || prompts.isClaimed(id);
      });
    }
    dirty = true;
  });
}

void DisplayService::answerersChanged(std::size_t count) {
  if (count == 0 && !options.holdWithoutAnswerers) {
    std::vector<UnixReplyServer::Registration> registrations;
    {
      const std::scoped_lock guard(registrationMutex);
      if (replyServer) {
        registrations = replyServer->registrations();
      }
    }
    if (!registrations.empty()) {
      serviceLog().info("Nobody can answer now: released %ld waiting prompt(s)",
                        {Log::value(static_cast<long>(registrations.size()))});
    }
    for (const auto& registration : registrations) {
      release(registration.replyId, {}, "released", "noAnswerer");
    }
  }
  queue.post([this] { dirty = true; });
}

void DisplayService::endPhoneHolds() {
  if (!options.ntfy || !prompts.mayHaveLive()) {
    return;
  }
  const std::size_t attached = answererList.count();
  if (attached == 0 || answererList.count(Answerers::Kind::phone) != attached) {
    return;
  }
  const Date now = Dates::now();
  for (const LivePrompt& prompt : prompts.live()) {
    if (!AgentCatalogue::showsDialogWhileHookWaits(prompt.provider) &&
        now >= prompt.receivedAt + options.ntfy->phoneHold) {
      // Its agent asks in its own terminal now, as its message said it would.
      release(prompt.replyId, {}, "released", "phoneHold");
    }
  }
}

void DisplayService::hooksGone(const std::vector<LivePrompt>& gone) {
  const Date now = Dates::now();
  bool agentEnded = false;
  std::vector<LivePrompt> unsettled;
  std::vector<LivePrompt> timedOut;
  for (const LivePrompt& prompt : gone) {
    // A hook whose agent exited gives up at once; one whose agent is still there was ended by
    // it, or its time ran out (at its deadline; the reply socket notices within a moment).
    if (!agentRuns(prompt)) {
      endings.ended(prompt, "agentEnded", "agent", now);
      agentEnded = true;
    } else if (now + std::chrono::seconds(2) >= prompt.expiresAt) {
      endings.ended(prompt, "released", "timeout", now);
      timedOut.push_back(prompt);
    } else {
      unsettled.push_back(prompt);
    }
  }
  queue.post([this, agentEnded, unsettled = std::move(unsettled), timedOut = std::move(timedOut)] {
    const auto now = SteadyClock::now();
    for (const LivePrompt& prompt : unsettled) {
      // The agent ended the hook without our answer: the person answered or dismissed its own
      // dialog, or interrupted it. Nobody waits for its answer any more; what the agent does
      // next tells which.
      hooksToSettle.push_back({prompt, now + agentLookGrace, now + settleWait});
      activityService.endWaiting(prompt.sessionId, AgentState::idle);
    }
    for (const LivePrompt& prompt : timedOut) {
      leftToAgent(prompt);
    }
    if (agentEnded) {
      watchAgents(true);  // its session ends now, not at the next look
    }
    dirty = true;
  });
}

void DisplayService::settleHooksGone(bool all) {
  const auto now = SteadyClock::now();
  bool agentEnded = false;
  std::erase_if(hooksToSettle, [&](HookGone& gone) {
    if (!all && now < gone.look) {
      return false;
    }
    // A hook that saw its agent exit may be a moment ahead of the process's end: its agent is
    // looked at again until the prompt is settled. When nothing followed by `due`, the dialog was
    // dismissed (its agent waits for the next prompt).
    const bool ended = !agentRuns(gone.prompt);
    if (!all && !ended && now < gone.due) {
      gone.look = now + agentLookGrace;
      return false;
    }
    agentEnded = agentEnded || ended;
    endings.ended(gone.prompt, ended ? "agentEnded" : "dismissed", "agent", Dates::now());
    if (!ended) {
      activityService.endWaiting(gone.prompt.sessionId, AgentState::idle);
      // The agent's own word for the dismissal (Codex's Interrupt, Qwen Code's idle notice) may
      // come after this on a slow machine: it then confirms the ending rather than replace it.
      std::erase_if(settledByTime,
                    [&](const auto& entry) { return entry.second + confirmationWait < now; });
      if (settledByTime.size() < PromptEndings::keptOutcomes) {
        settledByTime.insert_or_assign(gone.prompt.sessionId, now);
      }
    }
    dirty = true;
    return true;
  });
  if (agentEnded) {
    watchAgents(true);
  }
}

bool DisplayService::settleInAgent(const std::string& sessionId, const Settlement& settled) {
  // An event about one call ends the prompt about that call alone, when there is one.
  const bool named =
      std::any_of(hooksToSettle.begin(), hooksToSettle.end(), [&](const HookGone& gone) {
        return gone.prompt.sessionId == sessionId && settled.isItsCall(gone.prompt);
      });
  return std::erase_if(hooksToSettle, [&](const HookGone& gone) {
           if (gone.prompt.sessionId != sessionId ||
               (named && !settled.isItsCall(gone.prompt))) {
             return false;
           }
           endings.ended(gone.prompt, settled.outcomeFor(gone.prompt), "agent", Dates::now());
           dirty = true;
           return true;
         }) > 0;
}

void DisplayService::leftToAgent(const LivePrompt& prompt) {
  // An agent that asks in its own dialog now keeps its person waiting there; any other goes on.
  if (!AgentCatalogue::asksInOwnDialogWithoutDecision(prompt.provider)) {
    activityService.endWaiting(prompt.sessionId, AgentState::running);
  }
}

bool DisplayService::agentRuns(const LivePrompt& prompt) const {
  if (!prompt.agentProcess) {
    return true;
  }
  const AgentOrigin origin{.processIdentifier = prompt.agentProcess,
                           .processStartedAt = prompt.agentStartedAt};
  return origin.matchesRunningProcess(
      options.processAlive ? options.processAlive : AgentProcessIdentity::isRunning,
      options.processStartedAt ? options.processStartedAt : AgentProcessIdentity::startedAt);
}

void DisplayService::watchAgents(bool now) {
  const auto time = SteadyClock::now();
  if (!now && time < nextAgentLook) {
    return;
  }
  nextAgentLook = time + agentLookInterval;
  const auto ended = activityService.completeSessionsOfEndedAgents(
      [this](const AgentOrigin& origin) {
        return origin.matchesRunningProcess(
            options.processAlive ? options.processAlive : AgentProcessIdentity::isRunning,
            options.processStartedAt ? options.processStartedAt : AgentProcessIdentity::startedAt);
      },
      Dates::now());
  if (ended.empty() || !prompts.mayHaveLive()) {
    return;
  }
  // The prompts of every session that ended with them (subagents of an ended agent too).
  for (const LivePrompt& prompt : prompts.live()) {
    const auto session = activityService.session(prompt.sessionId);
    if (!session || !(*session)->isActive()) {
      serviceLog().info("The agent of %{private}s ended: its prompt is withdrawn",
                        {Log::privateValue(prompt.sessionId)});
      release(prompt.replyId, prompt.sessionId, "agentEnded", "agent");
    }
  }
}

Json DisplayService::encodedRecentAnswers(const std::vector<LivePrompt>& live) const {
  // A claimed prompt is recorded as it is claimed but stays listed until its claimer finishes
  // it; its row (one of its session's, ended after it arrived) is left out until then, so that
  // no display shows the answer beside the prompt still waiting.
  std::vector<const LivePrompt*> unfinished;
  for (const LivePrompt& prompt : live) {
    if (prompts.isClaimed(prompt.replyId)) {
      unfinished.push_back(&prompt);
    }
  }
  Json list = Json::array();
  for (const AnswerRecord& record : history->recent()) {
    const auto own = std::find_if(unfinished.begin(), unfinished.end(), [&](const LivePrompt* p) {
      return p != nullptr && p->sessionId == record.sessionId && record.endedAt >= p->receivedAt;
    });
    if (own != unfinished.end()) {
      *own = nullptr;
      continue;
    }
    list.push_back(encodeAnswer(record));
  }
  return list;
}

void DisplayService::release(const UUID& replyId, const std::string& sessionId,
                             std::string_view outcome, std::string_view by) {
  // Another answer, release or withdrawal ends it, or it is over: that one says how.
  if (!prompts.claim(replyId)) {
    return;
  }
  const PromptBook::Lookup found = prompts.lookup(replyId);
  std::optional<LivePrompt> live;
  if (found.kind == PromptBook::Lookup::Kind::live) {
    endings.ended(*found.prompt, outcome, by, Dates::now());
    live = found.prompt;
  } else {
    // Released as it registered, before its waiting event came: the event completes the record,
    // here when it arrived meanwhile, else as it arrives.
    endings.endedBeforeItsEvent(replyId, outcome, by, Dates::now());
    if (const auto arrived = prompts.finish(replyId)) {
      endings.arrived(*arrived);
    }
  }
  if (replyServer) {
    static_cast<void>(replyServer->release(replyId));
  }
  // The prompt leaves the list in the same pass as its session stops waiting for it, so that no
  // revision shows the session waiting for an answer in the agent in between.
  queue.post(
      [this, replyId, sessionId, live = std::move(live), releasedToAgent = outcome == "released"] {
        if (live) {
          prompts.finish(replyId);
          activityService.resolvePendingReply(replyId, live->sessionId);
          if (releasedToAgent) {
            leftToAgent(*live);
          }
        } else if (!sessionId.empty()) {
          activityService.resolvePendingReply(replyId, sessionId);
        }
        dirty = true;
      });
}

namespace {

std::optional<HookEventName> hookEventOf(const AgentEvent& event) {
  if (!event.metadata) {
    return std::nullopt;
  }
  const auto hook = event.metadata->find("hookEvent");
  if (hook == event.metadata->end()) {
    return std::nullopt;
  }
  // Any agent's spelling of these (an "Interrupt" is a cancelled stop).
  return HookEventNames::fromRawEventName(hook->second);
}

// A new prompt of the person's: the session goes on rather than tell how its last one ended.
bool startsTurn(const AgentEvent& event) {
  return hookEventOf(event) == HookEventName::userPromptSubmit;
}

// What an event says became of the prompt its agent was showing, as an ending's outcome by
// "agent"; absent when it says nothing about it. Real agents, after their own dialog:
// - the tool ran ("allowed"): its post-tool event, failed or not (Claude Code, Codex, Qwen Code,
//   Copilot CLI after Yes; Gemini CLI's AfterTool);
// - the agent reports the tool refused ("denied"): a permission-denied event;
// - nothing follows the dialog ("dismissed"): No or Esc, after which the agent waits for its next
//   prompt. The next event is then a new prompt, the turn's end, an interrupt (Codex), an idle
//   notice (Qwen Code) or the session's end;
// - another tool starts: the agent went on, but whether the asked one ran is not known
//   ("answeredInAgent").
// The notification about the prompt itself ("needs your permission"), another prompt, and events
// that say nothing about the turn (compaction, messages shown) say nothing.
std::optional<std::string_view> outcomeInAgent(const AgentEvent& event) {
  if (event.pendingReply) {
    return std::nullopt;
  }
  const auto name = hookEventOf(event);
  if (!name) {
    return std::nullopt;
  }
  switch (*name) {
    case HookEventName::postToolUse:
    case HookEventName::postToolUseFailure:
      return "allowed";
    case HookEventName::permissionDenied:
      return "denied";
    case HookEventName::userPromptSubmit:
    case HookEventName::stop:
    case HookEventName::stopFailure:
    case HookEventName::stopCancelled:
    case HookEventName::sessionEnd:
      return "dismissed";
    case HookEventName::preToolUse:
      return "answeredInAgent";
    case HookEventName::notification: {
      const auto type = event.metadata->find("notificationType");
      if (type != event.metadata->end() && Text::normalizedWord(type->second) == "idle_prompt") {
        return "dismissed";
      }
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<DisplayService::Settlement> DisplayService::settlementOf(const AgentEvent& event) {
  const auto outcome = outcomeInAgent(event);
  if (!outcome) {
    return std::nullopt;
  }
  Settlement settled{.outcome = *outcome};
  // A step of one tool call, or the agent's refusal of it, tells exactly how the prompt about
  // that call ended: the call starts or ran (allowed), or was refused. OpenCode says so at once,
  // as the person answers its own dialog.
  const auto name = hookEventOf(event);
  if (name == HookEventName::preToolUse || name == HookEventName::postToolUse ||
      name == HookEventName::postToolUseFailure || name == HookEventName::permissionDenied) {
    if (auto call = toolCallOf(event)) {
      settled.call = std::move(call);
      settled.callOutcome = name == HookEventName::permissionDenied ? "denied" : "allowed";
    }
  }
  return settled;
}

bool DisplayService::Settlement::isItsCall(const LivePrompt& prompt) const {
  return call && prompt.toolCallId == call;
}

std::string_view DisplayService::Settlement::outcomeFor(const LivePrompt& prompt) const {
  return isItsCall(prompt) ? callOutcome : outcome;
}

bool DisplayService::withdrawOvertaken(const std::string& sessionId, const Settlement& settled) {
  if (!prompts.mayHaveLive()) {
    return false;
  }
  const std::vector<LivePrompt> live = prompts.live();
  // An event about one call ends the prompt about that call alone, when there is one.
  const bool named = std::any_of(live.begin(), live.end(), [&](const LivePrompt& prompt) {
    return prompt.sessionId == sessionId && settled.isItsCall(prompt);
  });
  bool withdrawn = false;
  for (const LivePrompt& prompt : live) {
    if (prompt.sessionId == sessionId && (!named || settled.isItsCall(prompt))) {
      serviceLog().info("A prompt of %{private}s was answered in the agent",
                        {Log::privateValue(sessionId)});
      release(prompt.replyId, sessionId, settled.outcomeFor(prompt), "agent");
      withdrawn = true;
    }
  }
  return withdrawn;
}

bool DisplayService::confirmsSettledByTime(const std::string& sessionId, const AgentEvent& event) {
  const auto found = settledByTime.find(sessionId);
  if (found == settledByTime.end()) {
    return false;
  }
  // Only the session's first event after the ending may be the agent's word for it.
  const bool recent = SteadyClock::now() <= found->second + confirmationWait;
  settledByTime.erase(found);
  const auto settled = settlementOf(event);
  return recent && settled && !settled->call && settled->outcome == "dismissed" &&
         !startsTurn(event);
}

// An event a host's link forwarded is that host's, whatever its sender wrote: a remote can pose
// neither as this machine (and so reach its sessions and prompts) nor as another host.
void DisplayService::stampLinkHost(AgentEvent& event, pid_t peer) const {
  if (!remoteLinks || peer <= 0) {
    return;
  }
  if (auto host = remoteLinks->hostBehind(peer)) {
    if (!event.origin) {
      event.origin = AgentOrigin{};
    }
    event.origin->host = std::move(*host);
  }
}

void DisplayService::takeEvents() {
  if (nextTaken == taken.size()) {
    taken.clear();
    nextTaken = 0;
    // After a flood the room goes back, rather than holding thousands of slots.
    if (taken.capacity() > keptInboxRoom) {
      std::vector<AgentEvent>().swap(taken);
    }
    {
      const std::scoped_lock guard(inboxMutex);
      taken.swap(inbox);
    }
    inboxRoom.notify_all();
  }
  const std::size_t end = std::min(taken.size(), nextTaken + eventsPerPass);
  const std::span<AgentEvent> batch(taken.data() + nextTaken, end - nextTaken);
  nextTaken = end;
  {
    const std::scoped_lock guard(inboxMutex);
    if (nextTaken < taken.size() || !inbox.empty()) {
      queue.post([this] { takeEvents(); });  // the rest after this pass is published
    } else if (!batch.empty() && !inboxUnbounded) {
      // Events came: more are likely to follow within moments. The thread looks again after
      // inboxLinger and the workers do not wake it meanwhile, so a steady stream costs one
      // wake-up per linger instead of one every few events.
      inboxLookAt = SteadyClock::now() + inboxLinger;
    } else {
      inboxPosted = false;
    }
  }
  for (AgentEvent& event : batch) {
    ++received;
    lastEvents.insert_or_assign(event.provider.rawValue, Dates::now());
    EventHost::localize(event, localHost);
    VisibleText::makeVisible(event);
    if (!event.pendingReply) {
      const std::string sessionId = event.provider.namespacedSessionID(event.sessionId);
      const bool confirms = confirmsSettledByTime(sessionId, event);
      if (const auto settled = settlementOf(event)) {
        // The event that says how its prompt ended leaves the session showing that ending
        // until its next one; otherwise it shows what it does now rather than how its last
        // prompt ended.
        const bool withdrawn = withdrawOvertaken(sessionId, *settled);
        if (!(settleInAgent(sessionId, *settled) || withdrawn || confirms)) {
          endings.sessionWentOn(sessionId);
        }
      }
      activityService.ingest(std::move(event));
      continue;
    }
    const Date arrived = Dates::now();
    const AgentEvent waiting = event;
    activityService.ingest(std::move(event));
    const std::string sessionId = waiting.provider.namespacedSessionID(waiting.sessionId);
    endings.sessionWentOn(sessionId);
    settledByTime.erase(sessionId);
    const auto session = activityService.session(sessionId);
    const auto projectName = session ? (*session)->projectName : std::nullopt;
    prompts.record(waiting, projectName, arrived);
    if (prompts.hasEnded(waiting.pendingReply->replyId)) {
      // Released (or answered) before its event arrived: the session does not wait for it.
      activityService.resolvePendingReply(waiting.pendingReply->replyId, sessionId);
      endings.arrived(livePromptOf(waiting, projectName, arrived));
    }
  }
  dirty = true;
}

void DisplayService::boundSessions() {
  const SessionList& list = activityService.sessions();
  // Sessions a host's share or the bound leave no room for, those of other machines before this
  // one's: a remote host that floods the service cannot push this machine's sessions out. Within
  // each, finished ones go first, then active ones, oldest first; a session with a live prompt
  // stays. The saved file keeps the same ones, so a restart shows what was shown.
  if (list.size() <= remoteHostShare) {
    return;
  }
  const auto hostOf = [](const AgentSession& session) -> const std::string* {
    return session.origin && session.origin->host ? &*session.origin->host : nullptr;
  };
  std::unordered_map<std::string_view, std::size_t> perHost;
  for (const SharedSession& session : list) {
    if (const std::string* host = hostOf(session.value())) {
      ++perHost[*host];
    }
  }
  const bool hostOverShare = std::any_of(perHost.begin(), perHost.end(),
                                         [](const auto& entry) { return entry.second > remoteHostShare; });
  if (list.size() <= SessionStore::maximumSavedSessions && !hostOverShare) {
    return;
  }
  std::vector<const AgentSession*> candidates;
  candidates.reserve(list.size());
  for (const SharedSession& session : list) {
    if (session->pendingReplies.empty() && !session->pendingReply) {
      candidates.push_back(&session.value());
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [&](const AgentSession* a, const AgentSession* b) {
                     const bool aLocal = hostOf(*a) == nullptr;
                     if (aLocal != (hostOf(*b) == nullptr)) {
                       return !aLocal;
                     }
                     if (a->isActive() != b->isActive()) {
                       return !a->isActive();
                     }
                     return a->updatedAt < b->updatedAt;
                   });
  std::unordered_set<std::string> dropped;
  // Each host down to its share first...
  for (const AgentSession* candidate : candidates) {
    const std::string* host = hostOf(*candidate);
    if (host == nullptr) {
      continue;
    }
    if (std::size_t& count = perHost[*host]; count > remoteHostShare) {
      dropped.insert(candidate->id);
      --count;
    }
  }
  // ...then everyone's down to the bound.
  std::size_t left = list.size() - dropped.size();
  for (const AgentSession* candidate : candidates) {
    if (left <= SessionStore::maximumSavedSessions) {
      break;
    }
    if (dropped.insert(candidate->id).second) {
      --left;
    }
  }
  activityService.removeSessions(dropped);
}

void DisplayService::publishIfDue(bool force) {
  const auto now = SteadyClock::now();
  const std::uint64_t generation = prompts.generation();
  if (!force && !dirty && generation == publishedPromptGeneration) {
    return;
  }
  if (!force && now < nextPublish) {
    return;
  }
  dirty = false;
  publishedPromptGeneration = generation;
  boundSessions();
  const std::vector<LivePrompt> live = prompts.live();
  stateHub.publish(publisher.publish(
      activityService, live,
      ServiceInfo{
          .version = std::string(version),
          .startedAt = startedAt,
          .eventsReceived = received,
          .lastEvents = lastEvents,
          .remotes = remoteLinks ? Coding::encode(RemoteLinks::encode(remoteLinks->statuses()))
                                 : std::string("[]")},
      answererList.encoded(), endings.encodedEndings(), endings.encodedSessionOutcomes(),
      encodedRecentAnswers(live)));
  const auto took = SteadyClock::now() - now;
  nextPublish = now + std::max<SteadyClock::duration>(options.publishInterval,
                                                      took * publishCostFactor);
}

std::optional<SteadyClock::time_point> DisplayService::nextDeadline() const {
  std::optional<SteadyClock::time_point> deadline;
  if (dirty || prompts.generation() != publishedPromptGeneration) {
    deadline = nextPublish;
  }
  if (restored.savingAllowed) {
    if (const auto due = saveSchedule.dueAt()) {
      deadline = deadline ? std::min(*deadline, *due) : *due;
    }
  }
  if (inboxLookAt) {
    deadline = deadline ? std::min(*deadline, *inboxLookAt) : *inboxLookAt;
  }
  deadline = deadline ? std::min(*deadline, nextAgentLook) : nextAgentLook;
  for (const HookGone& gone : hooksToSettle) {
    deadline = std::min({*deadline, gone.due, gone.look});
  }
  return deadline;
}

void DisplayService::run(int stopDescriptor) {
  loopThread = std::this_thread::get_id();
  running = true;
  while (true) {
    int timeout = 1000;
    if (const auto deadline = nextDeadline()) {
      // Rounded up: a wait cut to 0 ms would spin until the deadline.
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - SteadyClock::now());
      timeout = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 1000));
    }
    pollfd descriptors[2] = {{.fd = queue.wakeDescriptor(), .events = POLLIN},
                             {.fd = stopDescriptor, .events = POLLIN}};
    const int ready = ::poll(descriptors, 2, timeout);
    if (ready > 0 && (descriptors[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      break;
    }
    queue.drain();
    if (inboxLookAt && SteadyClock::now() >= *inboxLookAt) {
      inboxLookAt.reset();
      takeEvents();
    }
    settleHooksGone(false);
    watchAgents(false);
    endPhoneHolds();
    publishIfDue(false);
    const auto now = SteadyClock::now();
    followRemotesFile(now);
    if (restored.savingAllowed && saveSchedule.isDue(now) && !saving->load()) {
      saveInBackground(now);
    }
  }
  running = false;
}

void DisplayService::followRemotesFile(SteadyClock::time_point now) {
  if (!options.remotesFile || !remoteLinks || now < nextRemotesLook) {
    return;
  }
  nextRemotesLook = now + remotesFileInterval;
  std::string version = remotesFileVersion(*options.remotesFile);
  if (version == remotesFileSeen) {
    return;
  }
  remotesFileSeen = std::move(version);
  auto hosts = options.readRemotes(*options.remotesFile);
  if (!hosts) {
    // A file being edited by hand may be half written: the hosts connected now stay.
    serviceLog().error("%s; the connected hosts stay as they are", {Log::value(hosts.error())});
    return;
  }
  remoteLinks->setHosts(std::move(*hosts));
  dirty = true;
}

void DisplayService::stop() {
  if (stopped) {
    return;
  }
  stopped = true;
  // The prompts still held end with the service (before its displays detach, which would
  // release them as if nobody could answer).
  for (const LivePrompt& prompt : prompts.live()) {
    if (prompts.claim(prompt.replyId)) {
      endings.ended(prompt, "released", "serviceStopped", Dates::now());
      prompts.finish(prompt.replyId);
    }
  }
  stateHub.close();
  if (notifier) {
    notifier->stop();  // withdraws its notifications before the hooks are released
  }
  if (ntfyChannel) {
    ntfyChannel->stop();
  }
  if (notifyCommand) {
    notifyCommand->stop();
  }
  if (apiServer) {
    apiServer->stop();
  }
  {
    // The service's thread takes no more events until the end: the event server's workers
    // must not wait for it while the server stops.
    const std::scoped_lock guard(inboxMutex);
    inboxUnbounded = true;
  }
  inboxRoom.notify_all();
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
  settleHooksGone(true);
  while (true) {
    {
      const std::scoped_lock guard(inboxMutex);
      if (inbox.empty() && nextTaken == taken.size()) {
        break;
      }
    }
    takeEvents();
  }
  saver.waitUntilIdle();
  queue.drain();  // the last background save's outcome: a failed one leaves changes to save
  if (saveSchedule.hasChanges() && restored.savingAllowed) {
    if (auto error = SessionStore::save(options.paths.sessionsFile, activityService.sessions())) {
      serviceLog().error("Sessions could not be saved: %s", {Log::value(*error)});
    }
    saveSchedule.didSave(SteadyClock::now());
  }
  history->flush();
  apiServer.reset();
  eventServer.reset();
  replyServer.reset();
}

AnswerOutcome DisplayService::answer(const UUID& replyId, const AgentReply& given,
                                     std::string_view from) {
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
  if (!prompts.beginAnswer(replyId)) {
    return error(409, "this prompt is no longer waiting (answered elsewhere, or its hook is gone)");
  }
  if (!replyServer || !replyServer->submit(reply)) {
    hooksGone({*found.prompt});  // its hook went away before it had the answer
    prompts.finish(replyId);
    queue.post([] {});  // wakes the service to publish
    return error(409, "this prompt is no longer waiting (answered elsewhere, or its hook is gone)");
  }
  // Recorded before the prompt leaves the list, so no revision lacks both.
  endings.ended(*found.prompt,
                reply.decision == AgentReplyDecision::allow    ? "allowed"
                : reply.decision == AgentReplyDecision::always ? "alwaysAllowed"
                : reply.decision == AgentReplyDecision::deny   ? "denied"
                                                               : "answered",
                from, Dates::now());
  // It leaves the list in the same pass as its session goes on with the answer: no revision
  // shows it waiting for an answer in the agent in between. Whoever answered hears back once
  // that is done, so a display never shows its answer beside the prompt still waiting.
  auto applied = std::make_shared<std::promise<void>>();
  auto done = applied->get_future();
  queue.post([this, replyId, sessionId = found.prompt->sessionId, applied] {
    prompts.finish(replyId);
    activityService.resolvePendingReply(replyId, sessionId);
    activityService.endWaiting(sessionId, AgentState::running);
    dirty = true;
    applied->set_value();
  });
  if (running && std::this_thread::get_id() != loopThread.load()) {
    static_cast<void>(done.wait_for(std::chrono::seconds(2)));
  }
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
  // The shared records are immutable, so the worker may read this copy of the list; the texts
  // already published for them are saved as they are.
  SessionList list = activityService.sessions();
  SessionStore::EncodedSessions texts;
  texts.reserve(list.size());
  for (const SharedSession& session : list) {
    texts.push_back(publisher.publishedText(session));
  }
  saver.async(
      [this, now, path = options.paths.sessionsFile, list = std::move(list),
       texts = std::move(texts), flag = saving] {
        const auto error = SessionStore::save(path, list, texts);
        if (error) {
          serviceLog().error("Sessions could not be saved (tried again later): %s",
                             {Log::value(*error)});
        }
        // The schedule belongs to the service's thread; stop() drains the queue after the saver.
        queue.post([this, now, succeeded = !error] { saveSchedule.saveEnded(succeeded, now); });
        flag->store(false);
      });
}

}  // namespace tarvel::Display
