#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/UUID.hpp"
#include "Tools/tarvel-island/KeyInput.hpp"

// What the keys do on the display: quitting, clearing finished sessions, and answering the
// presented prompt (allow, deny, cancel, an option, or the answers of a question picker).
// Answers are offered only while a hook listens for them. Pure logic over values.
namespace tarvel::Island::PromptKeys {

// The prompt the display presents, the session it belongs to, and whether a hook is registered
// for its answer right now.
struct PresentedPrompt {
  std::string sessionId;
  AgentPendingReply reply;
  bool answerable = false;
  bool operator==(const PresentedPrompt&) const = default;
};

// The picker's position in a question prompt: which question, which option under the cursor,
// and the options chosen so far for each question. Belongs to one prompt (`replyId`).
struct PickerState {
  std::optional<UUID> replyId;
  std::size_t question = 0;
  std::size_t cursor = 0;
  std::vector<std::set<std::size_t>> chosen;  // per question, option positions
  bool operator==(const PickerState&) const = default;
};

struct KeyAction {
  enum class Kind { none, quit, clearFinished, submit, pickerMoved };
  Kind kind = Kind::none;
  std::optional<AgentReply> reply;  // for submit
  std::string sessionId;            // for submit: the session whose prompt is answered
  bool operator==(const KeyAction&) const = default;
};

// A key the display offers now, and what it does ("a", "allow").
struct OfferedKey {
  std::string key;
  std::string label;
  bool operator==(const OfferedKey&) const = default;
};

// The questions the picker walks through: present and non-empty only for question prompts.
const std::vector<AgentPromptQuestion>* pickerQuestions(const AgentPendingReply& reply);

// Starts a fresh picker when the presented prompt changed (or went away); keeps it otherwise.
void synchronize(PickerState& picker, const std::optional<PresentedPrompt>& prompt);

// The keys that do something now, in display order. Answers appear only for an answerable
// prompt, and each grant only when the prompt admits it.
std::vector<OfferedKey> offeredKeys(const std::optional<PresentedPrompt>& prompt,
                                    const PickerState& picker, bool canClear);

// What `key` does. A key that is not offered does nothing (kind none).
KeyAction handle(const Key& key, const std::optional<PresentedPrompt>& prompt, PickerState& picker,
                 bool canClear);

}  // namespace tarvel::Island::PromptKeys
