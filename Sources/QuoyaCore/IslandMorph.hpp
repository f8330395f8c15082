#pragma once

namespace quoya {

// The spring that moves the island between compact (progress 0) and expanded (progress 1):
// critically damped, so it settles without overshooting. Plain value; the owner steps it once
// per animation frame.
class IslandMorph {
 public:
  // Frames longer than this advance the spring by this much only.
  static constexpr double maximumStep = 0.05;
  static constexpr double expandingStiffness = 19;
  static constexpr double collapsingStiffness = 23;
  // Within both thresholds the spring snaps to its target.
  static constexpr double settleDistance = 0.0006;
  static constexpr double settleVelocity = 0.015;

  IslandMorph() = default;

  double progress() const { return currentProgress; }
  // Progress per second.
  double velocity() const { return currentVelocity; }
  double target() const { return currentTarget; }
  bool isSettled() const { return currentVelocity == 0 && currentProgress == currentTarget; }

  // Aims at expanded (1) or compact (0); the spring carries on from where it is.
  void setExpanded(bool expanded);
  // Jumps to the target and stops.
  void snap();
  // Advances the spring by one frame of `seconds`; negative or NaN durations do not move it.
  void step(double seconds);

  bool operator==(const IslandMorph&) const = default;

 private:
  double currentProgress = 0;
  double currentVelocity = 0;
  double currentTarget = 0;
};

}  // namespace quoya
