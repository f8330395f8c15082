#include "TarvelCore/Platform/Version.hpp"

#include <unistd.h>

#include <string>

#include "TarvelCore/Platform/WriteAll.hpp"

namespace tarvel {

bool answeredVersionOrHelp(int argc, char** argv, std::string_view program,
                           std::string_view usage) {
  if (argc != 2) {
    return false;
  }
  const std::string_view only(argv[1]);
  if (only == "--version") {
    writeAll(STDOUT_FILENO, std::string(program) + " " + std::string(version) + "\n");
    return true;
  }
  if (only == "--help" || only == "-h") {
    writeAll(STDOUT_FILENO, usage);
    return true;
  }
  return false;
}

}  // namespace tarvel
