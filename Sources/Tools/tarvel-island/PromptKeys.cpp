#include "Tools/tarvel-island/PromptKeys.hpp"

#include <algorithm>
#include <map>
#include <utility>

namespace tarvel::Island::PromptKeys {
namespace {

constexpr std::size_t maximumDigitOptions = 9;

bool isCharacter(const Key& key, char32_t character) {
  return key.kind == Key::Kind::character && key.character == character;
}

std::optional<std::size_t> digit(const Key& key) {
  if (key.kind == Key::Kind::character && key.character >= U'1' && key.character <= U'9') {
    return static_cast<std::size_t>(key.character - U'1');
  }
  return std::nullopt;
}

KeyAction submit(const PresentedPrompt& prompt, AgentReplyDecision decision,
                 std::optional<std::string> optionId = std::nullopt,
                 std::optional<std::map<std::string, std::vector<std::string>>> answers =
                     std::nullopt) {
  return {.kind = KeyAction::Kind::submit,
          .reply = AgentReply{.replyId = prompt.reply.replyId,
                              .decision = decision,
                              .optionId = std::move(optionId),
                              .answers = std::move(answers)},
          .sessionId = prompt.sessionId};
}

// The reply once every question has a choice: decision "option" with the chosen labels per
// question text (and the option id when there is a single choice of a single question).
KeyAction submitAnswers(const PresentedPrompt& prompt, const PickerState& picker,
                        const std::vector<AgentPromptQuestion>& questions) {
  std::map<std::string, std::vector<std::string>> answers;
  for (std::size_t index = 0; index < questions.size(); ++index) {
    std::vector<std::string>& labels = answers[questions[index].text];
    for (const std::size_t option : picker.chosen[index]) {
      labels.push_back(questions[index].options[option].label);
    }
  }
  std::optional<std::string> optionId;
  if (questions.size() == 1 && picker.chosen[0].size() == 1) {
    optionId = questions[0].options[*picker.chosen[0].begin()].id;
  }
  return submit(prompt, AgentReplyDecision::option, std::move(optionId), std::move(answers));
}

// Confirms the current question; submits after the last one.
KeyAction confirmQuestion(const PresentedPrompt& prompt, PickerState& picker,
                          const std::vector<AgentPromptQuestion>& questions) {
  if (picker.chosen[picker.question].empty()) {
    return {};
  }
  if (picker.question + 1 < questions.size()) {
    ++picker.question;
    picker.cursor = 0;
    return {.kind = KeyAction::Kind::pickerMoved};
  }
  return submitAnswers(prompt, picker, questions);
}

KeyAction handlePicker(const Key& key, const PresentedPrompt& prompt, PickerState& picker,
                       const std::vector<AgentPromptQuestion>& questions) {
  const AgentPromptQuestion& question = questions[picker.question];
  const std::size_t count = question.options.size();
  std::set<std::size_t>& chosen = picker.chosen[picker.question];
  if (key.kind == Key::Kind::up || isCharacter(key, U'k')) {
    picker.cursor = picker.cursor == 0 ? count - 1 : picker.cursor - 1;
    return {.kind = KeyAction::Kind::pickerMoved};
  }
  if (key.kind == Key::Kind::down || isCharacter(key, U'j') || key.kind == Key::Kind::tab) {
    picker.cursor = (picker.cursor + 1) % count;
    return {.kind = KeyAction::Kind::pickerMoved};
  }
  if ((key.kind == Key::Kind::left || key.kind == Key::Kind::backspace) && picker.question > 0) {
    --picker.question;
    picker.cursor = 0;
    return {.kind = KeyAction::Kind::pickerMoved};
  }
  std::optional<std::size_t> target;
  if (const auto position = digit(key); position && *position < count) {
    target = position;
  }
  if (question.allowsMultiple) {
    if (isCharacter(key, U' ') || target) {
      const std::size_t option = target.value_or(picker.cursor);
      if (!chosen.erase(option)) {
        chosen.insert(option);
      }
      picker.cursor = option;
      return {.kind = KeyAction::Kind::pickerMoved};
    }
    if (key.kind == Key::Kind::enter) {
      return confirmQuestion(prompt, picker, questions);
    }
    return {};
  }
  if (key.kind == Key::Kind::enter || isCharacter(key, U' ') || target) {
    chosen = {target.value_or(picker.cursor)};
    return confirmQuestion(prompt, picker, questions);
  }
  return {};
}

}  // namespace

const std::vector<AgentPromptQuestion>* pickerQuestions(const AgentPendingReply& reply) {
  if (!reply.questions || reply.questions->empty()) {
    return nullptr;
  }
  for (const AgentPromptQuestion& question : *reply.questions) {
    if (question.options.empty()) {
      return nullptr;  // a question without choices cannot be answered here
    }
  }
  return &*reply.questions;
}

void synchronize(PickerState& picker, const std::optional<PresentedPrompt>& prompt) {
  const std::optional<UUID> replyId =
      prompt ? std::optional<UUID>(prompt->reply.replyId) : std::nullopt;
  if (picker.replyId == replyId) {
    return;
  }
  picker = PickerState{.replyId = replyId};
  if (prompt) {
    if (const auto* questions = pickerQuestions(prompt->reply)) {
      picker.chosen.resize(questions->size());
    }
  }
}

std::vector<OfferedKey> offeredKeys(const std::optional<PresentedPrompt>& prompt,
                                    const PickerState& picker, bool canClear) {
  std::vector<OfferedKey> keys;
  if (prompt && prompt->answerable && picker.replyId == prompt->reply.replyId) {
    const AgentPendingReply& reply = prompt->reply;
    if (const auto* questions = pickerQuestions(reply)) {
      const AgentPromptQuestion& question = (*questions)[picker.question];
      keys.push_back({"↑↓", "move"});
      if (question.allowsMultiple) {
        keys.push_back({"space", "toggle"});
      }
      keys.push_back(
          {"enter", picker.question + 1 < questions->size() ? "next question" : "send answer"});
      if (picker.question > 0) {
        keys.push_back({"←", "previous question"});
      }
    } else {
      if (reply.allowsAllow()) {
        keys.push_back({"a", "allow"});
      }
      if (reply.allowsAlways()) {
        keys.push_back({"A", "always allow"});
      }
      if (!reply.options.empty()) {
        const std::size_t count = std::min(reply.options.size(), maximumDigitOptions);
        keys.push_back({count == 1 ? "1" : "1-" + std::to_string(count), "pick option"});
      }
    }
    if (reply.allowsDeny()) {
      keys.push_back({"d", "deny"});
    }
    if (reply.allowsCancel()) {
      keys.push_back({"x", "cancel"});
    }
  }
  if (canClear) {
    keys.push_back({"c", "clear finished"});
  }
  keys.push_back({"q", "quit"});
  return keys;
}

KeyAction handle(const Key& key, const std::optional<PresentedPrompt>& prompt, PickerState& picker,
                 bool canClear) {
  if (key.kind == Key::Kind::interrupt || isCharacter(key, U'q') || isCharacter(key, U'Q')) {
    return {.kind = KeyAction::Kind::quit};
  }
  if (prompt && prompt->answerable && picker.replyId == prompt->reply.replyId) {
    const AgentPendingReply& reply = prompt->reply;
    if (isCharacter(key, U'd') && reply.allowsDeny()) {
      return submit(*prompt, AgentReplyDecision::deny);
    }
    if ((isCharacter(key, U'x') || key.kind == Key::Kind::escape) && reply.allowsCancel()) {
      return submit(*prompt, AgentReplyDecision::cancel);
    }
    if (const auto* questions = pickerQuestions(reply)) {
      if (KeyAction action = handlePicker(key, *prompt, picker, *questions);
          action.kind != KeyAction::Kind::none) {
        return action;
      }
    } else {
      if (isCharacter(key, U'a') && reply.allowsAllow()) {
        return submit(*prompt, AgentReplyDecision::allow);
      }
      if (isCharacter(key, U'A') && reply.allowsAlways()) {
        return submit(*prompt, AgentReplyDecision::always);
      }
      if (const auto position = digit(key); position && *position < reply.options.size()) {
        return submit(*prompt, AgentReplyDecision::option, reply.options[*position].id);
      }
    }
  }
  if (canClear && (isCharacter(key, U'c') || isCharacter(key, U'C'))) {
    return {.kind = KeyAction::Kind::clearFinished};
  }
  return {};
}

}  // namespace tarvel::Island::PromptKeys
