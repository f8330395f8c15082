#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "QuoyaCore/IslandStore.hpp"
#include "QuoyaCore/PixelMascotState.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Sessions/NotchActivitySnapshot.hpp"
#include "TarvelCore/Sessions/SessionIndex.hpp"
#include "Tools/tarvel-island/PromptKeys.hpp"

// What the terminal display shows, as plain values, and the drawing of it into lines with ANSI
// colours. The models are built from the activity service's snapshot or from the island store;
// drawing knows neither.
namespace tarvel::Island {

struct SessionRow {
  std::size_t depth = 0;  // 0 for a group root, 1 for its sub-agents, ...
  std::string provider;
  std::string project;
  std::string title;
  std::string state;
  quoya::PixelMascotState mood = quoya::PixelMascotState::idle;  // colours the state
  std::string activity;
  std::string elapsed;
  bool operator==(const SessionRow&) const = default;
};

struct PromptView {
  std::string heading;  // provider, project and title of the waiting session
  std::string agent;    // the agent's name ("Codex"), where a prompt no hook waits on is answered
  std::optional<std::string> directory;  // where the agent works
  std::optional<std::string> remaining;  // how long its hook still waits ("1:52")
  std::string prompt;
  std::optional<std::string> detail;  // all of what is approved, wrapped on screen
  std::vector<std::string> choices;   // one entry each, picker marks included
  bool answerable = false;
  // The prompt in view changed a moment ago: answer keys are held, and the change is shown.
  bool holding = false;
  std::size_t scroll = 0;    // rows of the detail scrolled past
  std::size_t position = 0;  // 1-based among the live prompts; 0 when it is none of them
  std::size_t count = 0;     // live prompts
  bool operator==(const PromptView&) const = default;
};

struct DisplayModel {
  quoya::PixelMascotState mascot = quoya::PixelMascotState::idle;
  std::string moodLabel;  // the mascot's mood in words
  std::string summary;  // "1 waiting · 2 active groups · 1 hidden"
  std::vector<std::vector<SessionRow>> groups;
  std::size_t sessionScroll = 0;  // session rows scrolled past
  // Every live prompt, one line each, and which of them is in view.
  std::vector<std::string> queue;
  std::optional<std::size_t> queueShown;
  std::optional<PromptView> attention;
  std::vector<PromptKeys::OfferedKey> keys;
  std::optional<std::string> message;
  std::optional<std::string> confirmation;  // "Allowed", shown in green
  // The last answers, one line each, shown under the sessions when there is room.
  std::vector<std::string> recentAnswers;
  bool operator==(const DisplayModel&) const = default;
};

// The English word for a mood, as this display shows it.
std::string_view moodLabel(quoya::PixelMascotState mood);

// The prompt to present from a snapshot: the attention session's pending prompt, answerable
// when `isPending` says a hook listens for it.
std::optional<PromptKeys::PresentedPrompt> presentedPrompt(
    const NotchActivitySnapshot& snapshot, const std::function<bool(const UUID&)>& isPending);

// The screen of the activity service: listed groups with their visible members, the attention
// session's prompt, counts and keys. `counts`, when given, are the waiting and working counts
// shown (Display::SessionCounts, as the service counts); otherwise the snapshot's attention
// count and its active sessions that run past their start. `outcomes`: how
// the last prompt of a session that waits no more ended ("Allowed", by session id); such a
// session shows that instead of its state and is not counted as waiting.
DisplayModel activityModel(const NotchActivitySnapshot& snapshot, const SessionIndex& index,
                           const std::optional<PromptKeys::PresentedPrompt>& prompt,
                           const PromptKeys::PickerState& picker, Date now,
                           std::optional<std::pair<std::size_t, std::size_t>> counts =
                               std::nullopt,
                           const std::map<std::string, std::string>& outcomes = {});

// The screen of the island store: every session, newest first, with the island's titles,
// Chinese state labels and compact ages.
DisplayModel islandModel(const quoya::IslandStore& store, Date now);

// Draws the model into exactly `rows` lines of at most `columns` cells each (ANSI colours
// and attributes included, reset at each line's end). The prompt's detail is wrapped whole
// and scrolled; the session list fills the room left and scrolls.
std::vector<std::string> render(const DisplayModel& model, std::size_t columns, std::size_t rows);

// How many rows the prompt's detail takes at this width (for the scroll's limit).
std::size_t detailRows(const PromptView& view, std::size_t columns);

// The full frame for the terminal: each line cleared before it is written, never after, so
// that a line filling the width keeps its last cell (where the marks are).
std::string frame(const std::vector<std::string>& lines);

}  // namespace tarvel::Island
