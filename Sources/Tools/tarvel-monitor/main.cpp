// tarvel-monitor: serves an event socket and prints what arrives; see usage().
#include <unistd.h>

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Version.hpp"
#include "Tools/tarvel-monitor/Modes.hpp"
#include "Tools/tarvel-monitor/MonitorOptions.hpp"

namespace {

void printText(int descriptor, std::string_view text) {
  [[maybe_unused]] const auto written = ::write(descriptor, text.data(), text.size());
}

int run(int argc, char** argv) {
  using tarvel::Monitor::MonitorOptions;
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (arguments.size() == 1 && arguments[0] == "--version") {
    printText(STDOUT_FILENO, "tarvel-monitor " + std::string(tarvel::version) + "\n");
    return 0;
  }
  const auto options = tarvel::Monitor::parseOptions(arguments);
  if (!options) {
    printText(STDERR_FILENO, "tarvel-monitor: " + options.error() + "\n");
    printText(STDERR_FILENO, tarvel::Monitor::usage());
    return 2;
  }
  switch (options->mode) {
    case MonitorOptions::Mode::help:
      printText(STDOUT_FILENO, tarvel::Monitor::usage());
      return 0;
    case MonitorOptions::Mode::events:
      return tarvel::Monitor::runEvents(*options);
    case MonitorOptions::Mode::store:
      return tarvel::Monitor::runStore(*options);
    case MonitorOptions::Mode::sessions:
      return tarvel::Monitor::runSessions(*options);
    case MonitorOptions::Mode::codexTitles:
      return tarvel::Monitor::runCodexTitles(*options);
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    printText(STDERR_FILENO, std::string("tarvel-monitor: ") + error.what() + "\n");
  } catch (...) {
    printText(STDERR_FILENO, "tarvel-monitor: unexpected failure\n");
  }
  return 1;
}
