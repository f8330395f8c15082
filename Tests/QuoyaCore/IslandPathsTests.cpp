#include <sys/stat.h>

#include <gtest/gtest.h>

#include "QuoyaCore/IslandPaths.hpp"
#include "TarvelCore/Sockets/SocketTestSupport.hpp"

namespace quoya {
namespace {

using tarvel::SocketTesting::TemporaryHome;

TEST(IslandPaths, PrepareCreatesAndTightensThePrivateDirectory) {
  const TemporaryHome home;
  EXPECT_EQ(IslandPaths::socket(), home.path / ".quoya-island" / "events.sock");
  std::filesystem::create_directory(home.path / ".quoya-island");
  ::chmod((home.path / ".quoya-island").c_str(), 0755);
  ASSERT_FALSE(IslandPaths::prepare());
  struct stat status {};
  ASSERT_EQ(::lstat(IslandPaths::directory().c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST(IslandPaths, PrepareRefusesASymbolicLinkAndLeavesIt) {
  const TemporaryHome home;
  const auto target = home.path / "elsewhere";
  std::filesystem::create_directory(target);
  ::chmod(target.c_str(), 0755);
  std::filesystem::create_directory_symlink(target, home.path / ".quoya-island");

  const auto error = IslandPaths::prepare();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->errorNumber, EACCES);
  EXPECT_TRUE(std::filesystem::is_symlink(home.path / ".quoya-island"));
  struct stat status {};
  ASSERT_EQ(::stat(target.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0755u);
}

}  // namespace
}  // namespace quoya
