// QuoyaCodexHook: the hook command agents run at every step. It reports the step to the island
// display and always answers "{}" with exit status 0, whatever happens.
#include <signal.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "QuoyaCodexHook/HookCommand.hpp"
#include "TarvelCore/Platform/Version.hpp"

namespace {

constexpr std::string_view usage =
    "usage: QuoyaCodexHook [--provider claude-code|gemini-cli]\n"
    "  The island display's hook command. Reads the agent's hook document on standard input,\n"
    "  sends its event to ~/.quoya-island/events.sock and answers {}; always exits 0.\n"
    "  Without arguments it speaks for Codex.\n";

}  // namespace

int main(int argc, char** argv) {
  // An agent that closed our standard output must still see exit status 0.
  ::signal(SIGPIPE, SIG_IGN);
  if (tarvel::answeredVersionOrHelp(argc, argv, "QuoyaCodexHook", usage)) {
    return 0;
  }
  try {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    quoya::HookCommand::run(arguments, STDIN_FILENO);
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing may reach the agent
  }
  quoya::HookCommand::writeAnswer(STDOUT_FILENO);
  return 0;
}
