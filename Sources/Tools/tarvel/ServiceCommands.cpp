#include "Tools/tarvel/ServiceCommands.hpp"

#include <malloc.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/FileReplace.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Api/WebAccess.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "TarvelDisplay/Notifications/NtfyMessage.hpp"
#include "TarvelDisplay/Service/DisplayService.hpp"
#include "TarvelDisplay/Shared/OpenPage.hpp"
#include "Tools/tarvel/Configuration.hpp"
#include "Tools/tarvel/QrCode.hpp"
#include "Tools/tarvel/RemoteHostsConfig.hpp"
#include "Tools/tarvel/ServiceControl.hpp"

namespace tarvel::ServiceCommands {
namespace {

constexpr std::string_view unitMarker = "# Written by tarvel service install.";

// A whole number of seconds from 0 to a year; absent on anything else.
std::optional<std::chrono::seconds> parseSeconds(std::string_view text) {
  constexpr std::int64_t year = 366LL * 24 * 3600;
  std::int64_t value = 0;
  if (text.empty() || text.size() > 9) {
    return std::nullopt;
  }
  for (const char digit : text) {
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    value = value * 10 + (digit - '0');
  }
  return value <= year ? std::optional(std::chrono::seconds(value)) : std::nullopt;
}

// "[ADDRESS:]PORT", "[IPv6]:PORT"; the address is 127.0.0.1 when not given.
std::optional<Display::WebAccess::Listener> parseHttpAddress(std::string_view text) {
  Display::WebAccess::Listener listener;
  std::string_view port = text;
  if (text.starts_with('[')) {
    const auto close = text.find("]:");
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    listener.address = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    listener.address = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
  }
  const auto [end, problem] =
      std::from_chars(port.data(), port.data() + port.size(), listener.port);
  if (problem != std::errc{} || end != port.data() + port.size() || port.empty() ||
      listener.address.empty()) {
    return std::nullopt;
  }
  return listener;
}

using CommandLine::Invocation;
using CommandLine::Option;
using CommandLine::ReadProblem;

constexpr std::array serveOptions{
    Option{.name = "--no-notify", .help = "no desktop notifications"},
    Option{.name = "--notify-finished",
           .value = "SECONDS",
           .help = "a notification when a session that ran longer than SECONDS finishes",
           .missing = "--notify-finished takes a whole number of seconds (0 to 31622400)"},
    Option{.name = "--http",
           .value = "[ADDRESS:]PORT",
           .help = "also serve the web page and the API over TCP (ADDRESS 127.0.0.1 unless given)"},
    Option{.name = "--tls-cert",
           .value = "FILE",
           .help = "serve --http over TLS only, with this certificate (PEM; with --tls-key)",
           .missing = "--tls-cert needs the certificate's PEM file"},
    Option{.name = "--tls-key",
           .value = "FILE",
           .help = "the private key of --tls-cert's certificate (PEM, without a passphrase)",
           .missing = "--tls-key needs the private key's PEM file"},
    Option{.name = "--hold-seconds",
           .value = "SECONDS",
           .help = "hold a prompt this long for an answer before the agent is let go (120 unless "
                   "given)",
           .missing = "--hold-seconds takes a whole number of seconds from 1 to 600"},
    Option{.name = "--hold-without-answerers",
           .help = "hold prompts even while nothing can answer them (for answers through the API "
                   "from scripts)"},
    Option{.name = "--ntfy",
           .value = "URL",
           .help = "push each prompt to a phone through this ntfy topic (https://SERVER/TOPIC)"},
    Option{.name = "--ntfy-token",
           .value = "TOKEN",
           .help = "the ntfy server's access token (sent as Authorization: Bearer)"},
    Option{.name = "--ntfy-answers",
           .help = "Allow and Deny buttons on the pushes (needs --public-url): whoever reads the "
                   "topic can answer"},
    Option{.name = "--no-ntfy-detail",
           .help = "pushes say only that an agent waits, never the question or the command"},
    Option{.name = "--phone-hold",
           .value = "SECONDS",
           .help = "how long an agent without a dialog of its own (Codex) is held for the phone "
                   "alone (30 unless given)",
           .missing = "--phone-hold takes a whole number of seconds (0 to 31622400)"},
    Option{.name = "--public-url",
           .value = "URL",
           .help = "the address a phone reaches the page and answers at (http[s]://HOST[:PORT]; "
                   "served with --http)"},
    Option{.name = "--notify-command",
           .value = "COMMAND",
           .help = "run COMMAND (by /bin/sh) for each prompt that waits or ends, one JSON "
                   "document on its standard input"},
    Option{.name = "--history-rows",
           .value = "N",
           .help = "keep at most N answers in the history (tarvel log; 100000 unless given)",
           .missing = "--history-rows takes a number of rows from 1 to 10000000"},
};

// The options of `tarvel serve`, the configuration's first; the message when one is wrong.
std::variant<Display::DisplayServiceOptions, std::string> parseServe(
    const std::vector<std::string>& arguments) {
  const std::vector<std::string_view> words(arguments.begin(), arguments.end());
  const auto reading = CommandLine::read(serveCommand, words);
  if (!reading) {
    return CommandLine::problemWords(reading.error());
  }
  Display::DisplayServiceOptions options;
  std::optional<std::chrono::seconds> finishedAfter;
  std::optional<std::filesystem::path> tlsCertificate;
  std::optional<std::filesystem::path> tlsKey;
  options.notifications = Display::NotifierOptions{};
  std::optional<Display::NtfyOptions> ntfy;
  std::optional<std::string> ntfyToken;
  bool ntfyAnswers = false;
  bool ntfyDetail = true;
  std::optional<std::chrono::seconds> phoneHold;
  std::optional<Display::WebAccess::PublicUrl> publicUrl;
  for (const auto& [option, value] : reading->options) {
    if (option->name == "--no-notify") {
      options.notifications.reset();
    } else if (option->name == "--hold-without-answerers") {
      options.holdWithoutAnswerers = true;
    } else if (option->name == "--history-rows") {
      std::size_t rows = 0;
      const auto [end, problem] = std::from_chars(value.data(), value.data() + value.size(), rows);
      if (problem != std::errc{} || end != value.data() + value.size() || rows < 1 ||
          rows > 10'000'000) {
        return std::string(option->missing);
      }
      options.historyRows = rows;
    } else if (option->name == "--notify-finished") {
      const auto seconds = parseSeconds(value);
      if (!seconds) {
        return std::string(option->missing);
      }
      finishedAfter = *seconds;
    } else if (option->name == "--ntfy") {
      auto topic = Display::NtfyMessage::parseTopic(value);
      if (!topic) {
        return topic.error();
      }
      ntfy = Display::NtfyOptions{.topic = std::move(*topic)};
    } else if (option->name == "--ntfy-token") {
      if (value.empty() || value.find_first_of("\r\n") != std::string_view::npos) {
        return std::string("--ntfy-token takes the token, one line");
      }
      ntfyToken = std::string(value);
    } else if (option->name == "--ntfy-answers") {
      ntfyAnswers = true;
    } else if (option->name == "--no-ntfy-detail") {
      ntfyDetail = false;
    } else if (option->name == "--phone-hold") {
      phoneHold = parseSeconds(value);
      if (!phoneHold) {
        return std::string(option->missing);
      }
    } else if (option->name == "--public-url") {
      auto url = Display::WebAccess::parsePublicUrl(value);
      if (!url) {
        return url.error();
      }
      publicUrl = std::move(*url);
    } else if (option->name == "--notify-command") {
      if (value.empty()) {
        return std::string("--notify-command takes a command");
      }
      options.notifyCommand = std::string(value);
    } else if (option->name == "--http") {
      options.http = parseHttpAddress(value);
      if (!options.http) {
        return std::string("--http takes [ADDRESS:]PORT, as 8787 or 127.0.0.1:8787");
      }
    } else if (option->name == "--hold-seconds") {
      int seconds = 0;
      const auto [end, problem] =
          std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (problem != std::errc{} || end != value.data() + value.size() || seconds < 1 ||
          seconds > AgentReplyPolicy::longestHoldSeconds) {
        return std::string(option->missing);
      }
      // The reply server lets a hook go when its registration ends: the hold is that limit.
      options.replyLimits.registrationTimeout = std::chrono::seconds(seconds);
    } else if (option->name == "--tls-cert") {
      tlsCertificate = value;
    } else if (option->name == "--tls-key") {
      tlsKey = value;
    }
  }
  if (tlsCertificate || tlsKey) {
    if (!tlsCertificate || !tlsKey) {
      return std::string("TLS needs both the certificate and its key (--tls-cert and --tls-key)");
    }
    if (!options.http) {
      return std::string("--tls-cert and --tls-key are for the page: give --http as well");
    }
    auto pair = Display::WebAccess::loadTlsPair(*tlsCertificate, *tlsKey);
    if (!pair) {
      return pair.error();
    }
    options.http->tls = std::move(pair).value();
  }
  if (options.notifications) {
    options.notifications->finishedAfter = finishedAfter;
  }
  if (publicUrl) {
    if (!options.http) {
      return std::string("public_url needs the page served: set http too (its port is the one "
                         "public_url reaches)");
    }
    if (auto wrong = Display::WebAccess::publicUrlMismatch(*publicUrl, *options.http)) {
      return *wrong;
    }
    options.http->publicUrl = publicUrl;
  }
  if (ntfy) {
    if (ntfyAnswers && !publicUrl) {
      return std::string("ntfy_answers needs public_url: the address the phone's Allow and "
                         "Deny reach this service at");
    }
    ntfy->token = std::move(ntfyToken);
    ntfy->answers = ntfyAnswers;
    ntfy->detail = ntfyDetail;
    ntfy->finishedAfter = finishedAfter;
    if (phoneHold) {
      ntfy->phoneHold = *phoneHold;
    }
    if (publicUrl) {
      ntfy->publicBase = publicUrl->base();
    }
    options.ntfy = std::move(ntfy);
  }
  return options;
}

// The service's files that only a running service needs; they go when it stops.
void removeLockFiles(const Display::ServiceFiles::Paths& paths) {
  for (const auto& socket : {paths.eventSocket, paths.replySocket, paths.apiSocket}) {
    if (!UnixSocketSupport::isPathAccepting(socket)) {
      ::unlink((socket.string() + ".lock").c_str());
    }
  }
}

// The service's memory follows what it holds rather than how fast events came. By default
// glibc gives each busy thread an arena of its own (up to 16 here) and, after the first large
// block is freed, raises its threshold for mapping blocks of their own to that size: each API
// thread that builds or sends a state text of a few megabytes then keeps such a block's room in
// its arena. With agents sending at full speed and the state read throughout, that added a fifth
// to the peak the sessions themselves need. Two arenas and a fixed threshold return large texts to the
// system as they are freed.
void keepHeapToWhatIsHeld() {
#ifdef __GLIBC__
  constexpr int arenas = 2;
  constexpr int ownMappingFromBytes = 256 * 1024;
  ::mallopt(M_ARENA_MAX, arenas);
  ::mallopt(M_MMAP_THRESHOLD, ownMappingFromBytes);
#endif
}

// The service itself, once it holds its lock; until a signal stops it.
int runWhileLocked(Display::DisplayServiceOptions& options, std::ostream& error) {
  // Hosts recorded by `tarvel remote add` (in the settings file; an older version kept them in
  // remotes.json) are connected while the service runs, and followed as the file changes.
  if (auto problem = RemoteHostsConfig::moveOldRecords(options.paths.directory / "remotes.json",
                                                       Configuration::path(), error)) {
    error << "tarvel serve: " << *problem << "\n";
  }
  options.remotesFile = Configuration::path();
  options.readRemotes = RemoteHostsConfig::read;
  if (auto remotes = RemoteHostsConfig::read(*options.remotesFile); !remotes) {
    error << "tarvel serve: " << remotes.error() << "; no remote host is connected\n";
  }
  // Only the service that holds the lock may create the token.
  if (options.http) {
    auto token = Display::WebAccess::loadOrCreate(options.paths.tokenFile);
    if (!token) {
      error << "tarvel serve: " << token.error() << "\n";
      return 1;
    }
    options.http->token = *token;
  }
  keepHeapToWhatIsHeld();  // before the service starts its threads
  // Signals are read from a descriptor by the service's loop; every thread started from here on
  // inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const UniqueFd stopDescriptor(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!stopDescriptor) {
    error << "tarvel serve: cannot watch for signals\n";
    return 1;
  }

