#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Support/Waiting.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace tarvel::Testing {

// A program a test runs: its arguments and environment given, its standard input written, its
// standard output and error collected as it writes them. It runs in a process group of its own,
// which is killed when this goes, so that nothing it started outlives the test.
// Thread: one thread (the test's) runs it; the output may be read from any thread.
class ChildProcess {
 public:
  struct Launch {
    std::vector<std::string> command;  // the program's path first
    std::filesystem::path home;        // its HOME
    std::string input;                 // written to its standard input, which is closed after
    // "NAME=value" entries besides HOME, PATH=/usr/bin:/bin and the sanitizers' options (which
    // pass on); an entry replaces one of those of the same name. Nothing else is inherited.
    std::vector<std::string> environment;
    std::optional<std::filesystem::path> workingDirectory;  // else this process's
    bool keepInputOpen = false;  // standard input stays open after `input` until closeInput()
    bool withoutInput = false;   // runs with descriptor 0 closed
    bool outputUnread = false;   // nobody reads its standard output: writing to it fails
  };

  explicit ChildProcess(Launch launch);
  ChildProcess(std::vector<std::string> command, const std::filesystem::path& home,
               std::string input = {}, std::vector<std::string> environment = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t processId() const { return pid; }
  // Sends `number` to the program itself (not to its group).
  void signal(int number) const;
  void closeInput();

  // Waits until it has ended and its output is all read, at most `bound`: its exit status, or -1
  // when it was ended by a signal or still runs.
  int wait(std::chrono::milliseconds bound = generousBound);
  bool hasEnded();
  // The signal that ended it, or 0.
  int endingSignal();

  std::string standardOutput() const;
  std::string standardError() const;
  // The next line of its standard output after those taken before, without its line feed;
  // empty when its output ends (or `bound` passes) without one.
  std::string nextLine(std::chrono::milliseconds bound = generousBound);

 private:
  void collect();
  void writeInput(const std::string& input);

  pid_t pid = -1;
  // Set once it has exited; it stays unreaped until this goes, so that its pid, which names its
  // group too, cannot be taken by another process while this may still signal it.
  std::optional<int> exitStatus;
  int signalNumber = 0;
  UniqueFd inputEnd;
  UniqueFd outputEnd;
  UniqueFd errorEnd;
  UniqueFd wake;  // an eventfd that stops the collecting thread

  mutable std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  std::string output;
  std::string error;
  std::size_t linesTaken = 0;  // bytes of `output` that nextLine() has handed out
  bool collected = false;      // both streams ended
  std::thread collector;
};

}  // namespace tarvel::Testing
