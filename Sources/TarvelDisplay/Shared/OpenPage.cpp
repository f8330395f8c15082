#include "TarvelDisplay/Shared/OpenPage.hpp"

#include <cctype>
#include <cstring>

#include "TarvelCore/Platform/FileReplace.hpp"

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
  // Private (0600), as the address holds the token; replaced in one step.
  const std::filesystem::path target = directory / "open.html";
  if (const auto problem = FileReplace::replace(target, page, {.mode = 0600})) {
    std::string text = problem->description();
    if (!text.empty()) {
      text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    }
    return text;
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
