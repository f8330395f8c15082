#include "Support/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <gtest/gtest.h>

#include "TarvelCore/Platform/Spawn.hpp"

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name

namespace tarvel::Testing {
namespace {

// HOME, a PATH of the system's programs only, and the sanitizers' options of this run, so that
// the programs a test runs report what the tests themselves would; then `entries`, each in place
// of one of the same name. Nothing of the person's session (a bus, tmux, TARVEL_HOME) leaks in.
std::vector<std::string> environmentOf(const std::filesystem::path& home,
                                       const std::vector<std::string>& entries) {
  std::vector<std::string> environment{"HOME=" + home.string(), "PATH=/usr/bin:/bin"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with("ASAN_") || text.starts_with("UBSAN_") || text.starts_with("LSAN_")) {
      environment.emplace_back(text);
    }
  }
  for (const std::string& entry : entries) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    std::erase_if(environment, [&](const std::string& had) { return had.starts_with(name); });
    environment.push_back(entry);
  }
  return environment;
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) {
    pointers.push_back(word.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> command, const std::filesystem::path& home,
                           std::string input, std::vector<std::string> environment)
    : ChildProcess(Launch{.command = std::move(command),
                          .home = home,
                          .input = std::move(input),
                          .environment = std::move(environment)}) {}

ChildProcess::ChildProcess(Launch launch) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (launch.command.empty() || ::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
      ::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "cannot start a program: " << std::strerror(errno);
    exitStatus = -1;
    collected = true;
    return;
  }
  UniqueFd theirInput(in[0]);
  UniqueFd theirOutput(out[1]);
  UniqueFd theirError(err[1]);
  inputEnd.reset(in[1]);
  outputEnd.reset(out[0]);
  errorEnd.reset(err[0]);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (launch.withoutInput) {
    ::posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
  } else {
    ::posix_spawn_file_actions_adddup2(&actions, theirInput.get(), STDIN_FILENO);
  }
  ::posix_spawn_file_actions_adddup2(&actions, theirOutput.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, theirError.get(), STDERR_FILENO);
  if (launch.workingDirectory) {
    ::posix_spawn_file_actions_addchdir_np(&actions, launch.workingDirectory->c_str());
  }
  // A group of its own, default signal handling and nothing blocked, whatever the test did
  // (a test that ignores SIGPIPE must not make its programs ignore it).
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &all);
  ::posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> environment = environmentOf(launch.home, launch.environment);
  std::vector<char*> argv = pointersTo(launch.command);
  std::vector<char*> envp = pointersTo(environment);
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  theirInput.reset();
  theirOutput.reset();
  theirError.reset();
  if (spawned != 0) {
    ADD_FAILURE() << "cannot run " << launch.command[0] << ": " << std::strerror(spawned);
    pid = -1;
    exitStatus = -1;
    collected = true;
    return;
  }
  if (launch.outputUnread) {
    outputEnd.reset();
  }
  wake.reset(::eventfd(0, EFD_CLOEXEC));
  collector = std::thread([this] { collect(); });
  if (launch.withoutInput) {
    inputEnd.reset();
  } else {
    writeInput(launch.input);
    if (!launch.keepInputOpen) {
      inputEnd.reset();
    }
  }
}

ChildProcess::~ChildProcess() {
  inputEnd.reset();
  if (pid > 0) {
    // The program is not reaped yet, so its pid (the group's id) names no one else.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (collector.joinable()) {
    // A process that left the group may still hold its streams: stop reading them anyway.
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto woken = ::write(wake.get(), &one, sizeof one);
    collector.join();
  }
}

void ChildProcess::writeInput(const std::string& input) {
  ::fcntl(inputEnd.get(), F_SETFL, O_NONBLOCK);
  std::string_view rest(input);
  const auto giveUp = std::chrono::steady_clock::now() + generousBound;
  while (!rest.empty()) {
    const auto written = Spawn::writeSome(inputEnd.get(), rest);
    if (!written) {
      return;  // it stopped reading and closed its input, or ended
    }
    rest.remove_prefix(*written);
    if (*written == 0) {
      if (std::chrono::steady_clock::now() > giveUp) {
        ADD_FAILURE() << "the program did not read its input";
        return;
      }
      pollfd writable{.fd = inputEnd.get(), .events = POLLOUT, .revents = 0};
      ::poll(&writable, 1, 100);
    }
  }
}

void ChildProcess::collect() {
  pollfd descriptors[3] = {{.fd = outputEnd.get(), .events = POLLIN, .revents = 0},
                           {.fd = errorEnd.get(), .events = POLLIN, .revents = 0},
                           {.fd = wake.get(), .events = POLLIN, .revents = 0}};
  int open = (outputEnd ? 1 : 0) + (errorEnd ? 1 : 0);
  while (open > 0) {
    if (::poll(descriptors, 3, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (descriptors[2].revents != 0) {
      break;
    }
    for (int index = 0; index < 2; ++index) {
      pollfd& stream = descriptors[index];
      if (stream.fd < 0 || stream.revents == 0) {
        continue;
      }
      char buffer[65536];
      const ssize_t count = ::read(stream.fd, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        stream.fd = -1;  // ended; the descriptor is closed with this object
        --open;
        continue;
      }
      {
        const std::scoped_lock guard(mutex);
        (index == 0 ? output : error).append(buffer, static_cast<std::size_t>(count));
      }
      changed.notify_all();
    }
  }
  {
    const std::scoped_lock guard(mutex);
    collected = true;
  }
  changed.notify_all();
}

void ChildProcess::signal(int number) const {
  if (pid > 0) {
    ::kill(pid, number);
  }
}

void ChildProcess::closeInput() { inputEnd.reset(); }

bool ChildProcess::hasEnded() {
  if (exitStatus) {
    return true;
  }
  siginfo_t info{};
  int result = 0;
  do {
    // WNOWAIT: it stays unreaped (see exitStatus).
    result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    exitStatus = -1;
    return true;
  }
  if (info.si_pid == 0) {
    return false;
  }
  if (info.si_code == CLD_EXITED) {
    exitStatus = info.si_status;
  } else {
    exitStatus = -1;
    signalNumber = info.si_status;
  }
  return true;
}

int ChildProcess::endingSignal() {
  hasEnded();
  return signalNumber;
}

int ChildProcess::wait(std::chrono::milliseconds bound) {
  const auto giveUp = std::chrono::steady_clock::now() + bound;
  if (!Waiting::poll([this] { return hasEnded(); }, bound)) {
    return -1;
  }
  std::unique_lock lock(mutex);
  changed.wait_until(lock, giveUp, [this] { return collected; });
  return *exitStatus;
}

std::string ChildProcess::standardOutput() const {
  const std::scoped_lock guard(mutex);
  return output;
}

std::string ChildProcess::standardError() const {
  const std::scoped_lock guard(mutex);
  return error;
}

std::string ChildProcess::nextLine(std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex);
  changed.wait_for(lock, bound, [this] {
    return collected || output.find('\n', linesTaken) != std::string::npos;
  });
  const auto end = output.find('\n', linesTaken);
  if (end == std::string::npos) {
    return {};
  }
  std::string line = output.substr(linesTaken, end - linesTaken);
  linesTaken = end + 1;
  return line;
}

}  // namespace tarvel::Testing