  Display::DisplayService service(options);
  for (const std::string& message : service.startupMessages()) {
    error << "tarvel serve: " << message << "\n";
  }
  if (auto problem = service.start()) {
    error << "tarvel serve: " << *problem << "\n";
    return 1;
  }
  error << ("tarvel serve: listening for agents on " + options.paths.eventSocket.string() +
            "; API on " + options.paths.apiSocket.string() + "\n");
  if (const auto served = service.webAddress()) {
    if (!Display::WebAccess::isLoopback(served->address)) {
      error << "tarvel serve: the web page and the API are open to every machine that reaches "
            << served->address << "; whoever has the token can answer your agents' prompts\n";
    }
    // One write: the service's threads log to the same stream, and a line split by one of
    // theirs would lose the token for whoever reads the address from here.
    error << ("tarvel serve: web page at " + served->origin() + "/#token=" +
              options.http->token.text + "\n");
  }
  error.flush();
  service.run(stopDescriptor.get());
  error << "tarvel serve: stopping; waiting agents are released\n";
  service.stop();
  return 0;
}

int serve(const Invocation& invocation) {
  std::ostream& error = invocation.err;
  const auto commandLine = invocation.arguments;
  const auto configurationFile = Configuration::path();
  const auto settings = Configuration::load(configurationFile);
  if (!settings) {
    error << "tarvel serve: " << settings.error() << "\n";
    return 2;
  }
  std::vector<std::string> arguments = Configuration::serveArguments(*settings);
  arguments.insert(arguments.end(), commandLine.begin(), commandLine.end());
  auto parsed = parseServe(arguments);
  if (const auto* problem = std::get_if<std::string>(&parsed)) {
    error << "tarvel serve: " << *problem
          << (settings->empty() ? ""
                                : " (after the settings of " + configurationFile.string() + ")")
          << "\n"
          << CommandLine::help(serveCommand);
    return 2;
  }
  auto& options = std::get<Display::DisplayServiceOptions>(parsed);
  Log::setSink(Log::standardErrorSink());
  if (auto problem = Display::ServiceFiles::prepareDirectory(options.paths.directory)) {
    error << "tarvel serve: " << *problem << "\n";
    return 1;
  }
  auto lock = Display::ServiceFiles::InstanceLock::acquire(options.paths.lockFile);
  if (!lock) {
    error << "tarvel serve: " << lock.error() << "\n";
    return 1;
  }
  lock->describe(ServiceControl::startedBy());
  const int status = runWhileLocked(options, error);
  removeLockFiles(options.paths);
  lock->removeFile(options.paths.lockFile);
  return status;
}

int status(const Invocation& invocation) {
  std::ostream& out = invocation.out;
  std::ostream& error = invocation.err;
  enum class Format { plain, json, tmux } format = Format::plain;
  for (const auto& given : invocation.reading.options) {
    format = given.option->name == "--json" ? Format::json : Format::tmux;
  }
  const auto paths = Display::ServiceFiles::Paths::standard();
  auto response = Display::ApiClient::request(paths.apiSocket, "GET", "/v1/status", {},
                                              std::chrono::milliseconds(1000));
  if (!response || response->status != 200) {
    // A service that accepts but does not answer in time runs: it is busy, not gone.
    if (UnixSocketSupport::isPathAccepting(paths.apiSocket)) {
      error << "tarvel: the service is busy and did not answer in time; try again\n";
      return 4;
    }
    error << "tarvel: no service is running (start it with: tarvel serve)\n";
    return 3;
  }
  auto parsed = Coding::parse(response->body);
  if (!parsed || !parsed->is_object()) {
    error << "tarvel: the service answered something unexpected\n";
    return 3;
  }
  const Json& counts = *parsed;
  if (format == Format::json) {
    out << response->body << "\n";
    return 0;
  }
  const auto waiting = counts.value("waiting", std::uint64_t{0});
  const auto working = counts.value("working", std::uint64_t{0});
  if (format == Format::tmux) {
    if (waiting == 0 && working == 0) {
      out << "#[fg=colour244]idle#[default]\n";
    } else {
      out << (waiting > 0 ? "#[fg=colour231,bg=colour160,bold]" : "#[fg=colour244]") << waiting
          << " waiting#[default] · #[fg=colour40]" << working << " working#[default]\n";
    }
    return 0;
  }
  const auto remotesDown = counts.value("remotesDown", std::uint64_t{0});
  if (waiting == 0 && working == 0) {
    out << "idle";
  } else {
    out << waiting << " waiting · " << working << " working";
  }
  if (remotesDown > 0) {
    out << " · " << remotesDown << " remote host" << (remotesDown == 1 ? "" : "s")
        << " down (tarvel remote status)";
  }
  out << "\n";
  return 0;
}

// Whether `name` is a program in a folder of PATH.
bool onPath(std::string_view name) {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
  return Spawn::findProgram(name, path != nullptr ? path : "").has_value();
}

// Keeps the page on for every later start as well, whoever starts the service.
constexpr std::string_view turnOnCommand = "tarvel config set http 127.0.0.1:8787 && tarvel restart";

// The host of an address "scheme://host:port/...", without the brackets of an IPv6 one.
std::string_view hostOf(std::string_view url) {
  const auto scheme = url.find("://");
  std::string_view rest = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
  if (rest.starts_with('[')) {
    return rest.substr(1, rest.find(']') - 1);
  }
  return rest.substr(0, rest.find_first_of(":/#"));
}

// The address as a QR code on the terminal and/or in a PNG file, as asked.
int showQrCode(const Invocation& invocation, const std::string& url) {
  std::ostream& out = invocation.out;
  std::ostream& error = invocation.err;
  if (invocation.reading.has("--qr")) {
    const auto drawing = QrCode::terminalText(url);
    if (!drawing) {
      error << "tarvel web: the address is too long for a QR code\n";
      return 1;
    }
    out << *drawing;
  }
  for (const std::string_view file : invocation.reading.values("--qr-png")) {
    if (const auto problem = QrCode::writePng(url, std::filesystem::path(file))) {
      error << "tarvel web: " << *problem << "\n";
      return 1;
    }
    out << "QR code written to " << file << " (it holds the token: keep it to yourself)\n";
  }
  if (Display::WebAccess::isLoopback(hostOf(url))) {
    out << "The page is served only to this machine, so a phone cannot open this address: "
           "serve it on an address the phone reaches (tarvel config set http ADDRESS:PORT, then "
           "tarvel restart).\n";
  }
  return 0;
}

int web(const Invocation& invocation) {
  std::ostream& out = invocation.out;
  std::ostream& error = invocation.err;
  const bool open = !invocation.reading.has("--no-open");
  const auto paths = Display::ServiceFiles::Paths::standard();
  auto response = Display::ApiClient::request(paths.apiSocket, "GET", "/v1/health", {},
                                              std::chrono::milliseconds(1000));
  if (!response || response->status != 200) {
    error << "tarvel web: no service is running; start it with the web page on:\n"
          << "  " << turnOnCommand << "\n";
    return 3;
  }
  const auto health = Coding::parse(response->body);
  if (!health || !health->is_object() || !health->contains("web") ||
      !(*health)["web"].is_string()) {
    error << "tarvel web: the running service does not serve the web page; turn it on with:\n"
          << "  " << turnOnCommand << "\n"
          << "then run tarvel web again.\n";
    return 3;
  }
  auto token = Display::WebAccess::loadOrCreate(paths.tokenFile);
  if (!token) {
    error << "tarvel web: " << token.error() << "\n";
    return 1;
  }
  const std::string url = (*health)["web"].get<std::string>() + "#token=" + token->text;
  // A code is for another device: the browser here is not opened, and the address is the one
  // other devices use (public_url) when there is one.
  if (invocation.reading.has("--qr") || invocation.reading.has("--qr-png")) {
    const auto publicWeb = health->find("publicWeb");
    const std::string shared = publicWeb != health->end() && publicWeb->is_string()
                                   ? publicWeb->get<std::string>() + "#token=" + token->text
                                   : url;
    out << shared << "\n";
    return showQrCode(invocation, shared);
  }
  out << url << "\n";
  if (!open) {
    return 0;
  }
  if (!onPath("xdg-open")) {
    out << "xdg-open is not available here: open the address above in a browser.\n";
    return 0;
  }
  // The browser is given a private page that leads to the address: a command line is readable by
  // every user of the machine, and the address holds the token.
  const auto leading = Display::OpenPage::write(paths.directory, url);
  if (!leading) {
    out << leading.error() << ": open the address above in a browser.\n";
    return 0;
  }
  // It runs in the foreground like any command; the browser's own messages are not ours to show.
  if (Spawn::run({"xdg-open", Display::OpenPage::fileAddress(*leading)},
                 {.input = Spawn::inherited}, {.ownGroup = false}) != 0) {
    out << "xdg-open could not open it: open the address above in a browser.\n";
  }
  return 0;
}

std::filesystem::path unitDirectory() {
  const char* configured = std::getenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (configured != nullptr && configured[0] == '/') {
    return std::filesystem::path(configured) / "systemd" / "user";
  }
  return AgentSocketLocation::homeDirectory() / ".config" / "systemd" / "user";
}

std::string quotedForSystemd(const std::string& path) {
  if (path.find_first_of(" \t\"\\'%$") == std::string::npos) {
    return path;
  }
  std::string quoted = "\"";
  for (const char character : path) {
    if (character == '"' || character == '\\') {
      quoted += '\\';
    }
    if (character == '%') {
      quoted += '%';  // systemd expands %-specifiers
    }
    quoted += character;
  }
  return quoted + "\"";
}

int service(const Invocation& invocation) {
  std::ostream& out = invocation.out;
  std::ostream& error = invocation.err;
  const std::filesystem::path directory = unitDirectory();
  const std::filesystem::path unit = directory / "tarvel.service";
  std::error_code problem;
  if (invocation.reading.action->name == "install") {
    const std::filesystem::path executable =
        std::filesystem::read_symlink("/proc/self/exe", problem);
    if (problem) {
      error << "tarvel service: cannot tell where this tarvel program is: " << problem.message()
            << "\n";
      return 1;
    }
    std::ostringstream text;
    text << unitMarker << "\n"
         << "[Unit]\n"
         << "Description=Tarvel: what your coding agents are doing, and their prompts\n"
         << "Documentation=man:tarvel(1)\n\n"
         << "[Service]\n"
         << "Type=simple\n"
         << "ExecStart=" << quotedForSystemd(executable.string()) << " serve\n"
         << "Restart=on-failure\n"
         << "RestartSec=2\n\n"
         << "[Install]\n"
         << "WantedBy=default.target\n";
    std::filesystem::create_directories(directory, problem);
    if (const auto failure = FileReplace::replace(unit, text.str(), {.mode = 0644})) {
      error << "tarvel service: " << failure->description() << "\n";
      return 1;
    }
    out << "Wrote " << unit.string() << " (ExecStart=" << executable.string() << " serve).\n"
        << "Start it now and at every login with:\n"
        << "  systemctl --user daemon-reload && systemctl --user enable --now tarvel\n";
    return 0;
  }
  std::ifstream existing(unit);
  if (!existing) {
    out << "No unit at " << unit.string() << "; nothing to remove.\n";
    return 0;
  }
  std::string first;
  std::getline(existing, first);
  if (first != unitMarker) {
    error << "tarvel service: " << unit.string()
          << " was not written by tarvel service install; it is left alone.\n";
    return 1;
  }
  // The link `systemctl enable` made, when it points at this unit.
  const std::filesystem::path wanted = directory / "default.target.wants" / "tarvel.service";
  if (std::filesystem::read_symlink(wanted, problem) == unit) {
    std::filesystem::remove(wanted, problem);
  }
  std::filesystem::remove(unit, problem);
  if (problem) {
    error << "tarvel service: cannot remove " << unit.string() << ": " << problem.message() << "\n";
    return 1;
  }
  out << "Removed " << unit.string() << ".\n"
      << "If it is running, stop it with: systemctl --user stop tarvel && systemctl --user "
         "daemon-reload\n";
  return 0;
}

// Status and web say what is wrong in one line, without the usage.
std::string shortRefusal(const ReadProblem& problem) {
  return "tarvel " + std::string(problem.command->name) + ": " +
         CommandLine::problemWords(problem) + "\n";
}

std::string serviceRefusal(const ReadProblem& problem) {
  return std::string("tarvel service: ") +
         (problem.kind == ReadProblem::Kind::missingAction ? "install or uninstall is needed"
                                                           : "unknown arguments") +
         "\n" + CommandLine::help(*problem.command);
}

constexpr std::array statusOptions{
    Option{.name = "--json", .help = "the counts as JSON", .orNext = true},
    Option{.name = "--tmux",
           .help = "the line with tmux colours, for a status bar: set -g status-right "
                   "'#(tarvel status --tmux)'"},
};

constexpr std::array webOptions{
    Option{.name = "--no-open", .help = "only print the address"},
    Option{.name = "--qr", .help = "also draw the address as a QR code for a phone's camera"},
    Option{.name = "--qr-png",
           .value = "FILE",
           .help = "write the address as a QR code to FILE, a PNG image",
           .missing = "--qr-png needs the file to write"},
};

constexpr std::array serviceActions{
    CommandLine::Action{.name = "install", .help = "write the unit for this tarvel program"},
    CommandLine::Action{.name = "uninstall", .help = "remove the unit, when tarvel wrote it"},
};

}  // namespace

