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

}  // namespace tarvel
