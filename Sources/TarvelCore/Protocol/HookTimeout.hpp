#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "TarvelCore/Protocol/JSONValue.hpp"

namespace tarvel {

// A hook's time limit as a provider's hook configuration writes it: a count of seconds or of
// milliseconds. Nothing in the hook path reads it; it is for writers of hook configuration.
struct HookTimeout {
  enum class Unit { seconds, milliseconds };
  Unit unit = Unit::seconds;
  std::int64_t count = 0;

  static HookTimeout seconds(std::int64_t count) { return {.unit = Unit::seconds, .count = count}; }
  static HookTimeout milliseconds(std::int64_t count) {
    return {.unit = Unit::milliseconds, .count = count};
  }

  // The carried number unchanged, whatever the unit: the configuration states the unit itself.
  std::int64_t jsonValue() const { return count; }

  bool operator==(const HookTimeout&) const = default;
};

}  // namespace tarvel

template <>
struct std::hash<tarvel::HookTimeout> {
  std::size_t operator()(const tarvel::HookTimeout& timeout) const {
    std::size_t seed = std::hash<int>{}(static_cast<int>(timeout.unit));
    tarvel::hashCombine(seed, std::hash<std::int64_t>{}(timeout.count));
    return seed;
  }
};
