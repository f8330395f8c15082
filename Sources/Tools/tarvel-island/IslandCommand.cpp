#include "Tools/tarvel-island/IslandCommand.hpp"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include "Tools/tarvel-island/DisplayLoop.hpp"
#include "Tools/tarvel-island/Displays.hpp"

namespace tarvel::Island::IslandCommand {
namespace {

constexpr std::string_view usage =
    "usage: tarvel-island [--island] [--no-bell] [--stats]\n"
    "  Shows every agent's activity full-screen and answers their prompts, as a client of the\n"
    "  Tarvel service (tarvel serve), which it starts when none runs.\n"
    "  --island  listen on the island socket (~/.quoya-island/events.sock) instead\n"
    "  --no-bell do not ring the terminal bell when a new prompt waits\n"
    "  --stats   print frame and event counters on exit\n"
    "  --version print the version (alone)\n";

}  // namespace

std::optional<Options> parse(std::span<const std::string_view> arguments, std::string& error) {
  Options options;
  for (const std::string_view argument : arguments) {
    if (argument == "--island") {
      options.island = true;
    } else if (argument == "--no-bell") {
      options.bell = false;
    } else if (argument == "--stats") {
      options.statistics = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else {
      error = "unknown argument: " + std::string(argument);
      return std::nullopt;
    }
  }
  return options;
}

int run(std::span<const std::string_view> arguments, int input, int output) {
  std::string error;
  const auto options = parse(arguments, error);
  if (!options) {
    std::fprintf(stderr, "tarvel-island: %s\n%.*s", error.c_str(), static_cast<int>(usage.size()),
                 usage.data());
    return 2;
  }
  if (options->help) {
    std::fwrite(usage.data(), 1, usage.size(), stdout);
    return 0;
  }
  // Checked before anything starts, so that a display that cannot run leaves no service behind.
  if (::isatty(input) == 0) {
    std::fprintf(stderr, "tarvel-island: standard input is not a terminal; run it in a terminal "
                         "(tarvel status prints one line for scripts)\n");
    return 1;
  }
  // Before any server thread exists, so that every thread leaves these signals to the loop.
  blockLoopSignals();
  std::unique_ptr<Display> display;
  if (options->island) {
    display = std::make_unique<IslandDisplay>(
        IslandDisplay::Options{.codexExecutable = IslandDisplay::codexOnPath()});
  } else {
    ServiceDisplayOptions serviceOptions = ServiceDisplayOptions::standard();
    serviceOptions.bell = options->bell;
    display = std::make_unique<ServiceDisplay>(std::move(serviceOptions));
  }
  if (const auto failure = display->start()) {
    std::fprintf(stderr, "tarvel-island: %s\n", failure->c_str());
    return 1;
  }
  const auto statistics = runLoop(*display, input, output);
  display->stop();
  if (!statistics) {
    std::fprintf(stderr, "tarvel-island: standard input is not a terminal\n");
    return 1;
  }
  if (auto* activity = dynamic_cast<ServiceDisplay*>(display.get());
      activity != nullptr && activity->currentMessage()) {
    std::fprintf(stderr, "tarvel-island: %s\n", activity->currentMessage()->c_str());
  }
  if (options->statistics) {
    std::fprintf(stderr, "%s\n", statistics->summary().c_str());
  }
  return 0;
}

}  // namespace tarvel::Island::IslandCommand
