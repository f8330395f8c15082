#include <chrono>

#include <gtest/gtest.h>

#include "QuoyaCore/IslandPresentation.hpp"
#include "QuoyaCore/PixelMascotState.hpp"

namespace quoya {
namespace {

using namespace std::chrono_literals;
using tarvel::AgentState;
using tarvel::Date;

const Date start = tarvel::Dates::fromSecondsSince1970(1'800'000'000);

TEST(IslandPresentation, HoverExpandsOnlyAfterDelay) {
  IslandPresentation presentation;
  presentation.pointer(true, start);
  EXPECT_FALSE(presentation.expanded());
  presentation.tick(start + 170ms);
  EXPECT_FALSE(presentation.expanded());
  presentation.tick(start + 179999us);
  EXPECT_FALSE(presentation.expanded());
  presentation.tick(start + 180ms);
  EXPECT_TRUE(presentation.expanded());
  // Entering again while already inside does not restart the delay.
  presentation.pointer(true, start + 1s);
  EXPECT_TRUE(presentation.expanded());
}

TEST(IslandPresentation, CollapseWhileHoveringHoldsUntilPointerLeavesAndReturns) {
  IslandPresentation presentation;
  presentation.pointer(true, start);
  presentation.tick(start + 200ms);
  ASSERT_TRUE(presentation.expanded());
  presentation.collapse();
  EXPECT_FALSE(presentation.expanded());
  presentation.tick(start + 5s);
  EXPECT_FALSE(presentation.expanded());

  presentation.pointer(false, start + 6s);
  EXPECT_FALSE(presentation.expanded());
  presentation.pointer(true, start + 7s);
  presentation.tick(start + 7s + 180ms);
  EXPECT_TRUE(presentation.expanded());
}

TEST(IslandPresentation, LeavingKeepsOpenIslandOpenBriefly) {
  IslandPresentation presentation;
  presentation.pointer(true, start);
  presentation.tick(start + 180ms);
  ASSERT_TRUE(presentation.expanded());
  const Date left = start + 1s;
  presentation.pointer(false, left);
  EXPECT_TRUE(presentation.expanded());
  presentation.tick(left + 299ms);
  EXPECT_TRUE(presentation.expanded());
  presentation.tick(left + 300ms);
  EXPECT_FALSE(presentation.expanded());
}

TEST(IslandPresentation, LeavingCollapsedIslandOpensNothing) {
  IslandPresentation presentation;
  presentation.pointer(true, start);
  presentation.pointer(false, start + 100ms);
  EXPECT_FALSE(presentation.expanded());
  presentation.tick(start + 150ms);
  EXPECT_FALSE(presentation.expanded());
}

TEST(IslandPresentation, CompletionOpensForThreeSecondsUnlessPointerIsOver) {
  IslandPresentation presentation;
  presentation.completed(start);
  EXPECT_TRUE(presentation.expanded());
  presentation.tick(start + 2999ms);
  EXPECT_TRUE(presentation.expanded());
  presentation.tick(start + 3s);
  EXPECT_FALSE(presentation.expanded());

  IslandPresentation hovered;
  hovered.completed(start);
  hovered.pointer(true, start + 1s);
  hovered.tick(start + 4s);
  EXPECT_TRUE(hovered.expanded());
}

TEST(IslandPresentation, RequestOpensForFourSecondsAndLeavingEndsIt) {
  IslandPresentation presentation;
  presentation.requestAccess(start);
  EXPECT_TRUE(presentation.expanded());
  presentation.tick(start + 3999ms);
  EXPECT_TRUE(presentation.expanded());
  presentation.tick(start + 4s);
  EXPECT_FALSE(presentation.expanded());

  // The pointer passing over and leaving withdraws the request, leaving only the short grace.
  IslandPresentation passed;
  passed.requestAccess(start);
  passed.pointer(true, start + 100ms);
  passed.pointer(false, start + 200ms);
  EXPECT_TRUE(passed.expanded());
  passed.tick(start + 500ms);
  EXPECT_FALSE(passed.expanded());
}

TEST(IslandPresentation, RequestOverridesDismissal) {
  IslandPresentation presentation;
  presentation.pointer(true, start);
  presentation.tick(start + 200ms);
  presentation.collapse();
  presentation.requestAccess(start + 1s);
  presentation.tick(start + 6s);
  // Still inside and no longer dismissed: hovering keeps it open after the request expired.
  EXPECT_TRUE(presentation.expanded());
}

TEST(PixelMascot, StatesMapToMoods) {
  const std::pair<AgentState, PixelMascotState> cases[] = {
      {AgentState::idle, PixelMascotState::idle},
      {AgentState::starting, PixelMascotState::working},
      {AgentState::thinking, PixelMascotState::thinking},
      {AgentState::running, PixelMascotState::working},
      {AgentState::executingTool, PixelMascotState::working},
      {AgentState::editing, PixelMascotState::working},
      {AgentState::waitingForUser, PixelMascotState::waiting},
      {AgentState::unknown, PixelMascotState::unknown},
      {AgentState::completed, PixelMascotState::completed},
      {AgentState::failed, PixelMascotState::failed},
  };
  for (const auto& [state, mood] : cases) {
    SCOPED_TRACE(std::string(tarvel::rawValue(state)));
    EXPECT_EQ(PixelMascot::state(state), mood);
  }
}

TEST(PixelMascot, RepresentativeFollowsPriority) {
  const struct {
    std::vector<AgentState> states;
    PixelMascotState expected;
  } cases[] = {
      {{AgentState::completed, AgentState::running, AgentState::waitingForUser},
       PixelMascotState::waiting},
      {{AgentState::failed, AgentState::completed}, PixelMascotState::failed},
      {{AgentState::thinking, AgentState::editing}, PixelMascotState::working},
      {{AgentState::unknown, AgentState::thinking}, PixelMascotState::thinking},
      {{AgentState::completed, AgentState::unknown}, PixelMascotState::unknown},
      {{AgentState::idle, AgentState::completed}, PixelMascotState::completed},
      {{AgentState::idle, AgentState::idle}, PixelMascotState::idle},
      {{}, PixelMascotState::idle},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(PixelMascot::representative(cases[i].states), cases[i].expected);
  }
}

TEST(PixelMascot, MoodsLookAsDesigned) {
  const struct {
    PixelMascotState state;
    const char* label;
    RGBColor rgb;
    bool isWorking;
    bool animates;
  } cases[] = {
      {PixelMascotState::idle, "待命", {0.52, 0.66, 0.76}, false, true},
      {PixelMascotState::working, "执行中", {0.24, 0.56, 1.0}, true, true},
      {PixelMascotState::thinking, "思考中", {0.73, 0.36, 0.98}, true, true},
      {PixelMascotState::waiting, "待你处理", {1.0, 0.68, 0.23}, false, true},
      {PixelMascotState::completed, "已完成", {0.24, 0.86, 0.48}, false, true},
      {PixelMascotState::failed, "异常", {1.0, 0.36, 0.37}, false, false},
      {PixelMascotState::unknown, "状态待确认", {0.5, 0.53, 0.58}, false, false},
  };
  ASSERT_EQ(PixelMascot::allCases.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].label);
    EXPECT_EQ(PixelMascot::allCases[i], cases[i].state);
    EXPECT_EQ(PixelMascot::label(cases[i].state), cases[i].label);
    EXPECT_EQ(PixelMascot::rgb(cases[i].state), cases[i].rgb);
    EXPECT_EQ(PixelMascot::isWorking(cases[i].state), cases[i].isWorking);
    EXPECT_EQ(PixelMascot::animates(cases[i].state), cases[i].animates);
  }
}

}  // namespace
}  // namespace quoya
