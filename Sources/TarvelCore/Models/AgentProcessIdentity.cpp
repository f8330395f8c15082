#include "TarvelCore/Models/AgentProcessIdentity.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "TarvelCore/Platform/AgentFileAccess.hpp"

namespace tarvel::AgentProcessIdentity {
namespace {

// /proc/<pid>/stat is about 300 bytes; /proc/stat grows with CPUs and interrupt lines.
constexpr std::size_t maximumStatBytes = 16 * 1024;
constexpr std::size_t maximumSystemStatBytes = 4 * 1024 * 1024;
constexpr std::size_t maximumUeventBytes = 4096;
// A directory of pseudo-terminals is scanned only this far when the number does not say the name.
constexpr std::size_t maximumScannedTerminals = 65536;
// Unix98 pseudo-terminal slaves: major 136, and 137-143 on kernels with 8-bit minors.
constexpr unsigned int firstPtsMajor = 136;
constexpr unsigned int lastPtsMajor = 143;

template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// The fields of /proc/<pid>/stat after the command name, which sits in parentheses and may itself
// hold spaces and parentheses: element 0 is field 3 (state), element k is field k + 3.
std::optional<std::vector<std::string_view>> statFieldsAfterName(std::string_view stat) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) {
    return std::nullopt;
  }
  std::vector<std::string_view> fields;
  std::string_view rest = stat.substr(close + 1);
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(" \n");
    if (start == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(start);
    const std::size_t end = rest.find_first_of(" \n");
    fields.push_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  }
  return fields;
}

std::optional<std::vector<std::string_view>> readStatFields(std::int32_t processIdentifier,
                                                            std::string& storage) {
  if (processIdentifier < 1) {
    return std::nullopt;
  }
  auto contents = AgentFileAccess::readSmallFile(
      "/proc/" + std::to_string(processIdentifier) + "/stat", std::nullopt, maximumStatBytes);
  if (!contents) {
    return std::nullopt;
  }
  storage = std::move(*contents);
  return statFieldsAfterName(storage);
}

std::optional<std::int64_t> readBootTimeSeconds() {
  const auto contents =
      AgentFileAccess::readSmallFile("/proc/stat", std::nullopt, maximumSystemStatBytes);
  if (!contents) {
    return std::nullopt;
  }
  std::string_view rest(*contents);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    constexpr std::string_view key = "btime ";
    if (line.starts_with(key)) {
      const auto seconds = parseNumber<std::int64_t>(line.substr(key.size()));
      if (seconds && *seconds > 0) {
        return seconds;
      }
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The kernel keeps the boot time as an integer that moves only when the wall clock is stepped;
// remembering the first successful read keeps every start time this process computes identical.
std::optional<std::int64_t> bootTimeSeconds() {
  static std::atomic<std::int64_t> remembered{0};
  const std::int64_t known = remembered.load(std::memory_order_relaxed);
  if (known > 0) {
    return known;
  }
  const auto read = readBootTimeSeconds();
  if (read) {
    std::int64_t expected = 0;
    remembered.compare_exchange_strong(expected, *read, std::memory_order_relaxed);
    return remembered.load(std::memory_order_relaxed);
  }
  return std::nullopt;
}

// A device name as the kernel reports it in a uevent file ("DEVNAME=pts/3"), accepted only when
// it stays below /dev.
std::optional<std::string> deviceNameFromUevent(std::string_view uevent) {
  while (!uevent.empty()) {
    const std::size_t end = uevent.find('\n');
    const std::string_view line = uevent.substr(0, end);
    uevent.remove_prefix(end == std::string_view::npos ? uevent.size() : end + 1);
    constexpr std::string_view key = "DEVNAME=";
    if (!line.starts_with(key)) {
      continue;
    }
    const std::string_view name = line.substr(key.size());
    if (name.empty() || name.front() == '/' || name.find("..") != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
      return std::nullopt;
    }
    return std::string(name);
  }
  return std::nullopt;
}

bool isCharacterDevice(const std::string& path, std::uint64_t device) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode) &&
         static_cast<std::uint64_t>(status.st_rdev) == device;
}

