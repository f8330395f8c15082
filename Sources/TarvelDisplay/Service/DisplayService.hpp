#pragma once

#include <atomic>
#include <thread>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TarvelCore/Platform/MainQueue.hpp"
#include "TarvelCore/Platform/WorkQueue.hpp"
#include "TarvelCore/Sessions/AgentActivityService.hpp"
#include "TarvelCore/Sockets/UnixReplyServer.hpp"
#include "TarvelCore/Sockets/UnixSocketServer.hpp"
#include "TarvelDisplay/Api/StatePublisher.hpp"
#include "TarvelDisplay/Api/WebAccess.hpp"
#include "TarvelDisplay/History/AnswerHistory.hpp"
#include "TarvelDisplay/Notifications/Notifier.hpp"
#include "TarvelDisplay/Notifications/NotifyCommand.hpp"
#include "TarvelDisplay/Notifications/NtfyChannel.hpp"
#include "TarvelDisplay/Remote/RemoteLinks.hpp"
#include "TarvelDisplay/Service/PromptBook.hpp"
#include "TarvelDisplay/Service/PromptEndings.hpp"
#include "TarvelDisplay/Service/SessionStore.hpp"
#include "TarvelDisplay/Shared/AnswerCapabilities.hpp"
#include "TarvelDisplay/Shared/AnswerOutcome.hpp"
#include "TarvelDisplay/Shared/Answerers.hpp"
#include "TarvelDisplay/Shared/ServiceFiles.hpp"
#include "TarvelDisplay/Shared/StateHub.hpp"

namespace tarvel::Display {

class ApiServer;

struct DisplayServiceOptions {
  ServiceFiles::Paths paths = ServiceFiles::Paths::standard();
  // Whether a session's agent process still runs: checked for restored sessions at start, and
  // for every active session of this machine about once a second while the service runs.
  AgentActivityService::ProcessAlive processAlive;
  AgentActivityService::ProcessStartedAt processStartedAt;
  std::chrono::milliseconds saveInterval{1000};
  // At most one published revision per interval (changes in between are coalesced), and
  // further apart while publishing is slow: a revision costs a pass over every session, so the
  // next one waits at least publishCostFactor times as long as the last took, and publishing
  // keeps to about a tenth of the service's time however many sessions it holds.
  std::chrono::milliseconds publishInterval{50};
  UnixReplyServer::Limits replyLimits{};
  // Desktop notifications of live prompts (and, optionally, of finished sessions); absent: none.
  std::optional<NotifierOptions> notifications;
  // Pushes to a phone through an ntfy server (NtfyChannel.hpp); off when absent. While the phone
  // is the only answerer, a prompt of an agent that shows no dialog of its own while its hook
  // waits (as its row in AgentCatalogue says) is let go after `phoneHold`, so that a person at
  // that agent's terminal is not kept waiting for the phone.
  std::optional<NtfyOptions> ntfy;
  // A command run for each prompt that waits and each that ends (NotifyCommand.hpp); none when
  // absent.
  std::optional<std::string> notifyCommand;
  // Also serves the API and the web page over TCP (WebAccess.hpp); off when absent.
  std::optional<WebAccess::Listener> http;
  // Holds prompts even while no display, page or notification service can answer them (for
  // people who answer through the API from their own scripts). Otherwise such a prompt is
  // released at once and the agent asks in its own terminal.
  bool holdWithoutAnswerers = false;
  // Remote hosts kept connected over ssh while the service runs (RemoteLinks.hpp).
  std::vector<RemoteHosts::Host> remotes;
  // Where `tarvel remote add` records the hosts, and how to read them. When set, the hosts are
  // read from it at start, in place of `remotes`, and again whenever the file changes, so that a
  // host added or removed while the service runs is connected or let go without a restart.
  std::optional<std::filesystem::path> remotesFile;
  std::function<Result<std::vector<RemoteHosts::Host>, std::string>(const std::filesystem::path&)>
      readRemotes = RemoteHosts::load;
  // The answer history (paths.historyFile) keeps at most this many rows.
  std::size_t historyRows = 100'000;
};

// The display service: owns the event server, the reply server, the one activity service and the
// saved sessions, and publishes its state for the API (and any other front end in the process).
// Thread: constructed, started, run and stopped on one thread (the service's), which owns the
// activity service; the servers' threads hand events over. answer() and clearFinished() may be
// called from any thread while the service runs.
class DisplayService {
 public:
  // Restores the saved sessions (a damaged file is set aside, with a message in the log), removes
  // temporary files of killed saves, marks sessions whose agent may have gone as unknown or
  // completed and drops those finished more than a day ago. The caller holds the instance lock.
  explicit DisplayService(DisplayServiceOptions options);
  ~DisplayService();
  DisplayService(const DisplayService&) = delete;
  DisplayService& operator=(const DisplayService&) = delete;

