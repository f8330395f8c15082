#pragma once

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "TarvelDisplay/Shared/AnswerRecord.hpp"

// `tarvel log [--json] [-n N] [--agent A] [--project P] [--since WHEN]`: the answer history
// (~/.tarvel/history.db), newest first, read directly, so it works with or without a running
// service.
namespace tarvel::LogCommand {

// arguments[0] is "log"; the process's exit status (0, 1 when the history cannot be read, 2 for
// a wrong option).
int run(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& error);

// One row in plain words: "2026-12-08 14:50:31  Allowed on the terminal display  Claude · proj
// · Allow this command? touch x" (the time in the local time zone).
std::string describe(const Display::AnswerRecord& record);

}  // namespace tarvel::LogCommand
