#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Sessions/AgentActivityService.hpp"
#include "TarvelDisplay/Api/StatePublisher.hpp"
#include "TarvelDisplay/Client/RemoteState.hpp"

namespace tarvel::Display {
namespace {

// A client fed only the stream's change messages must hold exactly what a client that fetched the
// whole state holds, after every revision of a random run: sessions appearing, working, waiting,
// ending, sub-agents, clears and prompts coming and going.
TEST(StateMessages, ChangeMessagesRebuildTheWholeStateOverRandomRuns) {
  constexpr std::uint32_t runs = 8;
  constexpr int stepsPerRun = 120;
  const std::vector<AgentState> states{AgentState::starting,      AgentState::thinking,
                                       AgentState::executingTool, AgentState::waitingForUser,
                                       AgentState::idle,          AgentState::completed,
                                       AgentState::failed};
  for (std::uint32_t seed = 1; seed <= runs; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto pick = [&](std::size_t count) {
      return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    };
    AgentActivityService activity;
    StatePublisher publisher;
    RemoteState followed;
    std::vector<LivePrompt> prompts;
    Date now{std::chrono::seconds(1'700'000'000)};
    for (int step = 0; step < stepsPerRun; ++step) {
      now += std::chrono::seconds(1 + pick(5));
      const std::string id = "s" + std::to_string(pick(12));
      const std::size_t action = pick(10);
      if (action < 7) {
        AgentEvent event{.type = AgentEventType::activity,
                         .sessionId = "claude-code:" + id,
                         .provider = AgentProvider::claudeCode,
                         .activity = "step " + std::to_string(step),
                         .state = states[pick(states.size())],
                         .timestamp = now,
                         .workingDirectory = "/projects/" + id};
        if (pick(4) == 0) {
          event.parentSessionId = "claude-code:s" + std::to_string(pick(3));
        }
        activity.ingest(std::move(event));
      } else if (action == 7) {
        activity.clearRecent();
      } else if (action == 8 || prompts.empty()) {
        prompts.push_back(LivePrompt{
            .replyId = UUID::random(),
            .sessionId = "claude-code:" + id,
            .provider = AgentProvider::claudeCode,
            .receivedAt = now,
            .expiresAt = now + std::chrono::seconds(120),
            .pendingReply = {.replyId = UUID::random(),
                             .prompt = "Allow " + id + "?",
                             .grants = {AgentReplyGrant::allow, AgentReplyGrant::deny}}});
      } else {
        prompts.erase(prompts.begin() + static_cast<std::ptrdiff_t>(pick(prompts.size())));
      }
      const auto published = publisher.publish(
          activity, prompts, ServiceInfo{.version = "test", .startedAt = now, .eventsReceived = 0});
      if (published->revision == 1) {
        ASSERT_TRUE(followed.apply("state", published->whole()));
      } else {
        ASSERT_FALSE(published->change.empty());
        ASSERT_TRUE(followed.apply("change", published->change)) << "step " << step;
      }
      RemoteState fetched;
      ASSERT_TRUE(fetched.apply("state", published->whole()));
      ASSERT_EQ(followed.revision(), fetched.revision());
      ASSERT_EQ(toSessions(followed.sessions()), toSessions(fetched.sessions())) << "step " << step;
      ASSERT_EQ(followed.snapshot(), fetched.snapshot()) << "step " << step;
      ASSERT_EQ(followed.prompts(), fetched.prompts()) << "step " << step;
      // And both hold what the service holds.
      ASSERT_EQ(fetched.sessions().size(), activity.sessions().size()) << "step " << step;
    }
  }
}

}  // namespace
}  // namespace tarvel::Display
