#include "Support/TemporaryHome.hpp"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <system_error>

#include <gtest/gtest.h>

namespace tarvel::Testing {

namespace fs = std::filesystem;

TemporaryFolder::TemporaryFolder(std::string_view label) {
  std::string pattern = "/tmp/tarvel-" + std::string(label) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a folder like " << pattern;
    return;
  }
  path = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  if (path.empty()) {
    return;
  }
  std::error_code error;
  fs::remove_all(path, error);
  if (!error) {
    return;
  }
  // A test may have left folders it cannot write or enter: open them to their owner and retry.
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
  for (auto entry = fs::recursive_directory_iterator(
           path, fs::directory_options::skip_permission_denied, error);
       !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    if (entry->is_directory(error) && !entry->is_symlink(error)) {
      fs::permissions(entry->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
  }
  fs::remove_all(path, error);
  if (error) {
    ADD_FAILURE() << "cannot remove " << path << ": " << error.message();
  }
}

bool TemporaryFolder::openToOthers() const {
  if (::chmod(path.c_str(), 0711) != 0) {
    return false;
  }
  for (auto folder = path.parent_path(); folder != folder.parent_path();
       folder = folder.parent_path()) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) {
      return false;
    }
  }
  return true;
}

TemporaryHome::TemporaryHome(std::string_view label) : TemporaryFolder(label) {
  if (const char* home = std::getenv("HOME")) {  // NOLINT(concurrency-mt-unsafe)
    previousHome = home;
  }
  ::setenv("HOME", path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
}

TemporaryHome::~TemporaryHome() {
  if (previousHome) {
    ::setenv("HOME", previousHome->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  } else {
    ::unsetenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  }
}

}  // namespace tarvel::Testing
