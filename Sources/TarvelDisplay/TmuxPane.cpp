#include "TarvelDisplay/TmuxPane.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <vector>

#include "TarvelCore/Platform/UniqueFd.hpp"

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name

namespace tarvel::Display::TmuxPane {

bool isOnScreen(const std::string& socket, const std::string& pane) {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  const UniqueFd reader(fds[0]);
  UniqueFd writer(fds[1]);
  std::array<std::string, 8> arguments{
      "tmux", "-S", socket, "display-message", "-p", "-t", pane,
      "#{pane_active}#{window_active}#{?session_attached,1,0}"};
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, writer.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The service blocks its stop signals in every thread; the child must not inherit that.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int spawned =
      ::posix_spawnp(&child, "tmux", &actions, &attributes, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  writer.reset();
  if (spawned != 0) {
    return false;
  }
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
