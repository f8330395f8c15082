#include "TarvelCore/Platform/Log.hpp"

#include <syslog.h>
#include <unistd.h>

#include <mutex>

namespace tarvel::Log {
namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

Sink& currentSink() {
  static Sink sink;
  return sink;
}

void syslogSink(const Entry& entry) {
  const std::string line = "[" + entry.category + "] " + entry.rendered();
  syslog(entry.level == Level::error ? LOG_ERR : LOG_INFO, "%s", line.c_str());
}

void emit(Entry entry) {
  const std::scoped_lock lock(sinkMutex());
  if (currentSink()) {
    currentSink()(entry);
  } else {
    syslogSink(entry);
  }
}

}  // namespace

Argument value(std::string_view text) { return Argument{std::string(text), false}; }
Argument value(long number) { return Argument{std::to_string(number), false}; }
Argument privateValue(std::string_view text) { return Argument{std::string(text), true}; }

std::string Entry::rendered(bool revealPrivate) const {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      out.push_back(format[i]);
      continue;
    }
    if (format[i + 1] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    // Skip an optional "{...}" privacy marker and length modifiers up to the conversion letter.
    std::size_t j = i + 1;
    if (format[j] == '{') {
      const auto close = format.find('}', j);
      if (close == std::string::npos) {
        out.push_back(format[i]);
        continue;
      }
      j = close + 1;
    }
    while (j < format.size() && (format[j] == 'l' || format[j] == 'z' || format[j] == 'h')) {
      ++j;
    }
    if (j >= format.size()) {
      out.append(format.substr(i));
      break;
    }
    if (next < arguments.size()) {
      const Argument& argument = arguments[next++];
      out.append(argument.isPrivate && !revealPrivate ? "<private>" : argument.value);
    }
    i = j;
  }
  return out;
}

void setSink(Sink sink) {
  const std::scoped_lock lock(sinkMutex());
  currentSink() = std::move(sink);
}

Sink standardErrorSink() {
  return [](const Entry& entry) {
    const std::string line = entry.category + ": " + entry.rendered() + "\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
  };
}

void Logger::info(std::string_view format, std::vector<Argument> arguments) const {
  emit(Entry{std::string(subsystem), category, Level::info, std::string(format),
             std::move(arguments)});
}

void Logger::error(std::string_view format, std::vector<Argument> arguments) const {
  emit(Entry{std::string(subsystem), category, Level::error, std::string(format),
             std::move(arguments)});
}

}  // namespace tarvel::Log
