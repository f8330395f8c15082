#include "TarvelDisplay/Api/ConnectionShares.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace tarvel::Display {
namespace {

// The address as /proc/net/tcp{,6} prints a socket's: the address's 32-bit words in this
// machine's byte order, in hex, then the port. Absent unless `peer` is a loopback address.
std::optional<std::pair<std::string, const char*>> procEntry(const sockaddr* peer) {
  std::array<char, 64> text{};
  if (peer->sa_family == AF_INET) {
    sockaddr_in address{};
    std::memcpy(&address, peer, sizeof address);
    if ((ntohl(address.sin_addr.s_addr) >> 24) != 127) {
      return std::nullopt;
    }
    std::snprintf(text.data(), text.size(), "%08X:%04X", address.sin_addr.s_addr,
                  ntohs(address.sin_port));
    return std::pair{std::string(text.data()), "/proc/net/tcp"};
  }
  if (peer->sa_family == AF_INET6) {
    sockaddr_in6 address{};
    std::memcpy(&address, peer, sizeof address);
    const bool mapped = IN6_IS_ADDR_V4MAPPED(&address.sin6_addr) &&
                        address.sin6_addr.s6_addr[12] == 127;
    if (!IN6_IS_ADDR_LOOPBACK(&address.sin6_addr) && !mapped) {
      return std::nullopt;
    }
    std::array<std::uint32_t, 4> words{};
    std::memcpy(words.data(), address.sin6_addr.s6_addr, sizeof words);
    std::snprintf(text.data(), text.size(), "%08X%08X%08X%08X:%04X", words[0], words[1],
                  words[2], words[3], ntohs(address.sin6_port));
    return std::pair{std::string(text.data()), "/proc/net/tcp6"};
  }
  return std::nullopt;
}

std::string addressText(const sockaddr* peer) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (peer->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, text.data(),
                text.size());
  } else if (peer->sa_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, text.data(),
                text.size());
  }
  return text.data();
}

}  // namespace

ConnectionShares::ConnectionShares(unsigned perAddress, unsigned perOtherUser)
    : perAddress(perAddress), perOtherUser(perOtherUser), owner(::geteuid()) {}

std::optional<uid_t> ConnectionShares::localUser(const sockaddr* peer) {
  const auto entry = procEntry(peer);
  if (!entry) {
    return std::nullopt;
  }
  // "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ..."
  std::ifstream table(entry->second);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::array<char, 64> local{};
    unsigned long uid = 0;
    if (std::sscanf(line.c_str(), " %*u: %63s %*s %*x %*s %*s %*s %lu", local.data(), &uid) == 2 &&
        entry->first == local.data()) {
      return static_cast<uid_t>(uid);
    }
  }
  return std::nullopt;
}

std::optional<std::pair<std::string, unsigned>> ConnectionShares::shareOf(
    const sockaddr* peer) const {
  if (procEntry(peer)) {
    const auto user = localUser(peer);
    if (user == owner) {
      return std::nullopt;
    }
    // A connection whose socket is already gone counts with the strangers'.
    return std::pair{"user " + (user ? std::to_string(*user) : std::string("?")), perOtherUser};
  }
  return std::pair{"address " + addressText(peer), perAddress};
}

bool ConnectionShares::admits(const sockaddr* peer) const {
  const auto share = shareOf(peer);
  if (!share) {
    return true;
  }
  const std::scoped_lock lock(mutex);
  const auto found = counts.find(share->first);
  return found == counts.end() || found->second < share->second;
}

void ConnectionShares::opened(const void* key, const sockaddr* peer) {
  auto share = shareOf(peer);
  if (!share) {
    return;
  }
  const std::scoped_lock lock(mutex);
  ++counts[share->first];
  members[key] = std::move(share->first);
}

void ConnectionShares::closed(const void* key) {
  const std::scoped_lock lock(mutex);
  const auto member = members.find(key);
  if (member == members.end()) {
    return;
  }
  if (const auto count = counts.find(member->second); count != counts.end() && --count->second == 0) {
    counts.erase(count);
  }
  members.erase(member);
}

}  // namespace tarvel::Display
