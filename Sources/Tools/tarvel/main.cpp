// tarvel: installs the hook relay into the agents' configurations (Installer.hpp) and runs the
// display service (ServiceCommands.hpp).
#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Version.hpp"
#include "Tools/tarvel/Installer.hpp"
#include "Tools/tarvel/ServiceCommands.hpp"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (!arguments.empty() && tarvel::ServiceCommands::handles(arguments.front())) {
      return tarvel::ServiceCommands::run(arguments, std::cout, std::cerr);
    }
    if (arguments.size() == 1 &&
        (arguments[0] == "-h" || arguments[0] == "--help" || arguments[0] == "help")) {
      std::cout << tarvel::Installer::usage() << "\n"
                << tarvel::ServiceCommands::usage();
      return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
      std::cout << "tarvel " << tarvel::version << "\n";
      return 0;
    }
    const auto parsed = tarvel::Installer::parseOptions(arguments);
    if (const auto* problem = std::get_if<std::string>(&parsed)) {
      std::cerr << "tarvel: " << *problem << "\n" << tarvel::Installer::usage();
      return 2;
    }
    const auto context = tarvel::Installer::currentContext(std::cerr);
    if (!context) {
      return 1;
    }
    return tarvel::Installer::run(std::get<tarvel::Installer::Options>(parsed), *context, std::cout,
                                  std::cerr);
  } catch (const std::exception& error) {
    std::cerr << "tarvel: " << error.what() << "\n";
    return 1;
  }
}
