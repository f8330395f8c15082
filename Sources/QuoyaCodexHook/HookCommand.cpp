#include "QuoyaCodexHook/HookCommand.hpp"

#include <unistd.h>

#include <cerrno>

#include "QuoyaCodexHook/HookInputReader.hpp"
#include "QuoyaCore/CodexHookMapper.hpp"
#include "QuoyaCore/IslandPaths.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"

namespace quoya::HookCommand {

tarvel::AgentProvider provider(std::span<const std::string_view> arguments) {
  if (arguments.size() == 2 && arguments[0] == "--provider") {
    return tarvel::AgentProvider(arguments[1]);
  }
  return tarvel::AgentProvider::codex;
}

void run(std::span<const std::string_view> arguments, int inputFd) {
  const tarvel::AgentProvider chosen = provider(arguments);
  const std::optional<std::string> input = HookInputReader::read(inputFd);
  if (!input) {
    return;
  }
  const auto event = CodexHookMapper::event(*input, tarvel::Dates::now(), chosen);
  if (!event || !event->has_value()) {
    return;
  }
  // The display may be absent, busy or gone; the agent is never told.
  (void)tarvel::UnixSocketClient::send(**event, IslandPaths::socket());
}

void writeAnswer(int outputFd) {
  std::size_t offset = 0;
  while (offset < answer.size()) {
    const ssize_t written = ::write(outputFd, answer.data() + offset, answer.size() - offset);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 1) {
      return;
    }
    offset += static_cast<std::size_t>(written);
  }
}

}  // namespace quoya::HookCommand
