#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Waiting.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

// A test's own peers on a socket: a client or a server that speaks only what the test writes,
// where a real client or server of ours would hide what the test is after.
namespace tarvel::Testing {

// A stream socket connected to the Unix socket `path`, or empty when none accepts there. Reads
// and writes on it give up after `limit`, so that a broken test cannot hang.
UniqueFd connectTo(const std::filesystem::path& path,
                   std::chrono::milliseconds limit = generousBound);
// The same, connected to 127.0.0.1:`port`.
UniqueFd connectTo(std::uint16_t port, std::chrono::milliseconds limit = generousBound);
// A socket listening at `path` (any file there is replaced; its folder is made).
UniqueFd listenAt(const std::filesystem::path& path, int backlog = 16);

// Reads and writes on `descriptor` give up after `limit`.
void setTimeouts(int descriptor, std::chrono::milliseconds limit);

// Writes all of `bytes`; false when the peer is gone.
bool sendAll(int descriptor, std::string_view bytes);
// Reads up to and including the first line feed; absent on end of stream, error or time-out.
std::optional<std::string> readLine(int descriptor);
// Everything until the peer closes; `endedCleanly` is false when the time ran out first (a peer
// that closes with unread data resets the connection, which counts as closing).
std::string readToEnd(int descriptor, bool* endedCleanly = nullptr);

}  // namespace tarvel::Testing
