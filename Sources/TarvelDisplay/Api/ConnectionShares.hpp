#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tarvel::Display {

// Who may hold how many of the TCP server's connections, so that clients without the token
// cannot take the room its owner needs: the user the service runs as, on this machine, any
// number (up to the server's total); each other user of this machine at most `perOtherUser`;
// each other address at most `perAddress`. The user behind a loopback connection is found in
// /proc/net/tcp and /proc/net/tcp6, where the peer's own socket lists its owner.
// Thread: every member from any thread; `mutex` guards the counts.
class ConnectionShares {
 public:
  ConnectionShares(unsigned perAddress, unsigned perOtherUser);

  // Whether a connection from `peer` may be accepted now.
  bool admits(const sockaddr* peer) const;
  // Counts the connection `key` from `peer` until closed(key).
  void opened(const void* key, const sockaddr* peer);
  void closed(const void* key);

  // The user whose socket connected from `peer`, a loopback address of this machine; nothing
  // for another machine's address, or when no socket of this machine lists it.
  static std::optional<uid_t> localUser(const sockaddr* peer);

 private:
  // The share `peer` draws on, and its limit; absent for the owner's own connections.
  std::optional<std::pair<std::string, unsigned>> shareOf(const sockaddr* peer) const;

  unsigned perAddress;
  unsigned perOtherUser;
  uid_t owner;
  mutable std::mutex mutex;
  std::map<std::string, unsigned> counts;
  std::map<const void*, std::string> members;
};

}  // namespace tarvel::Display
