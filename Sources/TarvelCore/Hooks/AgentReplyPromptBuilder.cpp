#include "TarvelCore/Hooks/AgentReplyPromptBuilder.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/Claude/ClaudeEventPolicy.hpp"
#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::AgentReplyPromptBuilder {

namespace {

constexpr std::size_t promptLimit = 160;
constexpr std::size_t detailLimit = 400;
constexpr std::size_t labelLimit = 48;
constexpr std::size_t descriptionLimit = 1024;

using ProviderEventPolicy::concise;

// A detail shortened to one line; a detail with nothing left to show is absent.
std::optional<std::string> shortDetail(std::string_view text) {
  std::string shortened = concise(text, detailLimit);
  if (shortened.empty()) {
    return std::nullopt;
  }
  return shortened;
}

// The trimmed string when `value` is a string with something in it.
std::optional<std::string> nonEmptyString(const JSONValue* value) {
  if (value == nullptr || value->stringValue() == nullptr) {
    return std::nullopt;
  }
  return nonEmpty(*value->stringValue());
}

// The first string member among `keys` of the tool input.
const std::string* firstStringMember(const AgentHookPayload& payload,
                                     std::initializer_list<std::string_view> keys) {
  for (const std::string_view key : keys) {
    if (const std::string* text = ProviderEventPolicy::stringInputMember(payload, key)) {
      return text;
    }
  }
  return nullptr;
}

// Every line of `text` behind `marker`, so that removed and added text read apart.
void appendMarkedLines(std::string& out, std::string_view marker, std::string_view text) {
  for (const std::string& line : Text::split(text, "\n")) {
    out += '\n';
    out += marker;
    out += line;
  }
}

// One replacement of an edit: the old text, then the new.
void appendChange(std::string& out, const JSONValue& change) {
  for (const auto& [oldKey, newKey] :
       {std::pair{"old_string", "new_string"}, std::pair{"oldString", "newString"},
        std::pair{"old_str", "new_str"}}) {
    const JSONValue* oldText = change[oldKey];
    const JSONValue* newText = change[newKey];
    if ((oldText != nullptr && oldText->stringValue() != nullptr) ||
        (newText != nullptr && newText->stringValue() != nullptr)) {
      if (const JSONValue* every = change["replace_all"];
          every != nullptr && every->boolValue().value_or(false)) {
        out += "\n(every occurrence)";
      }
      if (oldText != nullptr && oldText->stringValue() != nullptr) {
        appendMarkedLines(out, "- ", *oldText->stringValue());
      }
      if (newText != nullptr && newText->stringValue() != nullptr) {
        appendMarkedLines(out, "+ ", *newText->stringValue());
      }
      return;
    }
  }
}

constexpr std::array<std::string_view, 2> webFetchTools{"webfetch", "web_fetch"};

bool isOneOf(std::string_view identifier, std::span<const std::string_view> names) {
  return std::find(names.begin(), names.end(), identifier) != names.end();
}

// The path and the change of a file edit (Edit, MultiEdit, Write, NotebookEdit, replace,
// write_file); absent when the input holds no change.
std::optional<std::string> editDetail(const AgentHookPayload& payload) {
  const JSONValue& input = *payload.toolInput;
  const std::string* path =
      firstStringMember(payload, {"file_path", "filePath", "path", "notebook_path"});
  std::string out = path != nullptr ? *path : std::string("(no file named)");
  const std::size_t start = out.size();
  appendChange(out, input);
  if (const JSONValue* edits = input["edits"]; edits != nullptr && edits->arrayValue() != nullptr) {
    for (const JSONValue& edit : *edits->arrayValue()) {
      appendChange(out, edit);
    }
  }
  if (const std::string* content = firstStringMember(payload, {"content", "new_source"})) {
    out += "\n(whole content)";
    appendMarkedLines(out, "+ ", *content);
  }
  if (out.size() == start) {
    return std::nullopt;
  }
  return out;
}

std::string compactJSON(const JSONValue& value) {
  // Hook strings are valid UTF-8 once parsed; replacing keeps even a bad byte from throwing.
  return value.toJSON().dump(-1, ' ', false, Json::error_handler_t::replace);
}

AgentPendingReply base(const UUID& replyId, AgentPromptKind kind) {
  return AgentPendingReply{.replyId = replyId,
                           .kind = kind,
                           .options = {},
                           .questions = std::vector<AgentPromptQuestion>{},
                           .grants = {}};
}

// What one suggested standing rule does, in words; empty for a kind not known here.
std::string suggestionWords(const JSONValue& suggestion) {
  const auto* object = suggestion.objectValue();
  if (object == nullptr) {
    return {};
  }
  const auto member = [&](std::string_view key) -> const JSONValue* {
    const auto found = object->find(std::string(key));
    return found == object->end() ? nullptr : &found->second;
  };
  const auto type = nonEmptyString(member("type"));
  const auto strings = [](const JSONValue* list, const auto& word) {
    std::string text;
    if (list == nullptr || list->arrayValue() == nullptr) {
      return text;
    }
    for (const JSONValue& element : *list->arrayValue()) {
      const std::string one = word(element);
      if (!one.empty()) {
        text += (text.empty() ? "" : ", ") + one;
      }
    }
    return text;
  };
  if (type == "addRules") {
    const auto behavior = nonEmptyString(member("behavior"));
    if (behavior && *behavior != "allow") {
      return {};
    }
    return strings(member("rules"), [](const JSONValue& rule) -> std::string {
      const auto* fields = rule.objectValue();
      if (fields == nullptr) {
        return {};
      }
      const auto tool = fields->find("toolName");
      const auto content = fields->find("ruleContent");
      const auto toolName =
          tool == fields->end() ? std::nullopt : nonEmptyString(&tool->second);
      const auto ruleContent =
          content == fields->end() ? std::nullopt : nonEmptyString(&content->second);
      if (!toolName) {
        return {};
      }
      return ruleContent ? *toolName + "(" + *ruleContent + ")" : *toolName;
    });
  }
  if (type == "addDirectories") {
    const std::string directories = strings(member("directories"), [](const JSONValue& entry) {
      return nonEmptyString(&entry).value_or("");
    });
    return directories.empty() ? std::string() : "access to " + directories;
  }
  if (type == "setMode") {
    const auto mode = nonEmptyString(member("mode"));
    if (mode == "acceptEdits") {
      return "edits";
    }
    return {};
  }
  return {};
}

// The "always" choice of a permission prompt whose agent suggests standing rules: its words and
// the suggestions as sent. Absent without a suggestion.
void offerAlways(const AgentHookPayload& payload, AgentPendingReply& reply) {
  const JSONValue* suggestions =
      payload.permissionSuggestions ? &*payload.permissionSuggestions : nullptr;
  if (suggestions == nullptr || suggestions->arrayValue() == nullptr ||
      suggestions->arrayValue()->empty()) {
    return;
  }
  std::string words;
  for (const JSONValue& suggestion : *suggestions->arrayValue()) {
    const std::string one = suggestionWords(suggestion);
    if (!one.empty()) {
      words += (words.empty() ? "" : " and ") + one;
    }
  }
  reply.grants.push_back(AgentReplyGrant::always);
  reply.alwaysLabel =
      concise("Always allow " + (words.empty() ? "as the agent suggests" : words), promptLimit);
  reply.alwaysRule = bounded(compactJSON(*suggestions), fullDetailLimit);
}

AgentPendingReply permissionPrompt(const AgentHookPayload& payload, const UUID& replyId) {
  AgentPendingReply reply = base(replyId, AgentPromptKind::permission);
  reply.grants = {AgentReplyGrant::deny, AgentReplyGrant::allow};
  std::optional<std::string> command;
  if (const std::string* text = ProviderEventPolicy::stringInputMember(payload, "command")) {
    command = nonEmpty(*text);
  }
  const std::string* path = nullptr;
  for (const std::string_view key : {"file_path", "filePath", "path"}) {
    if ((path = ProviderEventPolicy::stringInputMember(payload, key)) != nullptr) {
      break;
    }
  }
  reply.fullDetail = fullDetail(payload);
  // The agent's own words for why (Codex's stated reason, Claude's description of a command).
  if (const std::string* reason = ProviderEventPolicy::stringInputMember(payload, "description")) {
    if (auto text = nonEmpty(*reason)) {
      reply.reason = concise(*text, detailLimit);
    }
  }
  offerAlways(payload, reply);
  if (command) {
    reply.prompt = "Allow this command?";
    reply.detail = shortDetail(*command);
    return reply;
  }
  reply.prompt = ClaudeEventPolicy::approvalActivity(payload);
  if (path != nullptr) {
    reply.detail = shortDetail(*path);
  } else if (payload.toolName) {
    reply.detail =
        shortDetail("Allow " + ProviderEventPolicy::displayTool(*payload.toolName) + "?");
  }
  return reply;
}

AgentPendingReply questionPrompt(const AgentHookPayload& payload, const UUID& replyId) {
  AgentPendingReply reply = base(replyId, AgentPromptKind::question);
  std::vector<AgentPromptQuestion> questions =
      questionModels(ProviderEventPolicy::inputMember(payload, "questions"));
  if (questions.empty()) {
    reply.prompt = "Answer in Claude";
    reply.detail = "Tarvel cannot represent this question faithfully.";
    return reply;
  }
  if (questions.size() == 1) {
    reply.prompt = concise(questions.front().text, promptLimit);
    reply.options = questions.front().options;
  } else {
    reply.prompt = "Answer " + std::to_string(questions.size()) + " questions";
  }
  reply.grants = {AgentReplyGrant::deny};
  reply.questions = std::move(questions);
  return reply;
}

AgentPendingReply planPrompt(const AgentHookPayload& payload, const UUID& replyId) {
  AgentPendingReply reply = base(replyId, AgentPromptKind::plan);
  reply.prompt = "Exit plan mode and start editing?";
  reply.grants = {AgentReplyGrant::deny, AgentReplyGrant::allow};
  const std::string* plan = ProviderEventPolicy::stringInputMember(payload, "plan");
  if (plan == nullptr) {
    plan = ProviderEventPolicy::stringInputMember(payload, "allowedPrompts");
  }
  if (plan != nullptr) {
    reply.detail = shortDetail(*plan);
    reply.fullDetail = bounded(*plan, fullDetailLimit);
  }
  return reply;
}

AgentPendingReply elicitationPrompt(const AgentHookPayload& payload, const UUID& replyId) {
  AgentPendingReply reply = base(replyId, AgentPromptKind::elicitation);
  std::optional<std::string> text = nonEmpty(payload.notificationMessage);
  if (!text) {
    text = nonEmpty(payload.prompt);
  }
  reply.prompt = concise(text.value_or("Needs approval"), promptLimit);
  reply.grants = {AgentReplyGrant::deny, AgentReplyGrant::cancel};
  return reply;
}

}  // namespace

