#include "QuoyaCore/PixelMascotState.hpp"

namespace quoya::PixelMascot {

using tarvel::AgentState;

PixelMascotState state(AgentState state) {
  switch (state) {
    case AgentState::idle:
      return PixelMascotState::idle;
    case AgentState::starting:
    case AgentState::running:
    case AgentState::executingTool:
    case AgentState::editing:
      return PixelMascotState::working;
    case AgentState::thinking:
      return PixelMascotState::thinking;
    case AgentState::waitingForUser:
      return PixelMascotState::waiting;
    case AgentState::unknown:
      return PixelMascotState::unknown;
    case AgentState::completed:
      return PixelMascotState::completed;
    case AgentState::failed:
      return PixelMascotState::failed;
  }
  return PixelMascotState::unknown;
}

PixelMascotState representative(std::span<const AgentState> states) {
  constexpr std::array priority{PixelMascotState::waiting,  PixelMascotState::working,
                                PixelMascotState::thinking, PixelMascotState::failed,
                                PixelMascotState::unknown,  PixelMascotState::completed};
  std::array<bool, allCases.size()> present{};
  for (const AgentState item : states) {
    present[static_cast<std::size_t>(state(item))] = true;
  }
  for (const PixelMascotState candidate : priority) {
    if (present[static_cast<std::size_t>(candidate)]) {
      return candidate;
    }
  }
  return PixelMascotState::idle;
}

std::string_view label(PixelMascotState state) {
  switch (state) {
    case PixelMascotState::idle:
      return "待命";
    case PixelMascotState::working:
      return "执行中";
    case PixelMascotState::thinking:
      return "思考中";
    case PixelMascotState::waiting:
      return "待你处理";
    case PixelMascotState::completed:
      return "已完成";
    case PixelMascotState::failed:
      return "异常";
    case PixelMascotState::unknown:
      return "状态待确认";
  }
  return "状态待确认";
}

RGBColor rgb(PixelMascotState state) {
  switch (state) {
    case PixelMascotState::idle:
      return {0.52, 0.66, 0.76};
    case PixelMascotState::working:
      return {0.24, 0.56, 1.0};
    case PixelMascotState::thinking:
      return {0.73, 0.36, 0.98};
    case PixelMascotState::waiting:
      return {1.0, 0.68, 0.23};
    case PixelMascotState::completed:
      return {0.24, 0.86, 0.48};
    case PixelMascotState::failed:
      return {1.0, 0.36, 0.37};
    case PixelMascotState::unknown:
      return {0.5, 0.53, 0.58};
  }
  return {0.5, 0.53, 0.58};
}

bool isWorking(PixelMascotState state) {
  return state == PixelMascotState::working || state == PixelMascotState::thinking;
}

bool animates(PixelMascotState state) {
  return state != PixelMascotState::failed && state != PixelMascotState::unknown;
}

}  // namespace quoya::PixelMascot
