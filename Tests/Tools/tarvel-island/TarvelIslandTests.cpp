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

}  // namespace
}  // namespace tarvel::Island
