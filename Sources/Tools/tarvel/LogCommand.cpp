#include "Tools/tarvel/LogCommand.hpp"

#include <time.h>

#include <array>
#include <charconv>
#include <optional>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "TarvelDisplay/History/AnswerHistory.hpp"
#include "TarvelDisplay/Shared/VisibleText.hpp"
#include "TarvelDisplay/Shared/ServiceFiles.hpp"
#include "Tools/tarvel/AgentNames.hpp"

namespace tarvel::LogCommand {
namespace {

std::optional<std::int64_t> wholeNumber(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (problem != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// "30m", "2h", "7d", "2w", "45s" before now, or an ISO 8601 date (a day alone is its midnight,
// UTC).
std::optional<Date> parseSince(std::string_view text, Date now) {
  if (text.size() >= 2) {
    const char unit = text.back();
    const auto count = wholeNumber(text.substr(0, text.size() - 1));
    const std::int64_t seconds = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600
                                 : unit == 'd' ? 86400 : unit == 'w' ? 7 * 86400 : 0;
    if (count && seconds != 0 && *count >= 0 && *count <= 100LL * 365 * 86400 / seconds) {
      return now - std::chrono::seconds(*count * seconds);
    }
  }
  if (text.size() == 10) {
    return Dates::parseISO8601(std::string(text) + "T00:00:00Z");
  }
  return Dates::parseISO8601(text);
}

std::string localTime(Date date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::seconds>(date));
  std::tm parts{};
  if (::localtime_r(&seconds, &parts) == nullptr) {
    return Dates::iso8601(date);
  }
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts));
}

std::string outcomeWords(const Display::AnswerRecord& record) {
  return Display::endingWords(record.outcome, record.by);
}

// The first line of `text`, at most `count` characters.
std::string firstLine(std::string_view text, std::size_t count) {
  const std::string line(text.substr(0, text.find('\n')));
  return Text::characterCount(line) <= count ? line
                                             : Text::prefixCharacters(line, count - 1) + "\u2026";
}

}  // namespace

std::string describe(const Display::AnswerRecord& record) {
  // Rows hold what agents and hosts sent (a row may predate the service's own cleaning): nothing
  // of it may act on the terminal.
  using Display::VisibleText::visible;
  std::string line = localTime(record.endedAt) + "  " + outcomeWords(record) + "  " +
                     AgentCatalogue::displayName(AgentProvider(record.agent));
  if (record.project) {
    line += " \u00b7 " + visible(*record.project);
  }
  if (record.host) {
    line += " (" + visible(*record.host) + ")";
  }
  line += " \u00b7 " + firstLine(visible(record.prompt), 80);
  if (record.detail) {
    line += " " + firstLine(visible(*record.detail), 100);
  }
  return line;
}

namespace {

using CommandLine::Option;

constexpr std::array options{
    Option{.name = "--json", .help = "one JSON array of the rows"},
    Option{.name = "-n",
           .value = "N",
           .help = "the newest N rows (20 unless given)",
           .missing = "-n takes a number of rows from 1 to 100000"},
    Option{.name = "--agent",
           .value = "AGENT",
           .help = "only this agent's (claude-code or claude, codex, gemini-cli, ...)",
           .words = AgentNames::installable},
    Option{.name = "--project", .value = "NAME", .help = "only the project with this name"},
    Option{.name = "--since",
           .value = "WHEN",
           .help = "only since WHEN: a time ago (30m, 2h, 7d, 2w) or a date (2026-12-08 or "
                   "2026-12-08T14:00:00Z)",
           .missing = "--since takes a time ago (30m, 2h, 7d, 2w) or a date (2026-12-08)"},
};

int run(const CommandLine::Invocation& invocation) {
  std::ostream& out = invocation.out;
  std::ostream& error = invocation.err;
  Display::AnswerHistory::Query query;
  bool json = false;
  const Date now = Dates::now();
  const auto wrong = [&](std::string_view text) {
    error << "tarvel log: " << text << "\n" << CommandLine::help(invocation.command);
    return 2;
  };
  for (const auto& [option, value] : invocation.reading.options) {
    if (option->name == "--json") {
      json = true;
    } else if (option->name == "-n") {
      const auto count = wholeNumber(value);
      if (!count || *count < 1 || *count > 100'000) {
        return wrong(option->missing);
      }
      query.limit = static_cast<std::size_t>(*count);
    } else if (option->name == "--agent") {
      query.agent = Text::lowercased(value);
    } else if (option->name == "--project") {
      query.project = std::string(value);
    } else if (option->name == "--since") {
      query.since = parseSince(value, now);
      if (!query.since) {
        return wrong(option->missing);
      }
    }
  }
  const auto file = Display::ServiceFiles::Paths::standard().historyFile;
  const auto rows = Display::AnswerHistory::read(file, query);
  if (!rows) {
    error << "tarvel log: " << rows.error() << "\n";
    return 1;
  }
  if (json) {
    Json list = Json::array();
    for (const Display::AnswerRecord& row : *rows) {
      list.push_back(Display::encodeAnswer(row));
    }
    out << Coding::encode(list) << "\n";
    return 0;
  }
  if (rows->empty()) {
    const bool filtered = query.agent || query.project || query.since;
    out << (filtered ? "No answers match.\n" : "No answers recorded yet.\n");
    return 0;
  }
  for (const Display::AnswerRecord& row : *rows) {
    out << describe(row) << "\n";
  }
  return 0;
}

}  // namespace

constinit const CommandLine::Command command{
    .name = "log",
    .summary = "print how each prompt ended",
    .help =
        "How each prompt of your agents ended, newest first: when, the agent and project, "
        "what was asked, the outcome and where the answer came from. Read from "
        "~/.tarvel/history.db (kept 90 days, at most tarvel serve --history-rows rows, 100000 "
        "unless given), with or without a running service.",
    .options = options,
    .run = run,
};

}  // namespace tarvel::LogCommand
