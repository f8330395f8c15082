#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TarvelCore/Platform/Spawn.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;

// Whether the process is gone, or a zombie nobody reaps (a container without an init).
bool isGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto end = text.rfind(')');
  return !stat || (end != std::string::npos && text.compare(end, 3, ") Z") == 0);
}

TEST(Spawn, CollectsWhatAProgramWritesAndEndsItsGroupAtTheLimit) {
  {
    SCOPED_TRACE("input in, output and error out, the exit status");
    const auto run =
        Spawn::collect({"/bin/sh", "-c", "cat; echo oops >&2; exit 3"}, "hello\n", 60s, 1024);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(run->output, "hello\n");
    EXPECT_EQ(run->error, "oops\n");
    EXPECT_EQ(run->ending.exitStatus, 3);
    EXPECT_FALSE(run->timedOut);
  }
  {
    SCOPED_TRACE("more than is kept is read to the end and dropped");
    const auto run = Spawn::collect({"/bin/sh", "-c", "head -c 300000 /dev/zero"}, {}, 60s, 1000);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->output, std::string(1000, '\0'));
    EXPECT_EQ(run->ending.exitStatus, 0);
  }
  {
    SCOPED_TRACE("a program that closes its output and lingers is killed at the limit");
    const auto run =
        Spawn::collect({"/bin/sh", "-c", "exec >&- 2>&- </dev/null; sleep 600"}, {}, 1s, 1024);
    ASSERT_TRUE(run);
    EXPECT_TRUE(run->timedOut);
    EXPECT_EQ(run->ending.signal, SIGKILL);
  }
  {
    SCOPED_TRACE("its helpers end with it");
    pid_t started = -1;
    const auto run = Spawn::collect({"/bin/sh", "-c", "sleep 600 & echo $!; wait"}, {}, 1s, 1024,
                                    [&](pid_t pid) { started = pid; });
    ASSERT_TRUE(run);
    EXPECT_TRUE(run->timedOut);
    EXPECT_GT(started, 0);
    // Killed with its group; its new parent reaps it when it will.
    const pid_t helper = std::stoi(run->output);
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (!isGone(helper) && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(isGone(helper));
    ::kill(helper, SIGKILL);
  }
  {
    SCOPED_TRACE("a program that is not there");
    const auto run = Spawn::collect({"tarvel-no-such-program"}, {}, 60s, 1024);
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error(), "Cannot run tarvel-no-such-program: No such file or directory");
  }
}

}  // namespace
}  // namespace tarvel
