#include "Tools/tarvel-island/Displays.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "QuoyaCore/CodexMetadataReader.hpp"
#include "QuoyaCore/IslandPaths.hpp"
#include "QuoyaCore/SessionPresentation.hpp"
#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "TarvelCore/Sockets/AgentReplySocketLocation.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "TarvelDisplay/Client/ServiceStart.hpp"
#include "TarvelDisplay/Shared/AnswerRecord.hpp"
#include "TarvelDisplay/Shared/ServiceFiles.hpp"
#include "TarvelDisplay/Shared/SessionCounts.hpp"
#include "Tools/tarvel-island/TextCells.hpp"

namespace tarvel::Island {
namespace {

constexpr std::int64_t maximumPayloadBytes = 1 << 20;
constexpr std::string_view holdMessage = "The prompt just changed: read it, then answer.";

std::string serverError(const std::filesystem::path& path, const AgentSocketError& error) {
  return error.kind == AgentSocketError::Kind::alreadyInUse
             ? error.description()
             : "Cannot listen at " + path.string() + ": " + error.description();
}

// Runs a program found on PATH with its output discarded and waits for it; its exit status, or
// -1 when it could not be run.
int runProgram(const std::vector<std::string>& arguments) { return Spawn::run(arguments, {}); }

}  // namespace

ServiceDisplayOptions ServiceDisplayOptions::standard() {
  const auto paths = tarvel::Display::ServiceFiles::Paths::standard();
  std::optional<std::filesystem::path> program;
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && ::access((self.parent_path() / "tarvel").c_str(), X_OK) == 0) {
    program = self.parent_path() / "tarvel";
  } else {
    program = IslandDisplay::programOnPath("tarvel");
  }
  const char* tmux = std::getenv("TMUX");  // NOLINT(concurrency-mt-unsafe): before threads
  return {.apiSocket = paths.apiSocket,
          .serveProgram = program,
          .serviceLog = paths.directory / "serve.log",
          .tmux = tmux != nullptr && *tmux != '\0' ? std::optional<std::string>(tmux)
                                                   : std::nullopt};
}

ServiceDisplay::ServiceDisplay(ServiceDisplayOptions givenOptions)
    : options(std::move(givenOptions)) {}

ServiceDisplay::~ServiceDisplay() { stop(); }

pid_t ServiceDisplay::startService(const std::filesystem::path& program,
                                   const std::filesystem::path& log) {
  return tarvel::Display::ServiceStart::inBackground(program, {}, log, "tarvel-island");
}

