#include "TarvelDisplay/Client/ServiceStart.hpp"

#include <fcntl.h>

#include <fstream>

#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace tarvel::Display::ServiceStart {

pid_t inBackground(const std::filesystem::path& program,
                   const std::vector<std::string>& serveArguments, const std::filesystem::path& log,
                   std::string_view startedBy) {
  std::vector<std::string> argv{program.string(), "serve"};
  argv.insert(argv.end(), serveArguments.begin(), serveArguments.end());
  // The log is the service's output from its first byte: a stream, not a file replaced whole.
  const UniqueFd output(
      ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  return Spawn::detached(argv, {.output = output.get(), .error = output.get()},
                         {.environment = {"TARVEL_STARTED_BY=" + std::string(startedBy)}});
}

std::string reasonInLog(const std::filesystem::path& log) {
  constexpr std::string_view prefix = "tarvel serve: ";
  std::ifstream file(log);
  std::string line;
  std::string last;
  while (std::getline(file, line)) {
    if (line.starts_with(prefix)) {
      last = line.substr(prefix.size());
    }
  }
  return last;
}

}  // namespace tarvel::Display::ServiceStart
