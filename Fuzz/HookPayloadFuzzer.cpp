// Decodes arbitrary bytes as a hook document. Besides the sanitizers' checks, a decoded tool
// input must survive the JSON round trip unchanged, and copies must compare and hash alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/HookEventName.hpp"

using namespace tarvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto payload = AgentHookInput::decode(bytes);
  if (!payload) {
    if (payload.error().description().empty()) {
      std::abort();
    }
    return 0;
  }
  const AgentHookPayload copy = *payload;
  if (!(copy == *payload) ||
      std::hash<AgentHookPayload>{}(copy) != std::hash<AgentHookPayload>{}(*payload)) {
    std::abort();
  }
  if (payload->timestamp && !Dates::isWritable(*payload->timestamp)) {
    std::abort();
  }
  if (payload->toolInput) {
    auto reparsed = Coding::parse(Coding::encode(payload->toolInput->toJSON()));
    if (!reparsed) {
      std::abort();
    }
    auto back = JSONValue::fromJSON(*reparsed);
    if (!back || !(*back == *payload->toolInput)) {
      std::abort();
    }
  }
  const auto name = HookEventNames::fromRawEventName(payload->hookEventName);
  const std::string metadata = HookEventNames::metadataName(payload->hookEventName);
  if (!name && metadata != payload->hookEventName) {
    std::abort();
  }
  if (name && HookEventNames::fromRawEventName(metadata) != name) {
    std::abort();
  }
  return 0;
}
