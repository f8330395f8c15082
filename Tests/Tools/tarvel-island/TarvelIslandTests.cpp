#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "TarvelCore/Protocol/UnixReplyClient.hpp"
#include "TarvelCore/Protocol/UnixSocketClient.hpp"
#include "Tools/tarvel-island/Displays.hpp"
#include "Tools/tarvel-island/KeyInput.hpp"
#include "Tools/tarvel-island/PromptKeys.hpp"
#include "Tools/tarvel-island/SessionPersistence.hpp"
#include "Tools/tarvel-island/TextCells.hpp"

namespace tarvel::Island {
namespace {

using PromptKeys::KeyAction;

Key character(char32_t c) { return {.kind = Key::Kind::character, .character = c}; }

PromptKeys::PresentedPrompt permission(bool answerable) {
  return {.sessionId = "claude-code:s1",
          .reply = AgentPendingReply{.replyId = UUID::random(),
                                     .prompt = "Allow Bash?",
                                     .grants = {AgentReplyGrant::deny, AgentReplyGrant::allow}},
          .answerable = answerable};
}

TEST(PromptKeys, AnswersAreOfferedAndTakenOnlyWhileAHookListens) {
  for (const bool answerable : {false, true}) {
    SCOPED_TRACE(answerable);
    const auto prompt = permission(answerable);
    PromptKeys::PickerState picker;
    PromptKeys::synchronize(picker, prompt);
    const auto keys = PromptKeys::offeredKeys(prompt, picker, true);
    const bool offersAllow =
        std::find(keys.begin(), keys.end(), PromptKeys::OfferedKey{"a", "allow"}) != keys.end();
    EXPECT_EQ(offersAllow, answerable);
    const KeyAction action = PromptKeys::handle(character(U'a'), prompt, picker, true);
    if (answerable) {
      ASSERT_EQ(action.kind, KeyAction::Kind::submit);
      EXPECT_EQ(action.reply->decision, AgentReplyDecision::allow);
      EXPECT_EQ(action.reply->replyId, prompt.reply.replyId);
      EXPECT_EQ(action.sessionId, "claude-code:s1");
    } else {
      EXPECT_EQ(action.kind, KeyAction::Kind::none);
    }
    // A grant the prompt does not admit is never sent.
    EXPECT_EQ(PromptKeys::handle(character(U'x'), prompt, picker, true).kind,
              KeyAction::Kind::none);
  }
}

TEST(PromptKeys, PickerCollectsMultipleSelectionsAcrossQuestions) {
  PromptKeys::PresentedPrompt prompt = permission(true);
  prompt.reply.kind = AgentPromptKind::question;
  prompt.reply.grants = {AgentReplyGrant::deny};
  prompt.reply.questions = std::vector<AgentPromptQuestion>{
      {.text = "Which?", .options = {{"option-0", "Red"}, {"option-1", "Blue"}},
       .allowsMultiple = true},
      {.text = "Sure?", .options = {{"option-0", "Yes"}, {"option-1", "No"}}}};
  PromptKeys::PickerState picker;
  PromptKeys::synchronize(picker, prompt);
  const Key enter{.kind = Key::Kind::enter};
  // Nothing chosen yet: enter does not move on.
  EXPECT_EQ(PromptKeys::handle(enter, prompt, picker, true).kind, KeyAction::Kind::none);
  EXPECT_EQ(PromptKeys::handle(character(U' '), prompt, picker, true).kind,
            KeyAction::Kind::pickerMoved);
  EXPECT_EQ(PromptKeys::handle(character(U'2'), prompt, picker, true).kind,
            KeyAction::Kind::pickerMoved);
  EXPECT_EQ(PromptKeys::handle(enter, prompt, picker, true).kind, KeyAction::Kind::pickerMoved);
  EXPECT_EQ(picker.question, 1U);
  const KeyAction action = PromptKeys::handle(character(U'2'), prompt, picker, true);
  ASSERT_EQ(action.kind, KeyAction::Kind::submit);
  EXPECT_EQ(action.reply->decision, AgentReplyDecision::option);
  const std::map<std::string, std::vector<std::string>> expected{{"Which?", {"Red", "Blue"}},
                                                                 {"Sure?", {"No"}}};
  EXPECT_EQ(action.reply->answers, expected);
  // A new prompt starts a fresh picker.
  const auto other = permission(true);
  PromptKeys::synchronize(picker, other);
  EXPECT_EQ(picker.question, 0U);
  EXPECT_TRUE(picker.chosen.empty());
}

TEST(KeyDecoder, ArrowSequenceSplitAcrossReadsAndStrayBytes) {
  KeyDecoder decoder;
  EXPECT_TRUE(decoder.feed("\x1b[").empty());
  EXPECT_EQ(decoder.feed("Aq"), (std::vector<Key>{{.kind = Key::Kind::up}, character(U'q')}));
  EXPECT_EQ(decoder.feed("\x1b"), (std::vector<Key>{{.kind = Key::Kind::escape}}));
  // A CJK character cut after its first byte, then a malformed byte and Ctrl-C.
  EXPECT_TRUE(decoder.feed("\xe5").empty());
  EXPECT_EQ(decoder.feed("\x85\xa5\xff\x03"),
            (std::vector<Key>{character(U'入'), {.kind = Key::Kind::interrupt}}));
}

TEST(TextCells, ControlCharactersNeverReachTheTerminalAndWideTextIsCut) {
  EXPECT_EQ(TextCells::printable("a\x1b[2Jb\nc\xc2\x9b"), "a [2Jb c ");
  EXPECT_EQ(TextCells::width("执行中"), 6U);
  EXPECT_EQ(TextCells::fitted("执行中", 5), "执行…");
  EXPECT_EQ(TextCells::fitted("ab", 4, true), "ab  ");
}

class TarvelIslandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvel-island-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  ActivityDisplayOptions options() const {
    return {.eventSocket = directory / "agent.sock",
            .replySocket = directory / "reply.sock",
            .sessionsFile = directory / "sessions.json",
            .processAlive = [](std::int32_t) { return false; },
            .saveInterval = std::chrono::milliseconds(0)};
  }

