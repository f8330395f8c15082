#include "Tools/tarvel-island/Screen.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <unordered_map>

#include "QuoyaCore/SessionPresentation.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "Tools/tarvel-island/TextCells.hpp"

namespace tarvel::Island {
namespace {

constexpr std::string_view reset = "\x1b[0m";
constexpr std::string_view bold = "\x1b[1m";
constexpr std::string_view dim = "\x1b[2m";
constexpr std::string_view reverse = "\x1b[7m";
constexpr std::string_view yellow = "\x1b[33m";
constexpr std::string_view green = "\x1b[32m";
constexpr std::string_view holdStyle = "\x1b[30;43m";  // black on yellow
constexpr std::size_t maximumDepth = 8;

// Whether colours may be written: not when NO_COLOR is set to anything (no-color.org); bold,
// dim and reverse video still mark what they mark.
bool colourAllowed() {
  static const bool allowed = [] {
    const char* setting = std::getenv("NO_COLOR");  // NOLINT(concurrency-mt-unsafe): read once
    return setting == nullptr || *setting == '\0';
  }();
  return allowed;
}

std::string colour(quoya::PixelMascotState mood) {
  if (!colourAllowed()) {
    return "";
  }
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
          .project = session.projectName.value_or(""),
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
      const AgentPromptOption& option = question.options[index];
      line += (index < 9 ? std::to_string(index + 1) + ". " : "   ") + option.label;
      if (option.description) {
        line += " — " + *option.description;
      }
      lines.push_back(std::move(line));
    }
    return lines;
  }
  // Why the agent asks, in its own words, and the rule it suggests keeping (key A).
  if (reply.reason) {
    lines.push_back("Reason: " + *reply.reason);
  }
  if (reply.allowsAlways() && reply.alwaysLabel) {
    lines.push_back("A. " + *reply.alwaysLabel);
  }
  for (std::size_t index = 0; index < reply.options.size(); ++index) {
    const AgentPromptOption& option = reply.options[index];
    lines.push_back((index < 9 ? std::to_string(index + 1) + ". " : "   ") + option.label +
                    (option.description ? " — " + *option.description : std::string()));
  }
  return lines;
}

std::string styled(std::string_view style, const std::string& text) {
  if (!colourAllowed() && style != bold && style != dim && style != reverse) {
    // The hold banner keeps standing out, in reverse video; other colours go.
    return style == holdStyle ? std::string(reverse) + text + std::string(reset) : text;
  }
  return std::string(style) + text + std::string(reset);
}

// A line of key hints with each "[key]" in bold, so that the keys stand out from their words.
std::string keysInBold(const std::string& line) {
  std::string result;
  std::size_t start = 0;
  while (start < line.size()) {
    const auto open = line.find('[', start);
    const auto close = open == std::string::npos ? open : line.find(']', open);
    if (close == std::string::npos) {
      result += line.substr(start);
      break;
    }
    result += line.substr(start, open - start) + std::string(bold) +
              line.substr(open, close + 1 - open) + std::string(reset);
    start = close + 1;
  }
  return result;
}

std::string sessionLine(const SessionRow& row, std::size_t columns) {
  const std::size_t indent = 2 + 2 * std::min(row.depth, maximumDepth);
  if (columns <= indent + 10) {
    return TextCells::fitted(std::string(indent, ' ') + row.title, columns);
  }
  // Wide enough for "└ Claude Code" on a sub-agent's row.
  const std::size_t providerCells = 15;
  const std::size_t stateCells = 16;
  const std::size_t elapsedCells = 4;
  std::size_t rest = columns - indent;
  std::string line(indent, ' ');
  const std::string marker = row.depth > 0 ? "└ " : "";
  // A nested row's name gives up the cells of its indent, so the columns after it line up with
  // those of the row above.
  const std::size_t nameCells =
      std::min(std::max<std::size_t>(2 + providerCells, indent + 6) - indent, rest);
  line += styled(dim, TextCells::fitted(marker + row.provider, nameCells, true));
  rest -= nameCells;
  if (rest > 1) {
    line += ' ';
    --rest;
  }
  const std::size_t fixed = stateCells + elapsedCells + 2;
  if (rest > fixed + 8) {
    std::size_t textCells = rest - fixed;
    // The project first, when there is room for it beside the task.
    if (!row.project.empty() && textCells >= 40) {
      const std::size_t projectCells = std::min<std::size_t>(16, textCells / 5);
      line += TextCells::fitted(row.project, projectCells, true) + " ";
      textCells -= projectCells + 1;
    }
    const std::size_t titleCells = row.activity.empty() ? textCells : (textCells * 2) / 5;
    line += styled(bold, TextCells::fitted(row.title, titleCells, true));
    if (!row.activity.empty() && textCells > titleCells + 1) {
      line += " " + styled(dim, TextCells::fitted(row.activity, textCells - titleCells - 1, true));
    }
    line += " " + colour(row.mood) + TextCells::fitted(row.state, stateCells, true) +
            std::string(reset);
    line += " " + TextCells::fitted(row.elapsed, elapsedCells);
  } else {
    // Narrow: the state first, so that a waiting session is told apart even when cut.
    line += styled(bold, TextCells::fitted(row.state + " · " + row.title, rest));
  }
  return line;
}

