// tarvel-island: a full-screen terminal display of every agent's activity, answering prompts.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include "Tools/tarvel-island/IslandCommand.hpp"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tarvel::Island::IslandCommand::run(arguments, STDIN_FILENO, STDOUT_FILENO);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarvel-island: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "tarvel-island: unexpected failure\n");
  }
  return 1;
}