  // Drains handed-over work until `done` or 5 s pass.
  template <typename Done>
  bool drainUntil(Display& display, Done done) {
    for (int attempt = 0; attempt < 500 && !done(); ++attempt) {
      display.drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  }

  std::filesystem::path directory;
};

TEST_F(TarvelIslandTest, CorruptSavedSessionsAreSetAsideAndTheDisplayStartsEmpty) {
  std::ofstream(directory / "sessions.json") << "{\"sessions\": [{\"id\": 3}], \"version\": 1}";
  const auto result = SessionPersistence::load(directory / "sessions.json");
  EXPECT_TRUE(result.sessions.empty());
  ASSERT_TRUE(result.message);
  EXPECT_TRUE(result.savingAllowed);
  EXPECT_FALSE(std::filesystem::exists(directory / "sessions.json"));
  std::size_t asideFiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    asideFiles += entry.path().filename().string().starts_with("sessions.json.corrupt-") ? 1 : 0;
  }
  EXPECT_EQ(asideFiles, 1U);
}

TEST_F(TarvelIslandTest, SaveScheduleSavesAtMostOncePerInterval) {
  SessionPersistence::SaveSchedule schedule(std::chrono::milliseconds(1000));
  const auto start = SessionPersistence::SaveSchedule::Clock::now();
  EXPECT_FALSE(schedule.isDue(start));
  schedule.markChanged();
  EXPECT_TRUE(schedule.isDue(start));
  schedule.didSave(start);
  schedule.markChanged();
  EXPECT_FALSE(schedule.isDue(start + std::chrono::milliseconds(999)));
  EXPECT_TRUE(schedule.isDue(start + std::chrono::milliseconds(1000)));
}

TEST_F(TarvelIslandTest, EventsReachTheOwnerAnswersReachTheHookAndSessionsSurviveARestart) {
  const UUID replyId = UUID::random();
  {
    ActivityDisplay display(options());
    ASSERT_FALSE(display.start());
    AgentEvent event{.type = AgentEventType::waiting,
                     .sessionId = "claude-code:s1",
                     .provider = AgentProvider::claudeCode,
                     .task = std::string("Build it"),
                     .timestamp = Dates::now(),
                     .origin = AgentOrigin{.processIdentifier = 999999},
                     .pendingReply = AgentPendingReply{
                         .replyId = replyId,
                         .prompt = "Allow Bash?",
                         .grants = {AgentReplyGrant::deny, AgentReplyGrant::allow}}};
    ASSERT_FALSE(UnixSocketClient::send(event, directory / "agent.sock"));
    std::optional<AgentReply> received;
    std::thread hook([&] {
      received = UnixReplyClient::awaitReply(replyId, directory / "reply.sock", 10);
    });
    ASSERT_TRUE(drainUntil(display, [&] {
      const auto prompt = display.presentedPrompt();
      return prompt && prompt->answerable;
    }));
    EXPECT_FALSE(display.handleKey(character(U'a')));
    hook.join();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->decision, AgentReplyDecision::allow);
    EXPECT_FALSE(display.presentedPrompt());
    EXPECT_TRUE(display.handleKey(character(U'q')));
    display.stop();
    EXPECT_FALSE(std::filesystem::exists(directory / "agent.sock"));
    EXPECT_FALSE(std::filesystem::exists(directory / "reply.sock"));
  }
  // Restored: the agent process is gone, so the session is completed at its last update.
  ActivityDisplay restored(options());
  ASSERT_EQ(restored.service().sessions().size(), 1U);
  EXPECT_EQ(restored.service().sessions().front()->state, AgentState::completed);
  EXPECT_FALSE(restored.service().sessions().front()->pendingReply);
}

TEST_F(TarvelIslandTest, ASecondDisplayOnTheSameSocketsIsRefused) {
  ActivityDisplay first(options());
  ASSERT_FALSE(first.start());
  ActivityDisplay second(options());
  EXPECT_EQ(second.start(), "Another Tarvel instance is already listening on this socket.");
  first.stop();
  EXPECT_FALSE(std::filesystem::exists(directory / "agent.sock"));
}

}  // namespace
}  // namespace tarvel::Island
