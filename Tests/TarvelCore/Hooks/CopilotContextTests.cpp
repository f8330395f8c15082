// GitHub Copilot CLI sends permissionRequest before its own rules decide, in one shape whether or
// not it would then ask: which of its captured requests Tarvel holds, and how its sub-agents'
// documents join the parent's session.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Hooks/ContextTestSupport.hpp"
#include "TarvelCore/Hooks/AgentHookEventMapper.hpp"
#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"

namespace tarvel {
namespace {

const AgentProvider copilot("copilot");
const Date now = *Dates::parseISO8601("2026-12-09T10:00:00Z");

// A captured Copilot document, its event named as the hook command names it.
AgentHookPayload document(std::string_view file, std::string_view event) {
  auto payload = AgentHookInput::decode(Testing::agentDocument("copilot/" + std::string(file)));
  if (!payload) {
    ADD_FAILURE() << file << ": " << payload.error().description();
    return {};
  }
  payload->hookEventName = std::string(event);
  return *payload;
}

// A permission request for `command`, as Copilot sends it.
AgentHookPayload commandRequest(std::string_view command) {
  AgentHookPayload payload = document("permissionRequest-touch.json", "permissionRequest");
  payload.toolInput = *JSONValue::fromJSON(Json{{"command", command}});
  return payload;
}

TEST(CopilotPermissions, OnlyWhatCopilotWouldAskAboutIsHeld) {
  ContextTesting::TemporaryHome home("copilot");
  const std::vector<std::string> plain{"copilot", "-p", "RUN_TOUCH"};
  const auto wouldAsk = [&](const AgentHookPayload& payload,
                            const std::vector<std::string>& arguments) {
    return ProviderHookEnricher::agentWouldAsk(payload, copilot, home.path, arguments);
  };
  const AgentHookPayload touch = document("permissionRequest-touch.json", "permissionRequest");
  const AgentHookPayload ls = document("permissionRequest-ls.json", "permissionRequest");

  // A command that changes something is held; a read-only program alone is not.
  EXPECT_TRUE(wouldAsk(touch, plain));
  EXPECT_FALSE(wouldAsk(ls, plain));
  EXPECT_TRUE(wouldAsk(commandRequest("ls; rm -rf build"), plain));
  EXPECT_TRUE(wouldAsk(commandRequest("cat a > b"), plain));
  EXPECT_FALSE(wouldAsk(commandRequest("  grep -n main src/a.c"), plain));

  // The agent's own command line allows it: Copilot asks nothing.
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"copilot", "--allow-all-tools", "-p", "x"},
                                             {"copilot", "--yolo"},
                                             {"copilot", "--allow-tool", "shell(touch)"},
                                             {"copilot", "--allow-tool=shell"}}) {
    EXPECT_FALSE(wouldAsk(touch, arguments)) << arguments[1];
  }
  EXPECT_TRUE(wouldAsk(touch, {"copilot", "--allow-tool", "shell(ls)"}));
  EXPECT_FALSE(wouldAsk(document("permissionRequest-touch-allow-all-tools.json",
                                 "permissionRequest"),
                        {"copilot", "--allow-all-tools"}));

  // "Yes, and don't ask again" for touch in this folder, as Copilot keeps it; another folder's
  // approval and a file that is not JSON approve nothing.
  const auto approvals = home.path / ".copilot" / "permissions-config.json";
  ContextTesting::writeFile(approvals, "not json");
  EXPECT_TRUE(wouldAsk(touch, plain));
  ContextTesting::writeFile(
      approvals,
      R"({"locations":{"/elsewhere":{"tool_approvals":[{"kind":"commands","commandIdentifiers":["touch"]}]}}})");
  EXPECT_TRUE(wouldAsk(touch, plain));
  ContextTesting::writeFile(
      approvals,
      R"({"locations":{"/home/dev/proj":{"tool_approvals":[{"kind":"commands","commandIdentifiers":["touch"]}]}}})");
  EXPECT_FALSE(wouldAsk(touch, plain));

  // Every other document, and every other agent's permission request, is taken as it comes.
  EXPECT_TRUE(wouldAsk(document("preToolUse-ls.json", "preToolUse"), {"copilot", "--yolo"}));
  AgentHookPayload claude = touch;
  EXPECT_TRUE(ProviderHookEnricher::agentWouldAsk(claude, AgentProvider::claudeCode, home.path,
                                                  std::vector<std::string>{"claude", "--yolo"}));
}

TEST(CopilotSessions, SubagentDocumentsJoinTheParentsSessionAndTimesAreMilliseconds) {
  const auto mappedEvent = [](std::string_view file, std::string_view event) {
    const auto enriched =
        ProviderHookEnricher::enrich(document(file, event), copilot, now, "/nonexistent");
    return AgentHookEventMapper::map(enriched.payload, copilot, true, now);
  };
  const auto start = mappedEvent("subagentStart.json", "subagentStart");
  const auto prompt = mappedEvent("userPromptSubmitted-subagent.json", "userPromptSubmitted");
  const auto stop = mappedEvent("agentStop-subagent.json", "agentStop");
  ASSERT_TRUE(start && prompt && stop);
  const std::string parent = "copilot:029a238c-8062-4b8f-b14b-711a08d01fa6";
  EXPECT_EQ(start->sessionId, parent + ":76c19e55-df61-48fe-a689-4bb0262dd31e");
  for (const auto* event : {&*start, &*prompt, &*stop}) {
    EXPECT_EQ(event->sessionId, start->sessionId);
    EXPECT_EQ(event->parentSessionId, parent);
  }
  // The parent's own documents stay in the parent's session.
  const auto parentStop = mappedEvent("agentStop.json", "agentStop");
  ASSERT_TRUE(parentStop);
  EXPECT_EQ(parentStop->sessionId, "copilot:99e55638-0c77-4ba9-9d32-8ad861b92f09");
  EXPECT_FALSE(parentStop->parentSessionId.has_value());
  // 1796809065782 ms after 1970.
  const auto started = mappedEvent("sessionStart.json", "sessionStart");
  ASSERT_TRUE(started);
  EXPECT_EQ(started->timestamp, *Dates::parseISO8601("2026-12-09T09:37:45.782Z"));
}

}  // namespace
}  // namespace tarvel