std::optional<AgentPendingReply> make(const AgentHookPayload& payload, const UUID& replyId) {
  if (const auto tool = AgentCatalogue::interactiveToolOfAnyAgent(payload.toolName)) {
    return *tool == InteractiveTool::plan ? planPrompt(payload, replyId)
                                          : questionPrompt(payload, replyId);
  }
  if (HookEventNames::fromRawEventName(payload.hookEventName) == HookEventName::elicitation ||
      ClaudeEventPolicy::isWaitingNotification(payload.notificationType)) {
    return elicitationPrompt(payload, replyId);
  }
  return permissionPrompt(payload, replyId);
}

std::optional<std::string> fullDetail(const AgentHookPayload& payload) {
  if (!payload.toolInput) {
    return std::nullopt;
  }
  if (const std::string* command = ProviderEventPolicy::stringInputMember(payload, "command");
      command != nullptr && nonEmpty(*command)) {
    std::string text = Text::trimmed(*command);
    // Where it runs, when the agent says so beside the command.
    if (const std::string* directory =
            firstStringMember(payload, {"workdir", "cwd", "dir_path", "directory"})) {
      text += "\n(in " + *directory + ")";
    }
    return bounded(text, fullDetailLimit);
  }
  const std::string identifier = ProviderEventPolicy::toolIdentifier(payload.toolName.value_or(""));
  // Only the agents' file edit tools are shown as a change (and only when their input holds one):
  // any other tool's input is shown whole, so that no member of an unknown tool is left out of
  // what the user approves.
  if (AgentCatalogue::isEditTool(identifier)) {
    if (auto change = editDetail(payload)) {
      return bounded(*change, fullDetailLimit);
    }
  }
  if (isOneOf(identifier, webFetchTools)) {
    std::string text;
    if (const std::string* url = ProviderEventPolicy::stringInputMember(payload, "url")) {
      text = "URL: " + *url;
    }
    if (const std::string* prompt = ProviderEventPolicy::stringInputMember(payload, "prompt")) {
      text += (text.empty() ? "Prompt: " : "\nPrompt: ") + *prompt;
    }
    if (!text.empty()) {
      return bounded(text, fullDetailLimit);
    }
  }
  return bounded(compactJSON(*payload.toolInput), fullDetailLimit);
}

