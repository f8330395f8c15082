#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/AgentSocketError.hpp"

// The one-shot event client: connect, write one event line, close. Nothing is read back.
// Stateless; safe from any thread and any number of processes at once. Send and receive are
// each limited to 0.25 s, and a vanished peer gives a write error, never SIGPIPE.
namespace tarvel::UnixSocketClient {

// Sends the event's line (shared encoder + line feed) to the socket at `socketURL`.
// Fails with systemCall("connect", ...) when nobody listens, systemCall("write", ...) when the
// peer stops reading or closes, foreignOwner when the listener runs as another user; the event is
// then lost. The one retry: a connection the server closed before it took a single byte (it ends
// silent connections) is made once more, which cannot deliver the event twice.
[[nodiscard]] std::optional<AgentSocketError> send(const AgentEvent& event,
                                                   const std::filesystem::path& socketURL);

// Sends `bytes` as they are, with the same limits and retry as send().
[[nodiscard]] std::optional<AgentSocketError> sendBytes(std::string_view bytes,
                                                        const std::filesystem::path& socketURL);

}  // namespace tarvel::UnixSocketClient