  // Starts the event, reply and API servers; the text for the user when one cannot listen (then
  // nothing is left listening).
  [[nodiscard]] std::optional<std::string> start();
  // Runs until `stopDescriptor` becomes readable (a signalfd, a pipe); then returns, leaving the
  // stop to stop().
  void run(int stopDescriptor);
  // Stops the API, then the servers (every waiting hook is released at once and answers its
  // agent as when no display runs), saves the sessions and removes the socket files.
  void stop();

  // Answers the live prompt `replyId` with `reply` (its replyId must match or be left out);
  // `from` names the surface it came from ("terminal", "web", "notification", "api").
  AnswerOutcome answer(const UUID& replyId, const AgentReply& reply, std::string_view from = "api");

  // Removes every session that is not active; false when the service did not do it in time.
  bool clearFinished();

  const StateHub& hub() const { return stateHub; }
  // The surfaces that can answer prompts now.
  const Answerers& answerers() const { return answererList; }
  // The TCP address served once started; absent when not serving over TCP.
  std::optional<WebAccess::Served> webAddress() const;
  const AgentActivityService& activity() const { return activityService; }
  // Messages for the log gathered while restoring.
  const std::vector<std::string>& startupMessages() const { return messages; }

  static constexpr std::chrono::hours pruneAge{24};

  // Sessions one other machine may hold of the bound (SessionStore::maximumSavedSessions).
  static constexpr std::size_t remoteHostShare = SessionStore::maximumSavedSessions / 4;

 private:
  // Where a notification's "Open" shows all of a prompt: the page when served, else a terminal.
  std::optional<PromptOpener> promptOpener() const;
  void takeEvents();
  static void raiseDescriptorLimit();
  void stampLinkHost(AgentEvent& event, pid_t peer) const;
  // Keeps at most as many sessions as are saved, dropping as a save leaves out. Runs as each
  // revision is published, so every published state is bounded while a stream of new sessions
  // costs one pass over the list per revision rather than one per batch of events.
  void boundSessions();
  void publishIfDue(bool force);
  void saveInBackground(std::chrono::steady_clock::time_point now);
  void registrationsChanged();
  void answerersChanged(std::size_t count);
  // Ends a live prompt's wait without an answer, with the ending `outcome` and `by` (as
  // AnswerRecord says): its hook gives the agent the neutral answer.
  void release(const UUID& replyId, const std::string& sessionId, std::string_view outcome,
               std::string_view by);
  // Whether the agent process that asked `prompt` still runs (true when it is not known).
  bool agentRuns(const LivePrompt& prompt) const;
  // Ends the sessions whose agent process exited and withdraws their live prompts; at most once
  // a second unless `now` (a hook saw its agent go).
  void watchAgents(bool now);
  // Lets go of the prompts held for the phone alone longer than their agent should wait.
  void endPhoneHolds();
  // Records the end of prompts whose hook went away by itself: its time ran out, or its agent
  // ended it (then the agent went on without us).
  void hooksGone(const std::vector<LivePrompt>& gone);
  // The newest rows of the answer history, as the state's "recentAnswers", without the rows of
  // the claimed prompts still in `live`.
  Json encodedRecentAnswers(const std::vector<LivePrompt>& live) const;
  // What an event says became of its session's prompts, by "agent": `outcome` for each, except
  // the prompt about the very tool call the event names (`call`), which ends as `callOutcome`
  // and alone.
  struct Settlement {
    std::string_view outcome;
    std::optional<std::string> call;
    std::string_view callOutcome;
    bool isItsCall(const LivePrompt& prompt) const;
    std::string_view outcomeFor(const LivePrompt& prompt) const;
  };
  static std::optional<Settlement> settlementOf(const AgentEvent& event);
  // Withdraws the live prompts of the session (a namespaced id) whose agent went on without
  // them (answered in the agent's own dialog, interrupted, ended), ending them as `settled`
  // says. True when it withdrew any.
  bool withdrawOvertaken(const std::string& sessionId, const Settlement& settled);
  // Ends the prompts of the session whose hook the agent ended, as its next event says; true
  // when there were any.
  bool settleInAgent(const std::string& sessionId, const Settlement& settled);
  // Whether `event`, the session's first since its prompt was settled as dismissed for lack of
  // any word from the agent, is the agent's own word for that dismissal, come late (a slow
  // machine): the session then keeps showing that ending, as when the word came in time.
  bool confirmsSettledByTime(const std::string& sessionId, const AgentEvent& event);
  // The prompt's hook gave its agent no decision (let go, its time ran out): the session waits
  // in the agent's own dialog when its agent asks there, else goes on.
  void leftToAgent(const LivePrompt& prompt);
  std::optional<std::chrono::steady_clock::time_point> nextDeadline() const;
  // Reads the hosts file again when it changed since the last look (at most once a second).
  void followRemotesFile(std::chrono::steady_clock::time_point now);

