#include "TarvelDisplay/Notifications/TmuxPane.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace tarvel::Display::TmuxPane {

bool isOnScreen(const std::string& socket, const std::string& pane) {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  const UniqueFd reader(fds[0]);
  UniqueFd writer(fds[1]);
  const auto spawned = Spawn::inOwnGroup(
      {"tmux", "-S", socket, "display-message", "-p", "-t", pane,
       "#{pane_active}#{window_active}#{?session_attached,1,0}"},
      {.output = writer.get()});
  writer.reset();
  if (!spawned) {
    return false;
  }
  const pid_t child = *spawned;
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{.fd = reader.get(), .events = POLLIN, .revents = 0};
    const int ready = left.count() > 0 ? ::poll(&readable, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      ::kill(child, SIGKILL);
      break;
    }
    char buffer[64];
    const ssize_t count = ::read(reader.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0 || answer.size() > 64) {
      break;
    }
    answer.append(buffer, static_cast<std::size_t>(count));
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && answer == "111\n";
}

}  // namespace tarvel::Display::TmuxPane