// The offered keys as lines of at most `columns` cells; the last line cut with "…" when more
// lines than `maximumLines` would be needed.
std::vector<std::string> keyLines(const std::vector<PromptKeys::OfferedKey>& keys,
                                  std::size_t columns, std::size_t maximumLines) {
  std::vector<std::string> lines(1);
  for (const PromptKeys::OfferedKey& key : keys) {
    const std::string item = "[" + key.key + "] " + key.label;
    std::string& current = lines.back();
    if (current.empty()) {
      current = item;
    } else if (TextCells::width(current) + 2 + TextCells::width(item) <= columns) {
      current += "  " + item;
    } else if (lines.size() < maximumLines) {
      lines.push_back(item);
    } else {
      current += "  " + item;  // cut below
    }
  }
  for (std::string& line : lines) {
    line = TextCells::fitted(line, columns);
  }
  return lines;
}

}  // namespace

std::string_view moodLabel(quoya::PixelMascotState mood) {
  switch (mood) {
    case quoya::PixelMascotState::idle:
      return "Idle";
    case quoya::PixelMascotState::working:
      return "Working";
    case quoya::PixelMascotState::thinking:
      return "Thinking";
    case quoya::PixelMascotState::waiting:
      return "Needs you";
    case quoya::PixelMascotState::completed:
      return "Done";
    case quoya::PixelMascotState::failed:
      return "Failed";
    case quoya::PixelMascotState::unknown:
      return "Unknown";
  }
  return "Unknown";
}

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
                           const PromptKeys::PickerState& picker, Date now,
                           std::optional<std::pair<std::size_t, std::size_t>> counts,
                           const std::map<std::string, std::string>& outcomes) {
  DisplayModel model;
  std::vector<AgentState> states;
  states.reserve(snapshot.activeSessions.size());
  for (const SharedSession& session : snapshot.activeSessions) {
    // A session whose prompt is over does not wait, whatever its last event said.
    const bool over = session->state == AgentState::waitingForUser &&
                      outcomes.count(session->id) != 0 &&
                      !(prompt && prompt->sessionId == session->id);
    states.push_back(over ? AgentState::running : session->state);
  }
  model.mascot = quoya::PixelMascot::representative(states);
  model.moodLabel = std::string(moodLabel(model.mascot));
  // The waiting count first: it is the last thing a narrow terminal cuts.
  if (!counts) {
    std::size_t working = 0;
    for (const SharedSession& session : snapshot.activeSessions) {
      working += isWorking(session->state) && session->state != AgentState::starting ? 1 : 0;
    }
    counts = std::pair(snapshot.attentionCount(), working);
  }
  model.summary =
      std::to_string(counts->first) + " waiting · " + std::to_string(counts->second) + " working";

  // Every visible group, not only the listed ones: groups that wait for the user first, then
  // active ones, then the rest, each in the service's order, members under their roots.
  struct Group {
    int rank = 2;
    std::vector<SessionRow> rows;
  };
  std::vector<Group> groups;
  const auto& members = index.groupMembersByRootID();
  for (const SharedSession& root : index.groupRoots()) {
    if (!index.isVisible(*root)) {
      continue;
    }
    Group group;
    const auto found = members.find(root->id);
    const SessionList single{root};
    for (const SharedSession& member : found != members.end() ? found->second : single) {
      if (!index.isVisible(*member)) {
        continue;
      }
      const auto outcome = outcomes.find(member->id);
      const bool ended = outcome != outcomes.end() && !(prompt && prompt->sessionId == member->id);
      const bool waiting = (member->state == AgentState::waitingForUser && !ended) ||
                           (prompt && prompt->sessionId == member->id);
      group.rank = std::min(group.rank, waiting ? 0 : member->isActive() ? 1 : 2);
      SessionRow row = activityRow(*member, depth(*member, index, root->id), now);
      if (waiting && !member->pendingReply) {
        // No hook waits here: the person answers in the agent's own dialog.
        row.state = "Answer in " + quoya::SessionPresentation::providerLabel(member->provider);
      }
      if (ended) {
        // Its prompt is over: it shows how, until its next event.
        row.state = outcome->second;
        row.mood = quoya::PixelMascotState::completed;
      }
      group.rows.push_back(std::move(row));
    }
    if (!group.rows.empty()) {
      groups.push_back(std::move(group));
    }
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const Group& a, const Group& b) { return a.rank < b.rank; });
  for (Group& group : groups) {
    model.groups.push_back(std::move(group.rows));
  }

  std::optional<SharedSession> session;
  if (prompt) {
    session = index.session(prompt->sessionId);
  }
  // A session whose prompt is over waits for nobody: it is shown in its row only.
  if (!session && snapshot.attentionSession &&
      outcomes.count((*snapshot.attentionSession)->id) == 0) {
    session = *snapshot.attentionSession;
  }
  if (session) {
    const AgentSession& shown = **session;
    PromptView view{.heading = quoya::SessionPresentation::providerLabel(shown.provider),
                    .agent = quoya::SessionPresentation::providerLabel(shown.provider)};
    if (shown.projectName) {
      view.heading += " · " + *shown.projectName;
    }
    if (!shown.task.empty()) {
      view.heading += " · " + shown.task;
    }
    view.directory = shown.workingDirectory;
    if (prompt && prompt->sessionId == shown.id) {
      view.prompt = prompt->reply.prompt;
      view.detail = prompt->reply.fullDetail ? prompt->reply.fullDetail : prompt->reply.detail;
      view.choices = choiceLines(*prompt, picker);
      view.answerable = prompt->answerable;
    } else {
      view.prompt = shown.currentActivity.empty() ? std::string(displayName(shown.state))
                                                  : shown.currentActivity;
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
  model.moodLabel = std::string(quoya::PixelMascot::label(model.mascot));
  model.summary = plural(static_cast<std::int64_t>(store.sessions().size()), "session",
                         "sessions") +
                  " · " + std::to_string(active) + " active · " + std::to_string(waiting) +
                  " waiting";
  model.keys = PromptKeys::offeredKeys(std::nullopt, {}, true);
  return model;
}

namespace {

constexpr std::size_t detailIndent = 4;

std::size_t detailWidth(std::size_t columns) {
  return columns > detailIndent + 4 ? columns - detailIndent : 4;
}

// The prompt block: the list of live prompts, the heading, where the agent works, the prompt,
// its detail (scrolled to fit `room`), choices, and notes. At most `room` lines.
std::vector<std::string> promptBlock(const DisplayModel& model, std::size_t columns,
                                     std::size_t room) {
  std::vector<std::string> lines;
  if (!model.attention || room == 0) {
    return lines;
  }
  const PromptView& view = *model.attention;
  std::string counter;
  if (view.count > 0 && view.position > 0) {
    counter = " " + std::to_string(view.position) + "/" + std::to_string(view.count);
  }
  const std::string remaining = view.remaining ? " · " + *view.remaining + " left " : " ";
  const std::size_t remainingCells = TextCells::width(remaining);
  std::string headingText = (view.holding ? " NEW · Waiting" : " Waiting") + counter + " · " +
                            view.heading;
  const std::size_t headingCells =
      columns > remainingCells ? columns - remainingCells : columns;
  std::string heading = TextCells::fitted(headingText, headingCells, true);
  if (columns > remainingCells) {
    heading += remaining;
  }
  std::vector<std::string> top;
  top.push_back(styled(view.holding ? holdStyle : reverse, heading));
  std::vector<std::string> after;
  after.push_back(styled(bold, TextCells::fitted("  " + view.prompt, columns)));
  std::vector<std::string> choices;
  for (const std::string& choice : view.choices) {
    choices.push_back(TextCells::fitted("  " + choice, columns));
  }
  if (!view.answerable) {
    choices.push_back(styled(
        dim, TextCells::fitted("  Answer in " + view.agent + ": no hook waits for an answer here.",
                               columns)));
  }
  std::vector<std::string> queue;
  if (model.queue.size() > 1) {
    queue.push_back(styled(dim, TextCells::fitted(
                                    "  " + std::to_string(model.queue.size()) +
                                        " prompts wait · [n]/[p] next/previous",
                                    columns)));
    for (std::size_t index = 0; index < model.queue.size(); ++index) {
      const bool shown = model.queueShown == index;
      const std::string line = TextCells::fitted(
          (shown ? "  ▸ " : "    ") + std::to_string(index + 1) + ". " + model.queue[index],
          columns);
      queue.push_back(shown ? styled(bold, line) : line);
    }
  }
  std::optional<std::string> directory;
  if (view.directory) {
    directory = styled(dim, TextCells::fitted("  in " + *view.directory, columns));
  }

  std::vector<std::string> rows;
  if (view.detail) {
    rows = TextCells::wrapped(*view.detail, detailWidth(columns));
  }
  // Room for the detail once everything else is placed; the list of prompts and the working
  // directory give way first, never the heading, the prompt or the choices.
  const auto fixedSize = [&] {
    return top.size() + after.size() + choices.size() + queue.size() + (directory ? 1 : 0);
  };
  const std::size_t wantedDetail = std::min<std::size_t>(rows.size(), 2);
  if (fixedSize() + wantedDetail > room && queue.size() > 2) {
    // The count and the line of the prompt in view only.
    const std::size_t shown = std::min(model.queueShown.value_or(0) + 1, queue.size() - 1);
    queue = {queue[0], queue[shown]};
  }
  if (fixedSize() + wantedDetail > room) {
    queue.clear();
  }
  if (fixedSize() + wantedDetail > room) {
    directory.reset();
  }
  const std::size_t detailRoom = room > fixedSize() ? room - fixedSize() : 0;
  std::vector<std::string> detail;
  if (!rows.empty() && detailRoom > 0) {
    const bool overflow = rows.size() > detailRoom;
    const std::size_t visible = overflow ? std::max<std::size_t>(detailRoom - 1, 1) : rows.size();
    const std::size_t scroll = std::min(view.scroll, rows.size() - visible);
    for (std::size_t index = scroll; index < scroll + visible; ++index) {
      detail.push_back(std::string(detailIndent, ' ') + rows[index]);
    }
    if (overflow && detailRoom > 1) {
      const std::size_t below = rows.size() - scroll - visible;
      std::string note = "  ";
      if (scroll > 0) {
        note += "↑ " + std::to_string(scroll) + " lines above  ";
      }
      if (below > 0) {
        note += "↓ " + std::to_string(below) + " more lines  ";
      }
      note += "([↑]/[↓] scroll)";
      detail.push_back(styled(yellow, TextCells::fitted(note, columns)));
    }
  }
  lines.insert(lines.end(), queue.begin(), queue.end());
  lines.insert(lines.end(), top.begin(), top.end());
  if (directory) {
    lines.push_back(*directory);
  }
  lines.insert(lines.end(), after.begin(), after.end());
  lines.insert(lines.end(), detail.begin(), detail.end());
  lines.insert(lines.end(), choices.begin(), choices.end());
  if (lines.size() > room) {
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(lines.size() - room));
  }
  return lines;
}

}  // namespace

