// Maps arbitrary bytes as a hook document of each served provider and of one that is not served.
// Every event produced must encode to a line that decodes again.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "QuoyaCore/CodexHookMapper.hpp"

using namespace tarvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Date now = Dates::fromSecondsSince1970(1'765'000'000);
  static const std::array<AgentProvider, 4> providers{
      AgentProvider::codex, AgentProvider::claudeCode, AgentProvider::geminiCLI,
      AgentProvider::grok};
  for (const AgentProvider& provider : providers) {
    const auto mapped = quoya::CodexHookMapper::event(bytes, now, provider);
    if (!mapped || !mapped->has_value()) {
      continue;
    }
    const AgentEvent& event = **mapped;
    if (event.sessionId.empty()) {
      std::abort();
    }
    const std::string line = encodeEventLine(event);
    if (!decodeEventLine(line)) {
      std::abort();
    }
  }
  return 0;
}
