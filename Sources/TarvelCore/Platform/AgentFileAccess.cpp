#include "TarvelCore/Platform/AgentFileAccess.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

namespace tarvel::AgentFileAccess {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> resolved(const fs::path& path) {
  std::error_code error;
  fs::path result = fs::canonical(path, error);
  if (error) {
    return std::nullopt;
  }
  return result;
}

// Both paths already resolved: `path` is `root` or below it.
bool liesWithin(const std::string& path, const std::string& root) {
  if (root == "/") {
    return true;
  }
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// Where an open descriptor really leads, from the kernel's view; absent without /proc.
std::optional<std::string> openedPath(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::array<char, 4096> target{};
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
    return std::nullopt;
  }
  return std::string(target.data(), static_cast<std::size_t>(length));
}

}  // namespace

bool isSafePathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

bool isContained(const fs::path& path, const fs::path& root) {
  const auto resolvedPath = resolved(path);
  const auto resolvedRoot = resolved(root);
  return resolvedPath && resolvedRoot && liesWithin(resolvedPath->string(), resolvedRoot->string());
}

std::optional<UniqueFd> openRegularFile(const fs::path& path, const std::optional<fs::path>& root) {
  if (path.native().find('\0') != std::string::npos) {
    return std::nullopt;  // the system would see only the part before the NUL: another file
  }
  fs::path target = path;
  std::optional<fs::path> resolvedRoot;
  if (root) {
    resolvedRoot = resolved(*root);
    const auto resolvedPath = resolved(path);
    if (!resolvedRoot || !resolvedPath ||
        !liesWithin(resolvedPath->string(), resolvedRoot->string())) {
      return std::nullopt;
    }
    target = *resolvedPath;
  }
  // O_NONBLOCK keeps a FIFO from stalling the open; it means nothing for regular files.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (root ? O_NOFOLLOW : 0);
  int descriptor = -1;
  do {
    descriptor = ::open(target.c_str(), flags);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    return std::nullopt;
  }
  UniqueFd fd(descriptor);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  // A directory on the way may have been swapped for a link since it was resolved.
  if (resolvedRoot) {
    if (const auto opened = openedPath(fd.get());
        opened && !liesWithin(*opened, resolvedRoot->string())) {
      return std::nullopt;
    }
  }
  return fd;
}

std::optional<std::string> readSmallFile(const fs::path& path, const std::optional<fs::path>& root,
                                         std::size_t maximumBytes) {
  auto fd = openRegularFile(path, root);
  if (!fd) {
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0 || info.st_size < 0 ||
      static_cast<std::uint64_t>(info.st_size) > maximumBytes) {
    return std::nullopt;
  }
  // Read one byte more than allowed, so that a file that grew since fstat is refused too. Files
  // of /proc report size 0, so a page is the least asked for: one read takes such a file whole.
  const std::size_t expected = std::max<std::size_t>(static_cast<std::size_t>(info.st_size), 4096);
  std::string bytes(std::min(expected, maximumBytes) + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t count = ::read(fd->get(), bytes.data() + filled, bytes.size() - filled);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return std::nullopt;
    }
    if (count == 0) {
      break;
    }
    filled += static_cast<std::size_t>(count);
    if (filled == bytes.size() && filled <= maximumBytes) {
      bytes.resize(std::min(bytes.size() * 2, maximumBytes + 1));
    }
  }
  if (filled > maximumBytes) {
    return std::nullopt;
  }
  bytes.resize(filled);
  return bytes;
}

bool isDirectory(const fs::path& path, const fs::path& root) {
  std::error_code error;
  return isContained(path, root) && fs::is_directory(path, error);
}

std::optional<std::vector<std::string>> listDirectory(const fs::path& path, const fs::path& root) {
  if (!isDirectory(path, root)) {
    return std::nullopt;
  }
  std::error_code error;
  fs::directory_iterator iterator(path, error);
  if (error) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (; iterator != fs::directory_iterator(); iterator.increment(error)) {
    if (error) {
      return std::nullopt;
    }
    std::string name = iterator->path().filename().string();
    if (!name.empty() && name.front() != '.') {
      names.push_back(std::move(name));
    }
    if (names.size() >= maximumListedEntries) {
      break;
    }
  }
  if (error) {
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<Date> modificationDate(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  using std::chrono::microseconds;
  using std::chrono::seconds;
  return Date(seconds(info.st_mtim.tv_sec) + microseconds(info.st_mtim.tv_nsec / 1000));
}

}  // namespace tarvel::AgentFileAccess
