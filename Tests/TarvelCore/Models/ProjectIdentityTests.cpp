#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "Support/TemporaryHome.hpp"
#include "TarvelCore/Models/ProjectIdentity.hpp"

namespace tarvel {
namespace {

namespace fs = std::filesystem;

// A temporary directory that is also HOME, with helpers to build real repositories in it.
class ProjectIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1); }

  void git(const std::string& arguments) {
    const std::string command =
        "git -c user.name=Test -c user.email=test@example.com -c init.defaultBranch=main " +
        arguments + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  // A repository at `path` with one commit.
  void makeRepository(const fs::path& path) {
    fs::create_directories(path);
    git("-C '" + path.string() + "' init -q");
    git("-C '" + path.string() + "' commit -q --allow-empty -m initial");
  }

  static void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  // HOME while the test runs; its folders are removed whatever modes the test left.
  Testing::TemporaryHome temporary{"project"};
  const fs::path root = temporary.path;
};

TEST_F(ProjectIdentityTest, TildeExpandsAgainstHome) {
  fs::create_directories(root / "src" / "app");
  EXPECT_EQ(ProjectIdentity::name("~/src/app"), "app");
  EXPECT_EQ(ProjectIdentity::name("~/src/app/"), "app");
  EXPECT_EQ(ProjectIdentity::name("~"), root.filename().string());
}

TEST_F(ProjectIdentityTest, PlainDirectoriesUseTheirOwnName) {
  makeRepository(root / "plain");
  fs::create_directories(root / "none");
  EXPECT_EQ(ProjectIdentity::name((root / "plain").string()), "plain");
  EXPECT_EQ(ProjectIdentity::name(" \n" + (root / "none").string() + "/ \t"), "none");
  EXPECT_EQ(ProjectIdentity::name("/does/not/exist/xyz"), "xyz");
  EXPECT_EQ(ProjectIdentity::name("/a/b/../c/."), "c");
  EXPECT_EQ(ProjectIdentity::name(""), std::nullopt);
  EXPECT_EQ(ProjectIdentity::name(" \n\u3000"), std::nullopt);
}

TEST_F(ProjectIdentityTest, LinkedWorktreeIsNamedAfterMainRepository) {
  makeRepository(root / "repos" / "app");
  git("-C '" + (root / "repos" / "app").string() + "' worktree add -q '" +
      (root / "w" / "feature-x").string() + "'");
  const std::string worktree = (root / "w" / "feature-x").string();
  ASSERT_TRUE(fs::is_regular_file(worktree + "/.git"));
  EXPECT_EQ(ProjectIdentity::name(worktree), "app");

  // Without "commondir" the "/.git/worktrees/" path still names the repository.
  fs::remove(root / "repos" / "app" / ".git" / "worktrees" / "feature-x" / "commondir");
  EXPECT_EQ(ProjectIdentity::name(worktree), "app");
}

TEST_F(ProjectIdentityTest, BareRepositoryWorktreeDropsGitSuffix) {
  makeRepository(root / "repos" / "app");
  git("clone -q --bare '" + (root / "repos" / "app").string() + "' '" +
      (root / "bare" / "project.git").string() + "'");
  git("--git-dir='" + (root / "bare" / "project.git").string() + "' worktree add -q '" +
      (root / "w" / "bare-tree").string() + "'");
  EXPECT_EQ(ProjectIdentity::name((root / "w" / "bare-tree").string()), "project");
}

TEST_F(ProjectIdentityTest, HandWrittenGitFiles) {
  // A main repository layout with a worktree entry whose commondir points two levels up.
  write(root / "repos" / "app" / ".git" / "worktrees" / "feature-x" / "commondir", "../..\n");
  const std::string gitDirectory =
      (root / "repos" / "app" / ".git" / "worktrees" / "feature-x").string();
  struct Case {
    const char* label;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"absolute", "gitdir: " + gitDirectory + "\n", "app"},
      {"relative to the worktree", "gitdir: ../../repos/app/.git/worktrees/feature-x", "app"},
      {"upper-case key and blanks", "  GITDIR:   " + gitDirectory + "  \r\n", "app"},
      {"after other lines", "\n\nignored: x\u2028gitdir: " + gitDirectory, "app"},
      {"first gitdir line decides",
       "gitdir: /nowhere/other/.git/worktrees/q\ngitdir: " + gitDirectory, "other"},
      {"no gitdir line", "worktree: " + gitDirectory + "\n", "feature-x"},
      {"empty gitdir value", "gitdir:   \n", "feature-x"},
      {"not UTF-8", "gitdir: " + gitDirectory + "\xFF\n", "feature-x"},
  };
  // The process runs elsewhere: relative paths must resolve against the worktree directory.
  const fs::path worktree = root / "w" / "feature-x";
  for (const auto& item : cases) {
    SCOPED_TRACE(item.label);
    write(worktree / ".git", item.text);
    EXPECT_EQ(ProjectIdentity::name(worktree.string()), item.expected);
  }
  // A commondir naming a bare repository.
  write(root / "repos" / "app" / ".git" / "worktrees" / "feature-x" / "commondir",
        (root / "bare" / "tools.git").string());
  write(worktree / ".git", "gitdir: " + gitDirectory);
  EXPECT_EQ(ProjectIdentity::name(worktree.string()), "tools");
}

