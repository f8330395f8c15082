#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "QuoyaCore/IslandMorph.hpp"

namespace quoya {
namespace {

// Steps at 60 frames per second until settled; returns the number of frames, or -1.
int settle(IslandMorph& morph, double* highest = nullptr, double* lowest = nullptr) {
  for (int frame = 1; frame <= 600; ++frame) {
    morph.step(1.0 / 60);
    if (highest != nullptr) {
      *highest = std::max(*highest, morph.progress());
    }
    if (lowest != nullptr) {
      *lowest = std::min(*lowest, morph.progress());
    }
    if (morph.isSettled()) {
      return frame;
    }
  }
  return -1;
}

TEST(IslandMorph, ExpandsFromRestWithoutOvershootAndSettlesExactly) {
  IslandMorph morph;
  EXPECT_TRUE(morph.isSettled());
  morph.setExpanded(true);
  EXPECT_EQ(morph.target(), 1);
  EXPECT_EQ(morph.progress(), 0);
  EXPECT_FALSE(morph.isSettled());

  double highest = 0;
  double previous = 0;
  for (int frame = 0; frame < 600 && !morph.isSettled(); ++frame) {
    morph.step(1.0 / 60);
    EXPECT_GE(morph.progress(), previous) << "frame " << frame;
    previous = morph.progress();
    highest = std::max(highest, morph.progress());
  }
  ASSERT_TRUE(morph.isSettled());
  EXPECT_LE(highest, 1.0);
  EXPECT_EQ(morph.progress(), 1.0);
  EXPECT_EQ(morph.velocity(), 0.0);
}

TEST(IslandMorph, CollapsesWithoutUndershoot) {
  IslandMorph morph;
  morph.setExpanded(true);
  morph.snap();
  morph.setExpanded(false);
  double lowest = 1;
  EXPECT_GT(settle(morph, nullptr, &lowest), 0);
  EXPECT_GE(lowest, 0.0);
  EXPECT_EQ(morph.progress(), 0.0);
}

TEST(IslandMorph, ReversingMidwayCarriesVelocityAndStaysInRange) {
  IslandMorph morph;
  morph.setExpanded(true);
  for (int i = 0; i < 5; ++i) {
    morph.step(1.0 / 60);
  }
  const double progress = morph.progress();
  const double velocity = morph.velocity();
  ASSERT_GT(velocity, 0);
  morph.setExpanded(false);
  EXPECT_EQ(morph.progress(), progress);
  EXPECT_EQ(morph.velocity(), velocity);
  double highest = 0;
  double lowest = 1;
  EXPECT_GT(settle(morph, &highest, &lowest), 0);
  EXPECT_GE(lowest, 0.0);
  EXPECT_LE(highest, 1.0);
}

TEST(IslandMorph, LongFrameMovesAsFiftyMilliseconds) {
  IslandMorph longFrame;
  IslandMorph shortFrame;
  longFrame.setExpanded(true);
  shortFrame.setExpanded(true);
  longFrame.step(1.0);
  shortFrame.step(0.05);
  EXPECT_GT(longFrame.progress(), 0);
  EXPECT_EQ(longFrame, shortFrame);

  longFrame.step(std::numeric_limits<double>::infinity());
  shortFrame.step(0.05);
  EXPECT_EQ(longFrame, shortFrame);
}

TEST(IslandMorph, NegativeOrNaNFrameDoesNotMove) {
  IslandMorph morph;
  morph.setExpanded(true);
  morph.step(0.02);
  const IslandMorph before = morph;
  morph.step(-1);
  EXPECT_EQ(morph, before);
  morph.step(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(morph, before);
}

TEST(IslandMorph, NegativeFrameStillSettlesWithinThresholds) {
  IslandMorph morph;
  morph.setExpanded(true);
  morph.step(1e-6);
  // Turning back right after the start leaves the spring within the thresholds of 0, unsettled.
  morph.setExpanded(false);
  ASSERT_GT(morph.progress(), 0);
  ASSERT_LT(morph.progress(), IslandMorph::settleDistance);
  ASSERT_GT(morph.velocity(), 0);
  ASSERT_FALSE(morph.isSettled());
  morph.step(-1);
  EXPECT_TRUE(morph.isSettled());
  EXPECT_EQ(morph.progress(), 0.0);
}

TEST(IslandMorph, SnapEndsMovementAtOnce) {
  IslandMorph morph;
  morph.setExpanded(true);
  morph.step(0.01);
  morph.snap();
  EXPECT_TRUE(morph.isSettled());
  EXPECT_EQ(morph.progress(), 1.0);
  EXPECT_EQ(morph.velocity(), 0.0);
  const IslandMorph settled = morph;
  morph.step(0.05);
  EXPECT_EQ(morph, settled);
}

}  // namespace
}  // namespace quoya
