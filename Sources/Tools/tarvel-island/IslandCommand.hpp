#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

// tarvel-island's command line and its run: which road feeds the screen, then the loop.
namespace tarvel::Island::IslandCommand {

struct Options {
  bool island = false;  // "--island": the island socket and store instead of the core road
  bool statistics = false;  // "--stats": counters on standard error at exit
  bool bell = true;         // "--no-bell": no terminal bell for new prompts
  bool help = false;
  bool operator==(const Options&) const = default;
};

// The options, or the text of the error for an unknown argument.
std::optional<Options> parse(std::span<const std::string_view> arguments, std::string& error);

// Runs the display on the terminal at `input`/`output`; the process's exit status.
int run(std::span<const std::string_view> arguments, int input, int output);

}  // namespace tarvel::Island::IslandCommand
