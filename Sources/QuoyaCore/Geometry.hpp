#pragma once

namespace quoya {

// An axis-aligned rectangle in screen points: origin (x, y) and size; y grows upward, so the top
// edge of a rectangle is maxY().
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return x; }
  double maxX() const { return x + width; }
  double midX() const { return x + width / 2; }
  double minY() const { return y; }
  double maxY() const { return y + height; }

  bool operator==(const Rect&) const = default;
};

}  // namespace quoya
