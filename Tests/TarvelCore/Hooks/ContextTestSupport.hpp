#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace tarvel::ContextTesting {

// A temporary folder used as the user's home; removed afterwards.
class TemporaryHome {
 public:
  TemporaryHome() {
    char pattern[] = "/tmp/tarvel-context-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) {
      path = pattern;
    }
  }
  ~TemporaryHome() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  std::filesystem::path path;
};

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Sets the file's modification time to `seconds` since 1970.
inline void setModificationTime(const std::filesystem::path& path, long seconds) {
  const timespec times[2] = {{.tv_sec = seconds, .tv_nsec = 0}, {.tv_sec = seconds, .tv_nsec = 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

}  // namespace tarvel::ContextTesting
