#pragma once

#include <array>
#include <span>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"

namespace quoya {

// The mood of the island's pixel mascot.
enum class PixelMascotState {
  idle,
  working,
  thinking,
  waiting,
  completed,
  failed,
  unknown,
};

// A colour as red, green and blue fractions from 0 to 1.
struct RGBColor {
  double red = 0;
  double green = 0;
  double blue = 0;
  bool operator==(const RGBColor&) const = default;
};

// The mascot's mood for session states, and how each mood looks.
namespace PixelMascot {

inline constexpr std::array<PixelMascotState, 7> allCases{
    PixelMascotState::idle,    PixelMascotState::working,   PixelMascotState::thinking,
    PixelMascotState::waiting, PixelMascotState::completed, PixelMascotState::failed,
    PixelMascotState::unknown,
};

// The mood for one session state.
PixelMascotState state(tarvel::AgentState state);
// The mood that speaks for several sessions: waiting, then working, thinking, failed, unknown,
// completed, whichever occurs first in that priority; idle when none does.
PixelMascotState representative(std::span<const tarvel::AgentState> states);

std::string_view label(PixelMascotState state);
RGBColor rgb(PixelMascotState state);
bool isWorking(PixelMascotState state);
bool animates(PixelMascotState state);

}  // namespace PixelMascot
}  // namespace quoya
