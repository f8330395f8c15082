#include "TarvelCore/Platform/Spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name

namespace tarvel::Spawn {

Result<pid_t, std::string> inOwnGroup(const std::vector<std::string>& argv,
                                      const Streams& streams) {
  if (argv.empty()) {
    return std::string("Cannot run a program without a name");
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  const auto attach = [&actions](int ours, int theirs, int mode) {
    if (ours >= 0) {
      ::posix_spawn_file_actions_adddup2(&actions, ours, theirs);
    } else if (ours != inherited) {
      ::posix_spawn_file_actions_addopen(&actions, theirs, "/dev/null", mode, 0);
    }
  };
  attach(streams.input, STDIN_FILENO, O_RDONLY);
  attach(streams.output, STDOUT_FILENO, O_WRONLY);
  attach(streams.error, STDERR_FILENO, O_WRONLY);
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &all);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  ::posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::vector<char*> pointers;
  pointers.reserve(argv.size() + 1);
  for (const std::string& argument : argv) {
    pointers.push_back(const_cast<char*>(argument.c_str()));
  }
  pointers.push_back(nullptr);
  pid_t child = 0;
  const int spawned =
      ::posix_spawnp(&child, pointers[0], &actions, &attributes, pointers.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    return "Cannot run " + argv[0] + ": " + std::strerror(spawned);
  }
  return child;
}

int run(const std::vector<std::string>& argv, const Streams& streams) {
  const auto child = inOwnGroup(argv, streams);
  if (!child) {
    return -1;
  }
  int status = 0;
  while (::waitpid(*child, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tarvel::Spawn
