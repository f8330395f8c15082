// tarvel-island: a full-screen terminal display of every agent's activity, answering prompts.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Version.hpp"
#include "Tools/tarvel-island/IslandCommand.hpp"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (arguments.size() == 1 && arguments[0] == "--version") {
      std::printf("tarvel-island %.*s\n", static_cast<int>(tarvel::version.size()),
                  tarvel::version.data());
      return 0;
    }
    return tarvel::Island::IslandCommand::run(arguments, STDIN_FILENO, STDOUT_FILENO);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarvel-island: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "tarvel-island: unexpected failure\n");
  }
  return 1;
}
