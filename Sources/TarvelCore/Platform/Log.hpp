#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// A small logging layer with subsystem and category, in the manner of a unified system log.
// Messages are printf-style formats with "%s", "%ld", "%d" and "%{private}s" placeholders;
// arguments marked private are redacted as "<private>" when rendered for a sink that stores logs.
// Thread: every function may be called from any thread; the sink is called under a lock.
namespace tarvel::Log {

inline constexpr std::string_view subsystem = "com.quillmark.Tarvel";

enum class Level { info, error };

struct Argument {
  std::string value;
  bool isPrivate = false;
};

// A public argument.
Argument value(std::string_view text);
Argument value(long number);
// An argument logged as a private value (session ids).
Argument privateValue(std::string_view text);

struct Entry {
  std::string subsystem;
  std::string category;
  Level level = Level::info;
  std::string format;
  std::vector<Argument> arguments;

  // The message with its placeholders filled in; private values as "<private>" unless
  // `revealPrivate`.
  std::string rendered(bool revealPrivate = false) const;
};

using Sink = std::function<void(const Entry&)>;

// Replaces the sink for the whole process; an empty sink restores the default (syslog).
void setSink(Sink sink);

// A sink that writes rendered entries to standard error, one line each.
Sink standardErrorSink();

// One category's logger, such as Logger{"socket"}.
class Logger {
 public:
  explicit Logger(std::string_view category) : category(category) {}
  void info(std::string_view format, std::vector<Argument> arguments = {}) const;
  void error(std::string_view format, std::vector<Argument> arguments = {}) const;

 private:
  std::string category;
};

}  // namespace tarvel::Log
