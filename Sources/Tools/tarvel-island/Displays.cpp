#include "Tools/tarvel-island/Displays.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
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
#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Models/StringHelpers.hpp"
#include "TarvelCore/Protocol/AgentReplySocketLocation.hpp"
#include "TarvelCore/Protocol/AgentSocketLocation.hpp"
#include "TarvelCore/Protocol/UnixSocketSupport.hpp"
#include "TarvelDisplay/ApiClient.hpp"
#include "TarvelDisplay/ServiceFiles.hpp"

namespace tarvel::Island {
namespace {

constexpr std::int64_t maximumPayloadBytes = 1 << 20;

std::string serverError(const std::filesystem::path& path, const AgentSocketError& error) {
  return error.kind == AgentSocketError::Kind::alreadyInUse
             ? error.description()
             : "Cannot listen at " + path.string() + ": " + error.description();
}

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
  return {.apiSocket = paths.apiSocket,
          .serveProgram = program,
          .serviceLog = paths.directory / "serve.log"};
}

ServiceDisplay::ServiceDisplay(ServiceDisplayOptions givenOptions)
    : options(std::move(givenOptions)) {}

ServiceDisplay::~ServiceDisplay() { stop(); }

bool ServiceDisplay::startService(const std::filesystem::path& program,
                                  const std::filesystem::path& log) {
  // Everything the children need is made before fork: after it only async-signal-safe calls.
  const std::string programText = program.string();
  const std::string logText = log.string();
  std::array<char*, 3> arguments{const_cast<char*>(programText.c_str()), const_cast<char*>("serve"),
                                 nullptr};
  const pid_t child = ::fork();
  if (child < 0) {
    return false;
  }
  if (child == 0) {
    // A new session without a terminal, then a grandchild that is nobody's child here: the
    // service outlives this display and never becomes its zombie.
    ::setsid();
    if (::fork() != 0) {
      ::_exit(0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int output =
        ::open(logText.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (input >= 0) {
      ::dup2(input, STDIN_FILENO);
    }
    const int target = output >= 0 ? output : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(target, STDOUT_FILENO);
    ::dup2(target, STDERR_FILENO);
    ::execv(arguments[0], arguments.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<std::string> ServiceDisplay::start() {
  if (!UnixSocketSupport::isPathAccepting(options.apiSocket)) {
    if (!options.serveProgram) {
      return "No Tarvel service runs, and no tarvel program was found to start one; start it "
             "with: tarvel serve";
    }
    if (!startService(*options.serveProgram, options.serviceLog)) {
      return "Could not start " + options.serveProgram->string() + " serve";
    }
    const auto deadline = SteadyClock::now() + options.startTimeout;
    while (!UnixSocketSupport::isPathAccepting(options.apiSocket)) {
      if (SteadyClock::now() > deadline) {
        return "The Tarvel service did not start; see " + options.serviceLog.string();
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
              message.reset();
            } else {
              // A change that does not follow the state held: start again from a whole state.
              message = "Catching up with the Tarvel service…";
              streamGeneration.fetch_add(1);
              abortStream.store(true);
            }
            markChanged();
          });
        },
        abortStream);
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

std::optional<PromptKeys::PresentedPrompt> ServiceDisplay::presentedPrompt() const {
  const auto& live = remote.prompts();
  const auto isLive = [&](const UUID& id) {
    return std::any_of(live.begin(), live.end(), [&](const tarvel::Display::LivePrompt& prompt) {
      return prompt.replyId == id;
    });
  };
  auto presented = Island::presentedPrompt(remote.snapshot(), isLive);
  if (presented && presented->answerable) {
    return presented;
  }
  // The attention session has no live prompt: another waiting prompt is still reachable.
  if (!live.empty()) {
    return PromptKeys::PresentedPrompt{.sessionId = live.front().sessionId,
                                       .reply = live.front().pendingReply,
                                       .answerable = true};
  }
  return presented;
}

DisplayModel ServiceDisplay::model(Date now) {
  const auto prompt = presentedPrompt();
  PromptKeys::synchronize(picker, prompt);
  NotchActivitySnapshot snapshot = remote.snapshot();
  if (prompt) {
    if (const auto session = remote.session(prompt->sessionId)) {
      snapshot.attentionSession = *session;  // the prompt is shown with its own session
    }
  }
  DisplayModel screen = activityModel(snapshot, remote.index(), prompt, picker, now);
  if (!connected && !message) {
    screen.message = "Connecting to the Tarvel service…";
  }
  if (message) {
    screen.message = message;
  }
  return screen;
}

bool ServiceDisplay::handleKey(const Key& key) {
  const auto prompt = presentedPrompt();
  PromptKeys::synchronize(picker, prompt);
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
      answer(*action.reply);
      return false;
    case PromptKeys::KeyAction::Kind::pickerMoved:
      markChanged();
      return false;
    case PromptKeys::KeyAction::Kind::none:
      return false;
  }
  return false;
}

void ServiceDisplay::answer(const AgentReply& reply) {
  requests.async([this, reply] {
    const std::string path = "/v1/prompts/" + reply.replyId.uuidString();
    auto response =
        tarvel::Display::ApiClient::request(options.apiSocket, "POST", path, encodeJSON(reply));
    std::optional<std::string> text;
    if (!response) {
      text = "The answer could not be sent: " + response.error();
    } else if (response->status == 409) {
      text = "That prompt was answered elsewhere or its agent stopped waiting.";
    } else if (response->status != 200) {
      text = "The service refused the answer (" + std::to_string(response->status) + ").";
    }
    queue.post([this, text] {
      message = text;
      markChanged();
    });
  });
}

void ServiceDisplay::tick(SteadyClock::time_point) {}

std::optional<SteadyClock::time_point> ServiceDisplay::nextDeadline() const { return std::nullopt; }

// ---------------------------------------------------------------------------------------------

IslandDisplay::IslandDisplay(Options givenOptions) : options(std::move(givenOptions)) {}

IslandDisplay::~IslandDisplay() { stop(); }

std::optional<std::filesystem::path> IslandDisplay::codexOnPath() { return programOnPath("codex"); }

std::optional<std::filesystem::path> IslandDisplay::programOnPath(std::string_view name) {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): read before threads
  if (path == nullptr) {
    return std::nullopt;
  }
  for (const std::string& directory : Text::split(path, ":")) {
    if (directory.empty()) {
      continue;
    }
    const std::filesystem::path candidate = std::filesystem::path(directory) / name;
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
