#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/UUID.hpp"

namespace tarvel::Display {

// Where a notification's Open takes the person to see all of a prompt that the notification
// cannot show: the web page at that prompt when the service serves it (opened with xdg-open, the
// desktop's own way to open an address, so in the person's browser), else a terminal display in
// the desktop's terminal (x-terminal-emulator, the name Debian and its derivatives give it).
// The program is started in a session of its own, apart from the service's signals.
class PromptOpener {
 public:
  // What there is to open with: `page` is the page's address with its token
  // ("http://127.0.0.1:8787/#token=…"), when the service serves it, and `directory` the private
  // folder where the page that leads to it is written (the token stays off command lines);
  // `searchPath` the directories to look for programs in (PATH); `island` the terminal display's
  // program (else the one on `searchPath`). Absent when there is nowhere to open.
  static std::optional<PromptOpener> find(std::optional<std::string> page,
                                          std::filesystem::path directory,
                                          std::string_view searchPath,
                                          std::filesystem::path island);

  // The command that shows the prompt `replyId` (for the page, after writing the page that
  // leads to it); empty, with the reason logged, when that page cannot be written.
  [[nodiscard]] std::vector<std::string> command(const UUID& replyId) const;

  // Runs command() in a session of its own; false (with the reason logged) when it cannot start.
  [[nodiscard]] bool open(const UUID& replyId) const;

 private:
  PromptOpener() = default;

  std::optional<std::string> page;
  std::filesystem::path directory;  // where open.html goes
  std::filesystem::path program;  // xdg-open or x-terminal-emulator
  std::filesystem::path island;
  std::filesystem::path detacher;  // setsid
};

}  // namespace tarvel::Display
