#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QuoyaCore/CodexMetadataReader.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"

namespace quoya {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string threadA = "11111111-1111-4111-8111-111111111111";
const std::string threadB = "22222222-2222-4222-8222-222222222222";
const std::string threadC = "33333333-3333-4333-8333-333333333333";

std::size_t openDescriptorCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

using tarvel::Testing::readFile;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Runs the fake Codex program in a temporary directory; every test gets its own log and pid file.
class CodexMetadataReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("FAKE_CODEX_LOG", (directory / "stdin.log").c_str(), 1);
    ::setenv("FAKE_CODEX_PIDFILE", (directory / "pid").c_str(), 1);
    ::unsetenv("FAKE_CODEX_COUNT");
  }
  void TearDown() override { ::unsetenv("FAKE_CODEX_MODE"); }

  // A generous deadline: a fake that answers everything must never be cut short by a busy
  // machine, and finishing well before it still shows that the reader did not wait for it.
  std::map<std::string, std::string> run(
      const char* mode, const std::vector<std::string>& ids,
      std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
    ::setenv("FAKE_CODEX_MODE", mode, 1);
    const auto started = Clock::now();
    auto titles = CodexMetadataReader::readTitles(ids, fake, deadline);
    elapsed = Clock::now() - started;
    return titles;
  }

  // The fake's pid, which must no longer be our child: reaped, not a zombie.
  void expectReaped() const {
    const std::string text = readFile(directory / "pid");
    ASSERT_FALSE(text.empty()) << "the fake did not start";
    const pid_t pid = std::stoi(text);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }

  std::vector<std::string> requests() const { return linesOf(readFile(directory / "stdin.log")); }

  tarvel::Testing::TemporaryFolder temporary{"codex-metadata"};
  const fs::path directory = temporary.path;
  const fs::path fake = tarvel::Testing::fixturePath("codex-fakes/fake-codex.sh");
  Clock::duration elapsed{};
};

TEST_F(CodexMetadataReaderTest, SendsTheExactMessagesAndMapsEveryAnsweredThread) {
  const auto titles = run("answer", {threadB, threadA});
  EXPECT_EQ(titles, (std::map<std::string, std::string>{{threadA, "Title " + threadA},
                                                        {threadB, "Title " + threadB}}));
  const std::vector<std::string> expected = {
      R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"quoya_island_titles","version":"0.4.0"}}})",
      R"({"method":"initialized"})",
      R"({"id":2,"method":"thread/read","params":{"includeTurns":false,"threadId":")" + threadA +
          R"("}})",
      R"({"id":3,"method":"thread/read","params":{"includeTurns":false,"threadId":")" + threadB +
          R"("}})",
  };
  EXPECT_EQ(requests(), expected);
  expectReaped();
}

TEST_F(CodexMetadataReaderTest, AsksOnlyForTheHundredSmallestDistinctUUIDs) {
  std::vector<std::string> ids = {"not-a-uuid", "", "../etc", threadA, threadA,
                                  "11111111111141118111111111111111"};
  for (int index = 0; index < 150; ++index) {
    char id[40];
    std::snprintf(id, sizeof id, "%08d-0000-4000-8000-000000000000", 149 - index);
    ids.emplace_back(id);
  }
  const auto titles = run("answer", ids);
  EXPECT_EQ(titles.size(), 100u);
  EXPECT_FALSE(titles.contains(threadA));  // greater than every "000000xx-..." id
  EXPECT_TRUE(titles.contains("00000000-0000-4000-8000-000000000000"));
  EXPECT_TRUE(titles.contains("00000099-0000-4000-8000-000000000000"));
  EXPECT_FALSE(titles.contains("00000100-0000-4000-8000-000000000000"));
  const auto lines = requests();
  ASSERT_EQ(lines.size(), 102u);
  EXPECT_NE(lines[2].find(R"("id":2,)"), std::string::npos);
  EXPECT_NE(lines[2].find("00000000-0000"), std::string::npos);
  EXPECT_NE(lines[101].find(R"("id":101,)"), std::string::npos);
}

