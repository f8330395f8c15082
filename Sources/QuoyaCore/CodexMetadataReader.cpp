#include "QuoyaCore/CodexMetadataReader.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <thread>

#include "QuoyaCore/SessionPresentation.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/UUID.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

extern char** environ;  // NOLINT(readability-identifier-naming)

namespace quoya::CodexMetadataReader {
namespace {

using Clock = std::chrono::steady_clock;
using tarvel::Json;
using tarvel::UniqueFd;

std::vector<std::string> keptThreadIds(const std::vector<std::string>& ids) {
  std::vector<std::string> kept;
  for (const std::string& id : ids) {
    if (tarvel::UUID::parse(id)) {
      kept.push_back(id);
    }
  }
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  if (kept.size() > maximumThreadCount) {
    kept.resize(maximumThreadCount);
  }
  return kept;
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// Moves a descriptor above the standard ones, so that the child's dup2 onto 0 and 1 can never
// clobber the other pipe when this process runs with a standard descriptor closed.
UniqueFd aboveStandardDescriptors(UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) {
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

bool setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The Codex child: started in its own process group so that helpers it spawns end with it.
// Until clean-up it is never reaped (exits are observed with WNOWAIT), so its pid, which is also
// its group id, cannot be reused while this object may still signal it.
class CodexChild {
 public:
  static std::optional<CodexChild> start(const std::filesystem::path& executable) {
    auto input = makePipe();
    auto output = makePipe();
    if (!input || !output) {
      return std::nullopt;
    }

    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) {
      return std::nullopt;
    }
    posix_spawnattr_t attributes;
    if (::posix_spawnattr_init(&attributes) != 0) {
      ::posix_spawn_file_actions_destroy(&actions);
      return std::nullopt;
    }
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t allSignals;
    sigfillset(&allSignals);
    bool prepared =
        ::posix_spawn_file_actions_adddup2(&actions, input->readEnd.get(), STDIN_FILENO) == 0 &&
        ::posix_spawn_file_actions_adddup2(&actions, output->writeEnd.get(), STDOUT_FILENO) == 0 &&
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) ==
            0 &&
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                    POSIX_SPAWN_SETSIGDEF) == 0 &&
        ::posix_spawnattr_setpgroup(&attributes, 0) == 0 &&
        ::posix_spawnattr_setsigmask(&attributes, &noSignals) == 0 &&
        ::posix_spawnattr_setsigdefault(&attributes, &allSignals) == 0;

    pid_t pid = -1;
    std::string program = executable.string();
    std::string mode = "app-server";
    std::string transport = "--stdio";
    char* arguments[] = {program.data(), mode.data(), transport.data(), nullptr};
    if (prepared) {
      prepared = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, environ) == 0;
    }
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (!prepared) {
      return std::nullopt;
    }

    CodexChild child(pid, std::move(input->writeEnd), std::move(output->readEnd));
    // The child's ends are closed here (the pipes go out of scope) so that end of file arrives
    // as soon as the child and its helpers are gone.
    if (!setNonBlocking(child.input.get()) || !setNonBlocking(child.output.get())) {
      return std::nullopt;  // the destructor ends and reaps the child
    }
    return child;
  }

  CodexChild(const CodexChild&) = delete;
  CodexChild& operator=(const CodexChild&) = delete;
  CodexChild(CodexChild&& other) noexcept
      : pid(std::exchange(other.pid, -1)),
        input(std::move(other.input)),
        output(std::move(other.output)) {}
  CodexChild& operator=(CodexChild&&) = delete;
  ~CodexChild() { finish(); }

  int inputFd() const { return input.get(); }
  int outputFd() const { return output.get(); }
  void closeInput() { input.reset(); }

  // Whether the child has not exited yet.
  bool isRunning() const { return status() == Status::running; }

