#include "Tools/tarvel/ServiceControl.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "TarvelDisplay/Client/ServiceStart.hpp"
#include "TarvelDisplay/Shared/ServiceFiles.hpp"
#include "Tools/tarvel/Configuration.hpp"
#include "Tools/tarvel/ServiceCommands.hpp"

namespace tarvel::ServiceControl {
namespace {

using ServiceFiles = Display::ServiceFiles::InstanceLock;
using Clock = std::chrono::steady_clock;

// Long enough for a loaded machine; a service stops or starts in well under a second.
constexpr auto patience = std::chrono::seconds(30);
constexpr auto pollInterval = std::chrono::milliseconds(50);

// Runs a program found on PATH with this process's streams and waits; its exit status, or -1.
int runProgram(const std::vector<std::string>& arguments) {
  return Spawn::run(arguments, {.input = Spawn::inherited,
                                .output = Spawn::inherited,
                                .error = Spawn::inherited});
}

bool waitUntil(const auto& condition) {
  const auto deadline = Clock::now() + patience;
  while (!condition()) {
    if (Clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(pollInterval);
  }
  return true;
}

// The port of the web page the running service serves, if it serves one.
std::optional<std::uint16_t> servedWebPort(const Display::ServiceFiles::Paths& paths) {
  const auto response = Display::ApiClient::request(paths.apiSocket, "GET", "/v1/health", {},
                                                    std::chrono::seconds(5));
  if (!response) {
    return std::nullopt;
  }
  const auto health = Coding::parse(response->body);
  if (!health || !health->is_object() || !health->contains("web") ||
      !health->at("web").is_string()) {
    return std::nullopt;
  }
  const std::string web = health->at("web").get<std::string>();  // "http://host:port/"
  const auto colon = web.rfind(':');
  std::uint16_t port = 0;
  if (colon == std::string::npos ||
      std::from_chars(web.data() + colon + 1, web.data() + web.size(), port).ec != std::errc{}) {
    return std::nullopt;
  }
  return port;
}

// Starts this program's `tarvel serve ARGUMENTS` in the background, its output in `log`; the
// service's process id, or -1.
pid_t startInBackground(const std::vector<std::string>& serveArguments,
                        const std::filesystem::path& log) {
  std::error_code problem;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", problem);
  if (problem) {
    return -1;
  }
  return Display::ServiceStart::inBackground(program, serveArguments, log, "tarvel restart");
}

}  // namespace

std::string startedBy() {
  // NOLINTBEGIN(concurrency-mt-unsafe): read before any thread starts
  if (const char* by = std::getenv("TARVEL_STARTED_BY"); by != nullptr && *by != '\0') {
    return "by " + std::string(by);
  }
  if (std::getenv("INVOCATION_ID") != nullptr) {
    std::ifstream cgroup("/proc/self/cgroup");
    std::stringstream text;
    text << cgroup.rdbuf();
    if (text.str().find("/tarvel.service") != std::string::npos) {
      return std::string(byUnit);
    }
  }
  // NOLINTEND(concurrency-mt-unsafe)
  char terminal[256] = {};
  if (::ttyname_r(STDIN_FILENO, terminal, sizeof terminal) == 0) {
    return "by hand in the terminal " + std::string(terminal);
  }
  return "by hand";
}

namespace {

// Ends the running service; what `tarvel stop` does, and restart before it starts another.
int stopService(std::ostream& out, std::ostream& error) {
  const auto paths = Display::ServiceFiles::Paths::standard();
  const auto running = ServiceFiles::holder(paths.lockFile);
  if (!running) {
    if (ServiceFiles::isHeld(paths.lockFile)) {
      error << "tarvel stop: a tarvel serve runs but does not say which process it is (an older "
               "version?); stop it where it was started\n";
      return 1;
    }
    out << "No tarvel serve is running.\n";
    return 0;
  }
  if (running->startedBy == byUnit) {
    if (runProgram({"systemctl", "--user", "stop", "tarvel.service"}) != 0) {
      error << "tarvel stop: systemctl --user stop tarvel.service failed\n";
      return 1;
    }
  } else if (::kill(static_cast<pid_t>(running->processId), SIGTERM) != 0) {
    error << "tarvel stop: cannot stop process " << running->processId << ": "
          << std::strerror(errno) << "\n";
    return 1;
  }
  if (!waitUntil([&] { return !ServiceFiles::isHeld(paths.lockFile); })) {
    error << "tarvel stop: process " << running->processId << " is still running after "
          << patience.count() << " s\n";
    return 1;
  }
  out << "Stopped tarvel serve (process " << running->processId << ", started "
      << running->startedBy << ").\n";
  return 0;
}

int restart(const CommandLine::Invocation& invocation) {
  std::ostream& out = invocation.out;
  std::ostream& error = invocation.err;
  const auto arguments = invocation.arguments;
  const auto settings = Configuration::load(Configuration::path());
  if (!settings) {
    error << "tarvel restart: " << settings.error()
          << "\nThe running service was left as it is; fix the file (tarvel config edit) first.\n";
    return 2;
  }
  std::vector<std::string> serveArguments = Configuration::serveArguments(*settings);
  serveArguments.insert(serveArguments.end(), arguments.begin(), arguments.end());
  if (auto problem = ServiceCommands::checkServeArguments(serveArguments)) {
    error << "tarvel restart: " << *problem
          << "\nThe running service was left as it is.\n";
    return 2;
  }
  const auto paths = Display::ServiceFiles::Paths::standard();
  // The new service must be able to listen where it is told to before the old one stops.
  if (const auto address = ServiceCommands::httpArgument(serveArguments)) {
    const auto served = servedWebPort(paths);
    if (auto problem = ServiceCommands::listenProblem(
            *address, [&](std::uint16_t port) { return served == port; })) {
      error << "tarvel restart: " << *problem
            << "\nThe running service was left as it is; fix the address (tarvel config set http "
               "[ADDRESS:]PORT) first.\n";
      return 2;
    }
  }
  const auto running = ServiceFiles::holder(paths.lockFile);
  if (running && running->startedBy == byUnit) {
    if (!arguments.empty()) {
      error << "tarvel restart: the systemd user unit runs the service, so options cannot be "
               "given here; put them in the configuration (tarvel config set KEY VALUE)\n";
      return 2;
    }
    if (runProgram({"systemctl", "--user", "restart", "tarvel.service"}) != 0) {
      error << "tarvel restart: systemctl --user restart tarvel.service failed\n";
      return 1;
    }
  } else {
    if (running || ServiceFiles::isHeld(paths.lockFile)) {
      std::ostringstream ignored;
      if (const int status = stopService(ignored, error); status != 0) {
        return status;
      }
    }
    const pid_t service = startInBackground(serveArguments, paths.directory / "serve.log");
    if (service <= 0) {
      error << "tarvel restart: could not start tarvel serve\n";
      return 1;
    }
    const bool up = waitUntil([&] {
      return UnixSocketSupport::isPathAccepting(paths.apiSocket) ||
             (::kill(service, 0) != 0 && errno == ESRCH);
    });
    if (!up || !UnixSocketSupport::isPathAccepting(paths.apiSocket)) {
      const std::string last = Display::ServiceStart::reasonInLog(paths.directory / "serve.log");
      error << "tarvel restart: tarvel serve did not start"
            << (last.empty() ? "" : ": " + last) << " (see "
            << (paths.directory / "serve.log").string() << ")\n";
      return 1;
    }
  }
  if (!waitUntil([&] { return UnixSocketSupport::isPathAccepting(paths.apiSocket); })) {
    error << "tarvel restart: the service did not answer within " << patience.count() << " s\n";
    return 1;
  }
  const auto now = ServiceFiles::holder(paths.lockFile);
  out << "tarvel serve runs again";
  if (now) {
    out << " (process " << now->processId << ", started " << now->startedBy << ")";
  }
  out << ".\n";
  return 0;
}

// A wrong restart never touches the running service, and says so.
std::string restartRefusal(const CommandLine::ReadProblem& problem) {
  return "tarvel restart: " + CommandLine::problemWords(problem) +
         "\nThe running service was left as it is.\n";
}

}  // namespace

constinit const CommandLine::Command stopCommand{
    .name = "stop",
    .summary = "stop the running service",
    .help =
        "Stops the running tarvel serve, however it was started (through systemd when its "
        "user unit runs it); waiting agents are released.",
    .run =
        [](const CommandLine::Invocation& invocation) {
          return stopService(invocation.out, invocation.err);
        },
    // A wrong command line gets the usage alone.
    .refusal =
        [](const CommandLine::ReadProblem& problem) { return CommandLine::help(*problem.command); },
};

// Takes tarvel serve's options, read as serve reads them.
const CommandLine::Command restartCommand{
    .name = "restart",
    .summary = "restart the service with its configuration",
    .help =
        "Checks ~/.config/tarvel/config.toml, stops the running tarvel serve and starts it "
        "again with the file's settings (through systemd when its user unit runs it; "
        "otherwise in the background, its messages in ~/.tarvel/serve.log). The options are "
        "those of tarvel serve and win over the file. A bad file leaves the running service "
        "as it is.",
    .options = ServiceCommands::serveCommand.options,
    .optionsShownAs = "[tarvel serve options]",
    .run = restart,
    .refusal = restartRefusal,
};

}  // namespace tarvel::ServiceControl
