#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/UUID.hpp"

// The waiting hook's end of the reply socket.
namespace tarvel::UnixReplyClient {

// Longest acknowledgement and reply lines the client reads (line feed not counted); a line that
// reaches the limit without its line feed makes the client give up.
inline constexpr std::size_t maximumAcknowledgementBytes = 1023;
inline constexpr std::size_t maximumReplyBytes = 8191;

// What a hook writes once it has read its answer, when its hello offered a receipt
// ("confirmsReceipt") and the acknowledgement asked for one ("wantsReceipt").
inline constexpr std::string_view receiptLine = "{\"received\":true}\n";

// What tells a waiting hook that its agent is gone, so it stops waiting for an answer nobody can
// use: `output` (the hook's standard output, which its agent reads; -1: not watched) reports a
// hang-up or an error because the agent closed its end by exiting, or the hook's parent is no
// longer `parent` (0: not watched) because it exited and the hook was adopted.
struct AgentWatch {
  int output = -1;
  std::int32_t parent = 0;
};

// Registers for prompt `id` on the reply socket at `socketURL`, calls `afterRegistration` once the
// server has acknowledged, and blocks the calling thread until the answer arrives. When
// `afterRegistration` returns false (the prompt could not be shown), the client withdraws at once:
// it closes its connection, so the server forgets the prompt, and returns absent. The whole
// exchange ends `timeoutSeconds` (at least 1) after the call, however the bytes arrive. The hello
// offers a receipt; when the acknowledgement asks for it, the answer read is confirmed with
// `receiptLine` before it is returned. An answer read whole for this prompt is returned whether
// or not the receipt goes out (the server may close as soon as it has written). Absent when
// anything else fails: no server, a server running as another user, no acknowledgement within
// 2 seconds, a malformed or oversized line, the server closing before the answer, the time
// running out, an answer for another prompt, or (while waiting for the answer) `watch` telling
// that the agent is gone, looked at as the socket wakes and at least twice a second. Never
// throws; an exception thrown by `afterRegistration` also ends the wait with absent.
std::optional<AgentReply> awaitReply(const UUID& id, const std::filesystem::path& socketURL,
                                     std::int64_t timeoutSeconds,
                                     const std::function<bool()>& afterRegistration = {},
                                     AgentWatch watch = {});

// Writes `value` with the shared encoder and one line feed to `descriptor`, looping over partial
// writes (and interruptions) without raising SIGPIPE. False when encoding or any write fails.
// Used by both ends of the reply socket.
bool writeLine(const Json& value, int descriptor);

}  // namespace tarvel::UnixReplyClient
