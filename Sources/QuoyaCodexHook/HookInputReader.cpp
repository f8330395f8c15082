#include "QuoyaCodexHook/HookInputReader.hpp"

#include "TarvelCore/Platform/BoundedInput.hpp"

namespace quoya::HookInputReader {

std::optional<std::string> read(int fd, const Limits& limits) {
  return tarvel::BoundedInput::read(
      fd, {.deadline = limits.deadline, .maximumInputBytes = limits.maximumInputBytes});
}

}  // namespace quoya::HookInputReader
