// tarvel-hook: the hook command that agents run at every step. It reports the step to the
// display, holds the agent at a prompt the display can answer, and always exits 0.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "QuoyaCodexHook/HookInputReader.hpp"
#include "TarvelCore/Platform/WriteAll.hpp"
#include "Tools/tarvel-hook/HookRelay.hpp"

namespace {}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  std::string answer = "{}\n";
  try {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto options = tarvel::HookRelay::parseOptions(arguments);
    const auto provider = tarvel::HookRelay::resolvedProvider(options);
    const auto input = quoya::HookInputReader::read(STDIN_FILENO);
    answer = tarvel::HookRelay::run(input, provider, tarvel::HookRelay::currentEnvironment(),
                                    tarvel::Dates::now());
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing may reach the agent
    answer = "{}\n";
  }
  tarvel::writeAll(STDOUT_FILENO, answer);  // a closed output is the agent's business
  return 0;
}
