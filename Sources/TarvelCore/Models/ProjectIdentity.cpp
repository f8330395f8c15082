#include "TarvelCore/Models/ProjectIdentity.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "TarvelCore/Platform/AgentFileAccess.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::ProjectIdentity {
namespace {

namespace fs = std::filesystem;

// ".git" and "commondir" files are a line or two; anything larger is not one of them.
constexpr std::size_t maximumGitFileBytes = std::size_t{64} * 1024;

// Reads a small regular file as UTF-8 text. Opening without blocking and refusing anything but a
// regular file keeps a FIFO or device named ".git" from hanging the caller.
std::optional<std::string> readSmallTextFile(const std::string& path) {
  auto text = AgentFileAccess::readSmallFile(path, std::nullopt, maximumGitFileBytes);
  if (!text || !Text::isValidUTF8(*text)) {
    return std::nullopt;
  }
  return text;
}

std::optional<std::string> homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home);
  }
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

std::optional<std::string> homeDirectory(const std::string& user) {
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

// "~" and "~/x" against the current user's home, "~name/x" against that user's; anything else,
// and a tilde whose home cannot be found, stays as it is.
std::string expandingTilde(std::string_view path) {
  if (path.empty() || path.front() != '~') {
    return std::string(path);
  }
  const auto slash = path.find('/');
  const std::string user(
      path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1));
  const auto home = user.empty() ? homeDirectory() : homeDirectory(user);
  if (!home) {
    return std::string(path);
  }
  std::string expanded = *home;
  if (slash != std::string_view::npos) {
    while (!expanded.empty() && expanded.back() == '/') {
      expanded.pop_back();
    }
    expanded.append(path.substr(slash));
  }
  return expanded;
}

std::string currentDirectory() {
  std::error_code error;
  fs::path current = fs::current_path(error);
  return error ? std::string() : current.string();
}

// The last component of a normalised path; "/" for the root.
std::string lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  if (path == "/") {
    return "/";
  }
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The parent of a normalised path without trailing "/".
std::string parentPath(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return std::string();
  }
  if (slash == 0) {
    return "/";
  }
  return std::string(path.substr(0, slash));
}

bool startsWithKeyIgnoringCase(std::string_view line, std::string_view key) {
  if (line.size() < key.size()) {
    return false;
  }
  for (std::size_t i = 0; i < key.size(); ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != key[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> name(std::string_view workingDirectory) {
  const auto trimmedPath = nonEmpty(expandingTilde(workingDirectory));
  if (!trimmedPath) {
    return std::nullopt;
  }
  // Only a relative path needs the current directory (a system call per look-up).
  const auto directory = resolvedPath(
      trimmedPath, trimmedPath->starts_with('/') ? std::string() : currentDirectory());
  if (!directory) {
    return std::nullopt;
  }
  // A path with a NUL byte names no file; looking it up would look at the part before the NUL.
  const bool lookable = directory->find('\0') == std::string::npos;
  std::error_code error;
  const std::string gitEntry = (fs::path(*directory) / ".git").string();
  const fs::file_status status =
      lookable ? fs::status(gitEntry, error) : fs::file_status(fs::file_type::not_found);
  if (lookable && !error && fs::exists(status) && !fs::is_directory(status)) {
    if (auto repository = worktreeName(gitEntry, *directory)) {
      return repository;
    }
  }
  return nonEmpty(lastComponent(*directory));
}

std::optional<std::string> worktreeName(const std::string& gitFile, const std::string& worktree) {
  const auto text = readSmallTextFile(gitFile);
  if (!text) {
    return std::nullopt;
  }
  const auto directory = gitDir(*text, worktree);
  if (!directory) {
    return std::nullopt;
  }
  std::optional<std::string> commonDirectory;
  if (const auto common = readSmallTextFile((fs::path(*directory) / "commondir").string())) {
    commonDirectory = resolvedPath(nonEmpty(*common), *directory);
  }
  if (commonDirectory) {
    return repositoryNameFromCommonGitDir(*commonDirectory);
  }
  return repositoryNameFromWorktreeGitDir(*directory);
}

std::optional<std::string> gitDir(std::string_view gitFileText, const std::string& worktree) {
  for (const std::string_view line : Text::nonEmptyLines(gitFileText)) {
    const std::string candidate = Text::trimmed(line);
    if (startsWithKeyIgnoringCase(candidate, "gitdir:")) {
      return resolvedPath(nonEmpty(std::string_view(candidate).substr(7)), worktree);
    }
  }
  return std::nullopt;
}

std::optional<std::string> resolvedPath(const std::optional<std::string>& path,
                                        const std::string& base) {
  if (!path || path->empty()) {
    return std::nullopt;
  }
  const fs::path given(*path);
  const fs::path full = given.is_absolute() || base.empty() ? given : fs::path(base) / given;
  std::string normal = full.lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') {
    normal.pop_back();
  }
  if (normal.empty()) {
    return std::nullopt;
  }
  return normal;
}

std::optional<std::string> repositoryNameFromCommonGitDir(const std::string& commonGitDir) {
  std::string last = lastComponent(commonGitDir);
  if (last == ".git") {
    return nonEmpty(lastComponent(parentPath(commonGitDir)));
  }
  if (Text::endsWith(last, ".git")) {
    last.resize(last.size() - 4);
  }
  return nonEmpty(last);
}

std::optional<std::string> repositoryNameFromWorktreeGitDir(const std::string& gitDir) {
  const auto marker = gitDir.rfind("/.git/worktrees/");
  if (marker == std::string::npos || marker == 0) {
    return std::nullopt;
  }
  return nonEmpty(lastComponent(gitDir.substr(0, marker)));
}

}  // namespace tarvel::ProjectIdentity
