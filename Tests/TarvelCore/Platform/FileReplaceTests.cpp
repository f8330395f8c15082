#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "TarvelCore/Platform/FileReplace.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using Kind = FileReplace::Error::Kind;

class FileReplaceTest : public ::testing::Test {
 protected:
  static std::string read(const fs::path& file) { return Testing::readFile(file); }
  static void write(const fs::path& file, const std::string& bytes, mode_t mode) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    ::chmod(file.c_str(), mode);
  }
  static mode_t modeOf(const fs::path& file) {
    struct stat status {};
    return ::lstat(file.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
  }
  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  }

  Testing::TemporaryFolder temporary{"replace"};
  const fs::path folder = temporary.path;
};

TEST_F(FileReplaceTest, WritesWholeFilesWithTheirModesAndTakesLinksOnlyWhenAsked) {
  const fs::path file = folder / "settings.json";
  {
    SCOPED_TRACE("a new file, then an existing one, with the mode given or kept");
    ASSERT_FALSE(FileReplace::replace(file, "first\n", {.mode = 0640}));
    EXPECT_EQ(read(file), "first\n");
    EXPECT_EQ(modeOf(file), 0640U);
    ::chmod(file.c_str(), 0604);
    ASSERT_FALSE(FileReplace::replace(file, "second\n", {.mode = 0600, .keepMode = true}));
    EXPECT_EQ(read(file), "second\n");
    EXPECT_EQ(modeOf(file), 0604U);
    ASSERT_FALSE(FileReplace::replace(file, "", {.mode = 0600}));
    EXPECT_EQ(read(file), "");
    EXPECT_EQ(modeOf(file), 0600U);
  }
  const fs::path real = folder / "dotfiles-settings.json";
  const fs::path link = folder / "linked.json";
  write(real, "theirs\n", 0644);
  fs::create_symlink(real.filename(), link);
  {
    SCOPED_TRACE("a link, refused");
    const auto refused = FileReplace::replace(link, "ours\n");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind, Kind::symbolicLink);
    EXPECT_EQ(refused->path, link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(real), "theirs\n");
  }
  {
    SCOPED_TRACE("a link, followed: its target is replaced and the link stays");
    ASSERT_FALSE(FileReplace::replace(link, "ours\n",
                                      {.keepMode = true, .links = FileReplace::Links::follow}));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(real), "ours\n");
    EXPECT_EQ(modeOf(real), 0644U);
  }
  {
    SCOPED_TRACE("a link to nothing, followed");
    const fs::path dangling = folder / "dangling.json";
    fs::create_symlink("missing/settings.json", dangling);
    const auto refused =
        FileReplace::replace(dangling, "ours\n", {.links = FileReplace::Links::follow});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind, Kind::danglingLink);
    EXPECT_EQ(refused->description(),
              dangling.string() +
                  " is a symbolic link to missing/settings.json, which does not "
                  "exist");
    EXPECT_FALSE(fs::exists(folder / "missing"));
  }
  {
    SCOPED_TRACE("a FIFO is no file to replace");
    const fs::path fifo = folder / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto refused = FileReplace::replace(fifo, "ours\n");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind, Kind::notRegularFile);
    EXPECT_TRUE(fs::is_fifo(fifo));
  }
  {
    SCOPED_TRACE("create takes only a free name; setAside never replaces");
    const fs::path backup = folder / "settings.json.backup";
    ASSERT_FALSE(FileReplace::create(backup, "kept\n", 0444));
    EXPECT_EQ(modeOf(backup), 0444U);
    const auto taken = FileReplace::create(backup, "other\n", 0600);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->kind, Kind::exists);
    EXPECT_EQ(read(backup), "kept\n");
    EXPECT_EQ(FileReplace::setAside(file, ".damaged").optional(), folder / "settings.json.damaged");
    write(file, "again\n", 0600);
    EXPECT_EQ(FileReplace::setAside(file, ".damaged").optional(),
              folder / "settings.json.damaged-1");
    EXPECT_EQ(read(folder / "settings.json.damaged"), "");
    EXPECT_EQ(read(folder / "settings.json.damaged-1"), "again\n");
    EXPECT_FALSE(fs::exists(file));
  }
  // No temporary file is left by any of it.
  EXPECT_EQ(names(), (std::set<std::string>{"dangling.json", "dotfiles-settings.json", "fifo",
                                            "linked.json", "settings.json.backup",
                                            "settings.json.damaged", "settings.json.damaged-1"}));
}