std::size_t detailRows(const PromptView& view, std::size_t columns) {
  return view.detail ? TextCells::wrapped(*view.detail, detailWidth(columns)).size() : 0;
}

std::vector<std::string> render(const DisplayModel& model, std::size_t columns, std::size_t rows) {
  std::vector<std::string> lines;
  if (rows == 0 || columns == 0) {
    return lines;
  }
  // Header: the mascot in its colour, its label, then the counts.
  const std::string label = model.moodLabel;
  const std::string head = colour(model.mascot) + "▣ " + std::string(bold) +
                           TextCells::fitted(label, std::min<std::size_t>(columns, 12)) +
                           std::string(reset);
  const std::size_t headCells = 2 + std::min<std::size_t>(TextCells::width(label), 12);
  std::string header = head;
  if (columns > headCells + 3) {
    header += "  " + TextCells::fitted("Tarvel · " + model.summary, columns - headCells - 2);
  }
  lines.push_back(header);

  // The bottom: notes and keys always; the prompt block in what is left above them, keeping a
  // few rows for the sessions.
  std::vector<std::string> notes;
  if (model.confirmation) {
    notes.push_back(styled(green, TextCells::fitted("  " + *model.confirmation, columns)));
  }
  if (model.message) {
    notes.push_back(styled(yellow, TextCells::fitted(*model.message, columns)));
  }
  for (std::string& line : keyLines(model.keys, columns, rows >= 20 ? 2 : 1)) {
    notes.push_back(keysInBold(line));
  }
  const std::size_t available = rows - 1 > notes.size() ? rows - 1 - notes.size() : 0;
  const std::size_t keepForSessions = rows >= 20 ? 4 : rows >= 12 ? 2 : 0;
  const std::vector<std::string> block =
      promptBlock(model, columns, available > keepForSessions ? available - keepForSessions : 0);
  std::vector<std::string> bottom = block;
  bottom.insert(bottom.end(), notes.begin(), notes.end());
  if (bottom.size() + 1 > rows) {
    bottom.erase(bottom.begin(),
                 bottom.begin() + static_cast<std::ptrdiff_t>(bottom.size() + 1 - rows));
  }

  // The sessions fill what is left, scrolled by whole rows; notes say what is above and below.
  const std::size_t room = rows - 1 - bottom.size();
  std::size_t total = 0;
  for (const auto& group : model.groups) {
    total += group.size();
  }
  // A blank line before each group while everything fits; without them when not, so that the
  // room shows sessions rather than gaps.
  const bool separated = total + model.groups.size() <= room;
  std::vector<std::string> all;
  for (const auto& group : model.groups) {
    if (separated) {
      all.push_back("");
    }
    for (const SessionRow& row : group) {
      all.push_back(sessionLine(row, columns));
    }
  }
  // The last answers below the sessions, only in room they leave.
  if (!model.recentAnswers.empty() && all.size() + model.recentAnswers.size() + 2 <= room) {
    all.push_back("");
    all.push_back(styled(dim, TextCells::fitted("  Last answers", columns)));
    for (const std::string& answer : model.recentAnswers) {
      all.push_back(styled(dim, TextCells::fitted("  " + answer, columns)));
    }
  }
  std::vector<std::string> middle;
  if (total == 0 && room > 1) {
    middle.push_back("");
    middle.push_back(styled(dim, TextCells::fitted("  No agent activity yet.", columns)));
  } else if (all.size() <= room) {
    middle = all;
  } else if (room > 0) {
    const std::size_t visible = room >= 3 ? room - 2 : room;
    const std::size_t scroll = std::min(model.sessionScroll, all.size() - visible);
    const auto countRows = [&](std::size_t from, std::size_t to) {
      return static_cast<std::size_t>(std::count_if(
          all.begin() + static_cast<std::ptrdiff_t>(from),
          all.begin() + static_cast<std::ptrdiff_t>(to),
          [](const std::string& line) { return !line.empty(); }));
    };
    if (room >= 3) {
      middle.push_back(styled(dim, TextCells::fitted(
                                       scroll > 0 ? "  ↑ " + std::to_string(countRows(0, scroll)) +
                                                        " above ([PgUp])"
                                                  : "",
                                       columns)));
    }
    middle.insert(middle.end(), all.begin() + static_cast<std::ptrdiff_t>(scroll),
                  all.begin() + static_cast<std::ptrdiff_t>(scroll + visible));
    if (room >= 3) {
      const std::size_t below = countRows(scroll + visible, all.size());
      middle.push_back(styled(
          dim, TextCells::fitted(below > 0 ? "  … " + std::to_string(below) + " more ([PgDn])"
                                           : "",
                                 columns)));
    }
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
  std::string bytes;
  for (std::size_t index = 0; index < lines.size(); ++index) {
    // Position, clear the whole line, then write it: clearing after the text would erase the
    // last cell of a line that fills the width (the cursor stays on it without line wrap).
    bytes += "\x1b[" + std::to_string(index + 1) + ";1H\x1b[2K";
    bytes += lines[index];
    bytes += "\x1b[0m";
  }
  return bytes;
}

}  // namespace tarvel::Island
