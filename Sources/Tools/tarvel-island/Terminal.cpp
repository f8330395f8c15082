#include "Tools/tarvel-island/Terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace tarvel::Island {
namespace {

// Alternate screen, hidden cursor, no line wrap at the right margin, cleared.
constexpr std::string_view enterSequence = "\x1b[?1049h\x1b[?25l\x1b[?7l\x1b[2J\x1b[H";
// Attributes reset, line wrap and cursor back, main screen.
constexpr std::string_view leaveSequence = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l";

}  // namespace

std::optional<TerminalSession> TerminalSession::open(int input, int output) {
  termios saved{};
  if (::isatty(input) == 0 || ::tcgetattr(input, &saved) != 0) {
    return std::nullopt;
  }
  termios raw = saved;
  raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
  raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  raw.c_cflag |= CS8;
  // ISIG off: Ctrl-C arrives as a key and quits through the same path as "q".
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(input, TCSAFLUSH, &raw) != 0) {
    return std::nullopt;
  }
  TerminalSession session(input, output, saved);
  session.write(enterSequence);
  return session;
}

TerminalSession::TerminalSession(TerminalSession&& other) noexcept
    : input(other.input), output(other.output), saved(other.saved), active(other.active) {
  other.active = false;
}

TerminalSession::~TerminalSession() { restore(); }

void TerminalSession::restore() {
  if (!active) {
    return;
  }
  active = false;
  writeAll(output, leaveSequence);
  ::tcsetattr(input, TCSAFLUSH, &saved);
}

TerminalSize TerminalSession::size() const {
  winsize window{};
  if (::ioctl(output, TIOCGWINSZ, &window) != 0 || window.ws_col == 0 || window.ws_row == 0) {
    return {};
  }
  return {.columns = window.ws_col, .rows = window.ws_row};
}

bool TerminalSession::write(std::string_view bytes) const { return writeAll(output, bytes); }

}  // namespace tarvel::Island
