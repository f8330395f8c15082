#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// An address drawn as a QR code, for a phone's camera: in the terminal, or as a PNG image.
namespace tarvel::QrCode {

// The code as lines of Unicode half blocks (two rows of modules per line), black on white
// whatever the terminal's colours, with the four-module quiet zone readers need around it.
// Absent when the text is too long for a QR code.
std::optional<std::string> terminalText(std::string_view text);

// The same code as a PNG image (eight pixels a module, quiet zone included) at `file`; what
// went wrong, or nothing.
std::optional<std::string> writePng(std::string_view text, const std::filesystem::path& file);

}  // namespace tarvel::QrCode
