// Runs the metadata reader against the real Codex program. Not part of the unit tests: the
// integration script installs Codex and passes CODEX_EXECUTABLE, CODEX_THREAD_ID (a thread that
// it created and named) and CODEX_THREAD_NAME, with HOME and CODEX_HOME in a temporary folder.
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "QuoyaCore/CodexMetadataReader.hpp"

namespace quoya {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

TEST(CodexMetadataReaderIntegration, ReadsTheNamedThreadAndNothingForAnUnknownOne) {
  const std::string executable = environment("CODEX_EXECUTABLE");
  const std::string threadId = environment("CODEX_THREAD_ID");
  ASSERT_FALSE(executable.empty());
  ASSERT_FALSE(threadId.empty());
  const std::string unknown = "00000000-0000-4000-8000-000000000000";

  const auto started = std::chrono::steady_clock::now();
  const auto titles = CodexMetadataReader::readTitles({unknown, threadId, "not-a-thread"},
                                                      executable);
  const auto elapsed = std::chrono::steady_clock::now() - started;

  EXPECT_EQ(titles, (std::map<std::string, std::string>{
                        {threadId, environment("CODEX_THREAD_NAME")}}));
  // Every request was answered, so the call ended before its deadline.
  EXPECT_LT(elapsed, CodexMetadataReader::deadline);
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  std::printf("readTitles took %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

}  // namespace
}  // namespace quoya
