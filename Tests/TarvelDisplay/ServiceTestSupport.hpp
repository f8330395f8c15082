#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

// Real processes for the service tests: a program started with a HOME of the test's, its
// standard input written and closed, its standard output and error collected until it ends.
namespace tarvel::Testing {

inline std::string fixture(const std::string& name) {
  std::ifstream file(std::string(TARVEL_FIXTURES_DIR) + "/agents/" + name, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

// The answer a Claude Code hook prints for an allowed permission request.
inline const std::string allowAnswer =
    "{\"hookSpecificOutput\":{\"decision\":{\"behavior\":\"allow\"},"
    "\"hookEventName\":\"PermissionRequest\"}}\n";

// A Claude Code permission request of session `session` (the captured document, renamed).
inline std::string permissionRequest(const std::string& session) {
  std::string document = fixture("claude/PermissionRequest.json");
  const std::string original = "a34702ef-72d2-4879-a175-c91e0f3f8d8c";
  for (auto at = document.find(original); at != std::string::npos; at = document.find(original)) {
    document.replace(at, original.size(), session);
  }
  return document;
}

inline std::string program(const std::string& name) {
  return std::string(TARVEL_BINARY_DIR) + "/bin/" + name;
}

class ChildProcess {
 public:
  // `environment` adds NAME=value entries to HOME and PATH (an entry for PATH replaces it).
  ChildProcess(const std::vector<std::string>& command, const std::filesystem::path& home,
               const std::string& input = {}, const std::vector<std::string>& environment = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    const std::string homeVariable = "HOME=" + home.string();
    std::vector<char*> argv;
    for (const auto& argument : command) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp = {const_cast<char*>(homeVariable.c_str()),
                               const_cast<char*>("PATH=/usr/bin:/bin")};
    for (const auto& entry : environment) {
      if (entry.starts_with("PATH=")) {
        envp[1] = const_cast<char*>(entry.c_str());
      } else {
        envp.push_back(const_cast<char*>(entry.c_str()));
      }
    }
    envp.push_back(nullptr);
    pid = ::fork();
    if (pid == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::size_t offset = 0;
    while (offset < input.size()) {
      const ssize_t written = ::write(in[1], input.data() + offset, input.size() - offset);
      if (written <= 0) break;
      offset += static_cast<std::size_t>(written);
    }
    ::close(in[1]);
    reader = std::thread([this, outFd = out[0], errFd = err[0]] { collect(outFd, errFd); });
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (pid > 0 && !ended) {
      signal(SIGKILL);
      wait();
    }
  }

  pid_t processId() const { return pid; }

  void signal(int number) const {
    if (pid > 0) {
      ::kill(pid, number);
    }
  }

  // Waits for the end (at most `limit`); the exit status, or -1 when killed or still running.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    if (pid <= 0) {
      return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ended) {
      int status = 0;
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid) {
        ended = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (reader.joinable()) {
      reader.join();
    }
    return exitStatus;
  }
  bool hasEnded() {
    if (!ended) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    return ended;
  }
  std::string standardOutput() const {
    const std::scoped_lock guard(mutex);
    return output;
  }
  std::string standardError() const {
    const std::scoped_lock guard(mutex);
    return error;
  }

 private:
  void collect(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    while (open > 0 && ::poll(fds, 2, -1) > 0) {
      for (auto& fd : fds) {
        if (fd.fd < 0 || fd.revents == 0) continue;
        char buffer[4096];
        const ssize_t count = ::read(fd.fd, buffer, sizeof buffer);
        if (count <= 0) {
          ::close(fd.fd);
          fd.fd = -1;
          --open;
          continue;
        }
        const std::scoped_lock guard(mutex);
        (fd.fd == outFd ? output : error).append(buffer, static_cast<std::size_t>(count));
      }
    }
  }

  pid_t pid = -1;
  bool ended = false;
  int exitStatus = -1;
  mutable std::mutex mutex;
  std::string output;
  std::string error;
  std::thread reader;
};

// Polls `done` every 10 ms for at most `limit`.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace tarvel::Testing
