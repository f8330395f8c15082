#include "Tools/tarvel-island/Screen.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "QuoyaCore/SessionPresentation.hpp"
#include "TarvelCore/Models/StringHelpers.hpp"
#include "Tools/tarvel-island/TextCells.hpp"

namespace tarvel::Island {
namespace {

constexpr std::string_view reset = "\x1b[0m";
constexpr std::string_view bold = "\x1b[1m";
constexpr std::string_view dim = "\x1b[2m";
constexpr std::string_view reverse = "\x1b[7m";
constexpr std::size_t maximumDetailLines = 3;
constexpr std::size_t maximumDepth = 8;

std::string colour(quoya::PixelMascotState mood) {
  const quoya::RGBColor rgb = quoya::PixelMascot::rgb(mood);
  const auto component = [](double value) {
    return std::to_string(static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * 255)));
  };
  return "\x1b[38;2;" + component(rgb.red) + ";" + component(rgb.green) + ";" +
         component(rgb.blue) + "m";
}

std::string plural(std::int64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// How deep a member sits under its group root, following parent links within the index.
std::size_t depth(const AgentSession& session, const SessionIndex& index,
                  std::string_view rootID) {
  std::size_t levels = 0;
  const AgentSession* current = &session;
  while (current->id != rootID && current->parentSessionId && levels < maximumDepth) {
    const auto parent = index.sessionsByID().find(*current->parentSessionId);
    if (parent == index.sessionsByID().end()) {
      break;
    }
    current = &*parent->second;
    ++levels;
  }
  return levels;
}

SessionRow activityRow(const AgentSession& session, std::size_t level, Date now) {
  const Date since = session.completedAt.value_or(session.startedAt);
  return {.depth = level,
          .provider = quoya::SessionPresentation::providerLabel(session.provider),
          .title = session.task,
          .state = std::string(displayName(session.state)),
          .mood = quoya::PixelMascot::state(session.state),
          .activity = session.currentActivity,
          .elapsed = quoya::SessionPresentation::elapsed(session.isActive() ? session.startedAt
                                                                            : since,
                                                         now)};
}

std::vector<std::string> choiceLines(const PromptKeys::PresentedPrompt& prompt,
                                     const PromptKeys::PickerState& picker) {
  std::vector<std::string> lines;
  const AgentPendingReply& reply = prompt.reply;
  if (const auto* questions = PromptKeys::pickerQuestions(reply)) {
    const std::size_t current = std::min(picker.question, questions->size() - 1);
    const AgentPromptQuestion& question = (*questions)[current];
    std::string heading = question.header ? *question.header + ": " : std::string();
    heading += question.text;
    if (questions->size() > 1) {
      heading = "(" + std::to_string(current + 1) + "/" + std::to_string(questions->size()) +
                ") " + heading;
    }
    if (question.allowsMultiple) {
      heading += "  [several may be chosen]";
    }
    lines.push_back(heading);
    const std::set<std::size_t> none;
    const std::set<std::size_t>& chosen =
        current < picker.chosen.size() ? picker.chosen[current] : none;
    for (std::size_t index = 0; index < question.options.size(); ++index) {
      std::string line = index == picker.cursor ? "> " : "  ";
      if (question.allowsMultiple) {
        line += chosen.contains(index) ? "[x] " : "[ ] ";
      }
      line += (index < 9 ? std::to_string(index + 1) + ". " : "   ") + question.options[index].label;
      lines.push_back(std::move(line));
    }
    return lines;
  }
  for (std::size_t index = 0; index < reply.options.size(); ++index) {
    lines.push_back((index < 9 ? std::to_string(index + 1) + ". " : "   ") +
                    reply.options[index].label);
  }
  return lines;
}

std::string keyLine(const std::vector<PromptKeys::OfferedKey>& keys) {
  std::string line;
  for (const PromptKeys::OfferedKey& key : keys) {
    if (!line.empty()) {
      line += "  ";
    }
    line += "[" + key.key + "] " + key.label;
  }
  return line;
}

std::string styled(std::string_view style, const std::string& text) {
  return std::string(style) + text + std::string(reset);
}

std::string sessionLine(const SessionRow& row, std::size_t columns) {
  const std::size_t indent = 2 + 2 * std::min(row.depth, maximumDepth);
  if (columns <= indent + 10) {
    return TextCells::fitted(std::string(indent, ' ') + row.title, columns);
  }
  const std::size_t providerCells = 12;
  const std::size_t stateCells = 16;
  const std::size_t elapsedCells = 4;
  std::size_t rest = columns - indent;
  std::string line(indent, ' ');
  const std::string marker = row.depth > 0 ? "└ " : "";
  line += styled(dim, TextCells::fitted(marker + row.provider, std::min(providerCells, rest), true));
  rest -= std::min(providerCells, rest);
  if (rest > 1) {
    line += ' ';
    --rest;
  }
  const std::size_t fixed = stateCells + elapsedCells + 2;
  if (rest > fixed + 8) {
    const std::size_t textCells = rest - fixed;
    const std::size_t titleCells = row.activity.empty() ? textCells : (textCells * 2) / 5;
    line += styled(bold, TextCells::fitted(row.title, titleCells, true));
    if (!row.activity.empty() && textCells > titleCells + 1) {
      line += " " + styled(dim, TextCells::fitted(row.activity, textCells - titleCells - 1, true));
    }
    line += " " + colour(row.mood) + TextCells::fitted(row.state, stateCells, true) +
            std::string(reset);
    line += " " + TextCells::fitted(row.elapsed, elapsedCells);
  } else {
    line += styled(bold, TextCells::fitted(row.title + " · " + row.state, rest));
  }
  return line;
}

}  // namespace

