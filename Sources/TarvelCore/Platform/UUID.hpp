#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// A 128-bit universally unique identifier. Written as the canonical 36-character form with
// upper-case hexadecimal; parsed from either case.
struct UUID {
  std::array<std::uint8_t, 16> bytes{};

  // A fresh random (version 4) identifier.
  static UUID random();
  // The canonical 8-4-4-4-12 form only; absent for anything else.
  static std::optional<UUID> parse(std::string_view text);

  std::string uuidString() const;
  bool operator==(const UUID&) const = default;
  auto operator<=>(const UUID&) const = default;
};

}  // namespace tarvel

template <>
struct std::hash<tarvel::UUID> {
  std::size_t operator()(const tarvel::UUID& uuid) const noexcept;
};