  // The clean-up run on every exit path: close the child's input, end it if it still runs
  // (SIGTERM, then SIGKILL after the grace period), reap it, close its output.
  void finish() {
    if (pid < 0) {
      return;
    }
    input.reset();
    if (status() == Status::running) {
      ::kill(-pid, SIGTERM);
      const auto giveUp = Clock::now() + terminationGrace;
      while (status() == Status::running && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    // SIGKILL also ends helpers that outlived the program. It is sent only while the child is
    // unreaped, so its pid, which is the group id, cannot belong to anyone else yet.
    if (status() != Status::gone) {
      ::kill(-pid, SIGKILL);
      int exitStatus = 0;
      while (::waitpid(pid, &exitStatus, 0) < 0 && errno == EINTR) {
      }
    }
    pid = -1;
    output.reset();
  }

 private:
  CodexChild(pid_t pid, UniqueFd input, UniqueFd output)
      : pid(pid), input(std::move(input)), output(std::move(output)) {}

  // running: not exited; exited: a zombie waiting to be reaped; gone: cannot be waited for (a
  // host that ignores SIGCHLD has the kernel reap it).
  enum class Status { running, exited, gone };

  Status status() const {
    if (pid < 0) {
      return Status::gone;
    }
    siginfo_t info{};
    int result = 0;
    do {
      result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      return Status::gone;
    }
    return info.si_pid == 0 ? Status::running : Status::exited;
  }

  pid_t pid = -1;
  UniqueFd input;   // our writing end of the child's standard input
  UniqueFd output;  // our reading end of the child's standard output
};

// Writes as much of `bytes` as the pipe takes now, without blocking and without SIGPIPE: the
// signal is blocked for this thread during the write, and one that the write raised is consumed
// before the mask is restored. Returns the bytes written, or absent when the pipe is broken.
std::optional<std::size_t> writeWithoutSignal(int fd, std::string_view bytes) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

  ssize_t written = -1;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  const int writeError = errno;

  if (written < 0 && writeError == EPIPE && !wasPending) {
    const timespec zero{};
    while (sigtimedwait(&pipeSignal, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  if (written >= 0) {
    return static_cast<std::size_t>(written);
  }
  if (writeError == EAGAIN || writeError == EWOULDBLOCK) {
    return 0;
  }
  return std::nullopt;
}

// One conversation with the child: the messages waiting to be written and the answers read.
class Conversation {
 public:
  Conversation(CodexChild& child, std::vector<std::string> threadIds,
               std::chrono::milliseconds callDeadline)
      : child(child), threadIds(std::move(threadIds)), callDeadline(callDeadline) {}

  std::map<std::string, std::string> run() {
    send(Json{{"id", 1},
              {"method", "initialize"},
              {"params",
               {{"clientInfo", {{"name", "quoya_island_titles"}, {"version", "0.4.0"}}}}}});
    const auto stopAt = Clock::now() + callDeadline;

    while (!isComplete()) {
      const auto now = Clock::now();
      if (now >= stopAt || bytesRead >= maximumOutputBytes) {
        break;
      }
      const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(stopAt - now);
      const auto wait = std::min<std::chrono::milliseconds>(readinessWait, remaining);

      pollfd fds[2] = {{.fd = child.outputFd(), .events = POLLIN},
                       {.fd = hasOutbox() ? child.inputFd() : -1, .events = POLLOUT}};
      const int ready = ::poll(fds, 2, static_cast<int>(wait.count()));
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        break;
      }
      if (fds[1].revents != 0) {
        flush();
      }
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        if (ready == 0 && !child.isRunning()) {
          break;
        }
        continue;
      }
      if (!readAvailable()) {
        break;
      }
    }
    return std::move(titles);
  }

 private:
  bool hasOutbox() const { return outboxOffset < outbox.size(); }

  bool isComplete() const { return initialised && answered == threadIds.size(); }

  // Queues one message (compact JSON and a line feed) and writes what the pipe takes now; the
  // rest goes out as the child reads. Once a write fails nothing more is sent.
  void send(const Json& message) {
    if (writeFailed) {
      return;
    }
    if (!hasOutbox()) {
      outbox.clear();
      outboxOffset = 0;
    }
    outbox += tarvel::Coding::encode(message);
    outbox += '\n';
    flush();
  }

  void flush() {
    while (hasOutbox() && !writeFailed) {
      const auto written =
          writeWithoutSignal(child.inputFd(), std::string_view(outbox).substr(outboxOffset));
      if (!written) {
        writeFailed = true;
        outbox.clear();
        outboxOffset = 0;
        child.closeInput();
        return;
      }
      if (*written == 0) {
        return;
      }
      outboxOffset += *written;
    }
  }

  // Reads one chunk and handles every whole line in the buffer. False ends the conversation
  // (end of file or a read error).
  bool readAvailable() {
    char chunk[readChunkBytes];
    ssize_t count = -1;
    do {
      count = ::read(child.outputFd(), chunk, sizeof chunk);
    } while (count < 0 && errno == EINTR);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    }
    if (count <= 0) {
      return false;
    }
    const std::size_t scanFrom = buffer.size();
    buffer.append(chunk, static_cast<std::size_t>(count));
    bytesRead += static_cast<std::size_t>(count);

    std::size_t lineStart = 0;
    std::size_t newline = buffer.find('\n', scanFrom);
    while (newline != std::string::npos) {
      handleLine(std::string_view(buffer).substr(lineStart, newline - lineStart));
      lineStart = newline + 1;
      newline = buffer.find('\n', lineStart);
    }
    buffer.erase(0, lineStart);
    return true;
  }

  void handleLine(std::string_view line) {
    auto parsed = tarvel::Coding::parse(line);
    if (!parsed || !parsed->is_object()) {
      return;
    }
    const Json& answer = *parsed;
    const auto idMember = answer.find("id");
    if (idMember == answer.end() || !idMember->is_number_integer()) {
      return;
    }
    if (idMember->is_number_unsigned() && idMember->get<std::uint64_t>() > INT64_MAX) {
      return;
    }
    const auto id = idMember->get<std::int64_t>();
    if (id == 1) {
      if (!initialised && !answer.contains("error")) {
        initialised = true;
        send(Json{{"method", "initialized"}});
        for (std::size_t index = 0; index < threadIds.size(); ++index) {
          const auto requestId = static_cast<std::int64_t>(index) + 2;
          pending.emplace(requestId, threadIds[index]);
          send(Json{{"id", requestId},
                    {"method", "thread/read"},
                    {"params", {{"threadId", threadIds[index]}, {"includeTurns", false}}}});
        }
      }
      return;
    }
    const auto request = pending.find(id);
    if (request == pending.end()) {
      return;
    }
    const std::string threadId = request->second;
    pending.erase(request);
    ++answered;
    if (describesThread(answer, threadId)) {
      titles[threadId] = SessionPresentation::title(answer, threadId).value_or("");
    }
  }

  static bool describesThread(const Json& answer, const std::string& threadId) {
    const auto result = answer.find("result");
    if (result == answer.end() || !result->is_object()) {
      return false;
    }
    const auto thread = result->find("thread");
    if (thread == result->end() || !thread->is_object()) {
      return false;
    }
    const auto id = thread->find("id");
    return id != thread->end() && id->is_string() && id->get_ref<const std::string&>() == threadId;
  }

  CodexChild& child;
  const std::vector<std::string> threadIds;
  std::string outbox;
  std::size_t outboxOffset = 0;
  bool writeFailed = false;
  std::string buffer;
  std::size_t bytesRead = 0;
  std::map<std::int64_t, std::string> pending;
  std::size_t answered = 0;
  bool initialised = false;
  std::map<std::string, std::string> titles;
  std::chrono::milliseconds callDeadline;
};

}  // namespace

std::map<std::string, std::string> readTitles(const std::vector<std::string>& ids,
                                              const std::filesystem::path& executable) {
  return readTitles(ids, executable, deadline);
}

std::map<std::string, std::string> readTitles(const std::vector<std::string>& ids,
                                              const std::filesystem::path& executable,
                                              std::chrono::milliseconds callDeadline) {
  std::vector<std::string> threadIds = keptThreadIds(ids);
  if (threadIds.empty() || !isExecutableFile(executable)) {
    return {};
  }
  auto child = CodexChild::start(executable);
  if (!child) {
    return {};
  }
  auto titles = Conversation(*child, std::move(threadIds), callDeadline).run();
  child->finish();
  return titles;
}

}  // namespace quoya::CodexMetadataReader
