#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"

namespace tarvel::ContextTesting {

// A temporary folder used as the user's home; removed afterwards.
using TemporaryHome = Testing::TemporaryFolder;
using Testing::writeFile;

// Sets the file's modification time to `seconds` since 1970.
inline void setModificationTime(const std::filesystem::path& path, long seconds) {
  const timespec times[2] = {{.tv_sec = seconds, .tv_nsec = 0}, {.tv_sec = seconds, .tv_nsec = 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

}  // namespace tarvel::ContextTesting
