#include "TarvelDisplay/Shared/OpenPage.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "TarvelCore/Platform/UniqueFd.hpp"

namespace tarvel::Display::OpenPage {

Result<std::filesystem::path, std::string> write(const std::filesystem::path& directory,
                                                 std::string_view address) {
  std::string escaped;
  for (const char c : address) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      default:
        escaped += c;
    }
  }
  const std::string page =
      "<!doctype html>\n<meta charset=\"utf-8\">\n<meta name=\"referrer\" content=\"no-referrer\">\n"
      "<meta http-equiv=\"refresh\" content=\"0;url=" + escaped + "\">\n<title>Tarvel</title>\n"
      "<a href=\"" + escaped + "\">Open Tarvel</a>\n";
  const std::filesystem::path target = directory / "open.html";
  std::string temporary = (directory / "open.html.XXXXXX").string();
  // mkstemp makes the file 0600, new and ours; the rename replaces the old page in one step.
  const UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) {
    return "Cannot write " + target.string() + ": " + std::strerror(errno);
  }
  std::string_view rest = page;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd.get(), rest.data(), rest.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      const std::string reason = std::strerror(errno);
      ::unlink(temporary.c_str());
      return "Cannot write " + target.string() + ": " + reason;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(temporary.c_str());
    return "Cannot write " + target.string() + ": " + reason;
  }
  return target;
}

std::string fileAddress(const std::filesystem::path& file) {
  std::string location = "file://";
  for (const char c : file.string()) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || std::strchr("/-._~", c) != nullptr) {
      location += c;
    } else {
      constexpr std::string_view digits = "0123456789ABCDEF";
      location += '%';
      location += digits[byte >> 4];
      location += digits[byte & 0xF];
    }
  }
  return location;
}

}  // namespace tarvel::Display::OpenPage
