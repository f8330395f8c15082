#include "TarvelDisplay/Remote/RemoteHosts.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"

namespace tarvel::Display::RemoteHosts {
namespace {

constexpr std::size_t maximumFileBytes = 1 << 20;
// Output kept from one run; a program that says more is cut, never waited on.
constexpr std::size_t maximumOutputBytes = 8 << 20;

}  // namespace

std::filesystem::path defaultPath() {
  return AgentSocketLocation::tarvelDirectory() / "remotes.json";
}

Result<std::vector<Host>, std::string> load(const std::filesystem::path& file) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT) {
      return std::vector<Host>{};
    }
    return "Cannot read " + file.string() + ": " + std::strerror(errno);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) > maximumFileBytes) {
    return file.string() + " is not a regular file of at most 1 MiB";
  }
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t got = ::read(fd.get(), text.data() + done, text.size() - done);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  text.resize(done);
  const auto parsed = Coding::parse(text);
  const auto damaged = [&file] {
    return file.string() + " is damaged (expected {\"remotes\": [{\"host\", \"home\", \"agents\"}]})";
  };
  if (!parsed || !parsed->is_object()) {
    return damaged();
  }
  const auto list = parsed->find("remotes");
  if (list == parsed->end() || !list->is_array()) {
    return damaged();
  }
  std::vector<Host> hosts;
  for (const Json& entry : *list) {
    const auto host = entry.find("host");
    const auto home = entry.find("home");
    if (!entry.is_object() || host == entry.end() || !host->is_string() || home == entry.end() ||
        !home->is_string() || host->get_ref<const std::string&>().empty() ||
        !home->get_ref<const std::string&>().starts_with('/')) {
      return damaged();
    }
    Host decoded{.destination = host->get<std::string>(), .home = home->get<std::string>()};
    if (const auto agents = entry.find("agents"); agents != entry.end() && agents->is_array()) {
      for (const Json& agent : *agents) {
        if (agent.is_string()) {
          decoded.agents.push_back(agent.get<std::string>());
        }
      }
    }
    hosts.push_back(std::move(decoded));
  }
  return hosts;
}

std::vector<std::string> sshCommand(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv;
  const char* configured = std::getenv("TARVEL_SSH_COMMAND");  // NOLINT(concurrency-mt-unsafe)
  if (configured != nullptr &&
      std::string_view(configured).find_first_not_of(" \t\n") != std::string_view::npos) {
    argv = {"/bin/sh", "-c", std::string(configured) + " \"$@\"", "ssh"};
  } else {
    argv = {"ssh"};
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

std::string shellQuoted(std::string_view text) {
  std::string quoted = "'";
  for (const char character : text) {
    if (character == '\'') {
      quoted += "'\\''";
    } else {
      quoted += character;
    }
  }
  return quoted + "'";
}

std::string remoteEventSocket(const Host& host) { return host.home + "/.tarvel/agent.sock"; }
std::string remoteReplySocket(const Host& host) { return host.home + "/.tarvel/reply.sock"; }

Result<Outcome, std::string> run(const std::vector<std::string>& argv, std::string_view input,
                                 std::chrono::milliseconds limit,
                                 const std::function<void(pid_t)>& started) {
  auto collected = Spawn::collect(argv, input, limit, maximumOutputBytes, started);
  if (!collected) {
    return collected.error();
  }
  return Outcome{.exitStatus = collected->ending.exitStatus,
                 .out = std::move(collected->output),
                 .err = std::move(collected->error),
                 .timedOut = collected->timedOut};
}

std::string lastMessage(std::string_view text) {
  std::string last;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty() && !line.starts_with("debug") && !line.starts_with("OpenSSH_") &&
        !line.starts_with("Authenticated to") && !line.starts_with("Transferred:") &&
        !line.starts_with("Bytes per second") && !line.starts_with("Connection to ") &&
        !line.starts_with("Warning: Permanently added")) {
      last = line;
    }
  }
  return last;
}

}  // namespace tarvel::Display::RemoteHosts