std::string bounded(std::string_view text, std::size_t maximumBytes) {
  if (text.size() <= maximumBytes) {
    return std::string(text);
  }
  const std::vector<std::size_t> boundaries = Text::characterBoundaries(text);
  const std::size_t characters = boundaries.size() - 1;
  const auto mark = [](std::size_t left) {
    return "… (" + std::to_string(left) + " more characters)";
  };
  // The mark for every character left out is the longest it can be: room for the text is
  // measured against it, so the result never passes the limit.
  const std::size_t markBytes = mark(characters).size();
  const std::size_t room = maximumBytes > markBytes ? maximumBytes - markBytes : 0;
  const auto end = std::upper_bound(boundaries.begin(), boundaries.end(), room);
  const auto kept = static_cast<std::size_t>(end - boundaries.begin()) - 1;
  return std::string(text.substr(0, boundaries[kept])) + mark(characters - kept);
}

std::vector<AgentPromptQuestion> questionModels(const JSONValue* value) {
  std::vector<AgentPromptQuestion> questions;
  const JSONValue::Array* elements = value != nullptr ? value->arrayValue() : nullptr;
  if (elements == nullptr || elements->empty() || elements->size() > 4) {
    return questions;
  }
  for (const JSONValue& element : *elements) {
    if (element.objectValue() == nullptr) {
      continue;
    }
    std::optional<std::string> text = nonEmptyString(element["question"]);
    std::vector<AgentPromptOption> choices = options(element["options"]);
    if (!text || choices.empty()) {
      continue;
    }
    const JSONValue* multiSelect = element["multiSelect"];
    questions.push_back(AgentPromptQuestion{
        .text = std::move(*text),
        .header = nonEmptyString(element["header"]),
        .options = std::move(choices),
        .allowsMultiple = multiSelect != nullptr && multiSelect->boolValue().value_or(false),
    });
  }
  return questions;
}

std::vector<AgentPromptOption> options(const JSONValue* value) {
  std::vector<AgentPromptOption> choices;
  const JSONValue::Array* elements = value != nullptr ? value->arrayValue() : nullptr;
  if (elements == nullptr) {
    return choices;
  }
  for (std::size_t index = 0; index < elements->size(); ++index) {
    const JSONValue& element = (*elements)[index];
    std::optional<std::string> label;
    std::optional<std::string> description;
    if (element.objectValue() != nullptr) {
      for (const std::string_view key : {"label", "title", "text"}) {
        if (auto text = nonEmptyString(element[key])) {
          label = concise(*text, labelLimit);
          break;
        }
      }
      if (auto text = nonEmptyString(element["description"])) {
        description = bounded(*text, descriptionLimit);
      }
    } else if (const std::string* text = element.stringValue()) {
      label = nonEmpty(*text);
    }
    if (label) {
      choices.push_back(AgentPromptOption{.id = "option-" + std::to_string(index),
                                          .label = std::move(*label),
                                          .description = std::move(description)});
    }
  }
  return choices;
}

}  // namespace tarvel::AgentReplyPromptBuilder
