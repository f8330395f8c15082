#pragma once

#include <chrono>
#include <optional>

#include "TarvelCore/Platform/Date.hpp"

namespace quoya {

// Decides when the island is expanded: after the pointer hovers over it for a moment, for a
// while after a task finished or after an explicit request, and briefly after the pointer left
// an open island. Deadlines expire only in tick(), so the owner calls tick() periodically while
// one is pending. Plain value.
class IslandPresentation {
 public:
  static constexpr std::chrono::milliseconds hoverDelay{180};
  static constexpr std::chrono::milliseconds leaveGrace{300};
  static constexpr std::chrono::seconds completionHold{3};
  static constexpr std::chrono::seconds manualHold{4};

  IslandPresentation() = default;

  bool expanded() const { return isExpanded; }

  // The pointer entered (true) or left (false) the island; then recomputes as tick() does.
  void pointer(bool inside, tarvel::Date now);
  // Recomputes `expanded` for the current time.
  void tick(tarvel::Date now);
  // A task finished: open at once and keep open for a while.
  void completed(tarvel::Date now);
  // Something asks for the user: open at once and keep open for a while.
  void requestAccess(tarvel::Date now);
  // The user closed the island; hovering reopens it only after the pointer has left once.
  void collapse();

  bool operator==(const IslandPresentation&) const = default;

 private:
  bool isExpanded = false;
  bool inside = false;
  std::optional<tarvel::Date> hoverStart;
  std::optional<tarvel::Date> leaveDeadline;
  std::optional<tarvel::Date> completionDeadline;
  std::optional<tarvel::Date> manualDeadline;
  bool dismissedInside = false;
};

}  // namespace quoya
