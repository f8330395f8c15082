#pragma once

#include <optional>

#include "QuoyaCore/Geometry.hpp"

namespace quoya {

// The island's geometry on one screen: the compact band around the camera housing, the expanded
// panel hanging from the top edge, and every rectangle in between. Plain value, pure functions.
struct NotchLayout {
  Rect screenFrame{.x = 0, .y = 0, .width = 1440, .height = 900};
  double centerX = 720;
  // Width of the camera housing, or an assumed width where the screen reports none.
  double housingWidth = 112;
  bool hasPhysicalNotch = false;
  double bandHeight = 32;
  // Width added on each side of the housing in the compact island.
  double wingWidth = 48;

  // The layout of an unknown screen (1440 x 900, no camera housing).
  static const NotchLayout fallback;

  NotchLayout() = default;
  // `safeTop` is the screen's top inset (positive only with a camera housing); `leftArea` and
  // `rightArea` are the unobstructed strips of the top edge beside the housing, when reported.
  NotchLayout(const Rect& screenFrame, double safeTop, const std::optional<Rect>& leftArea,
              const std::optional<Rect>& rightArea);

  double compactWidth() const { return housingWidth + 2 * wingWidth; }
  // The width the expanded header keeps free around the camera.
  double headerCameraReserve() const { return hasPhysicalNotch ? housingWidth + 24 : 0; }
  double headerSideInset() const { return 40; }
  // The room for header content on each side of the camera in the expanded panel.
  double headerWingWidth() const;

  // The compact or the expanded island, centred on centerX, hanging from the screen's top.
  Rect frame(bool expanded) const;
  // The island at a morph progress; clamped to [0, 1], NaN counts as 0.
  Rect frame(double progress) const;
  // An integer would convert to bool and double alike; say which one is meant.
  Rect frame(int) const = delete;

  bool operator==(const NotchLayout&) const = default;

 private:
  Rect placed(double width, double height) const;
};

inline const NotchLayout NotchLayout::fallback{};

}  // namespace quoya
