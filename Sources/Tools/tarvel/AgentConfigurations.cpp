#include "Tools/tarvel/AgentConfigurations.hpp"

#include <algorithm>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "Tools/tarvel/AgentPlugin.hpp"
#include "Tools/tarvel/JSONText.hpp"

namespace tarvel::AgentConfigurations {
namespace {

// One group of ours in an event list: the event, the tool matcher (absent: the agent's "all"),
// and the command's time limit in the unit the agent expects.
struct HookGroup {
  std::string event;
  std::optional<std::string> matcher;
  int timeout = passiveTimeoutSeconds;
};

// The hook entries of the agent's row, in the order written.
std::vector<HookGroup> groupsFor(const AgentRow& row, int holdSeconds) {
  const int unit = row.configuration.timeUnit == HookTimeUnit::milliseconds ? 1000 : 1;
  std::vector<HookGroup> groups;
  for (const HookEntry& entry : row.hookEntries) {
    HookGroup group{.event = std::string(entry.event),
                    .matcher = AgentCatalogue::matcherText(row, entry)};
    const int seconds = entry.capSeconds.value_or(
        entry.limit == HookTimeLimit::waiting ? waitingTimeoutSeconds(holdSeconds)
                                              : passiveTimeoutSeconds);
    group.timeout = seconds * unit;
    groups.push_back(std::move(group));
  }
  return groups;
}

bool isPlainPathCharacter(char character) {
  return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
         (character >= '0' && character <= '9') || character == '/' || character == '.' ||
         character == '_' || character == '-' || character == '+' || character == ',' ||
         character == '@' || character == ':';
}

std::string shellQuoted(std::string_view text) {
  for (const char character : text) {
    if (!isPlainPathCharacter(character)) {
      std::string quoted = "'";
      for (const char each : text) {
        if (each == '\'') {
          quoted += "'\\''";
        } else {
          quoted += each;
        }
      }
      return quoted + "'";
    }
  }
  return std::string(text);
}

using JSONText::Node;
using JSONText::Splice;

// The indices of the members called `key`.
std::vector<std::size_t> membersNamed(const Node& object, std::string_view key) {
  std::vector<std::size_t> found;
  for (std::size_t index = 0; index < object.keys.size(); ++index) {
    if (object.keys[index] == key) {
      found.push_back(index);
    }
  }
  return found;
}

Document documentAt(std::string_view text, const Node& node) {
  return Document::parse(text.substr(node.begin, node.end - node.begin));
}

std::string quotedKey(std::string_view key) { return Document(std::string(key)).dump(); }

// A configuration's text (whitespace alone read as an empty object), its map, and which member
// of the top object is "hooks".
struct Parsed {
  std::string text;
  Node root;
  std::optional<std::size_t> hooksMember;
};

// The parsed configuration, or why it cannot be edited: not strict JSON, not an object, "hooks"
// or "version" twice, a "hooks" that is not an object or holds a key twice, a command list's
// "version" other than 1, or a list of `listsMustBeArrays` that is not an array.
Result<Parsed, EditProblem> parsedConfiguration(const AgentRow& agent, std::string_view original,
                                                const std::vector<std::string>& listsMustBeArrays) {
  Parsed parsed{.text = original.find_first_not_of(" \t\r\n") == std::string_view::npos
                            ? std::string("{}")
                            : std::string(original)};
  // Mapped: the top object, "hooks", the event lists, their groups and the groups' hook lists,
  // whose entries are the deepest values looked at.
  constexpr std::size_t mappedLevels = 5;
  auto root = JSONText::parse(parsed.text, mappedLevels);
  if (!root) {
    const auto& problem = root.error();
    std::string reason = problem.description + " (" +
                         (problem.description == "holds comments" ? "the first at " : "") +
                         "line " + std::to_string(problem.line) + ", column " +
                         std::to_string(problem.column) + ")";
    if (problem.description == "holds comments") {
      reason += "; tarvel edits plain JSON only: remove them or add the hooks by hand";
    }
    return EditProblem{reason};
  }
  parsed.root = std::move(*root);
  const Node& top = parsed.root;
  if (top.kind != Node::Kind::object) {
    return EditProblem{"cannot be edited safely: the top level is not a JSON object"};
  }
  for (const char* key : {"hooks", "version"}) {
    if (membersNamed(top, key).size() > 1) {
      return EditProblem{"cannot be edited safely: it has the key \"" + std::string(key) +
                         "\" twice, and which one the agent reads is unclear"};
    }
  }
  if (agent.configuration.format == HookFileFormat::commandList) {
    const auto version = membersNamed(top, "version");
    if (!version.empty() && documentAt(parsed.text, top.children[version[0]]) != 1) {
      return EditProblem{"cannot be edited safely: its \"version\" is not 1"};
    }
  }
  const auto hooks = membersNamed(top, "hooks");
  if (hooks.empty()) {
    return parsed;
  }
  parsed.hooksMember = hooks[0];
  const Node& hooksObject = top.children[hooks[0]];
  if (hooksObject.kind != Node::Kind::object) {
    return EditProblem{"cannot be edited safely: its \"hooks\" member is not an object"};
  }
  for (std::size_t index = 0; index < hooksObject.keys.size(); ++index) {
    const std::string& event = hooksObject.keys[index];
    if (membersNamed(hooksObject, event).size() > 1) {
      return EditProblem{"cannot be edited safely: its \"hooks\" object has the key \"" + event +
                         "\" twice"};
    }
    if (hooksObject.children[index].kind != Node::Kind::array &&
        std::find(listsMustBeArrays.begin(), listsMustBeArrays.end(), event) !=
            listsMustBeArrays.end()) {
      return EditProblem{"cannot be edited safely: its \"hooks\" entry for " + event +
                         " is not an array"};
    }
  }
  return parsed;
}

// Removes our entries from one event list. Lists of matcher groups hold groups with a "hooks"
// array; command lists hold the entries themselves. A group left without hooks by the removal goes
// too. True when every element of the list goes (the caller then removes the list).
bool removeOurs(std::string_view text, const Node& list, std::string_view command,
                std::vector<Splice>& splices) {
  std::vector<std::size_t> removedElements;
  std::vector<Splice> inner;
  for (std::size_t index = 0; index < list.children.size(); ++index) {
    const Node& element = list.children[index];
    if (element.kind != Node::Kind::object) {
      continue;
    }
    if (isOurEntry(documentAt(text, element), command)) {
      removedElements.push_back(index);
      continue;
    }
    const auto hooks = membersNamed(element, "hooks");
    if (hooks.size() != 1 || element.children[hooks[0]].kind != Node::Kind::array) {
      continue;
    }
    const Node& entries = element.children[hooks[0]];
    std::vector<std::size_t> removedHooks;
    for (std::size_t entry = 0; entry < entries.children.size(); ++entry) {
      if (isOurEntry(documentAt(text, entries.children[entry]), command)) {
        removedHooks.push_back(entry);
      }
    }
    if (removedHooks.empty()) {
      continue;
    }
    if (removedHooks.size() == entries.children.size()) {
      removedElements.push_back(index);
      continue;
    }
    const auto splicesOfGroup = JSONText::removingChildren(entries, removedHooks);
    inner.insert(inner.end(), splicesOfGroup.begin(), splicesOfGroup.end());
  }
  splices.insert(splices.end(), inner.begin(), inner.end());
  if (!removedElements.empty() && removedElements.size() == list.children.size()) {
    return true;
  }
  if (!removedElements.empty()) {
    const auto removal = JSONText::removingChildren(list, removedElements);
    splices.insert(splices.end(), removal.begin(), removal.end());
  }
  return false;
}

// A dump of `value` indented with `unit` (compact when `unit` is empty).
std::string dumped(const Document& value, std::string_view unit) {
  if (unit.empty()) {
    return value.dump();
  }
  if (unit.find_first_not_of(unit.front()) == std::string_view::npos) {
    return value.dump(static_cast<int>(unit.size()), unit.front());
  }
  return value.dump(2);
}

// The command of one group: when the agent's own documents name no event, the command does.
std::string commandFor(const AgentRow& agent, const HookGroup& group, std::string_view command) {
  return agent.configuration.eventOnCommandLine
             ? std::string(command) + " --event " + shellQuoted(group.event)
             : std::string(command);
}

Document entryFor(const AgentRow& agent, const HookGroup& group, std::string_view command) {
  const std::string written = commandFor(agent, group, command);
  if (agent.configuration.format == HookFileFormat::commandList) {
    return Document{{"command", written}};
  }
  if (agent.configuration.format == HookFileFormat::typedCommands) {
    return Document{{"type", "command"}, {"bash", written}, {"timeoutSec", group.timeout}};
  }
  Document entry = Document::object();
  if (group.matcher) {
    entry["matcher"] = *group.matcher;
  }
  entry["hooks"] = Document::array(
      {Document{{"type", "command"}, {"command", written}, {"timeout", group.timeout}}});
  return entry;
}

// The text without our entries. With `dropEmptied`, event lists and the "hooks" object that only
// our entries filled go too; without, they stay empty ("[]"), so that entries added again land
// where they were and a second install changes nothing.
Result<std::string, EditProblem> removedEntries(const AgentRow& agent, std::string_view text,
                                                std::string_view command, bool dropEmptied) {
  auto parsed = parsedConfiguration(agent, text, {});
  if (!parsed) {
    return parsed.error();
  }
  if (!parsed->hooksMember) {
    return std::string(text);
  }
  const Node& top = parsed->root;
  const Node& hooks = top.children[*parsed->hooksMember];
  std::vector<Splice> splices;
  std::vector<std::size_t> emptiedLists;
  for (std::size_t index = 0; index < hooks.children.size(); ++index) {
    const Node& list = hooks.children[index];
    if (list.kind == Node::Kind::array && removeOurs(parsed->text, list, command, splices)) {
      emptiedLists.push_back(index);
    }
  }
  if (emptiedLists.empty()) {
    // Nothing emptied: only the splices inside lists, if any.
  } else if (!dropEmptied) {
    for (const std::size_t list : emptiedLists) {
      splices.push_back(JSONText::emptying(hooks.children[list]));
    }
  } else if (emptiedLists.size() < hooks.children.size()) {
    const auto removal = JSONText::removingChildren(hooks, emptiedLists);
    std::erase_if(splices, [&](const Splice& splice) {
      return std::any_of(emptiedLists.begin(), emptiedLists.end(), [&](std::size_t list) {
        return splice.begin >= hooks.children[list].begin && splice.end <= hooks.children[list].end;
      });
    });
    splices.insert(splices.end(), removal.begin(), removal.end());
  } else if (top.children.size() > 1) {
    splices = JSONText::removingChildren(top, {*parsed->hooksMember});
  } else {
    splices = {JSONText::emptying(top)};
  }
  if (splices.empty()) {
    return std::string(text);
  }
  return JSONText::applied(parsed->text, std::move(splices));
}

}  // namespace

std::filesystem::path configurationPath(const AgentRow& agent, const std::filesystem::path& home,
                                        const std::map<std::string, std::string>& variables) {
  const std::filesystem::path file(agent.configuration.file);
  if (!agent.configuration.folderVariable.empty()) {
    const auto moved = variables.find(std::string(agent.configuration.folderVariable));
    if (moved != variables.end() && moved->second.starts_with('/') && file.begin() != file.end()) {
      return std::filesystem::path(moved->second) / file.lexically_relative(*file.begin());
    }
  }
  return home / file;
}

std::filesystem::path relayPath(const std::filesystem::path& home) {
  return home / ".tarvel" / "bin" / "tarvel-hook";
}

std::string hookCommand(const AgentRow& agent, const std::filesystem::path& home) {
  return shellQuoted(relayPath(home).string()) + " --provider " + std::string(agent.installName);
}

bool isOurEntry(const Document& entry, std::string_view command) {
  if (!entry.is_object()) {
    return false;
  }
  auto found = entry.find("command");
  if (found == entry.end()) {
    found = entry.find("bash");  // GitHub Copilot CLI's command key
  }
  if (found == entry.end() || !found->is_string()) {
    return false;
  }
  const std::string_view written = found->get_ref<const std::string&>();
  if (written == command) {
    return true;
  }
  // Ours for one event: "--event" and one plain word, as commandFor writes it.
  const std::string withEvent = std::string(command) + " --event ";
  if (!written.starts_with(withEvent) || written.size() == withEvent.size()) {
    return false;
  }
  const std::string_view event = written.substr(withEvent.size());
  return std::all_of(event.begin(), event.end(), isPlainPathCharacter) &&
         event.find('/') == std::string_view::npos;
}

namespace {

bool isBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// A plugin file is ours alone: one another program or the user wrote is never edited.
constexpr std::string_view notOurPlugin =
    "was not written by tarvel install; move it out of the plugin folder first";

}  // namespace

Result<std::string, EditProblem> withoutOurEntries(const AgentRow& agent, std::string_view text,
                                                   std::string_view command) {
  if (agent.configuration.format == HookFileFormat::plugin) {
    if (isBlank(text)) {
      return std::string(text);
    }
    if (!AgentPlugin::isOurs(text)) {
      return EditProblem{std::string(notOurPlugin)};
    }
    return std::string();
  }
  return removedEntries(agent, text, command, true);
}

Result<std::string, EditProblem> withOurEntries(const AgentRow& agent, std::string_view text,
                                                std::string_view command, int holdSeconds) {
  if (agent.configuration.format == HookFileFormat::plugin) {
    if (!isBlank(text) && !AgentPlugin::isOurs(text)) {
      return EditProblem{std::string(notOurPlugin)};
    }
    return AgentPlugin::text(agent, command, waitingTimeoutSeconds(holdSeconds),
                             passiveTimeoutSeconds);
  }
  auto cleared = removedEntries(agent, text, command, false);
  if (!cleared) {
    return cleared;
  }
  const auto parsed = parsedConfiguration(agent, *cleared, hookedEvents(agent));
  if (!parsed) {
    return parsed.error();
  }
  const Node& top = parsed->root;
  const std::string unit = JSONText::indentUnit(parsed->text, top);

  // Our entries per event, in the order written.
  std::vector<std::pair<std::string, std::vector<Document>>> events;
  for (const auto& group : groupsFor(agent, holdSeconds)) {
    if (events.empty() || events.back().first != group.event) {
      events.emplace_back(std::string(group.event), std::vector<Document>{});
    }
    events.back().second.push_back(entryFor(agent, group, command));
  }

  std::vector<Splice> splices;
  std::vector<std::string> topItems;
  if (agent.configuration.format == HookFileFormat::commandList &&
      membersNamed(top, "version").empty()) {
    topItems.push_back(quotedKey("version") + (unit.empty() ? ":" : ": ") + "1");
  }
  if (!parsed->hooksMember) {
    Document hooks = Document::object();
    for (const auto& [event, entries] : events) {
      hooks[event] = entries;
    }
    topItems.push_back(quotedKey("hooks") + (unit.empty() ? ":" : ": ") + dumped(hooks, unit));
  } else {
    const Node& hooks = top.children[*parsed->hooksMember];
    std::vector<std::string> newLists;
    for (const auto& [event, entries] : events) {
      const auto existing = membersNamed(hooks, event);
      if (existing.empty()) {
        newLists.push_back(quotedKey(event) + (unit.empty() ? ":" : ": ") +
                           dumped(Document(entries), unit));
        continue;
      }
      std::vector<std::string> items;
      for (const auto& entry : entries) {
        items.push_back(dumped(entry, unit));
      }
      splices.push_back(
          JSONText::appending(parsed->text, hooks.children[existing[0]], items, unit));
    }
    if (!newLists.empty()) {
      splices.push_back(JSONText::appending(parsed->text, hooks, newLists, unit));
    }
  }
  if (!topItems.empty()) {
    splices.push_back(JSONText::appending(parsed->text, top, topItems, unit));
  }
  std::string result = JSONText::applied(parsed->text, std::move(splices));
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    result += "\n";  // a new file ends its last line
  }
  return result;
}