std::optional<std::string> ServiceDisplay::start() {
  if (!UnixSocketSupport::isPathAccepting(options.apiSocket)) {
    if (!options.serveProgram) {
      return "No Tarvel service runs, and no tarvel program was found to start one; start it "
             "with: tarvel serve";
    }
    const pid_t service = startService(*options.serveProgram, options.serviceLog);
    if (service <= 0) {
      return "Could not start " + options.serveProgram->string() + " serve";
    }
    const auto deadline = SteadyClock::now() + options.startTimeout;
    while (!UnixSocketSupport::isPathAccepting(options.apiSocket)) {
      // A service that ended, or never came up, says why in its log.
      const bool ended = ::kill(service, 0) != 0 && errno == ESRCH;
      if (ended || SteadyClock::now() > deadline) {
        const std::string reason =
            tarvel::Display::ServiceStart::reasonInLog(options.serviceLog);
        return "The Tarvel service did not start" + (reason.empty() ? "" : ": " + reason) +
               " (see " + options.serviceLog.string() + ")";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  stream = std::thread([this] { streamLoop(); });
  return std::nullopt;
}

void ServiceDisplay::streamLoop() {
  while (!stopping.load()) {
    // Messages of an earlier connection that are still queued are dropped by their generation.
    const std::uint64_t generation = ++streamGeneration;
    const std::string reason = tarvel::Display::ApiClient::readEvents(
        options.apiSocket,
        [this, generation](std::string_view event, std::string_view data) {
          queue.post([this, generation, event = std::string(event), data = std::string(data)] {
            if (generation != streamGeneration.load()) {
              return;
            }
            if (remote.apply(event, data)) {
              connected = true;
              if (SteadyClock::now() >= messageKeptUntil) {
                message.reset();
              }
              choosePrompt(SteadyClock::now());
              noticePrompts();
            } else {
              // A change that does not follow the state held: start again from a whole state.
              message = "Catching up with the Tarvel service…";
              streamGeneration.fetch_add(1);
              abortStream.store(true);
            }
            markChanged();
          });
        },
        abortStream, "terminal");
    if (stopping.load()) {
      break;
    }
    const bool resynchronizing = abortStream.exchange(false);
    if (resynchronizing) {
      continue;
    }
    queue.post([this, reason] {
      connected = false;
      message = "Not connected to the Tarvel service (" + reason + "); retrying.";
      markChanged();
    });
    for (int wait = 0; wait < 10 && !stopping.load(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void ServiceDisplay::stop() {
  if (stopped) {
    return;
  }
  stopped = true;
  stopping.store(true);
  abortStream.store(true);
  if (stream.joinable()) {
    stream.join();
  }
  requests.waitUntilIdle();
  queue.drain();
}

void ServiceDisplay::showPrompt(std::size_t index, SteadyClock::time_point now) {
  const auto& live = remote.prompts();
  if (index >= live.size()) {
    return;
  }
  shownIndex = index;
  if (shownReplyId != live[index].replyId) {
    shownReplyId = live[index].replyId;
    shownSince = now;
    promptScroll = 0;
    markChanged();
  }
}

void ServiceDisplay::choosePrompt(SteadyClock::time_point now) {
  const auto& live = remote.prompts();
  if (shownReplyId) {
    const auto found =
        std::find_if(live.begin(), live.end(), [&](const tarvel::Display::LivePrompt& prompt) {
          return prompt.replyId == *shownReplyId;
        });
    if (found != live.end()) {
      shownIndex = static_cast<std::size_t>(found - live.begin());
      return;  // a prompt in view stays in view while it lives
    }
  }
  if (live.empty()) {
    shownReplyId.reset();
    shownIndex = 0;
    return;
  }
  // The one that took the gone prompt's place: the next in the list, or the last.
  showPrompt(std::min(shownIndex, live.size() - 1), now);
}

bool ServiceDisplay::holding(SteadyClock::time_point now) const {
  return shownReplyId && now < shownSince + options.hold;
}

void ServiceDisplay::noticePrompts() {
  bool fresh = false;
  std::set<UUID> live;
  for (const tarvel::Display::LivePrompt& prompt : remote.prompts()) {
    live.insert(prompt.replyId);
    fresh = fresh || !announced.contains(prompt.replyId);
  }
  // A prompt shown here that was answered somewhere else, or in its agent, says so a moment.
  for (const tarvel::Json& ending : remote.endedPrompts()) {
    const auto replyId = UUID::parse(ending.value("replyId", std::string()));
    if (!replyId || !announced.contains(*replyId) || live.contains(*replyId)) {
      continue;
    }
    const std::string by = ending.value("by", std::string());
    std::string text;
    if (by == "agent") {
      text = "Answered in the agent";
    } else if (by == "web") {
      text = "Answered elsewhere (web page)";
    } else if (by == "notification") {
      text = "Answered elsewhere (notification)";
    } else if (by == "phone") {
      text = "Answered elsewhere (phone)";
    } else if (by == "api") {
      text = "Answered elsewhere";
    } else {
      continue;  // answered on a terminal display (this one says so itself), or released
    }
    if (const auto session = remote.session(ending.value("sessionId", std::string()))) {
      text += " · " + quoya::SessionPresentation::providerLabel((*session)->provider);
      if ((*session)->projectName) {
        text += " · " + *(*session)->projectName;
      }
    }
    confirmation =
        Confirmation{.text = text, .until = SteadyClock::now() + std::chrono::seconds(4)};
  }
  // Once per message that brings new prompts: several at once ring once.
  if (fresh && options.bell) {
    ++bells;
  }
  announced = std::move(live);
  const std::set<std::string> waiting =
      tarvel::Display::countSessions(remote.sessions(), remote.prompts()).waiting;
  title = waiting.empty() ? "Tarvel" : "Tarvel · " + std::to_string(waiting.size()) + " waiting";
}

std::string ServiceDisplay::takeTerminalControls() {
  std::string bytes(std::exchange(bells, 0), '\a');
  if (title != writtenTitle) {
    // The window title, ended by ST so that the only BEL bytes written are bells.
    bytes += "\x1b]2;" + TextCells::printable(title) + "\x1b\\";
    writtenTitle = title;
  }
  return bytes;
}

std::optional<PromptKeys::PresentedPrompt> ServiceDisplay::presentedPrompt() const {
  const auto& live = remote.prompts();
  if (shownReplyId && shownIndex < live.size() && live[shownIndex].replyId == *shownReplyId) {
    const tarvel::Display::LivePrompt& shown = live[shownIndex];
    return PromptKeys::PresentedPrompt{
        .sessionId = shown.sessionId, .reply = shown.pendingReply, .answerable = true};
  }
  // No live prompt: the attention session's prompt is still shown, for answering in the agent.
  return Island::presentedPrompt(remote.snapshot(), [](const UUID&) { return false; });
}

namespace {

std::string remainingText(Date expiresAt, Date now) {
  const auto seconds =
      std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::seconds>(expiresAt - now)
                                    .count());
  const std::string secondsText = std::to_string(seconds % 60);
  return std::to_string(seconds / 60) + ":" + (seconds % 60 < 10 ? "0" : "") + secondsText;
}

bool isAnswerKey(const PromptKeys::OfferedKey& key) {
  return key.key != "c" && key.key != "q";
}

}  // namespace

DisplayModel ServiceDisplay::model(Date now) {
  const auto steadyNow = SteadyClock::now();
  choosePrompt(steadyNow);
  const auto prompt = presentedPrompt();
  PromptKeys::synchronize(picker, prompt);
  // Counted as the service, the title and the page count.
  const tarvel::Display::SessionCounts counts =
      tarvel::Display::countSessions(remote.sessions(), remote.prompts());
  const std::set<std::string>& waiting = counts.waiting;
  // A session whose prompt ended shows how, until its next event.
  std::map<std::string, std::string> outcomes;
  for (const auto& [sessionId, ending] : remote.sessionOutcomes().items()) {
    if (ending.is_object() && !waiting.contains(sessionId)) {
      outcomes[sessionId] =
          tarvel::Display::endingWords(ending.value("outcome", std::string("released")),
                                       ending.value("by", std::string()));
    }
  }
  DisplayModel screen = activityModel(remote.snapshot(), remote.index(), prompt, picker, now,
                                      std::pair(waiting.size(), counts.working), outcomes);
  for (const tarvel::Json& answer : remote.recentAnswers()) {
    if (screen.recentAnswers.size() >= 3 || !answer.is_object()) {
      break;
    }
    const auto endedAt = Dates::parseISO8601(answer.value("endedAt", std::string()));
    std::string line = (endedAt ? quoya::SessionPresentation::elapsed(*endedAt, now) + " ago · "
                                : std::string()) +
                       tarvel::Display::endingWords(answer.value("outcome", std::string()),
                                                    answer.value("by", std::string())) +
                       " · " +
                       quoya::SessionPresentation::providerLabel(
                           AgentProvider(answer.value("agent", std::string())));
    if (answer.contains("project") && answer["project"].is_string()) {
      line += " · " + answer["project"].get<std::string>();
    }
    line += " · " + answer.value("prompt", std::string());
    if (answer.contains("detail") && answer["detail"].is_string()) {
      const std::string detail = answer["detail"].get<std::string>();
      line += " " + detail.substr(0, detail.find('\n'));
    }
    screen.recentAnswers.push_back(TextCells::printable(line));
  }
  screen.sessionScroll = sessionScroll;
  // A remote host whose link is down is named in the header's summary.
  if (const auto remotes = Coding::parse(remote.service().remotes); remotes && remotes->is_array()) {
    for (const Json& host : *remotes) {
      if (host.is_object() && !host.value("connected", false)) {
        screen.summary += " · " + host.value("host", std::string("remote")) + " down";
      }
    }
  }
  const auto& live = remote.prompts();
  for (std::size_t index = 0; index < live.size(); ++index) {
    const tarvel::Display::LivePrompt& item = live[index];
    std::string line = quoya::SessionPresentation::providerLabel(item.provider);
    if (item.projectName) {
      line += " · " + *item.projectName;
    }
    line += " · " + item.pendingReply.prompt;
    if (item.pendingReply.detail) {
      line += " " + *item.pendingReply.detail;
    }
    screen.queue.push_back(remainingText(item.expiresAt, now) + " · " + line);
  }
  const bool held = holding(steadyNow);
  holdShown = held;
  if (shownReplyId && shownIndex < live.size() && screen.attention) {
    PromptView& view = *screen.attention;
    screen.queueShown = shownIndex;
    view.position = shownIndex + 1;
    view.count = live.size();
    view.remaining = remainingText(live[shownIndex].expiresAt, now);
    view.holding = held;
    promptScroll = std::min(promptScroll, detailRows(view, terminalColumns));
    view.scroll = promptScroll;
  }
  std::vector<PromptKeys::OfferedKey> keys;
  if (held) {
    keys.push_back({"…", "the prompt just changed: answer keys in a moment"});
  }
  for (const PromptKeys::OfferedKey& key : screen.keys) {
    if (held && isAnswerKey(key)) {
      continue;
    }
    if (key.key == "c") {
      if (live.size() > 1) {
        keys.push_back({"n/p", "next/previous prompt"});
      }
      if (prompt && screen.attention && screen.attention->detail &&
          PromptKeys::pickerQuestions(prompt->reply) == nullptr) {
        keys.push_back({"↑↓", "scroll"});
      }
      if (prompt) {
        keys.push_back({"g", "go to agent"});
      }
    }
    keys.push_back(key);
  }
  screen.keys = std::move(keys);
  if (confirmation && steadyNow < confirmation->until &&
      std::none_of(remote.prompts().begin(), remote.prompts().end(),
                   [&](const tarvel::Display::LivePrompt& live) {
                     return confirmation->answered && live.replyId == *confirmation->answered;
                   })) {
    screen.confirmation = confirmation->text;
  }
  if (!connected && !message) {
    screen.message = "Connecting to the Tarvel service…";
  }
  if (message) {
    screen.message = message;
  }
  return screen;
}

bool ServiceDisplay::handleKey(const Key& key) {
  const auto now = SteadyClock::now();
  choosePrompt(now);
  const auto prompt = presentedPrompt();
  PromptKeys::synchronize(picker, prompt);
  const auto& live = remote.prompts();
  const bool isPicker = prompt && PromptKeys::pickerQuestions(prompt->reply) != nullptr;
  const auto is = [&key](char32_t character) {
    return key.kind == Key::Kind::character && key.character == character;
  };
  if ((is(U'n') || is(U'p')) && live.size() > 1) {
    const std::size_t count = live.size();
    showPrompt(is(U'n') ? (shownIndex + 1) % count : (shownIndex + count - 1) % count, now);
    return false;
  }
  if (!isPicker && (key.kind == Key::Kind::up || key.kind == Key::Kind::down)) {
    if (key.kind == Key::Kind::up) {
      promptScroll = promptScroll > 0 ? promptScroll - 1 : 0;
    } else {
      ++promptScroll;  // the model keeps it within the detail
    }
    markChanged();
    return false;
  }
  if (key.kind == Key::Kind::pageUp || key.kind == Key::Kind::pageDown) {
    const std::size_t page = std::max<std::size_t>(terminalRows / 2, 1);
    // Never past the last session, so that paging back is as quick as paging on.
    sessionScroll = key.kind == Key::Kind::pageUp
                        ? sessionScroll - std::min(sessionScroll, page)
                        : std::min(sessionScroll + page, remote.sessions().size());
    markChanged();
    return false;
  }
  if (is(U'g')) {
    jumpToAgent();
    return false;
  }
  const PromptKeys::KeyAction action = PromptKeys::handle(key, prompt, picker, true);
  switch (action.kind) {
    case PromptKeys::KeyAction::Kind::quit:
      return true;
    case PromptKeys::KeyAction::Kind::clearFinished:
      requests.async([this] {
        auto response = tarvel::Display::ApiClient::request(options.apiSocket, "POST",
                                                            "/v1/sessions/clear-finished");
        if (!response || response->status != 200) {
          queue.post([this] {
            message = "Finished sessions could not be cleared.";
            markChanged();
          });
        }
      });
      message.reset();
      markChanged();
      return false;
    case PromptKeys::KeyAction::Kind::submit:
      if (holding(now)) {
        // The prompt in view changed a moment ago: this key was meant for what was there.
        message = std::string(holdMessage);
        markChanged();
        return false;
      }
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

void ServiceDisplay::answer(const AgentReply& reply, const std::string& sessionId) {
  std::string label;
  if (const auto session = remote.session(sessionId)) {
    label = quoya::SessionPresentation::providerLabel((*session)->provider);
    if ((*session)->projectName) {
      label += " · " + *(*session)->projectName;
    }
  }
  requests.async([this, reply, label] {
    const std::string path = "/v1/prompts/" + reply.replyId.uuidString() + "?from=terminal";
    auto response =
        tarvel::Display::ApiClient::request(options.apiSocket, "POST", path, encodeJSON(reply));
    std::optional<std::string> text;
    std::optional<std::string> done;
    if (!response) {
      text = "The answer could not be sent: " + response.error();
    } else if (response->status == 409) {
      text = "That prompt was answered elsewhere or its agent stopped waiting.";
    } else if (response->status != 200) {
      text = "The service refused the answer (" + std::to_string(response->status) + ").";
    } else {
      switch (reply.decision) {
        case AgentReplyDecision::allow:
          done = "Allowed";
          break;
        case AgentReplyDecision::always:
          done = "Always allowed";
          break;
        case AgentReplyDecision::deny:
          done = "Denied";
          break;
        case AgentReplyDecision::cancel:
          done = "Cancelled";
          break;
        case AgentReplyDecision::option:
          done = "Answered";
          break;
      }
      if (!label.empty()) {
        *done += " · " + label;
      }
    }
    queue.post([this, text, done, reply] {
      message = text;
      if (done) {
        confirmation = Confirmation{.text = *done,
                                    .until = SteadyClock::now() + std::chrono::seconds(4),
                                    .answered = reply.replyId};
      }
      markChanged();
    });
  });
}

void ServiceDisplay::jumpToAgent() {
  messageKeptUntil = SteadyClock::now() + std::chrono::seconds(5);
  const auto prompt = presentedPrompt();
  const std::optional<SharedSession> session =
      prompt ? remote.session(prompt->sessionId) : std::nullopt;
  markChanged();
  if (!session) {
    message = "No prompt in view: g goes to the agent of the prompt shown.";
    return;
  }
  const std::optional<AgentOrigin>& origin = (*session)->origin;
  const std::optional<std::string> socket = origin ? origin->tmuxSocket() : std::nullopt;
  if (!origin || !origin->tmuxPane || !socket) {
    message = "This agent does not run inside tmux: switch to its terminal yourself.";
    return;
  }
  const std::string pane = *origin->tmuxPane;
  const std::string attach = "tmux -S " + *socket + " attach -t " + pane;
  const std::optional<std::string> ownSocket =
      options.tmux ? AgentOrigin{.tmux = options.tmux}.tmuxSocket() : std::nullopt;
  if (!ownSocket) {
    message = "tarvel-island is not inside tmux; the agent is in tmux pane " + pane + ": " + attach;
    return;
  }
  if (*ownSocket != *socket) {
    message = "The agent runs in another tmux server; reach its pane " + pane + " with: " + attach;
    return;
  }
  message = "Switching to the agent's tmux pane " + pane + "…";
  requests.async([this, socket = *socket, pane] {
    const int status = runProgram({"tmux", "-S", socket, "switch-client", "-t", pane});
    queue.post([this, status, pane] {
      message = status == 0 ? "Switched to the agent's tmux pane " + pane + "."
                            : "tmux could not switch to pane " + pane + ".";
      markChanged();
    });
  });
}

void ServiceDisplay::tick(SteadyClock::time_point now) {
  // Redraw when the hold ends and when a confirmation goes.
  if (holdShown && !holding(now)) {
    if (message == holdMessage) {
      message.reset();
    }
    markChanged();
  }
  if (confirmation && now >= confirmation->until) {
    confirmation.reset();
    markChanged();
  }
}

std::optional<SteadyClock::time_point> ServiceDisplay::nextDeadline() const {
  std::optional<SteadyClock::time_point> next;
  if (holdShown) {
    next = shownSince + options.hold;
  }
  if (confirmation && (!next || confirmation->until < *next)) {
    next = confirmation->until;
  }
  return next;
}

// ---------------------------------------------------------------------------------------------

IslandDisplay::IslandDisplay(Options givenOptions) : options(std::move(givenOptions)) {}

IslandDisplay::~IslandDisplay() { stop(); }

std::optional<std::filesystem::path> IslandDisplay::codexOnPath() { return programOnPath("codex"); }

std::optional<std::filesystem::path> IslandDisplay::programOnPath(std::string_view name) {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): read before threads
  return Spawn::findProgram(name, path != nullptr ? path : "");
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
