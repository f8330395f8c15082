#include "QuoyaCore/SessionPresentation.hpp"

#include <chrono>
#include <cstdint>
#include <limits>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace quoya {

using tarvel::AgentState;

std::string_view chineseLabel(AgentState state) {
  switch (state) {
    case AgentState::idle:
      return "待命";
    case AgentState::starting:
      return "启动中";
    case AgentState::thinking:
      return "思考中";
    case AgentState::running:
      return "执行中";
    case AgentState::executingTool:
      return "调用工具";
    case AgentState::editing:
      return "编辑中";
    case AgentState::waitingForUser:
      return "待你处理";
    case AgentState::unknown:
      return "状态待确认";
    case AgentState::completed:
      return "已完成";
    case AgentState::failed:
      return "异常";
  }
  return "状态待确认";
}

namespace SessionPresentation {

std::string elapsed(tarvel::Date since, tarvel::Date now) {
  // Dates far apart can overflow the microsecond count; saturate instead, which keeps the sign.
  std::int64_t micros = 0;
  if (__builtin_sub_overflow(now.time_since_epoch().count(), since.time_since_epoch().count(),
                             &micros)) {
    micros = now > since ? std::numeric_limits<std::int64_t>::max()
                         : std::numeric_limits<std::int64_t>::min();
  }
  // Integer division truncates toward zero, as whole seconds should.
  const std::int64_t seconds = micros / 1'000'000;
  if (seconds < 60) {
    return "<1m";
  }
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + "m";
  }
  if (seconds >= 86400) {
    return std::to_string(seconds / 86400) + "d";
  }
  return std::to_string(seconds / 3600) + "h";
}

std::string providerLabel(const tarvel::AgentProvider& provider) {
  if (provider.rawValue == "demo") {
    return "示例";
  }
  // The catalogue's name ("Claude Code", "Gemini CLI"), else the provider's own display name.
  return tarvel::AgentCatalogue::displayName(provider);
}

std::optional<std::string> title(const tarvel::Json& response, std::string_view expectedID) {
  if (!response.is_object()) {
    return std::nullopt;
  }
  const auto result = response.find("result");
  if (result == response.end() || !result->is_object()) {
    return std::nullopt;
  }
  const auto thread = result->find("thread");
  if (thread == result->end() || !thread->is_object()) {
    return std::nullopt;
  }
  const auto id = thread->find("id");
  if (id == thread->end() || !id->is_string() || id->get_ref<const std::string&>() != expectedID) {
    return std::nullopt;
  }
  const auto name = thread->find("name");
  if (name == thread->end() || !name->is_string()) {
    return std::nullopt;
  }
  const auto& text = name->get_ref<const std::string&>();
  if (!tarvel::nonEmpty(text)) {
    return std::nullopt;
  }
  return text;
}

}  // namespace SessionPresentation
}  // namespace quoya
