#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// A point in time in microseconds since 1970 (UTC): finer than the wire's milliseconds, and wide
// enough for every date the wire can write (years 1 to 9999).
using Date = std::chrono::sys_time<std::chrono::microseconds>;

namespace Dates {

// Seconds since 1970 as a floating-point number, and back.
double secondsSince1970(Date date);
Date fromSecondsSince1970(double seconds);

// The current time.
Date now();

// 2026-12-07T11:47:08.123Z: UTC, always three fraction digits (truncated to milliseconds).
std::string iso8601(Date date);

// Accepts YYYY-MM-DDTHH:MM:SS with an optional fraction of any length and a "Z" or +HH:MM/-HH:MM
// offset; absent on anything else (a space instead of "T", missing parts, out-of-range fields).
std::optional<Date> parseISO8601(std::string_view text);

// Whether the date lies in the years 1 to 9999, the range the wire format can write.
bool isWritable(Date date);

}  // namespace Dates
}  // namespace tarvel