// The entry of /dev/pts whose device number is `device`, for numberings the major and minor do
// not spell out.
std::optional<std::string> scanPseudoTerminals(std::uint64_t device) {
  std::error_code error;
  std::filesystem::directory_iterator entries("/dev/pts", error);
  std::size_t scanned = 0;
  for (; !error && entries != std::filesystem::directory_iterator() &&
         scanned < maximumScannedTerminals;
       entries.increment(error), ++scanned) {
    const std::string path = entries->path().string();
    if (isCharacterDevice(path, device)) {
      return path;
    }
  }
  return std::nullopt;
}

// /proc/<pid>/cmdline is read only this far; a longer command line is not a hook's shell.
constexpr std::size_t maximumCommandLineBytes = 64 * 1024;

// Whether `text` names `program` as a word of its own or as the last part of a path: preceded
// by the start, white space, a quote or "/", followed by the end, white space, a quote or ";".
bool namesProgram(std::string_view text, std::string_view program) {
  const auto isBefore = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\'' || c == '"' || c == '/';
  };
  const auto isAfter = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\'' || c == '"' || c == ';' || c == '&' ||
           c == '|' || c == '<' || c == '>' || c == ')';
  };
  for (std::size_t at = text.find(program); at != std::string_view::npos;
       at = text.find(program, at + 1)) {
    const std::size_t end = at + program.size();
    if ((at == 0 || isBefore(text[at - 1])) && (end == text.size() || isAfter(text[end]))) {
      return true;
    }
  }
  return false;
}

// Whether the process is a shell started as "<shell> [options] -c '<command naming the hook>'".
bool isShellRunningHook(std::int32_t processIdentifier, std::string_view name,
                        std::string_view hookProgram) {
  constexpr std::array<std::string_view, 5> shells{"sh", "bash", "dash", "zsh", "fish"};
  if (std::find(shells.begin(), shells.end(), name) == shells.end()) {
    return false;
  }
  const auto commandLine =
      AgentFileAccess::readSmallFile("/proc/" + std::to_string(processIdentifier) + "/cmdline",
                                     std::nullopt, maximumCommandLineBytes);
  if (!commandLine) {
    return false;
  }
  // Arguments are NUL-terminated; the first is the shell itself. Options come first, one of
  // them holding "c" ("-c", "-ec", "-lc"); the next argument is the command string.
  std::string_view rest(*commandLine);
  rest.remove_prefix(std::min(rest.size(), rest.find('\0') + 1));
  bool commandFollows = false;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\0');
    const std::string_view argument = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (commandFollows) {
      return namesProgram(argument, hookProgram);
    }
    if (argument.size() < 2 || argument.front() != '-' || argument == "--") {
      return false;
    }
    commandFollows = argument[1] != '-' && argument.find('c') != std::string_view::npos;
  }
  return false;
}

}  // namespace

std::optional<std::int32_t> parentOf(std::int32_t processIdentifier) {
  std::string storage;
  const auto fields = readStatFields(processIdentifier, storage);
  if (!fields || fields->size() < 2) {
    return std::nullopt;
  }
  return parseNumber<std::int32_t>((*fields)[1]);
}

std::optional<std::int32_t> agentProcess(std::int32_t parent, std::string_view hookProgram) {
  std::int32_t candidate = parent;
  for (int level = 0; level <= maximumShellLevels; ++level) {
    if (candidate <= 1) {
      return std::nullopt;
    }
    std::string storage;
    const auto fields = readStatFields(candidate, storage);
    // Field 4 is the parent's id; the command name sits in parentheses before field 3.
    if (!fields || fields->size() < 2) {
      return std::nullopt;
    }
    const std::size_t open = storage.find('(');
    const std::size_t close = storage.rfind(')');
    if (open == std::string::npos || close < open || hookProgram.empty() ||
        !isShellRunningHook(candidate, std::string_view(storage).substr(open + 1, close - open - 1),
                            hookProgram)) {
      return candidate;
    }
    const auto grandparent = parseNumber<std::int32_t>((*fields)[1]);
    if (!grandparent) {
      return std::nullopt;
    }
    candidate = *grandparent;
  }
  return candidate > 1 ? std::optional(candidate) : std::nullopt;
}