std::vector<std::string> hookedEvents(const AgentRow& agent) {
  std::vector<std::string> events;
  for (const auto& group : groupsFor(agent, AgentReplyPolicy::waitSeconds)) {
    if (events.empty() || events.back() != group.event) {
      events.emplace_back(group.event);
    }
  }
  return events;
}

std::optional<int> shortestWaitingLimit(const AgentRow& agent, std::string_view text,
                                        std::string_view command) {
  if (agent.configuration.format == HookFileFormat::plugin) {
    return AgentPlugin::isOurs(text) ? AgentPlugin::waitingLimitSeconds(text) : std::nullopt;
  }
  const Document document = Document::parse(text, nullptr, false);
  if (document.is_discarded()) {
    return std::nullopt;
  }
  const int unit = agent.configuration.timeUnit == HookTimeUnit::milliseconds ? 1000 : 1;
  std::optional<int> shortest;
  // Our entries sit a few levels down ("hooks" > event > group > "hooks" > entry), in whichever
  // shape the agent reads: every object of the document is looked at, nesting being bounded by
  // the parser's own limit on what install accepts.
  std::vector<const Document*> pending{&document};
  while (!pending.empty()) {
    const Document* node = pending.back();
    pending.pop_back();
    if (node->is_object() && isOurEntry(*node, command)) {
      // "timeout" in the agent's unit, or Copilot's "timeoutSec".
      auto limit = node->find("timeout");
      double perSecond = unit;
      if (limit == node->end()) {
        limit = node->find("timeoutSec");
        perSecond = 1;
      }
      if (limit != node->end() && limit->is_number()) {
        const double seconds = limit->get<double>() / perSecond;
        if (seconds > passiveTimeoutSeconds) {
          const int whole = static_cast<int>(std::min<double>(seconds, 1e9));
          shortest = shortest ? std::min(*shortest, whole) : whole;
        }
      }
      continue;
    }
    if (node->is_structured()) {
      for (const auto& child : *node) {
        pending.push_back(&child);
      }
    }
  }
  return shortest;
}

}  // namespace tarvel::AgentConfigurations
