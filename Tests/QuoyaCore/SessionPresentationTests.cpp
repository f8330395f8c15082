#include <chrono>
#include <limits>

#include <gtest/gtest.h>

#include "QuoyaCore/SessionPresentation.hpp"

namespace quoya {
namespace {

using namespace std::chrono_literals;
using tarvel::AgentProvider;
using tarvel::AgentState;
using tarvel::Date;
using tarvel::Json;

TEST(SessionPresentation, ElapsedUsesWholeUnits) {
  const Date since = tarvel::Dates::fromSecondsSince1970(1'800'000'000);
  const struct {
    std::chrono::microseconds age;
    const char* text;
  } cases[] = {
      {-5s, "<1m"},    {0s, "<1m"},    {59999999us, "<1m"},
      {60s, "1m"},     {3599s, "59m"}, {3600s, "1h"},
      {86399s, "23h"}, {86400s, "1d"}, {86400s * 400, "400d"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.text);
    EXPECT_EQ(SessionPresentation::elapsed(since, since + item.age), item.text);
  }
  // Dates whose difference overflows the microsecond count saturate instead of wrapping.
  const Date earliest{Date::duration(std::numeric_limits<std::int64_t>::min())};
  const Date latest{Date::duration(std::numeric_limits<std::int64_t>::max())};
  EXPECT_EQ(SessionPresentation::elapsed(earliest, latest), "106751991d");
  EXPECT_EQ(SessionPresentation::elapsed(latest, earliest), "<1m");
}

TEST(SessionPresentation, ProviderLabels) {
  AgentProvider demo;
  demo.rawValue = "demo";
  EXPECT_EQ(SessionPresentation::providerLabel(AgentProvider::codex), "Codex");
  EXPECT_EQ(SessionPresentation::providerLabel(AgentProvider::claudeCode), "Claude Code");
  EXPECT_EQ(SessionPresentation::providerLabel(AgentProvider::geminiCLI), "Gemini CLI");
  EXPECT_EQ(SessionPresentation::providerLabel(demo), "示例");
  EXPECT_EQ(SessionPresentation::providerLabel(AgentProvider("my-agent")),
            AgentProvider("my-agent").displayName());
}

TEST(SessionPresentation, TitleNeedsMatchingThreadAndNamedString) {
  const struct {
    const char* name;
    const char* response;
    std::optional<std::string> title;
  } cases[] = {
      {"named", R"({"result":{"thread":{"id":"T1","name":" Fix it "}}})", " Fix it "},
      {"other thread", R"({"result":{"thread":{"id":"T2","name":"Fix it"}}})", std::nullopt},
      {"blank name", R"({"result":{"thread":{"id":"T1","name":" \n"}}})", std::nullopt},
      {"null name", R"({"result":{"thread":{"id":"T1","name":null}}})", std::nullopt},
      {"numeric id", R"({"result":{"thread":{"id":1,"name":"x"}}})", std::nullopt},
      {"thread array", R"({"result":{"thread":[]}})", std::nullopt},
      {"result string", R"({"result":"thread"})", std::nullopt},
      {"error", R"({"error":{"code":-32600}})", std::nullopt},
      {"not an object", R"([1,2])", std::nullopt},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    EXPECT_EQ(SessionPresentation::title(Json::parse(item.response), "T1"), item.title);
  }
}

TEST(SessionPresentation, ChineseStateLabels) {
  const std::pair<AgentState, const char*> cases[] = {
      {AgentState::idle, "待命"},
      {AgentState::starting, "启动中"},
      {AgentState::thinking, "思考中"},
      {AgentState::running, "执行中"},
      {AgentState::executingTool, "调用工具"},
      {AgentState::editing, "编辑中"},
      {AgentState::waitingForUser, "待你处理"},
      {AgentState::unknown, "状态待确认"},
      {AgentState::completed, "已完成"},
      {AgentState::failed, "异常"},
  };
  for (const auto& [state, label] : cases) {
    EXPECT_EQ(chineseLabel(state), label);
  }
}

}  // namespace
}  // namespace quoya
