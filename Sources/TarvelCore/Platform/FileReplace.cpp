#include "TarvelCore/Platform/FileReplace.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Platform/WriteAll.hpp"

namespace tarvel::FileReplace {
namespace {

namespace fs = std::filesystem;
using Kind = Error::Kind;

fs::path folderOf(const fs::path& file) {
  return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

// Makes, fills and syncs a temporary file beside `file`; its path. Removed again on failure.
Result<std::string, Error> writeTemporary(const fs::path& file, std::string_view bytes,
                                          mode_t mode) {
  std::string path = (folderOf(file) / (temporaryPrefix(file) + "XXXXXX")).string();
  const UniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
  if (!fd) {
    return Error{.kind = Kind::temporaryFile, .code = errno, .path = file};
  }
  if (!writeAll(fd.get(), bytes) || ::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    return Error{.kind = Kind::write, .code = error, .path = file};
  }
  return path;
}

// Gives `from` the name `to` in one step, only when that name is free: 0, or the errno.
int moveWithoutReplacing(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    return errno;
  }
  // A file system that cannot rename without replacing: a hard link never replaces either.
  if (::link(from.c_str(), to.c_str()) != 0) {
    return errno;
  }
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    return error;
  }
  return 0;
}

// Puts the new name itself on the disk. Only asked for: the file is in place already, and a file
// system that cannot sync a folder (EINVAL on some network ones) must not make a written file
// look unwritten to the caller.
void syncFolder(const fs::path& file) {
  const UniqueFd folder(::open(folderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) {
    ::fsync(folder.get());
  }
}

}  // namespace

std::string Error::description() const {
  const std::string reason = code != 0 ? std::string(": ") + std::strerror(code) : std::string();
  switch (kind) {
    case Kind::symbolicLink:
      return path.string() + " is a symbolic link";
    case Kind::danglingLink:
      return code == ENOENT
                 ? path.string() + " is a symbolic link to " + leadsTo.string() +
                       ", which does not exist"
                 : path.string() + " is a symbolic link that cannot be followed" + reason;
    case Kind::notRegularFile:
      return path.string() + " is not a regular file";
    case Kind::exists:
      return path.string() + " exists already";
    case Kind::temporaryFile:
      return "cannot create a temporary file beside " + path.string() + reason;
    case Kind::write:
    case Kind::place:
      return "cannot write " + path.string() + reason;
  }
  return "cannot write " + path.string() + reason;
}

std::string temporaryPrefix(const fs::path& file) { return file.filename().string() + ".tmp-"; }

Result<fs::path, Error> target(const fs::path& file, Links links) {
  struct stat status {};
  if (::lstat(file.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
    return file;
  }
  if (links == Links::refuse) {
    return Error{.kind = Kind::symbolicLink, .path = file};
  }
  std::error_code error;
  fs::path resolved = fs::canonical(file, error);
  if (error) {
    std::error_code ignored;
    return Error{.kind = Kind::danglingLink,
                 .code = error.value(),
                 .path = file,
                 .leadsTo = fs::read_symlink(file, ignored)};
  }
  return resolved;
}

std::optional<Error> replace(const fs::path& file, std::string_view bytes, const Options& options) {
  const auto resolved = target(file, options.links);
  if (!resolved) {
    return resolved.error();
  }
  const fs::path& path = *resolved;
  mode_t mode = options.mode;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    if (S_ISLNK(status.st_mode)) {
      return Error{.kind = Kind::symbolicLink, .path = path};  // made since it was resolved
    }
    if (!S_ISREG(status.st_mode)) {
      return Error{.kind = Kind::notRegularFile, .path = path};
    }
    if (options.keepMode) {
      mode = status.st_mode & 07777;
    }
  }
  const auto temporary = writeTemporary(path, bytes, mode);
  if (!temporary) {
    return temporary.error();
  }
  if (::rename(temporary->c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary->c_str());
    return Error{.kind = Kind::place, .code = error, .path = path};
  }
  syncFolder(path);
  return std::nullopt;
}

std::optional<Error> create(const fs::path& file, std::string_view bytes, mode_t mode) {
  const auto temporary = writeTemporary(file, bytes, mode);
  if (!temporary) {
    return temporary.error();
  }
  if (const int error = moveWithoutReplacing(*temporary, file); error != 0) {
    ::unlink(temporary->c_str());
    return Error{.kind = error == EEXIST ? Kind::exists : Kind::place, .code = error, .path = file};
  }
  syncFolder(file);
  return std::nullopt;
}

Result<fs::path, Error> setAside(const fs::path& file, std::string_view suffix) {
  constexpr int names = 100;
  const std::string base = file.string() + std::string(suffix);
  for (int attempt = 0; attempt < names; ++attempt) {
    fs::path name = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    const int error = moveWithoutReplacing(file, name);
    if (error == 0) {
      syncFolder(file);
      return name;
    }
    if (error != EEXIST) {
      return Error{.kind = Kind::place, .code = error, .path = file};
    }
  }
  return Error{.kind = Kind::exists, .code = EEXIST, .path = file};
}

}  // namespace tarvel::FileReplace
