#include "TarvelCore/Platform/AgentSocketError.hpp"

#include <array>
#include <cstring>

namespace tarvel {

std::string errorText(int errorNumber) {
  std::array<char, 256> buffer{};
  // GNU strerror_r returns the message, which may or may not live in `buffer`.
  return ::strerror_r(errorNumber, buffer.data(), buffer.size());
}

std::string AgentSocketError::description() const {
  switch (kind) {
    case Kind::systemCall:
      return call + " failed: " + errorText(errorNumber);
    case Kind::pathTooLong:
      return "The Unix socket path is too long.";
    case Kind::invalidEvent:
      return "The socket received an invalid event.";
    case Kind::alreadyInUse:
      return "Another Tarvel instance is already listening on this socket.";
    case Kind::fileSystem:
      return call + "(" + path + ") failed: " + errorText(errorNumber);
    case Kind::foreignOwner:
      return path + " belongs to another user (uid " + std::to_string(ownerUser.value_or(0)) +
             "); Tarvel does not use a socket it does not own. Remove it and start again.";
  }
  return "Unknown socket error.";
}

AgentSocketError AgentSocketError::systemCall(std::string_view call, int errorNumber) {
  return AgentSocketError{
      .kind = Kind::systemCall, .call = std::string(call), .errorNumber = errorNumber};
}

AgentSocketError AgentSocketError::fileSystem(std::string_view call, std::string_view path,
                                              int errorNumber) {
  return AgentSocketError{.kind = Kind::fileSystem,
                          .call = std::string(call),
                          .errorNumber = errorNumber,
                          .path = std::string(path)};
}

AgentSocketError AgentSocketError::foreignOwner(std::string_view path, std::uint32_t ownerUser) {
  return AgentSocketError{
      .kind = Kind::foreignOwner, .path = std::string(path), .ownerUser = ownerUser};
}

}  // namespace tarvel
