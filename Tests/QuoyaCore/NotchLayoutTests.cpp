#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "QuoyaCore/NotchLayout.hpp"

namespace quoya {
namespace {

const Rect macBookScreen{.x = 0, .y = 0, .width = 1512, .height = 982};

TEST(NotchLayout, ScreenWithoutInsetAssumesSmallHousingCentredOnScreen) {
  const Rect screen{.x = 100, .y = 50, .width = 1440, .height = 900};
  const NotchLayout layout(screen, 0, Rect{.x = 100, .width = 600}, Rect{.x = 900, .width = 600});
  EXPECT_EQ(layout.housingWidth, 112);
  EXPECT_EQ(layout.centerX, 820);
  EXPECT_EQ(layout.bandHeight, 32);
  EXPECT_FALSE(layout.hasPhysicalNotch);
  EXPECT_EQ(layout.compactWidth(), 208);
  EXPECT_EQ(layout.headerCameraReserve(), 0);
  EXPECT_EQ(layout.frame(false), (Rect{.x = 716, .y = 918, .width = 208, .height = 32}));
}

TEST(NotchLayout, NotchedScreenMeasuresHousingBetweenAreas) {
  const NotchLayout layout(macBookScreen, 37, Rect{.x = 0, .y = 945, .width = 660, .height = 37},
                           Rect{.x = 860, .y = 945, .width = 652, .height = 37});
  EXPECT_EQ(layout.housingWidth, 200);
  EXPECT_EQ(layout.centerX, 760);
  EXPECT_EQ(layout.bandHeight, 39);
  EXPECT_TRUE(layout.hasPhysicalNotch);
  EXPECT_EQ(layout.compactWidth(), 296);
  EXPECT_EQ(layout.headerCameraReserve(), 224);
  EXPECT_EQ(layout.frame(false), (Rect{.x = 612, .y = 943, .width = 296, .height = 39}));
  // 760 wide expanded: (760 - 80 - 224) / 2.
  EXPECT_EQ(layout.headerWingWidth(), 228);
}

TEST(NotchLayout, MissingTouchingOrOverlappingAreasAssumeWideHousing) {
  const struct {
    const char* name;
    std::optional<Rect> left;
    std::optional<Rect> right;
  } cases[] = {
      {"touching", Rect{.x = 0, .width = 700}, Rect{.x = 700, .width = 812}},
      {"overlapping", Rect{.x = 0, .width = 800}, Rect{.x = 700, .width = 812}},
      {"left missing", std::nullopt, Rect{.x = 860, .width = 652}},
      {"right missing", Rect{.x = 0, .width = 660}, std::nullopt},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    const NotchLayout layout(macBookScreen, 32, item.left, item.right);
    EXPECT_EQ(layout.housingWidth, 200);
    EXPECT_EQ(layout.centerX, 756);
    EXPECT_EQ(layout.bandHeight, 34);
    EXPECT_TRUE(layout.hasPhysicalNotch);
  }
}

TEST(NotchLayout, NegativeOrNaNInsetCountsAsNoHousing) {
  for (const double safeTop : {-5.0, std::numeric_limits<double>::quiet_NaN()}) {
    const NotchLayout layout(macBookScreen, safeTop, std::nullopt, std::nullopt);
    EXPECT_EQ(layout.housingWidth, 112);
    EXPECT_EQ(layout.bandHeight, 32);
    EXPECT_FALSE(layout.hasPhysicalNotch);
  }
}

TEST(NotchLayout, ExpandedPanelIsBoundedBySmallScreens) {
  const NotchLayout large(Rect{.width = 1440, .height = 900}, 0, std::nullopt, std::nullopt);
  EXPECT_EQ(large.frame(true), (Rect{.x = 340, .y = 560, .width = 760, .height = 340}));

  const NotchLayout small(Rect{.width = 700, .height = 380}, 0, std::nullopt, std::nullopt);
  EXPECT_EQ(small.frame(true), (Rect{.x = 12, .y = 60, .width = 676, .height = 320}));
  EXPECT_EQ(small.headerWingWidth(), 298);

  // 376 - 80 is narrower than the 400-wide camera reserve.
  const NotchLayout tiny(Rect{.width = 400, .height = 300}, 30, Rect{.x = 0, .width = 10},
                         Rect{.x = 386, .width = 14});
  EXPECT_EQ(tiny.headerCameraReserve(), 400);
  EXPECT_EQ(tiny.headerWingWidth(), 0);
}

TEST(NotchLayout, FallbackIsTheUnknownScreen) {
  const NotchLayout& layout = NotchLayout::fallback;
  EXPECT_EQ(layout.screenFrame, (Rect{.width = 1440, .height = 900}));
  EXPECT_EQ(layout, NotchLayout(Rect{.width = 1440, .height = 900}, 0, std::nullopt, std::nullopt));
  EXPECT_EQ(layout.wingWidth, 48);
}

TEST(NotchLayout, ProgressInterpolatesAndClamps) {
  const NotchLayout layout(macBookScreen, 37, Rect{.x = 0, .width = 660},
                           Rect{.x = 860, .width = 652});
  const Rect compact = layout.frame(false);
  const Rect expanded = layout.frame(true);
  EXPECT_EQ(layout.frame(0.0), compact);
  EXPECT_EQ(layout.frame(1.0), expanded);
  EXPECT_EQ(layout.frame(1.7), expanded);
  EXPECT_EQ(layout.frame(-1.0), compact);
  EXPECT_EQ(layout.frame(std::numeric_limits<double>::quiet_NaN()), compact);
  EXPECT_EQ(layout.frame(std::numeric_limits<double>::infinity()), expanded);

  const Rect half = layout.frame(0.5);
  EXPECT_DOUBLE_EQ(half.width, (296 + 760) / 2.0);
  EXPECT_DOUBLE_EQ(half.height, (39 + 340) / 2.0);
  EXPECT_DOUBLE_EQ(half.midX(), 760);
  EXPECT_DOUBLE_EQ(half.maxY(), 982);
}

}  // namespace
}  // namespace quoya
