#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// The error of every socket operation. `description()` is the human-readable text callers show
// and log, such as "connect failed: Connection refused".
struct AgentSocketError {
  enum class Kind {
    systemCall,    // `call` failed with `errorNumber`
    pathTooLong,   // the socket path does not fit an address
    invalidEvent,  // for callers; no socket operation raises it
    alreadyInUse,  // another process accepts on the path
    fileSystem,    // a directory or file operation on `path` failed with `errorNumber`
    foreignOwner,  // `path` belongs to, or is served by, the user `ownerUser`, not this one
  };

  Kind kind = Kind::systemCall;
  std::string call;     // "socket", "connect", "write", "open", "bind", ..., or "mkdir", "chmod"
  int errorNumber = 0;  // errno of the failed call
  std::string path;     // the file concerned, when there is one
  std::optional<std::uint32_t> ownerUser;  // foreignOwner: the other user's id

  // "<call> failed: <strerror>", "The Unix socket path is too long.", ...
  // fileSystem: "<call>(<path>) failed: <strerror>".
  // foreignOwner: "<path> belongs to another user (uid <n>); ...".
  std::string description() const;

  static AgentSocketError systemCall(std::string_view call, int errorNumber);
  static AgentSocketError fileSystem(std::string_view call, std::string_view path, int errorNumber);
  static AgentSocketError foreignOwner(std::string_view path, std::uint32_t ownerUser);
  static AgentSocketError pathTooLong() { return AgentSocketError{.kind = Kind::pathTooLong}; }
  static AgentSocketError invalidEvent() { return AgentSocketError{.kind = Kind::invalidEvent}; }
  static AgentSocketError alreadyInUse() { return AgentSocketError{.kind = Kind::alreadyInUse}; }

  bool operator==(const AgentSocketError&) const = default;
};

// The platform's text for an error number ("Connection refused"); thread-safe.
std::string errorText(int errorNumber);

}  // namespace tarvel
