#include "QuoyaCore/IslandPresentation.hpp"

namespace quoya {
namespace {

bool isPending(const std::optional<tarvel::Date>& deadline, tarvel::Date now) {
  return deadline && *deadline > now;
}

}  // namespace

void IslandPresentation::pointer(bool isInside, tarvel::Date now) {
  if (inside == isInside) {
    return;
  }
  inside = isInside;
  if (isInside) {
    hoverStart = now;
    leaveDeadline.reset();
  } else {
    hoverStart.reset();
    manualDeadline.reset();
    dismissedInside = false;
    leaveDeadline = isExpanded ? std::optional<tarvel::Date>(now + leaveGrace) : std::nullopt;
  }
  tick(now);
}

void IslandPresentation::tick(tarvel::Date now) {
  bool hover = false;
  if (inside && !dismissedInside) {
    hover = isExpanded || (hoverStart && *hoverStart + hoverDelay <= now);
  }
  const bool finishing = isPending(completionDeadline, now);
  const bool requested = isPending(manualDeadline, now);
  // The grace period keeps an open island open; it never opens a closed one.
  const bool lingering = isExpanded && isPending(leaveDeadline, now);
  isExpanded = hover || finishing || requested || lingering;
}

void IslandPresentation::completed(tarvel::Date now) {
  completionDeadline = now + completionHold;
  isExpanded = true;
}

void IslandPresentation::requestAccess(tarvel::Date now) {
  manualDeadline = now + manualHold;
  dismissedInside = false;
  isExpanded = true;
}

void IslandPresentation::collapse() {
  completionDeadline.reset();
  manualDeadline.reset();
  leaveDeadline.reset();
  dismissedInside = inside;
  isExpanded = false;
}

}  // namespace quoya
