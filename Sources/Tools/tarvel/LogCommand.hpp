#pragma once

#include <string>

#include "TarvelDisplay/Shared/AnswerRecord.hpp"
#include "Tools/tarvel/CommandLine.hpp"

// `tarvel log [--json] [-n N] [--agent A] [--project P] [--since WHEN]`: the answer history
// (~/.tarvel/history.db), newest first, read directly, so it works with or without a running
// service.
namespace tarvel::LogCommand {

// Its run's exit status: 0, or 1 when the history cannot be read.
extern const CommandLine::Command command;

// One row in plain words: "2026-12-08 14:50:31  Allowed on the terminal display  Claude · proj
// · Allow this command? touch x" (the time in the local time zone).
std::string describe(const Display::AnswerRecord& record);

}  // namespace tarvel::LogCommand
