// tarvel: installs the hook relay into the agents' configurations (Installer.hpp), runs the
// display service (ServiceCommands.hpp) and checks the whole chain (Doctor.hpp).
#include <exception>
#include <iostream>
#include <span>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Version.hpp"
#include "TarvelDisplay/Shared/ServiceFiles.hpp"
#include "Tools/tarvel/ContainerSetup.hpp"
#include "Tools/tarvel/Doctor.hpp"
#include "Tools/tarvel/Installer.hpp"
#include "Tools/tarvel/LogCommand.hpp"
#include "Tools/tarvel/RemoteCommands.hpp"
#include "Tools/tarvel/ServiceCommands.hpp"
#include "Tools/tarvel/Usage.hpp"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (!arguments.empty() && tarvel::ServiceCommands::handles(arguments.front())) {
      return tarvel::ServiceCommands::run(arguments, std::cout, std::cerr);
    }
    if (!arguments.empty() && arguments.front() == "doctor") {
      return tarvel::Doctor::run(std::span(arguments).subspan(1), std::cout, std::cerr);
    }
    if (!arguments.empty() && arguments.front() == "log") {
      return tarvel::LogCommand::run(arguments, std::cout, std::cerr);
    }
    if (!arguments.empty() && arguments.front() == "remote") {
      const auto context = tarvel::Installer::currentContext(std::cerr);
      if (!context) {
        return 1;
      }
      return tarvel::RemoteCommands::run(arguments, context->hookSource, std::cout, std::cerr);
    }
    if (arguments.size() == 1 && arguments.front() == "container") {
      const auto context = tarvel::Installer::currentContext(std::cerr);
      if (!context) {
        return 1;
      }
      const auto installed = tarvel::AgentConfigurations::relayPath(context->home);
      return tarvel::ContainerSetup::print(
          tarvel::Display::ServiceFiles::Paths::standard().directory,
          std::filesystem::exists(installed) ? installed : context->hookSource, std::cout);
    }
    if (arguments.size() == 1 &&
        (arguments[0] == "-h" || arguments[0] == "--help" || arguments[0] == "help")) {
      std::cout << tarvel::Usage::full();
      return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
      std::cout << "tarvel " << tarvel::version << "\n";
      return 0;
    }
    // What remains is install or uninstall; anything else is a wrong command.
    const bool installing =
        !arguments.empty() && (arguments[0] == "install" || arguments[0] == "uninstall");
    const auto parsed = tarvel::Installer::parseOptions(arguments);
    if (const auto* problem = std::get_if<std::string>(&parsed)) {
      std::cerr << "tarvel: " << *problem << "\n"
                << (installing ? tarvel::Installer::usage()
                               : std::string(tarvel::Usage::synopsis()));
      return 2;
    }
    const auto& options = std::get<tarvel::Installer::Options>(parsed);
    if (options.action == tarvel::Installer::Action::help && !installing) {
      std::cout << tarvel::Usage::full();
      return 0;
    }
    auto context = tarvel::Installer::currentContext(std::cerr);
    if (!context) {
      return 1;
    }
    if (options.containerHome) {
      context->home = *options.containerHome;
      context->commandHome = std::filesystem::path(tarvel::ContainerSetup::containerHome);
    }
    return tarvel::Installer::run(options, *context, std::cout, std::cerr);
  } catch (const std::exception& error) {
    std::cerr << "tarvel: " << error.what() << "\n";
    return 1;
  }
}
