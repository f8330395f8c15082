#include "QuoyaCore/NotchLayout.hpp"

#include <algorithm>

namespace quoya {

NotchLayout::NotchLayout(const Rect& screen, double safeTop, const std::optional<Rect>& leftArea,
                         const std::optional<Rect>& rightArea)
    : screenFrame(screen) {
  if (!(safeTop > 0)) {
    housingWidth = 112;
    centerX = screen.midX();
    bandHeight = 32;
  } else if (leftArea && rightArea && leftArea->maxX() < rightArea->minX()) {
    housingWidth = rightArea->minX() - leftArea->maxX();
    centerX = (leftArea->maxX() + rightArea->minX()) / 2;
    bandHeight = safeTop + 2;
  } else {
    // Touching or overlapping areas say nothing about the housing; assume a common width.
    housingWidth = 200;
    centerX = screen.midX();
    bandHeight = safeTop + 2;
  }
  hasPhysicalNotch = safeTop > 0;
  wingWidth = 48;
}

double NotchLayout::headerWingWidth() const {
  const double expandedWidth = frame(true).width;
  return std::max(0.0, (expandedWidth - 2 * headerSideInset() - headerCameraReserve()) * 0.5);
}

Rect NotchLayout::placed(double width, double height) const {
  return Rect{
      .x = centerX - width / 2, .y = screenFrame.maxY() - height, .width = width, .height = height};
}

Rect NotchLayout::frame(bool expanded) const {
  if (expanded) {
    return placed(std::min(screenFrame.width - 24, 760.0),
                  std::min(screenFrame.height - 60, 340.0));
  }
  return placed(compactWidth(), bandHeight);
}

Rect NotchLayout::frame(double progress) const {
  // Exact ends, so that progress 0 and 1 reproduce the two frames bit for bit.
  if (!(progress > 0)) {
    return frame(false);
  }
  if (progress >= 1) {
    return frame(true);
  }
  const Rect compact = frame(false);
  const Rect expanded = frame(true);
  return placed(compact.width + progress * (expanded.width - compact.width),
                compact.height + progress * (expanded.height - compact.height));
}

}  // namespace quoya
