#include "TarvelCore/Platform/Spawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name

namespace tarvel::Spawn {
namespace {

using Clock = std::chrono::steady_clock;

// Moves a descriptor above the standard ones, so that the child's dup2 onto 0, 1 and 2 can never
// clobber another of its pipes when this process runs with a standard stream closed.
UniqueFd aboveStandardDescriptors(UniqueFd fd) {
  if (!fd || fd.get() > STDERR_FILENO) {
    return fd;
  }
  return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

std::optional<Pipe> makePipe() {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  Pipe pipe{.readEnd = aboveStandardDescriptors(UniqueFd(fds[0])),
            .writeEnd = aboveStandardDescriptors(UniqueFd(fds[1]))};
  if (!pipe.readEnd || !pipe.writeEnd) {
    return std::nullopt;
  }
  return pipe;
}

// This process's environment with `overrides` in place of the entries of the same names.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> entries(overrides);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto replaced = std::any_of(overrides.begin(), overrides.end(), [&](const auto& over) {
      const auto equals = over.find('=');
      return equals != std::string::npos &&
             text.starts_with(std::string_view(over).substr(0, equals + 1));
    });
    if (!replaced) {
      entries.emplace_back(text);
    }
  }
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (std::string& word : words) {
    pointers.push_back(word.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

Ending endingOf(int status) {
  if (WIFEXITED(status)) {
    return {.exitStatus = WEXITSTATUS(status)};
  }
  return {.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

}  // namespace

Child::Child(Child&& other) noexcept
    : input(std::move(other.input)),
      output(std::move(other.output)),
      error(std::move(other.error)),
      id(std::exchange(other.id, -1)),
      ownGroup(other.ownGroup),
      ending(other.ending) {}

Child::~Child() {
  if (id > 0) {
    end();
  }
}

Child::State Child::state() const {
  if (id <= 0) {
    return State::gone;
  }
  siginfo_t info{};
  int result = 0;
  do {
    result = ::waitid(P_PID, static_cast<id_t>(id), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    return State::gone;  // a process that ignores SIGCHLD has the kernel reap its children
  }
  return info.si_pid == 0 ? State::running : State::exited;
}

bool Child::running() const { return state() == State::running; }

void Child::signal(int signal) const {
  if (id > 0) {
    ::kill(ownGroup ? -id : id, signal);
  }
}

Ending Child::wait() {
  if (id <= 0) {
    return ending;
  }
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = ::waitpid(id, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  ending = reaped == id ? endingOf(status) : Ending{};
  id = -1;
  return ending;
}

std::optional<Ending> Child::waitFor(std::chrono::milliseconds bound) {
  const auto giveUp = Clock::now() + bound;
  while (running()) {
    if (Clock::now() >= giveUp) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return wait();
}

Ending Child::end(std::chrono::milliseconds grace) {
  input.reset();
  if (running()) {
    signal(SIGTERM);
    if (auto ended = waitFor(grace)) {
      return *ended;
    }
  }
  // SIGKILL also ends helpers that outlived the program. It is sent only while the child is
  // unreaped, so its pid, which is the group id, cannot belong to anyone else yet.
  if (state() != State::gone) {
    signal(SIGKILL);
  }
  return wait();
}

Result<Child, std::string> start(const std::vector<std::string>& argv, const Streams& streams,
                                 const Settings& settings) {
  if (argv.empty()) {
    return std::string("Cannot run a program without a name");
  }
  std::array<std::optional<Pipe>, 3> pipes;
  const std::array<int, 3> wanted{streams.input, streams.output, streams.error};
  for (std::size_t index = 0; index < pipes.size(); ++index) {
    if (wanted[index] == piped && !(pipes[index] = makePipe())) {
      return "Cannot run " + argv[0] + ": " + std::strerror(errno);
    }
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  for (int index = 0; index < 3; ++index) {
    const int ours = wanted[static_cast<std::size_t>(index)];
    const auto& pipe = pipes[static_cast<std::size_t>(index)];
    if (pipe) {
      const int theirs = index == STDIN_FILENO ? pipe->readEnd.get() : pipe->writeEnd.get();
      ::posix_spawn_file_actions_adddup2(&actions, theirs, index);
    } else if (ours >= 0) {
      ::posix_spawn_file_actions_adddup2(&actions, ours, index);
    } else if (ours != inherited) {
      ::posix_spawn_file_actions_addopen(&actions, index, "/dev/null",
                                         index == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
  }
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (settings.ownGroup) {
    ::posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  ::posix_spawnattr_setflags(&attributes, flags);
  std::vector<std::string> arguments = argv;
  const std::vector<char*> argumentPointers = pointersTo(arguments);
  std::vector<std::string> environment;
  std::vector<char*> environmentPointers;
  if (!settings.environment.empty()) {
    environment = environmentWith(settings.environment);
    environmentPointers = pointersTo(environment);
  }
  pid_t pid = -1;
  const int spawned =
      ::posix_spawnp(&pid, argumentPointers[0], &actions, &attributes, argumentPointers.data(),
                     settings.environment.empty() ? environ : environmentPointers.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    return "Cannot run " + argv[0] + ": " + std::strerror(spawned);
  }
  // The child's ends close here, so that end of file arrives once the child and its helpers are
  // gone.
  Child child(pid, settings.ownGroup);
  if (pipes[0]) {
    child.input = std::move(pipes[0]->writeEnd);
  }
  if (pipes[1]) {
    child.output = std::move(pipes[1]->readEnd);
  }
  if (pipes[2]) {
    child.error = std::move(pipes[2]->readEnd);
  }
  return child;
}

int run(const std::vector<std::string>& argv, const Streams& streams, const Settings& settings) {
  auto child = start(argv, streams, settings);
  return child ? child->wait().exitStatus : -1;
}

std::optional<std::filesystem::path> findProgram(std::string_view name,
                                                 std::string_view searchPath) {
  while (true) {
    const auto colon = searchPath.find(':');
    const std::string_view folder = searchPath.substr(0, colon);
    if (!folder.empty()) {
      std::filesystem::path candidate = std::filesystem::path(folder) / name;
      struct stat status {};
      if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
          ::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    searchPath.remove_prefix(colon + 1);
  }
}

std::optional<std::size_t> writeSome(int fd, std::string_view bytes) {
  // SIGPIPE is blocked for this thread during the write, and one that the write raised is taken
  // before the mask is restored, so that it never reaches the process.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pending;
  sigemptyset(&pending);
  ::sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t written = -1;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  const int writeError = errno;
  if (written < 0 && writeError == EPIPE && !wasPending) {
    const timespec zero{};
    while (::sigtimedwait(&pipeSignal, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (written >= 0) {
    return static_cast<std::size_t>(written);
  }
  if (writeError == EAGAIN || writeError == EWOULDBLOCK) {
    return 0;
  }
  return std::nullopt;
}

Result<Collected, std::string> collect(const std::vector<std::string>& argv, std::string_view input,
                                       std::chrono::milliseconds limit, std::size_t maximumBytes,
                                       const std::function<void(pid_t)>& started) {
  auto startedChild = start(argv, {.input = piped, .output = piped, .error = piped});
  if (!startedChild) {
    return startedChild.error();
  }
  Child& child = *startedChild;
  if (started) {
    started(child.pid());
  }
  if (input.empty()) {
    child.input.reset();
  } else {
    ::fcntl(child.input.get(), F_SETFL, O_NONBLOCK);
  }
  Collected collected;
  const auto deadline = Clock::now() + limit;
  const auto left = [&] {
    return std::max<std::int64_t>(
        0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count());
  };
  std::array<char, 65536> buffer{};
  while (child.output || child.error) {
    if (left() == 0) {
      collected.timedOut = true;
      break;
    }
    std::array<pollfd, 3> descriptors{{{.fd = child.output.get(), .events = POLLIN},
                                       {.fd = child.error.get(), .events = POLLIN},
                                       {.fd = child.input.get(), .events = POLLOUT}}};
    const int ready = ::poll(descriptors.data(), descriptors.size(),
                             static_cast<int>(std::min<std::int64_t>(left(), 1000)));
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if (child.input && descriptors[2].revents != 0) {
      const auto written = writeSome(child.input.get(), input);
      if (written) {
        input.remove_prefix(*written);
      }
      if (!written || input.empty()) {
        child.input.reset();
      }
    }
    for (std::size_t index = 0; index < 2; ++index) {
      UniqueFd& source = index == 0 ? child.output : child.error;
      std::string& sink = index == 0 ? collected.output : collected.error;
      if (!source || (descriptors[index].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        continue;
      }
      const ssize_t got = ::read(source.get(), buffer.data(), buffer.size());
      if (got > 0) {
        sink.append(buffer.data(), std::min(static_cast<std::size_t>(got),
                                            maximumBytes - std::min(maximumBytes, sink.size())));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        source.reset();
      }
    }
  }
  // A program that closed its output may still run: it gets what is left of the limit.
  if (const auto ended =
          collected.timedOut ? std::nullopt : child.waitFor(std::chrono::milliseconds(left()))) {
    collected.ending = *ended;
    return collected;
  }
  collected.timedOut = true;
  child.signal(SIGKILL);
  collected.ending = child.wait();
  return collected;
}

pid_t detached(const std::vector<std::string>& argv, const Streams& streams,
               const Settings& settings) {
  if (argv.empty()) {
    return -1;
  }
  // Everything the children need is made before fork: after it only async-signal-safe calls.
  std::vector<std::string> arguments = argv;
  const std::vector<char*> argumentPointers = pointersTo(arguments);
  std::vector<std::string> environment = environmentWith(settings.environment);
  const std::vector<char*> environmentPointers = pointersTo(environment);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const UniqueFd nullDevice(null);
  const auto source = [&](int wanted, int own) {
    return wanted >= 0 ? wanted : wanted == inherited ? own : null;
  };
  const std::array<int, 3> sources{source(streams.input, STDIN_FILENO),
                                   source(streams.output, STDOUT_FILENO),
                                   source(streams.error, STDERR_FILENO)};
  auto told = makePipe();
  if (!told) {
    return -1;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    return -1;
  }
  if (child == 0) {
    // A new session without a terminal; the grandchild, reparented away from here, is the
    // program, and the child tells its pid before it ends.
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) {
      static_cast<void>(::write(told->writeEnd.get(), &grandchild, sizeof grandchild));
      ::_exit(grandchild > 0 ? 0 : 1);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) {
      ::sigaction(number, &defaultAction, nullptr);
    }
    for (int index = 0; index < 3; ++index) {
      if (const int from = sources[static_cast<std::size_t>(index)]; from >= 0 && from != index) {
        ::dup2(from, index);
      } else if (from == index) {
        ::fcntl(index, F_SETFD, 0);
      }
    }
    ::execve(argumentPointers[0], argumentPointers.data(), environmentPointers.data());
    ::_exit(127);
  }
  told->writeEnd.reset();
  pid_t grandchild = -1;
  while (::read(told->readEnd.get(), &grandchild, sizeof grandchild) < 0 && errno == EINTR) {
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? grandchild : -1;
}

}  // namespace tarvel::Spawn
