#pragma once

#include <string_view>

namespace tarvel {

// Writes every byte to `fd`, looping over partial writes and interruptions. False when a write
// fails (errno tells why) or writes nothing. Never raises SIGPIPE on its own: callers that write
// to pipes or sockets ignore it or use send() with MSG_NOSIGNAL.
bool writeAll(int fd, std::string_view bytes);

}  // namespace tarvel