TEST_F(CodexMetadataReaderTest, StartsNothingWithoutUsableIdsOrProgram) {
  EXPECT_TRUE(run("answer", {"abc", "codex:123"}).empty());
  EXPECT_FALSE(fs::exists(directory / "pid"));

  const fs::path plain = directory / "plain";
  std::ofstream(plain) << "#!/bin/sh\necho $$ > " << (directory / "pid") << "\n";
  EXPECT_TRUE(CodexMetadataReader::readTitles({threadA}, plain).empty());
  EXPECT_TRUE(CodexMetadataReader::readTitles({threadA}, directory / "missing").empty());
  EXPECT_TRUE(CodexMetadataReader::readTitles({threadA}, directory).empty());
  EXPECT_FALSE(fs::exists(directory / "pid"));
}

TEST_F(CodexMetadataReaderTest, HandlesSeveralAnswersInOneRead) {
  ::setenv("FAKE_CODEX_COUNT", "3", 1);
  const auto titles = run("burst", {threadA, threadB, threadC});
  EXPECT_EQ(titles.size(), 3u);
  EXPECT_EQ(titles.at(threadC), "Title " + threadC);
  expectReaped();
}

TEST_F(CodexMetadataReaderTest, JoinsLinesSplitAcrossReadsAndSkipsNoise) {
  const auto titles = run("split", {threadA, threadB});
  EXPECT_EQ(titles, (std::map<std::string, std::string>{{threadA, "Title " + threadA},
                                                        {threadB, "Title " + threadB}}));
}

TEST_F(CodexMetadataReaderTest, AnswersThatDoNotDescribeTheThreadCountButStoreNothing) {
  struct Case {
    const char* mode;
    std::map<std::string, std::string> expected;
  };
  const Case cases[] = {
      {"wrong-thread", {}},
      {"no-thread", {}},
      {"blank-name", {{threadA, ""}, {threadB, ""}}},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.mode);
    EXPECT_EQ(run(item.mode, {threadA, threadB}), item.expected);
    // Every request was answered, so the reader did not wait for its deadline.
    EXPECT_LT(elapsed, std::chrono::seconds(60));
    expectReaped();
  }
}

TEST_F(CodexMetadataReaderTest, AnInitializeErrorMeansNoThreadIsAskedFor) {
  // The fake reads on after its error answer; nothing more is sent to it.
  EXPECT_TRUE(run("init-error", {threadA}, CodexMetadataReader::deadline).empty());
  const auto lines = requests();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"initialize\""), std::string::npos);
  expectReaped();
}

TEST_F(CodexMetadataReaderTest, AProgramThatNeverAnswersCostsAboutTheDeadline) {
  EXPECT_TRUE(run("silent", {threadA}, CodexMetadataReader::deadline).empty());
  EXPECT_GE(elapsed, CodexMetadataReader::deadline);
  EXPECT_LT(elapsed, CodexMetadataReader::deadline + std::chrono::seconds(30));
  expectReaped();
}

TEST_F(CodexMetadataReaderTest, AProgramIgnoringSIGTERMIsKilledAfterTheGrace) {
  EXPECT_TRUE(run("ignore-term", {threadA}, CodexMetadataReader::deadline).empty());
  EXPECT_LT(elapsed, CodexMetadataReader::deadline + std::chrono::seconds(30));
  expectReaped();
}

TEST_F(CodexMetadataReaderTest, AProgramExitingEarlyEndsTheCallAtOnce) {
  EXPECT_TRUE(run("exit-early", {threadA}).empty());
  EXPECT_LT(elapsed, std::chrono::seconds(60));
  expectReaped();
}

TEST_F(CodexMetadataReaderTest, OutputBeyondFourMebibytesIsNeverRead) {
  EXPECT_TRUE(run("flood", {threadA}).empty());
  expectReaped();
  // A 5 MB answer line followed by a good answer: the good one lies past the limit.
  EXPECT_TRUE(run("oversize", {threadA}).empty());
  expectReaped();
}

TEST_F(CodexMetadataReaderTest, WritingToAProgramThatClosedItsInputRaisesNoSignal) {
  // SIGPIPE at its default action would end this test program.
  ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL);
  EXPECT_TRUE(run("close-input", {threadA, threadB}).empty());
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  expectReaped();
}

TEST_F(CodexMetadataReaderTest, LeavesNoDescriptorOpen) {
  const std::size_t before = openDescriptorCount();
  run("answer", {threadA});
  run("exit-early", {threadA});
  run("close-input", {threadA});
  EXPECT_EQ(openDescriptorCount(), before);
}

}  // namespace
}  // namespace quoya
