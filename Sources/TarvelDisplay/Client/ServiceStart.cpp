#include "TarvelDisplay/Client/ServiceStart.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "TarvelCore/Platform/UniqueFd.hpp"

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name

namespace tarvel::Display::ServiceStart {

pid_t inBackground(const std::filesystem::path& program,
                   const std::vector<std::string>& serveArguments,
                   const std::filesystem::path& log, std::string_view startedBy) {
  // Everything the children need is made before fork: after it only async-signal-safe calls.
  std::vector<std::string> arguments{program.string(), "serve"};
  arguments.insert(arguments.end(), serveArguments.begin(), serveArguments.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> environment{"TARVEL_STARTED_BY=" + std::string(startedBy)};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with("TARVEL_STARTED_BY=")) {
      environment.emplace_back(*entry);
    }
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  const std::string logText = log.string();
  int pipe[2] = {-1, -1};
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    return -1;
  }
  const UniqueFd reader(pipe[0]);
  UniqueFd writer(pipe[1]);
  const pid_t child = ::fork();
  if (child < 0) {
    return -1;
  }
  if (child == 0) {
    // A new session without a terminal; the grandchild, reparented away from here, is the
    // service, and the child tells its process id before it ends.
    ::setsid();
    const pid_t service = ::fork();
    if (service != 0) {
      static_cast<void>(::write(writer.get(), &service, sizeof service));
      ::_exit(0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int output =
        ::open(logText.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (input >= 0) {
      ::dup2(input, STDIN_FILENO);
    }
    const int target = output >= 0 ? output : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(target, STDOUT_FILENO);
    ::dup2(target, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  writer.reset();
  pid_t service = -1;
  while (::read(reader.get(), &service, sizeof service) < 0 && errno == EINTR) {
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? service : -1;
}

}  // namespace tarvel::Display::ServiceStart