std::optional<Date> startedAt(std::int32_t processIdentifier) {
  std::string storage;
  const auto fields = readStatFields(processIdentifier, storage);
  // Field 22, the start time in clock ticks after boot.
  if (!fields || fields->size() < 20) {
    return std::nullopt;
  }
  const auto ticks = parseNumber<std::uint64_t>((*fields)[19]);
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  const auto boot = bootTimeSeconds();
  if (!ticks || ticksPerSecond <= 0 || !boot) {
    return std::nullopt;
  }
  const auto hertz = static_cast<std::uint64_t>(ticksPerSecond);
  const std::uint64_t wholeSeconds = *ticks / hertz;
  // Exact integer arithmetic: no floating-point rounding may make two reads differ.
  const std::uint64_t microseconds = (*ticks % hertz) * 1'000'000 / hertz;
  constexpr std::uint64_t maximumSeconds = 400ULL * 365 * 24 * 3600;
  if (wholeSeconds > maximumSeconds) {
    return std::nullopt;
  }
  const Date date{
      std::chrono::microseconds((*boot + static_cast<std::int64_t>(wholeSeconds)) * 1'000'000 +
                                static_cast<std::int64_t>(microseconds))};
  if (!Dates::isWritable(date)) {
    return std::nullopt;
  }
  return date;
}

std::optional<std::string> controllingTTY(std::int32_t processIdentifier) {
  std::string storage;
  const auto fields = readStatFields(processIdentifier, storage);
  // Field 7, tty_nr: the controlling terminal's device number, 0 for none.
  if (!fields || fields->size() < 5) {
    return std::nullopt;
  }
  const auto device = parseNumber<std::int64_t>((*fields)[4]);
  if (!device || *device == 0) {
    return std::nullopt;
  }
  return ttyPath(static_cast<std::uint64_t>(static_cast<std::uint32_t>(*device)));
}

std::optional<std::string> ttyPath(std::uint64_t device) {
  if (device == 0 || device == ~std::uint64_t{0} || device == 0xFFFF'FFFFULL) {
    return std::nullopt;
  }
  const unsigned int majorNumber = ::gnu_dev_major(device);
  const unsigned int minorNumber = ::gnu_dev_minor(device);
  // devpts numbers its entries by the minor of major 136; no name lookup is needed, and the path
  // is right even when /dev/pts of this mount namespace does not show the entry.
  if (majorNumber == firstPtsMajor) {
    return "/dev/pts/" + std::to_string(minorNumber);
  }
  const std::string number = std::to_string(majorNumber) + ":" + std::to_string(minorNumber);
  if (const auto uevent = AgentFileAccess::readSmallFile("/sys/dev/char/" + number + "/uevent",
                                                         std::nullopt, maximumUeventBytes)) {
    if (auto name = deviceNameFromUevent(*uevent)) {
      return "/dev/" + *name;
    }
  }
  if (majorNumber > firstPtsMajor && majorNumber <= lastPtsMajor) {
    const std::string guess =
        "/dev/pts/" + std::to_string((majorNumber - firstPtsMajor) * 256 + minorNumber);
    if (isCharacterDevice(guess, device)) {
      return guess;
    }
    return scanPseudoTerminals(device);
  }
  return std::nullopt;
}

bool isRunning(std::int32_t processIdentifier) {
  // kill(0 or -n) would address process groups, never one process.
  if (processIdentifier < 1) {
    return false;
  }
  if (::kill(processIdentifier, 0) != 0 && errno != EPERM) {
    return false;
  }
  // A process that exited keeps its id as a zombie until its parent reaps it: it runs no more.
  std::string storage;
  const auto fields = readStatFields(processIdentifier, storage);
  return !fields || fields->empty() || ((*fields)[0] != "Z" && (*fields)[0] != "X");
}

std::map<std::string, std::string> currentEnvironment() {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      continue;
    }
    // getenv answers with the first of duplicate entries; so does this map.
    environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return environment;
}

}  // namespace tarvel::AgentProcessIdentity