std::optional<PromptKeys::PresentedPrompt> presentedPrompt(
    const NotchActivitySnapshot& snapshot, const std::function<bool(const UUID&)>& isPending) {
  if (!snapshot.attentionSession) {
    return std::nullopt;
  }
  const AgentSession& session = **snapshot.attentionSession;
  if (!session.pendingReply) {
    return std::nullopt;
  }
  const AgentPendingReply& reply = *session.pendingReply;
  const bool offersSomething = !reply.grants.empty() || !reply.options.empty() ||
                               PromptKeys::pickerQuestions(reply) != nullptr;
  return PromptKeys::PresentedPrompt{
      .sessionId = session.id,
      .reply = reply,
      .answerable = offersSomething && isPending && isPending(reply.replyId)};
}

DisplayModel activityModel(const NotchActivitySnapshot& snapshot, const SessionIndex& index,
                           const std::optional<PromptKeys::PresentedPrompt>& prompt,
                           const PromptKeys::PickerState& picker, Date now) {
  DisplayModel model;
  std::vector<AgentState> states;
  states.reserve(snapshot.activeSessions.size());
  for (const SharedSession& session : snapshot.activeSessions) {
    states.push_back(session->state);
  }
  model.mascot = quoya::PixelMascot::representative(states);
  model.summary = plural(snapshot.activeGroupCount, "active group", "active groups") + " · " +
                  std::to_string(snapshot.hiddenActiveGroupCount) + " hidden · " +
                  std::to_string(snapshot.attentionCount()) + " waiting";

  // Members of the listed groups, in the snapshot's order, under their roots.
  std::unordered_map<std::string_view, std::size_t> groupByRoot;
  for (const SharedSession& root : snapshot.listSessions) {
    groupByRoot.emplace(root->id, model.groups.size());
    model.groups.emplace_back();
  }
  const auto& rootOf = index.groupRootIDBySessionID();
  for (const SharedSession& member : snapshot.relatedSessions) {
    const auto root = rootOf.find(member->id);
    const std::string_view rootID = root != rootOf.end() ? root->second : member->id;
    auto group = groupByRoot.find(rootID);
    if (group == groupByRoot.end()) {
      // The attention session's group, when it is not among the listed ones.
      group = groupByRoot.emplace(rootID, model.groups.size()).first;
      model.groups.emplace_back();
    }
    model.groups[group->second].push_back(
        activityRow(*member, depth(*member, index, rootID), now));
  }
  std::erase_if(model.groups, [](const auto& rows) { return rows.empty(); });

  if (snapshot.attentionSession) {
    const AgentSession& session = **snapshot.attentionSession;
    PromptView view{.heading = quoya::SessionPresentation::providerLabel(session.provider) +
                               " · " + session.task};
    if (prompt && prompt->sessionId == session.id) {
      view.prompt = prompt->reply.prompt;
      view.detail = prompt->reply.detail;
      view.choices = choiceLines(*prompt, picker);
      view.answerable = prompt->answerable;
    } else {
      view.prompt = session.currentActivity.empty() ? std::string(displayName(session.state))
                                                    : session.currentActivity;
    }
    model.attention = std::move(view);
  }
  model.keys = PromptKeys::offeredKeys(prompt, picker, true);
  return model;
}

