#include "QuoyaCore/CodexAppServer.hpp"

#include <cstdint>
#include <optional>

#include "TarvelCore/Platform/JSONLinesChild.hpp"
#include "TarvelCore/Platform/Spawn.hpp"

namespace quoya::CodexAppServer {
namespace {

using tarvel::Json;

constexpr std::int64_t initializeId = 1;
constexpr std::int64_t firstRequestId = 2;

// The message's integer id, absent when it has none (a notification, or no JSON-RPC at all).
std::optional<std::int64_t> idOf(const Json& message) {
  if (!message.is_object()) {
    return std::nullopt;
  }
  const auto id = message.find("id");
  if (id == message.end() || !id->is_number_integer() ||
      (id->is_number_unsigned() && id->get<std::uint64_t>() > INT64_MAX)) {
    return std::nullopt;
  }
  return id->get<std::int64_t>();
}

}  // namespace

void ask(const std::vector<std::string>& command, const Client& client,
         const std::vector<Request>& requests, const Limits& limits,
         const std::function<void(std::size_t, const Json&)>& answered) {
  namespace Spawn = tarvel::Spawn;
  auto child = Spawn::start(command, {.input = Spawn::piped, .output = Spawn::piped});
  if (!child) {
    return;
  }
  {
    tarvel::JSONLinesChild conversation(*child);
    conversation.send(
        Json{{"id", initializeId},
             {"method", "initialize"},
             {"params", {{"clientInfo", {{"name", client.name}, {"version", client.version}}}}}});
    std::vector<bool> done(requests.size(), false);
    std::size_t answers = 0;
    bool initialized = false;
    conversation.run(
        {.deadline = limits.deadline,
         .maximumBytes = limits.maximumOutputBytes,
         .readChunkBytes = limits.readChunkBytes,
         .readinessWait = limits.readinessWait},
        [&](const Json& message) {
          const auto id = idOf(message);
          if (!id) {
            return false;
          }
          if (*id == initializeId) {
            if (initialized) {
              return false;
            }
            if (message.contains("error")) {
              return true;  // nothing else will be answered
            }
            initialized = true;
            conversation.send(Json{{"method", "initialized"}});
            for (std::size_t index = 0; index < requests.size(); ++index) {
              conversation.send(Json{{"id", firstRequestId + static_cast<std::int64_t>(index)},
                                     {"method", requests[index].method},
                                     {"params", requests[index].params}});
            }
            return requests.empty();
          }
          if (*id < firstRequestId ||
              static_cast<std::uint64_t>(*id - firstRequestId) >= requests.size()) {
            return false;
          }
          const auto index = static_cast<std::size_t>(*id - firstRequestId);
          if (!initialized || done[index]) {
            return false;
          }
          done[index] = true;
          answered(index, message);
          return ++answers == requests.size();
        });
  }
  child->end(limits.terminationGrace);
}

}  // namespace quoya::CodexAppServer
