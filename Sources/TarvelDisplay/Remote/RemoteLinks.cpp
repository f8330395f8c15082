#include "TarvelDisplay/Remote/RemoteLinks.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/WorkQueue.hpp"

namespace tarvel::Display {
namespace {

const Log::Logger& linkLog() {
  static const Log::Logger logger("remote");
  return logger;
}

constexpr auto firstPause = std::chrono::milliseconds(1000);
constexpr auto longestPause = std::chrono::milliseconds(30000);
constexpr auto prepareLimit = std::chrono::seconds(30);

// Exit status of the preparation when the host runs a tarvel serve of its own.
constexpr int ownServiceStatus = 3;

// Run on the remote before each connection: the folder exists (0700, not a link), no service of
// its own holds it, and socket files left by an earlier link are gone so the forwards can bind.
std::string preparation(const RemoteHosts::Host& host) {
  const std::string directory = RemoteHosts::shellQuoted(host.home + "/.tarvel");
  return "d=" + directory +
         "; if [ -L \"$d\" ]; then echo \"$d is a symbolic link\" >&2; exit 4; fi"
         "; mkdir -p \"$d\" && chmod 700 \"$d\" || exit 4"
         "; if [ -e \"$d/serve.lock\" ] && command -v flock >/dev/null 2>&1 &&"
         " ! flock -n \"$d/serve.lock\" true; then exit " +
         std::to_string(ownServiceStatus) +
         "; fi"
         "; rm -f \"$d/agent.sock\" \"$d/reply.sock\"";
}

}  // namespace

std::optional<std::string> RemoteLinks::runLink(Link& link, std::chrono::milliseconds& nextPause,
                                                const std::function<void(pid_t)>& started) {
  // ssh -v says "remote forward success" once per forward that the remote accepted: the link is
  // up when both are. The rest of its debug output is read and dropped.
  // The link never shares a connection through a control master from the person's ssh
  // settings: the forwarded connections would then come from the master, not from this link's
  // own ssh, and could not be told to be this host's.
  const std::vector<std::string> argv = RemoteHosts::sshCommand(
      {"-N", "-v", "-o", "BatchMode=yes", "-o", "ControlMaster=no", "-o", "ControlPath=none",
       "-o", "ExitOnForwardFailure=yes", "-o",
       "ServerAliveInterval=10", "-o", "ServerAliveCountMax=3", "-R",
       RemoteHosts::remoteEventSocket(link.host) + ":" + localEventSocket, "-R",
       RemoteHosts::remoteReplySocket(link.host) + ":" + localReplySocket,
       link.host.destination});
  auto child = Spawn::start(argv, {.error = Spawn::piped});
  if (!child) {
    return child.error();
  }
  started(child->pid());

  std::string pending;
  std::string lastLine;
  int forwards = 0;
  char buffer[4096];
  while (true) {
    const ssize_t got = ::read(child->error.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    std::size_t end = 0;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.find("remote forward success") != std::string::npos && ++forwards == 2) {
        nextPause = firstPause;
        update(link, true, std::nullopt);
        linkLog().info("Link to %s up", {Log::value(link.host.destination)});
      }
      if (const std::string message = RemoteHosts::lastMessage(line); !message.empty()) {
        lastLine = message;
      }
    }
    if (pending.size() > 65536) {
      pending.clear();
    }
  }
  const Spawn::Ending ending = child->wait();
  if (!lastLine.empty()) {
    return lastLine;
  }
  if (ending.signal != 0) {
    return "ssh ended by signal " + std::to_string(ending.signal);
  }
  return "ssh ended with status " + std::to_string(ending.exitStatus);
}

RemoteLinks::RemoteLinks(std::vector<RemoteHosts::Host> hosts, std::string localEventSocket,
                         std::string localReplySocket, std::function<void()> changed)
    : localEventSocket(std::move(localEventSocket)),
      localReplySocket(std::move(localReplySocket)),
      changed(std::move(changed)) {
  for (RemoteHosts::Host& host : hosts) {
    links.push_back(makeLink(std::move(host)));
  }
}

RemoteLinks::~RemoteLinks() { stop(); }

std::optional<std::string> RemoteLinks::hostBehind(pid_t process) const {
  // A link's ssh may run under a wrapper (TARVEL_SSH_COMMAND's shell), and forwards with its
  // own process: the link's child is the connecting process or one of its nearest ancestors.
  constexpr int maximumLevels = 3;
  std::optional<std::int32_t> candidate = process;
  for (int level = 0; level <= maximumLevels && candidate && *candidate > 1; ++level) {
    {
      const std::scoped_lock lock(mutex);
      for (const auto& link : links) {
        if (link && link->child == *candidate) {
          const std::string& destination = link->host.destination;
          const auto at = destination.rfind('@');
          return at == std::string::npos ? destination : destination.substr(at + 1);
        }
      }
    }
    candidate = AgentProcessIdentity::parentOf(*candidate);
  }
  return std::nullopt;
}

std::unique_ptr<RemoteLinks::Link> RemoteLinks::makeLink(RemoteHosts::Host host) {
  auto link = std::make_unique<Link>();
  link->status.host = host.destination;
  link->status.lastError = "not connected yet";
  link->host = std::move(host);
  return link;
}

void RemoteLinks::startThread(Link& link) {
  link.thread = std::thread([this, &link] {
    setCurrentThreadName("com.tarvel.remote.link");
    keep(link);
  });
}