  DisplayServiceOptions options;
  SessionStore::LoadResult restored;
  std::vector<std::string> messages;
  AgentActivityService activityService;
  Date startedAt;
  std::uint64_t received = 0;
  std::map<std::string, Date> lastEvents;  // by provider name, as ServiceInfo carries them
  std::string localHost;  // this machine's name: events from it keep no host

  MainQueue queue;
  // Events from the event server's workers, waiting for the service's thread. While it holds
  // maximumInbox of them the workers wait, so the event server stops accepting and further
  // hooks wait in its backlog: a service that falls behind delays events, and its memory stays
  // bounded, instead of queueing without limit.
  static constexpr std::size_t maximumInbox = 2048;
  std::mutex inboxMutex;
  std::condition_variable inboxRoom;
  std::vector<AgentEvent> inbox;
  // Set while the service's thread will take the inbox anyway (a pass is posted, or
  // inboxLookAt is set): the workers then do not wake it.
  bool inboxPosted = false;
  static constexpr std::chrono::milliseconds inboxLinger{1};
  std::optional<std::chrono::steady_clock::time_point> inboxLookAt;
  bool inboxUnbounded = false;  // while stopping: nobody may wait for the service's thread
  // The service's thread swaps the whole inbox for this emptied vector and folds what it took
  // from `nextTaken` on, at most eventsPerPass per pass; the two vectors keep their room between
  // swaps, so a steady stream of events allocates no slots.
  std::vector<AgentEvent> taken;
  std::size_t nextTaken = 0;

  PromptBook prompts;
  std::unique_ptr<AnswerHistory> history;
  PromptEndings endings{history.get()};
  std::mutex registrationMutex;  // orders reads of the reply server's registrations
  StatePublisher publisher;
  StateHub stateHub;
  bool dirty = true;
  std::uint64_t publishedPromptGeneration = 0;
  // When the next revision may be published at the earliest.
  std::chrono::steady_clock::time_point nextPublish{};
  static constexpr int publishCostFactor = 10;

  SessionStore::SaveSchedule saveSchedule;
  std::shared_ptr<std::atomic<bool>> saving = std::make_shared<std::atomic<bool>>(false);
  WorkQueue saver{"com.tarvel.service.persistence", 1};

  // Declared before the servers and the notifier, which attach to it, so that it outlives them.
  Answerers answererList;
  // The answer addresses the phone's messages carry; outlives the API server that redeems them.
  AnswerCapabilities answerCapabilities;
  std::unique_ptr<UnixReplyServer> replyServer;
  std::unique_ptr<UnixSocketServer> eventServer;
  std::unique_ptr<ApiServer> apiServer;
  std::unique_ptr<Notifier> notifier;
  std::unique_ptr<NtfyChannel> ntfyChannel;
  std::unique_ptr<NotifyCommand> notifyCommand;
  std::unique_ptr<RemoteLinks> remoteLinks;
  // The hosts file as last read: what stat said of it (empty when it did not exist).
  std::string remotesFileSeen;
  std::chrono::steady_clock::time_point nextRemotesLook{};
  std::chrono::steady_clock::time_point nextAgentLook{};
  // Prompts whose hook the agent ended early, before their ending is known: what the agent does
  // next says how they ended; when nothing follows by `due`, they were dismissed (or, when the
  // agent is gone by then, a hook that saw its agent exit was a moment ahead of its end).
  struct HookGone {
    LivePrompt prompt;
    std::chrono::steady_clock::time_point look;  // when to look whether its agent still runs
    std::chrono::steady_clock::time_point due;
  };
  std::vector<HookGone> hooksToSettle;
  static constexpr std::chrono::milliseconds agentLookGrace{250};
  static constexpr std::chrono::seconds settleWait{3};
  void settleHooksGone(bool all);
  // Sessions whose last prompt was settled as dismissed at its `due`, with when: their next
  // event may still be the agent's word for it (confirmsSettledByTime).
  std::map<std::string, std::chrono::steady_clock::time_point> settledByTime;
  static constexpr std::chrono::minutes confirmationWait{1};
  std::atomic<bool> running{false};
  std::atomic<std::thread::id> loopThread{};  // the thread of run()
  bool stopped = false;
};

}  // namespace tarvel::Display
