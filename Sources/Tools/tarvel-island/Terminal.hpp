#pragma once

#include <termios.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "TarvelCore/Platform/WriteAll.hpp"

namespace tarvel::Island {

// The terminal's size in character cells.
struct TerminalSize {
  int columns = 80;
  int rows = 24;
  bool operator==(const TerminalSize&) const = default;
};

// Full-screen use of the controlling terminal with plain ANSI escape sequences: raw input (no
// echo, no line editing, no signals from keys), the alternate screen and a hidden cursor while
// the object lives; the destructor puts the terminal back exactly as it found it.
// Thread: owned by one thread; the descriptors are borrowed and must outlive the object.
class TerminalSession {
 public:
  // Absent when `input` is not a terminal or its modes cannot be changed.
  static std::optional<TerminalSession> open(int input, int output);

  TerminalSession(TerminalSession&& other) noexcept;
  TerminalSession& operator=(TerminalSession&&) = delete;
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;
  ~TerminalSession();

  TerminalSize size() const;
  // Writes every byte, retrying interrupted and partial writes; false when the terminal is gone.
  bool write(std::string_view bytes) const;
  // Leaves the alternate screen and restores the saved modes now (the destructor then does
  // nothing).
  void restore();

 private:
  TerminalSession(int input, int output, const termios& saved)
      : input(input), output(output), saved(saved) {}
  int input = -1;
  int output = -1;
  termios saved{};
  bool active = true;
};

using tarvel::writeAll;

}  // namespace tarvel::Island
