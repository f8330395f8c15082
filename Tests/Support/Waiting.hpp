#pragma once

#include <chrono>
#include <concepts>
#include <functional>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

// Waiting for what a test expects to happen. A test waits for the event itself, never for a
// time; the bound only keeps a broken test from hanging, so it is far beyond what a slow or busy
// machine (or a sanitizer build) needs.
namespace tarvel::Testing {

inline constexpr std::chrono::milliseconds generousBound = std::chrono::minutes(2);

namespace Waiting {

// Calls `condition` until it returns true, a little less often as time goes on; false when
// `bound` passed first. `checks` learns how often it was called.
bool poll(const std::function<bool()>& condition, std::chrono::milliseconds bound,
          std::size_t* checks = nullptr);

// "not within 120 s (checked 3000 times)".
std::string notWithin(std::chrono::milliseconds bound, std::size_t checks);

}  // namespace Waiting

// Waits until `condition` holds: EXPECT_TRUE(eventually([&] { return ...; })) << "what we saw".
inline ::testing::AssertionResult eventually(
    const std::function<bool()>& condition,
    std::chrono::milliseconds bound = generousBound) {
  std::size_t checks = 0;
  if (Waiting::poll(condition, bound, &checks)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << Waiting::notWithin(bound, checks);
}

// Waits until what `observe` returns satisfies `holds`; a failure shows the value seen last.
template <typename Observe, typename Holds>
  requires(std::predicate<Holds&, const std::invoke_result_t<Observe&>&>)
::testing::AssertionResult eventually(Observe observe, Holds holds,
                                      std::chrono::milliseconds bound = generousBound) {
  std::invoke_result_t<Observe&> seen{};
  std::size_t checks = 0;
  if (Waiting::poll(
          [&] {
            seen = observe();
            return holds(seen);
          },
          bound, &checks)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << Waiting::notWithin(bound, checks) << "; last seen: " << ::testing::PrintToString(seen);
}

}  // namespace tarvel::Testing
