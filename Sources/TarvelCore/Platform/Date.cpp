#include "TarvelCore/Platform/Date.hpp"

#include <cmath>
#include <cstdio>

namespace tarvel::Dates {
namespace {

using std::chrono::days;
using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

bool readDigits(std::string_view text, std::size_t& position, std::size_t count, int& out) {
  if (position + count > text.size()) {
    return false;
  }
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[position + i];
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + (c - '0');
  }
  position += count;
  out = value;
  return true;
}

bool expect(std::string_view text, std::size_t& position, char c) {
  if (position < text.size() && text[position] == c) {
    ++position;
    return true;
  }
  return false;
}

// The lowest and highest dates the four-digit year format can write.
const Date firstWritable = std::chrono::sys_days{std::chrono::year{1} / 1 / 1};
const Date lastWritable =
    std::chrono::sys_days{std::chrono::year{10000} / 1 / 1} - std::chrono::milliseconds{1};

}  // namespace

double secondsSince1970(Date date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count();
}

Date fromSecondsSince1970(double seconds) {
  if (!std::isfinite(seconds)) {
    return Date{};
  }
  // Clamp far beyond the writable years so that the conversion cannot overflow.
  constexpr double limit = 9.0e12;
  const double clamped = std::fmax(-limit, std::fmin(limit, seconds));
  return Date{duration_cast<Date::duration>(std::chrono::duration<double>(clamped))};
}

Date now() { return std::chrono::floor<Date::duration>(std::chrono::system_clock::now()); }

bool isWritable(Date date) { return date >= firstWritable && date <= lastWritable; }

std::string iso8601(Date date) {
  const auto ms = std::chrono::floor<milliseconds>(date);
  const auto day = std::chrono::floor<days>(ms);
  const std::chrono::year_month_day ymd{day};
  const std::chrono::hh_mm_ss<milliseconds> time{ms - day};
  const int year = static_cast<int>(ymd.year());
  if (year >= 0 && year <= 9999) {
    // Every date the wire can carry: written digit by digit (this runs for every date encoded).
    std::string text = "0000-00-00T00:00:00.000Z";
    const auto put = [&text](std::size_t end, unsigned value, int digits) {
      for (int digit = 0; digit < digits; ++digit) {
        text[end - static_cast<std::size_t>(digit)] = static_cast<char>('0' + value % 10);
        value /= 10;
      }
    };
    put(3, static_cast<unsigned>(year), 4);
    put(6, static_cast<unsigned>(ymd.month()), 2);
    put(9, static_cast<unsigned>(ymd.day()), 2);
    put(12, static_cast<unsigned>(time.hours().count()), 2);
    put(15, static_cast<unsigned>(time.minutes().count()), 2);
    put(18, static_cast<unsigned>(time.seconds().count()), 2);
    put(22, static_cast<unsigned>(time.subseconds().count()), 3);
    return text;
  }
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return buffer;
}

std::optional<Date> parseISO8601(std::string_view text) {
  std::size_t p = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, p, 4, year) || !expect(text, p, '-') || !readDigits(text, p, 2, month) ||
      !expect(text, p, '-') || !readDigits(text, p, 2, day) || !expect(text, p, 'T') ||
      !readDigits(text, p, 2, hour) || !expect(text, p, ':') || !readDigits(text, p, 2, minute) ||
      !expect(text, p, ':') || !readDigits(text, p, 2, second)) {
    return std::nullopt;
  }
  nanoseconds fraction{0};
  if (expect(text, p, '.')) {
    const std::size_t start = p;
    std::int64_t value = 0;
    int digits = 0;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
      if (digits < 9) {
        value = value * 10 + (text[p] - '0');
        ++digits;
      }
      ++p;
    }
    if (p == start) {
      return std::nullopt;
    }
    while (digits < 9) {
      value *= 10;
      ++digits;
    }
    fraction = nanoseconds{value};
  }
  int offsetSeconds = 0;
  if (expect(text, p, 'Z')) {
  } else if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
    const int sign = text[p] == '-' ? -1 : 1;
    ++p;
    int offsetHours = 0, offsetMinutes = 0;
    if (!readDigits(text, p, 2, offsetHours)) {
      return std::nullopt;
    }
    expect(text, p, ':');
    if (!readDigits(text, p, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59) {
      return std::nullopt;
    }
    offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
  } else {
    return std::nullopt;
  }
  if (p != text.size()) {
    return std::nullopt;
  }
  const std::chrono::year_month_day ymd{std::chrono::year{year},
                                        std::chrono::month{static_cast<unsigned>(month)},
                                        std::chrono::day{static_cast<unsigned>(day)}};
  if (!ymd.ok() || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  return Date{std::chrono::sys_days{ymd}} + std::chrono::hours{hour} +
         std::chrono::minutes{minute} + std::chrono::seconds{second - offsetSeconds} +
         std::chrono::floor<Date::duration>(fraction);
}

}  // namespace tarvel::Dates
