#include "Support/Waiting.hpp"

#include <algorithm>
#include <thread>

namespace tarvel::Testing::Waiting {

bool poll(const std::function<bool()>& condition, std::chrono::milliseconds bound,
          std::size_t* checks) {
  using Clock = std::chrono::steady_clock;
  const auto giveUp = Clock::now() + bound;
  // Quick at first, for what happens at once; then at most every 25 ms, so that a condition that
  // asks a busy service does not keep it busier.
  auto pause = std::chrono::microseconds(500);
  std::size_t count = 0;
  while (true) {
    ++count;
    if (condition()) {
      break;
    }
    if (Clock::now() >= giveUp) {
      if (checks != nullptr) {
        *checks = count;
      }
      return false;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(25));
  }
  if (checks != nullptr) {
    *checks = count;
  }
  return true;
}

std::string notWithin(std::chrono::milliseconds bound, std::size_t checks) {
  const auto seconds = std::chrono::duration<double>(bound).count();
  std::string text = "not within ";
  text += seconds >= 1 ? std::to_string(static_cast<long>(seconds)) + " s"
                       : std::to_string(bound.count()) + " ms";
  return text + " (checked " + std::to_string(checks) + " times)";
}

}  // namespace tarvel::Testing::Waiting
