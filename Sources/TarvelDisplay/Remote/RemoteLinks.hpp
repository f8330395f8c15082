#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelDisplay/Remote/RemoteHosts.hpp"

namespace tarvel::Display {

// Keeps one `ssh -N` per recorded remote host that forwards the remote's ".tarvel/agent.sock"
// and ".tarvel/reply.sock" to this machine's sockets, so the remote's hooks reach this service.
// Before each connection a short ssh run clears stale socket files there (and refuses a host that
// runs a tarvel serve of its own); a link that ends is started again after a pause that doubles
// from one second up to thirty, back to one once a link came up. When a link drops, sshd closes
// every forwarded connection, so waiting remote hooks get end-of-file at once.
// The hosts may change while it runs (setHosts): a new host gets its link, a removed one's ssh
// is ended.
// Thread: one thread per host; statuses() from any thread; start(), setHosts() and stop() from
// the owner's.
class RemoteLinks {
 public:
  struct Status {
    std::string host;
    bool connected = false;
    std::optional<Date> since;  // when it last came up or went down
    std::optional<std::string> lastError;
    bool operator==(const Status&) const = default;
  };

  // `changed` is called (on a link's thread) whenever a status changes.
  RemoteLinks(std::vector<RemoteHosts::Host> hosts, std::string localEventSocket,
              std::string localReplySocket, std::function<void()> changed);
  ~RemoteLinks();
  RemoteLinks(const RemoteLinks&) = delete;
  RemoteLinks& operator=(const RemoteLinks&) = delete;

  void start();
  // Keeps exactly `hosts` connected from now on: links of hosts that are no longer listed (or
  // whose record changed) are ended and waited for, new ones are started when start() ran.
  void setHosts(std::vector<RemoteHosts::Host> hosts);
  // Ends every ssh process and waits for the threads.
  void stop();
  std::vector<Status> statuses() const;

  static Json encode(const std::vector<Status>& statuses);

  // The host whose link forwarded a connection made by `process` (the link's ssh, or a process
  // it started), named as its destination names it without the user ("devbox" for
  // "dev@devbox"); nothing for any other process. Any thread.
  std::optional<std::string> hostBehind(pid_t process) const;

 private:
  struct Link {
    RemoteHosts::Host host;
    Status status;
    pid_t child = 0;  // the running ssh, 0 when none
    bool ending = false;  // the host was removed: the link ends for good
    std::thread thread;
  };
  static std::unique_ptr<Link> makeLink(RemoteHosts::Host host);
  void startThread(Link& link);
  bool ends(const Link& link) const;  // with `mutex` held
  void keep(Link& link);
  // Runs one connection until ssh ends; why it ended. Resets `nextPause` once the link is up.
  std::optional<std::string> runLink(Link& link, std::chrono::milliseconds& nextPause,
                                     const std::function<void(pid_t)>& started);
  void update(Link& link, bool connected, std::optional<std::string> error);
  bool pause(const Link& link, std::chrono::milliseconds length);

  std::string localEventSocket;
  std::string localReplySocket;
  std::function<void()> changed;
  mutable std::mutex mutex;  // guards every Link's status and child, and stopping
  std::condition_variable wake;
  bool stopping = false;
  bool started = false;
  std::vector<std::unique_ptr<Link>> links;
};

}  // namespace tarvel::Display
