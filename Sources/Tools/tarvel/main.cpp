// tarvel: installs the hook relay into the agents' configurations, runs the display service and
// checks the whole chain; its subcommands are the table in Commands.hpp.
#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

#include "Tools/tarvel/Commands.hpp"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tarvel::Commands::run(arguments, std::cout, std::cerr);
  } catch (const std::exception& error) {
    std::cerr << "tarvel: " << error.what() << "\n";
    return 1;
  }
}