bool RemoteLinks::ends(const Link& link) const { return stopping || link.ending; }

void RemoteLinks::start() {
  const std::scoped_lock guard(mutex);
  started = true;
  for (auto& link : links) {
    startThread(*link);
  }
}

void RemoteLinks::setHosts(std::vector<RemoteHosts::Host> hosts) {
  std::vector<std::unique_ptr<Link>> ended;
  bool listChanged = false;
  {
    const std::scoped_lock guard(mutex);
    if (stopping) {
      return;
    }
    std::vector<std::unique_ptr<Link>> kept;
    for (RemoteHosts::Host& host : hosts) {
      const auto found = std::find_if(links.begin(), links.end(), [&](const auto& link) {
        return link && link->host == host;
      });
      if (found != links.end()) {
        kept.push_back(std::move(*found));
        continue;
      }
      linkLog().info("Connecting the new host %s", {Log::value(host.destination)});
      kept.push_back(makeLink(std::move(host)));
      if (started) {
        startThread(*kept.back());
      }
      listChanged = true;
    }
    for (auto& link : links) {
      if (!link) {
        continue;
      }
      linkLog().info("Ending the link to %s: the host was removed",
                     {Log::value(link->host.destination)});
      link->ending = true;
      if (link->child > 0) {
        ::kill(-link->child, SIGTERM);
      }
      ended.push_back(std::move(link));
      listChanged = true;
    }
    links = std::move(kept);
  }
  wake.notify_all();
  for (auto& link : ended) {
    if (link->thread.joinable()) {
      link->thread.join();
    }
  }
  if (listChanged && changed) {
    changed();
  }
}

void RemoteLinks::stop() {
  {
    const std::scoped_lock guard(mutex);
    stopping = true;
    for (auto& link : links) {
      if (link->child > 0) {
        ::kill(-link->child, SIGTERM);
      }
    }
  }
  wake.notify_all();
  for (auto& link : links) {
    if (link->thread.joinable()) {
      link->thread.join();
    }
  }
}

std::vector<RemoteLinks::Status> RemoteLinks::statuses() const {
  const std::scoped_lock guard(mutex);
  std::vector<Status> list;
  for (const auto& link : links) {
    list.push_back(link->status);
  }
  return list;
}

Json RemoteLinks::encode(const std::vector<Status>& statuses) {
  Json list = Json::array();
  for (const Status& status : statuses) {
    Json entry{{"host", status.host}, {"connected", status.connected}};
    entry["since"] = status.since ? Json(Dates::iso8601(*status.since)) : Json(nullptr);
    entry["lastError"] = status.lastError ? Json(*status.lastError) : Json(nullptr);
    list.push_back(std::move(entry));
  }
  return list;
}

void RemoteLinks::update(Link& link, bool connected, std::optional<std::string> error) {
  {
    const std::scoped_lock guard(mutex);
    if (link.status.connected != connected || !link.status.since) {
      link.status.since = Dates::now();
    }
    link.status.connected = connected;
    if (connected) {
      link.status.lastError.reset();
    } else if (error) {
      link.status.lastError = std::move(error);
    }
  }
  if (changed) {
    changed();
  }
}

bool RemoteLinks::pause(const Link& link, std::chrono::milliseconds length) {
  std::unique_lock guard(mutex);
  return !wake.wait_for(guard, length, [this, &link] { return ends(link); });
}

void RemoteLinks::keep(Link& link) {
  auto nextPause = firstPause;
  const auto remember = [this, &link](pid_t pid) {
    const std::scoped_lock guard(mutex);
    link.child = pid;
    if (ends(link)) {
      ::kill(-pid, SIGTERM);
    }
  };
  const auto forget = [this, &link] {
    const std::scoped_lock guard(mutex);
    link.child = 0;
  };
  while (true) {
    {
      const std::scoped_lock guard(mutex);
      if (ends(link)) {
        return;
      }
    }
    const auto prepared = RemoteHosts::run(
        RemoteHosts::sshCommand({"-o", "BatchMode=yes", link.host.destination,
                                 "sh -c " + RemoteHosts::shellQuoted(preparation(link.host))}),
        {}, prepareLimit, remember);
    forget();
    std::optional<std::string> problem;
    if (!prepared) {
      problem = prepared.error();
    } else if (prepared->exitStatus == ownServiceStatus) {
      problem = "a tarvel serve of its own runs on " + link.host.destination +
                "; its agents report there (stop it to use this machine's service)";
    } else if (prepared->exitStatus != 0) {
      const std::string message = RemoteHosts::lastMessage(prepared->err);
      problem = prepared->timedOut ? std::string("no answer within 30 s")
                : message.empty()  ? "ssh ended with status " + std::to_string(prepared->exitStatus)
                                   : message;
    }
    if (!problem) {
      problem = runLink(link, nextPause, remember);
      forget();
    }
    {
      const std::scoped_lock guard(mutex);
      if (link.ending) {
        return;  // removed: its status is no longer listed
      }
    }
    update(link, false, problem);
    linkLog().info("Link to %s down: %s",
                   {Log::value(link.host.destination), Log::value(problem.value_or(""))});
    if (!pause(link, nextPause)) {
      return;
    }
    nextPause = std::min(nextPause * 2, longestPause);
  }
}

}  // namespace tarvel::Display