TEST_F(FileReplaceTest, AFailureLeavesTheFileAsItWasAndNoTemporaryFile) {
  const fs::path file = folder / "sessions.json";
  write(file, "before\n", 0600);
  {
    SCOPED_TRACE("the bytes do not fit");
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto failed = FileReplace::replace(file, std::string(8192, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->kind, Kind::write);
    EXPECT_EQ(failed->description(), "cannot write " + file.string() + ": File too large");
    EXPECT_EQ(read(file), "before\n");
    EXPECT_EQ(names(), std::set<std::string>{"sessions.json"});
  }
  {
    SCOPED_TRACE("a folder that is not writable");
    // Root writes into any folder it may not write; an immutable folder stops root too.
    ::chmod(folder.c_str(), 0500);
    const UniqueFd opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    const bool immutable =
        ::geteuid() == 0 && ::ioctl(opened.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags |= FS_IMMUTABLE_FL, ::ioctl(opened.get(), FS_IOC_SETFLAGS, &flags) == 0);
    if (::geteuid() == 0 && !immutable) {
      GTEST_SKIP() << "root, and this file system cannot make a folder immutable";
    }
    const auto replaced = FileReplace::replace(file, "after\n");
    const auto created = FileReplace::create(folder / "token", "secret\n", 0600);
    if (immutable) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(opened.get(), FS_IOC_SETFLAGS, &flags);
    }
    ::chmod(folder.c_str(), 0700);
    for (const auto& failed : {replaced, created}) {
      ASSERT_TRUE(failed);
      EXPECT_EQ(failed->kind, Kind::temporaryFile);
      EXPECT_NE(failed->description().find("cannot create a temporary file beside " +
                                           folder.string() + "/"),
                std::string::npos)
          << failed->description();
    }
    EXPECT_EQ(read(file), "before\n");
    EXPECT_EQ(names(), std::set<std::string>{"sessions.json"});
  }
}

// A reader in another process opens the file over and over while it is replaced: each time it
// finds one of the two contents whole, never a mix, a part or no file.
TEST_F(FileReplaceTest, AReaderNeverSeesAPartOfTheFile) {
  const std::string first(1 << 20, 'a');
  const std::string second((3 << 19) + 17, 'b');
  write(folder / "first", first, 0600);
  write(folder / "second", second, 0600);
  const fs::path file = folder / "file";
  ASSERT_FALSE(FileReplace::replace(file, first));
  const std::string reader =
      "cd \"$1\" || exit 3\n"
      "while [ ! -e stop ]; do\n"
      "  cat file >seen || exit 2\n"
      "  cmp -s seen first || cmp -s seen second || exit 1\n"
      "  printf .\n"
      "done\n";
  auto child = Spawn::start({"/bin/sh", "-c", reader, "reader", folder.string()},
                            {.output = Spawn::piped, .error = Spawn::inherited});
  ASSERT_TRUE(child) << child.error();
  std::size_t reads = 0;
  for (std::size_t round = 0; reads < 100 && child->running(); ++round) {
    ASSERT_FALSE(FileReplace::replace(file, round % 2 == 0 ? second : first));
    pollfd readable{.fd = child->output.get(), .events = POLLIN};
    if (::poll(&readable, 1, 0) == 1) {
      char dots[256];
      const ssize_t count = ::read(child->output.get(), dots, sizeof dots);
      reads += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
  }
  std::ofstream(folder / "stop") << "";
  EXPECT_EQ(child->wait().exitStatus, 0) << "after " << reads << " whole reads";
}

}  // namespace
}  // namespace tarvel