DisplayModel islandModel(const quoya::IslandStore& store, Date now) {
  DisplayModel model;
  std::vector<AgentState> states;
  std::size_t active = 0;
  std::size_t waiting = 0;
  for (const AgentSession& session : store.sessions()) {
    const AgentState state = store.state(session, now);
    states.push_back(state);
    active += isActive(state) ? 1 : 0;
    waiting += state == AgentState::waitingForUser ? 1 : 0;
    model.groups.push_back({SessionRow{
        .provider = quoya::SessionPresentation::providerLabel(session.provider),
        .title = store.displayTitle(session),
        .state = std::string(quoya::chineseLabel(state)),
        .mood = quoya::PixelMascot::state(state),
        .activity = session.currentActivity,
        .elapsed = quoya::SessionPresentation::elapsed(session.updatedAt, now)}});
  }
  model.mascot = quoya::PixelMascot::representative(states);
  model.summary = plural(static_cast<std::int64_t>(store.sessions().size()), "session",
                         "sessions") +
                  " · " + std::to_string(active) + " active · " + std::to_string(waiting) +
                  " waiting";
  model.keys = PromptKeys::offeredKeys(std::nullopt, {}, true);
  return model;
}

std::vector<std::string> render(const DisplayModel& model, std::size_t columns, std::size_t rows) {
  std::vector<std::string> lines;
  if (rows == 0 || columns == 0) {
    return lines;
  }
  // Header: the mascot in its colour, its label, then the counts.
  const std::string label(quoya::PixelMascot::label(model.mascot));
  const std::string head = colour(model.mascot) + "▣ " + std::string(bold) +
                           TextCells::fitted(label, std::min<std::size_t>(columns, 12)) +
                           std::string(reset);
  const std::size_t headCells = 2 + std::min<std::size_t>(TextCells::width(label), 12);
  std::string header = head;
  if (columns > headCells + 3) {
    header += "  " + TextCells::fitted("Tarvel · " + model.summary, columns - headCells - 2);
  }
  lines.push_back(header);

  // The bottom: the prompt (if any), a message, the keys.
  std::vector<std::string> bottom;
  if (model.attention) {
    const PromptView& view = *model.attention;
    bottom.push_back(styled(reverse, TextCells::fitted(" Waiting · " + view.heading, columns, true)));
    bottom.push_back(styled(bold, TextCells::fitted("  " + view.prompt, columns)));
    if (view.detail) {
      std::size_t shown = 0;
      for (const std::string& part : Text::split(*view.detail, "\n")) {
        if (shown++ == maximumDetailLines) {
          break;
        }
        bottom.push_back(styled(dim, TextCells::fitted("  " + part, columns)));
      }
    }
    for (const std::string& choice : view.choices) {
      bottom.push_back(TextCells::fitted("  " + choice, columns));
    }
    if (!view.answerable) {
      bottom.push_back(styled(dim, TextCells::fitted(
                                       "  No hook is waiting for an answer here: answer in the agent.",
                                       columns)));
    }
  }
  if (model.message) {
    bottom.push_back(styled("\x1b[33m", TextCells::fitted(*model.message, columns)));
  }
  bottom.push_back(styled(dim, TextCells::fitted(keyLine(model.keys), columns)));
  if (bottom.size() + 1 > rows) {
    bottom.erase(bottom.begin(), bottom.begin() + static_cast<std::ptrdiff_t>(bottom.size() + 1 - rows));
  }

  // The groups fill what is left; a group that does not fit whole is cut with a note.
  const std::size_t room = rows - 1 - bottom.size();
  std::vector<std::string> middle;
  std::size_t total = 0;
  for (const auto& group : model.groups) {
    total += group.size();
  }
  if (total == 0 && room > 1) {
    middle.push_back("");
    middle.push_back(styled(dim, TextCells::fitted("  No agent activity yet.", columns)));
  }
  std::size_t shownRows = 0;
  for (const auto& group : model.groups) {
    middle.push_back("");
    for (const SessionRow& row : group) {
      middle.push_back(sessionLine(row, columns));
    }
  }
  if (middle.size() > room && room > 0) {
    // Count the session rows that stay, then say how many do not fit.
    middle.resize(room - 1);
    for (const std::string& line : middle) {
      shownRows += line.empty() ? 0 : 1;
    }
    middle.push_back(styled(
        dim, TextCells::fitted("  … " + std::to_string(total - shownRows) + " more", columns)));
  }
  middle.resize(std::min(middle.size(), room));
  lines.insert(lines.end(), middle.begin(), middle.end());
  while (lines.size() + bottom.size() < rows) {
    lines.emplace_back();
  }
  lines.insert(lines.end(), bottom.begin(), bottom.end());
  return lines;
}

std::string frame(const std::vector<std::string>& lines) {
  std::string bytes = "\x1b[H";
  for (std::size_t index = 0; index < lines.size(); ++index) {
    bytes += lines[index];
    bytes += "\x1b[0m\x1b[K";
    if (index + 1 < lines.size()) {
      bytes += "\r\n";
    }
  }
  return bytes;
}

}  // namespace tarvel::Island
