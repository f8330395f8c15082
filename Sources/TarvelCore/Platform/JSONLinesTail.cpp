#include "TarvelCore/Platform/JSONLinesTail.hpp"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "TarvelCore/Platform/AgentFileAccess.hpp"

namespace tarvel::JSONLinesTail {
namespace {

// glibc's memmem scans several times faster than a first-byte search followed by compares,
// which keeps stopping in files where most lines share the needle's first bytes (ids of one
// shape, "type" keys).
std::size_t find(std::string_view bytes, std::string_view needle, std::size_t from) {
  const void* match =
      ::memmem(bytes.data() + from, bytes.size() - from, needle.data(), needle.size());
  return match == nullptr
             ? std::string_view::npos
             : static_cast<std::size_t>(static_cast<const char*>(match) - bytes.data());
}

}  // namespace

std::optional<std::string> jsonlTail(const std::filesystem::path& path, std::size_t maxBytes,
                                     const std::optional<std::filesystem::path>& root) {
  const auto fd = AgentFileAccess::openRegularFile(path, root);
  if (!fd) {
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0 || info.st_size <= 0) {
    return std::nullopt;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  const bool cut = size > maxBytes;
  const std::uint64_t start = cut ? size - maxBytes - 1 : 0;

  // Only the bytes up to the size seen now: what the writer appends meanwhile waits for the
  // next read, which keeps the read bounded.
  std::string bytes(static_cast<std::size_t>(size - start), '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t count = ::pread(fd->get(), bytes.data() + filled, bytes.size() - filled,
                                  static_cast<off_t>(start + filled));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return std::nullopt;
    }
    if (count == 0) {
      break;  // truncated meanwhile
    }
    filled += static_cast<std::size_t>(count);
  }
  bytes.resize(filled);
  if (cut) {
    const auto newline = firstNewline(bytes);
    if (!newline) {
      return std::nullopt;
    }
    bytes.erase(0, *newline + 1);
  }
  if (bytes.empty()) {
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::size_t> firstNewline(std::string_view bytes) {
  const std::size_t offset = bytes.find('\n');
  if (offset == std::string_view::npos) {
    return std::nullopt;
  }
  return offset;
}

std::vector<std::string_view> lines(std::string_view bytes, std::string_view needle) {
  std::vector<std::string_view> found;
  if (needle.empty()) {
    return found;
  }
  std::size_t from = 0;
  while (from < bytes.size()) {
    const std::size_t match = find(bytes, needle, from);
    if (match == std::string_view::npos) {
      break;
    }
    const std::size_t before = match == 0 ? std::string_view::npos : bytes.rfind('\n', match - 1);
    const std::size_t lineStart = before == std::string_view::npos ? 0 : before + 1;
    const std::size_t after = bytes.find('\n', match + needle.size());
    const std::size_t lineEnd = after == std::string_view::npos ? bytes.size() : after;
    found.push_back(bytes.substr(lineStart, lineEnd - lineStart));
    if (after == std::string_view::npos) {
      break;
    }
    from = after + 1;
  }
  return found;
}

std::string_view verbatimNeedle(std::string_view text) {
  const auto literal = [](char byte) {
    return byte >= 0x20 && byte <= 0x7E &&
           std::string_view("\"\\/<>&'").find(byte) == std::string_view::npos;
  };
  std::string_view longest;
  std::size_t start = 0;
  for (std::size_t position = 0; position <= text.size(); ++position) {
    if (position < text.size() && literal(text[position])) {
      continue;
    }
    if (position - start > longest.size()) {
      longest = text.substr(start, position - start);
    }
    start = position + 1;
  }
  return longest;
}

std::vector<std::string_view> nonEmptyLines(std::string_view bytes) {
  std::vector<std::string_view> found;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) {
      end = bytes.size();
    }
    if (end > start) {
      found.push_back(bytes.substr(start, end - start));
    }
    start = end + 1;
  }
  return found;
}

std::optional<Json> parseObject(std::string_view line) {
  auto parsed = Coding::parse(line);
  if (!parsed || !parsed->is_object()) {
    return std::nullopt;
  }
  return std::move(*parsed);
}

std::optional<std::string> lossyString(const Json& object,
                                       std::initializer_list<std::string_view> keys) {
  for (const std::string_view key : keys) {
    const auto found = object.find(key);
    if (found != object.end() && found->is_string()) {
      return found->get<std::string>();
    }
  }
  return std::nullopt;
}

}  // namespace tarvel::JSONLinesTail