bool isHttpAddress(std::string_view text) { return parseHttpAddress(text).has_value(); }

std::optional<std::string> listenProblem(std::string_view address,
                                         const std::function<bool(std::uint16_t)>& inUseIsFine) {
  const auto listener = parseHttpAddress(address);
  if (!listener) {
    return "http takes [ADDRESS:]PORT, as 8787 or 127.0.0.1:8787";
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(listener->port);
  const std::string named = std::string(address);
  if (const int problem = ::getaddrinfo(listener->address.c_str(), port.c_str(), &hints, &found);
      problem != 0) {
    return "cannot listen at " + named + ": " + ::gai_strerror(problem);
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
  int failure = 0;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    const UniqueFd socket(
        ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
    if (!socket) {
      failure = errno;
      continue;
    }
    const int on = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(socket.get(), entry->ai_addr, entry->ai_addrlen) == 0 ||
        (errno == EADDRINUSE && inUseIsFine(listener->port))) {
      return std::nullopt;
    }
    failure = errno;
  }
  return "cannot listen at " + named + ": " + std::strerror(failure);
}

std::optional<std::string> httpArgument(const std::vector<std::string>& arguments) {
  std::optional<std::string> address;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--http" && i + 1 < arguments.size()) {
      address = arguments[++i];
    } else if (arguments[i].starts_with("--http=")) {
      address = arguments[i].substr(7);
    }
  }
  return address;
}

