#include "TarvelCore/Platform/HomeDirectory.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tarvel::HomeDirectory {

std::filesystem::path current() {
  if (const char* home = std::getenv("HOME");
      home != nullptr && *home != '\0') {  // NOLINT(concurrency-mt-unsafe)
    return home;
  }
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return found->pw_dir;
  }
  return "/";
}

}  // namespace tarvel::HomeDirectory
