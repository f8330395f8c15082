#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QuoyaCore/IslandStore.hpp"
#include "QuoyaCore/PixelMascotState.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Models/NotchActivitySnapshot.hpp"
#include "TarvelCore/Models/SessionIndex.hpp"
#include "Tools/tarvel-island/PromptKeys.hpp"

// What the terminal display shows, as plain values, and the drawing of it into lines with ANSI
// colours. The models are built from the activity service's snapshot or from the island store;
// drawing knows neither.
namespace tarvel::Island {

struct SessionRow {
  std::size_t depth = 0;  // 0 for a group root, 1 for its sub-agents, ...
  std::string provider;
  std::string title;
  std::string state;
  quoya::PixelMascotState mood = quoya::PixelMascotState::idle;  // colours the state
  std::string activity;
  std::string elapsed;
  bool operator==(const SessionRow&) const = default;
};

struct PromptView {
  std::string heading;  // provider and title of the waiting session
  std::string prompt;
  std::optional<std::string> detail;
  std::vector<std::string> choices;  // one line each, picker marks included
  bool answerable = false;
  bool operator==(const PromptView&) const = default;
};

struct DisplayModel {
  quoya::PixelMascotState mascot = quoya::PixelMascotState::idle;
  std::string summary;  // "2 active groups · 1 hidden · 1 waiting"
  std::vector<std::vector<SessionRow>> groups;
  std::optional<PromptView> attention;
  std::vector<PromptKeys::OfferedKey> keys;
  std::optional<std::string> message;
  bool operator==(const DisplayModel&) const = default;
};

// The prompt to present from a snapshot: the attention session's pending prompt, answerable
// when `isPending` says a hook listens for it.
std::optional<PromptKeys::PresentedPrompt> presentedPrompt(
    const NotchActivitySnapshot& snapshot, const std::function<bool(const UUID&)>& isPending);

// The screen of the activity service: listed groups with their visible members, the attention
// session's prompt, counts and keys.
DisplayModel activityModel(const NotchActivitySnapshot& snapshot, const SessionIndex& index,
                           const std::optional<PromptKeys::PresentedPrompt>& prompt,
                           const PromptKeys::PickerState& picker, Date now);

// The screen of the island store: every session, newest first, with the island's titles,
// Chinese state labels and compact ages.
DisplayModel islandModel(const quoya::IslandStore& store, Date now);

// Draws the model into exactly `rows` lines of at most `columns` cells each (ANSI colours
// and attributes included, reset at each line's end).
std::vector<std::string> render(const DisplayModel& model, std::size_t columns, std::size_t rows);

// The full frame for the terminal: cursor home, every line cleared to its end.
std::string frame(const std::vector<std::string>& lines);

}  // namespace tarvel::Island