TEST_F(ProjectIdentityTest, FileSystemTroubleFallsBackToDirectoryName) {
  // Over-long paths: one long component, and a path longer than PATH_MAX.
  EXPECT_EQ(ProjectIdentity::name("/tmp/" + std::string(4096, 'a')), std::string(4096, 'a'));
  std::string deep;
  for (int i = 0; i < 2000; ++i) {
    deep += "/abc";
  }
  EXPECT_EQ(ProjectIdentity::name(deep), "abc");

  const fs::path dangling = root / "dangling";
  fs::create_directories(dangling);
  fs::create_symlink(root / "missing-target", dangling / ".git");
  EXPECT_EQ(ProjectIdentity::name(dangling.string()), "dangling");

  const fs::path looping = root / "looping";
  fs::create_directories(looping);
  fs::create_symlink(looping / ".git", looping / ".git");
  EXPECT_EQ(ProjectIdentity::name(looping.string()), "looping");

  // A FIFO named ".git" must not block the caller.
  const fs::path fifo = root / "fifo";
  fs::create_directories(fifo);
  ASSERT_EQ(::mkfifo((fifo / ".git").c_str(), 0600), 0);
  EXPECT_EQ(ProjectIdentity::name(fifo.string()), "fifo");

  // A NUL byte must not make the lookup read the file named by the part before it.
  const fs::path worktree = root / "nul";
  write(worktree / ".git", "gitdir: /repos/app/.git/worktrees/nul\n");
  EXPECT_EQ(ProjectIdentity::name((worktree / ".git").string() + std::string("\0/inner", 7)),
            "inner");

  // An oversized ".git" file is not a git file.
  const fs::path huge = root / "huge";
  write(huge / ".git", "gitdir: /repos/app/.git/worktrees/x\n" + std::string(1 << 20, ' '));
  EXPECT_EQ(ProjectIdentity::name(huge.string()), "huge");

  // An unreadable directory (root can still read it; the answer is the same either way).
  const fs::path locked = root / "locked";
  write(locked / ".git", "gitdir: /repos/app/.git/worktrees/x\n");
  fs::permissions(locked, fs::perms::none);
  const auto lockedName = ProjectIdentity::name(locked.string());
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_TRUE(lockedName == "locked" || lockedName == "app");
}

TEST(ProjectIdentity, PathAndNameSteps) {
  EXPECT_EQ(ProjectIdentity::resolvedPath(std::nullopt, "/base"), std::nullopt);
  EXPECT_EQ(ProjectIdentity::resolvedPath("../x/./y/", "/base/sub"), "/base/x/y");
  EXPECT_EQ(ProjectIdentity::resolvedPath("/abs/../other", "/base"), "/other");
  EXPECT_EQ(ProjectIdentity::resolvedPath("/..", "/base"), "/");
  EXPECT_EQ(ProjectIdentity::repositoryNameFromCommonGitDir("/repos/app/.git"), "app");
  EXPECT_EQ(ProjectIdentity::repositoryNameFromCommonGitDir("/repos/app.git"), "app");
  EXPECT_EQ(ProjectIdentity::repositoryNameFromCommonGitDir("/repos/plain"), "plain");
  EXPECT_EQ(ProjectIdentity::repositoryNameFromCommonGitDir("/repos/.git.git"), ".git");
  EXPECT_EQ(
      ProjectIdentity::repositoryNameFromWorktreeGitDir("/a/.git/worktrees/b/.git/worktrees/c"),
      "b");
  EXPECT_EQ(ProjectIdentity::repositoryNameFromWorktreeGitDir("/repos/app/.git/modules/x"),
            std::nullopt);
}

}  // namespace
}  // namespace tarvel
