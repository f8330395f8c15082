// Decodes arbitrary bytes as an event line. The line decoder must agree with the strict tree
// decoder (the same event, or the same error), and the event's text with the tree's text; a
// decoded event must encode to one line that decodes again, and encoding that second event must
// give the same line (encoding is a fixed point).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"

using namespace tarvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto event = decodeEventLine(bytes);
  const auto strict = decodeJSONText<AgentEvent>(bytes);
  if (bool(event) != bool(strict) || (event && *event != *strict) ||
      (!event && event.error() != strict.error())) {
    std::abort();
  }
  if (!event) {
    return 0;
  }
  // The event's text is written without a tree: it must be the tree's text.
  if (encodeJSON(*event) != Coding::encode(toJSON(*event))) {
    std::abort();
  }
  const std::string line = encodeEventLine(*event);
  if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) {
    std::abort();
  }
  const auto again = decodeEventLine(line);
  if (!again || encodeEventLine(*again) != line) {
    std::abort();
  }
  (void)std::hash<AgentEvent>{}(*again);
  return 0;
}
