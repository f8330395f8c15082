#pragma once

#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"

// Byte-level reading of line-oriented JSON files that only grow and are read while their owner
// writes them: a bounded tail that starts at a whole line, and a needle pre-filter that picks
// the lines worth decoding. The newline is the single byte 0x0A.
namespace tarvel::JSONLinesTail {

// The last bytes of a regular file, at most `maxBytes` of them plus the line cut at the start:
// when the file is longer, reading starts one byte before its last `maxBytes` bytes and the
// first (cut) line is dropped, so a record beginning exactly at the cut survives. Absent when
// the file cannot be opened or read, is empty, or is cut and its tail holds no newline. With a
// `root`, the file must lie inside it (see AgentFileAccess).
std::optional<std::string> jsonlTail(const std::filesystem::path& path, std::size_t maxBytes,
                                     const std::optional<std::filesystem::path>& root = {});

// The offset of the first newline, or absent.
std::optional<std::size_t> firstNewline(std::string_view bytes);

// Each line (without its newline) that contains `needle`, once, in file order. The views point
// into `bytes`, which must outlive them. An empty needle matches nothing.
std::vector<std::string_view> lines(std::string_view bytes, std::string_view needle);

// The longest run of `text` that every JSON encoder writes literally inside a string: printable
// ASCII without the quote, the backslash and the characters some encoders escape ("/", "<", ">",
// "&", "'"). A line whose string value equals `text` contains these bytes, so they serve as a
// needle; empty when `text` has no such run. The view points into `text`.
std::string_view verbatimNeedle(std::string_view text);

// Every non-empty line, in file order; the views point into `bytes`.
std::vector<std::string_view> nonEmptyLines(std::string_view bytes);

// One line parsed with the shared decoder's limits, when it is a JSON object.
std::optional<Json> parseObject(std::string_view line);

// Lossy string decoding: the first of `keys` whose value is a string; a missing key, a null or a
// value of another type is passed over silently.
std::optional<std::string> lossyString(const Json& object,
                                       std::initializer_list<std::string_view> keys);

}  // namespace tarvel::JSONLinesTail