std::optional<std::string> checkServeArguments(const std::vector<std::string>& arguments) {
  const auto parsed = parseServe(arguments);
  if (const auto* problem = std::get_if<std::string>(&parsed)) {
    return *problem;
  }
  return std::nullopt;
}

constinit const CommandLine::Command serveCommand{
    .name = "serve",
    .summary = "run the service in the foreground",
    .help =
        "Runs the display service in the foreground (Ctrl-C or tarvel stop ends it): it "
        "receives what the agents report, holds the prompts they wait on while a display, "
        "the web page or a desktop notification can answer them, and keeps the sessions. It "
        "starts from the settings in ~/.config/tarvel/config.toml (tarvel config --help); "
        "these options win over them.",
    .options = serveOptions,
    .run = serve,
};

constinit const CommandLine::Command statusCommand{
    .name = "status",
    .summary = "print one line from the running service",
    .help =
        "One line from the running service: \"2 waiting · 3 working\" (agents that wait for "
        "your answer, agents running on their own: not waiting, idle or just started), or "
        "\"idle\". The terminal display and the web page count the same way. Exit status 3: "
        "no service runs; 4: it runs but did not answer in time (busy).",
    .options = statusOptions,
    .run = status,
    .refusal = shortRefusal,
};

constinit const CommandLine::Command webCommand{
    .name = "web",
    .summary = "print and open the web page's address",
    .help =
        "Prints the web page's address with its token and opens it in a browser. When the "
        "service does not serve the page, says the command that turns it on.",
    .options = webOptions,
    .run = web,
    .refusal = shortRefusal,
};

constinit const CommandLine::Command serviceCommand{
    .name = "service",
    .summary = "write or remove the systemd user unit",
    .help =
        "The systemd user unit ~/.config/systemd/user/tarvel.service runs tarvel serve at "
        "every login once enabled; the service takes its settings from "
        "~/.config/tarvel/config.toml.",
    .actions = serviceActions,
    .run = service,
    .refusal = serviceRefusal,
};

}  // namespace tarvel::ServiceCommands
