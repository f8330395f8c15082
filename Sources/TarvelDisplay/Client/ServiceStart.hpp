#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::Display::ServiceStart {

// Starts `program serve ARGUMENTS` in a session of its own, as a process nobody here owns: the
// service outlives whoever started it and never becomes its zombie. Its standard input is
// /dev/null, its output goes to `log` (0600, replaced), and TARVEL_STARTED_BY=`startedBy` tells
// it who started it. The service's process id, or -1 when it could not be started.
pid_t inBackground(const std::filesystem::path& program,
                   const std::vector<std::string>& serveArguments,
                   const std::filesystem::path& log, std::string_view startedBy);

// Why a service started with its output in `log` stopped: the last line it wrote as
// "tarvel serve: REASON", without that prefix; empty when it wrote none.
std::string reasonInLog(const std::filesystem::path& log);

}  // namespace tarvel::Display::ServiceStart
