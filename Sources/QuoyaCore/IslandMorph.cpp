#include "QuoyaCore/IslandMorph.hpp"

#include <algorithm>
#include <cmath>

namespace quoya {

void IslandMorph::setExpanded(bool expanded) { currentTarget = expanded ? 1 : 0; }

void IslandMorph::snap() {
  currentProgress = currentTarget;
  currentVelocity = 0;
}

void IslandMorph::step(double seconds) {
  if (isSettled()) {
    return;
  }
  // `seconds >= 0` is false for NaN as well.
  const double h = seconds >= 0 ? std::min(seconds, maximumStep) : 0;
  // A zero step leaves the spring where it is; recomputing target + (progress - target) could
  // still move progress by a rounding error.
  if (h > 0) {
    const double omega = currentTarget == 1 ? expandingStiffness : collapsingStiffness;
    const double x = currentProgress - currentTarget;
    const double v = currentVelocity;
    const double k = v + omega * x;
    const double e = std::exp(-omega * h);
    const double nextOffset = e * (x + h * k);
    currentVelocity = e * (v - h * omega * k);

    const double next = currentTarget + nextOffset;
    const double clamped = std::isnan(next) ? 0 : std::clamp(next, 0.0, 1.0);
    if (clamped != next) {
      currentVelocity = 0;
    }
    currentProgress = clamped;
  }
  if (std::abs(currentProgress - currentTarget) < settleDistance &&
      std::abs(currentVelocity) < settleVelocity) {
    currentProgress = currentTarget;
    currentVelocity = 0;
  }
}

}  // namespace quoya
