#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"

#include <array>

#include <utf8proc.h>

#include "TarvelCore/Hooks/Codex/CodexEventPolicy.hpp"
#include "TarvelCore/Hooks/ProviderTextLines.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::ProviderEventPolicy {
namespace {

constexpr std::string_view ellipsis = "\u2026";

constexpr std::array<std::string_view, 3> patchFileHeaders{
    "*** Update File: ",
    "*** Add File: ",
    "*** Delete File: ",
};

constexpr std::array<std::pair<std::string_view, std::string_view>, 11> failureClasses{{
    {"rate_limit", "Usage limit reached"},
    {"max_output_tokens", "Output limit reached"},
    {"authentication_failed", "Authentication failed"},
    {"invalid_request", "Invalid request"},
    {"server_error", "Server error"},
    {"overloaded", "Provider overloaded"},
    {"billing_error", "Billing error"},
    {"model_not_found", "Model not found"},
    {"oauth_org_not_allowed", "Organization not allowed"},
    {"account_on_hold", "Account on hold"},
    {"cloud_credential_error", "Cloud credential error"},
}};

// The byte offset at which character number `count` (from 0) starts, or absent when the text has
// at most `count` characters. Walks only as far as needed, so a megabyte-long line costs no more
// than a short one. Counts as Text::characterCount does: grapheme clusters, an invalid byte alone.
std::optional<std::size_t> startOfCharacter(std::string_view text, std::size_t count) {
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  std::size_t position = 0;
  std::size_t started = 0;
  while (position < text.size()) {
    utf8proc_int32_t codePoint = 0;
    const auto length =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + position),
                         static_cast<utf8proc_ssize_t>(text.size() - position), &codePoint);
    const bool invalid = length <= 0;
    const bool boundary =
        invalid || previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &state);
    if (boundary) {
      if (started == count) {
        return position;
      }
      ++started;
    }
    if (invalid) {
      previous = -1;
      state = 0;
      ++position;
    } else {
      previous = codePoint;
      position += static_cast<std::size_t>(length);
    }
  }
  return std::nullopt;
}

// Every agent's shell tool, as the one name the rules below know ("Bash"); other tools as named.
std::string normalizedToolName(const std::string& name) {
  return AgentCatalogue::isShellTool(name) ? std::string("Bash") : name;
}

// The file named by the first patch header line of a patch text ("*** Add File: src/a.txt").
std::optional<std::string> changedFile(const std::string* text) {
  if (text == nullptr) {
    return std::nullopt;
  }
  std::optional<std::string> found;
  ProviderTextLines::forEachLine(*text, false, [&found](std::string_view line) {
    for (const std::string_view header : patchFileHeaders) {
      if (line.starts_with(header)) {
        found = std::string(line.substr(header.size()));
        return false;
      }
    }
    return true;
  });
  return found;
}

// The last component of a path, ignoring trailing slashes ("src/a.txt" gives "a.txt").
std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  if (path == "/") {
    return "/";
  }
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<std::string_view> failureSentence(std::string_view text) {
  const std::string normalized = Text::normalizedWord(text);
  for (const auto& [name, sentence] : failureClasses) {
    if (name == normalized) {
      return sentence;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string concise(std::string_view text, std::size_t limit) {
  std::string_view first;
  ProviderTextLines::forEachLine(text, false, [&first](std::string_view line) {
    first = line;
    return false;
  });
  std::string line = Text::trimmed(first);
  if (limit == 0) {
    return {};
  }
  // A text of at most `limit` bytes has at most `limit` characters.
  if (line.size() <= limit || !startOfCharacter(line, limit)) {
    return line;
  }
  const std::size_t cut = *startOfCharacter(line, limit - 1);
  line.resize(cut);
  line.append(ellipsis);
  return line;
}

std::string toolIdentifier(std::string_view name) { return Text::toolIdentifier(name); }

std::string displayTool(std::string_view name) {
  if (name == "Bash") {
    return "command";
  }
  if (name.starts_with("mcp__")) {
    // The last piece exactly as written.
    std::string last;
    for (std::string& piece : Text::split(name, "__")) {
      if (!piece.empty()) {
        last = std::move(piece);
      }
    }
    return last.empty() ? std::string("tool") : last;
  }
  return Text::lowercased(Text::replacingAll(name, "_", " "));
}

ToolPresentation toolPresentation(const AgentHookPayload& payload, bool completed,
                                  std::string_view sessionId, Date now) {
  ToolPresentation presentation;
  presentation.rawTool = payload.toolName.value_or("tool");
  const std::string normalized = normalizedToolName(presentation.rawTool);
  const std::string identifier = toolIdentifier(normalized);
  const std::string* command = stringInputMember(payload, "command");

  const bool isEdit = AgentCatalogue::isEditTool(identifier);
  if (isEdit) {
    for (const std::string_view key : {"file_path", "filePath", "path"}) {
      const std::string* path = stringInputMember(payload, key);
      // A blank path names no file; the next key, then the patch text, may.
      if (path != nullptr && nonEmpty(*path)) {
        presentation.file = *path;
        break;
      }
    }
    if (!presentation.file) {
      presentation.file = changedFile(command);
    }
    presentation.type = AgentEventType::fileChanged;
    presentation.state = AgentState::editing;
  } else {
    presentation.type = AgentEventType::toolStarted;
    presentation.state = AgentState::executingTool;
  }

  if (identifier == "update_plan") {
    presentation.activity = completed ? "Plan updated" : "Updating plan";
  } else if (identifier == "create_goal") {
    presentation.activity = completed ? "Workflow started" : "Starting workflow";
  } else if (identifier == "update_goal") {
    presentation.activity = completed ? "Workflow updated" : "Updating workflow";
  } else if (isEdit) {
    if (completed) {
      presentation.activity = "Finished editing";
    } else if (presentation.file) {
      presentation.activity = "Editing " + lastPathComponent(*presentation.file);
    } else {
      presentation.activity = "Editing files";
    }
  } else if (completed) {
    presentation.activity = "Finished " + displayTool(normalized);
  } else {
    // A blank command says nothing to run; the tool name reads better than "Running ".
    const std::string shown = command != nullptr ? concise(*command, 76) : std::string();
    presentation.activity = normalized == "Bash" && !shown.empty()
                                ? "Running " + shown
                                : "Using " + displayTool(normalized);
  }

  if (completed) {
    presentation.type = AgentEventType::toolCompleted;
    presentation.state = AgentState::running;
  }
  presentation.plan = CodexEventPolicy::planSnapshot(payload, identifier, now);
  presentation.workflowUpdate = CodexEventPolicy::workflowUpdate(payload, identifier, sessionId);
  return presentation;
}

std::string stopFailureActivity(const AgentHookPayload& payload) {
  const auto message = nonEmpty(payload.lastAssistantMessage);
  if (message && !failureSentence(*message)) {
    return concise(*message, 90);
  }
  if (payload.error) {
    if (const auto sentence = failureSentence(*payload.error)) {
      return std::string(*sentence);
    }
  }
  // A blank error says nothing; it must not become an empty activity.
  if (const auto error = nonEmpty(payload.error)) {
    return concise(*error, 90);
  }
  if (message) {
    return concise(*message, 90);
  }
  return "Turn failed";
}

StopOutcome stopCancelledOutcome(const AgentHookPayload& payload) {
  if (payload.reason) {
    const std::string reason = Text::normalizedWord(*payload.reason);
    if (reason == "max_turns") {
      return {.type = AgentEventType::failed,
              .state = AgentState::failed,
              .activity = "Turn limit reached"};
    }
    if (reason == "no_progress") {
      return {.type = AgentEventType::failed,
              .state = AgentState::failed,
              .activity = "Stopped: no progress"};
    }
  }
  return {.type = AgentEventType::completed, .state = AgentState::completed, .activity = "Stopped"};
}

bool isTurnSettledNotification(const std::optional<std::string>& type,
                               const AgentProvider& provider) {
  if (!type) {
    return false;
  }
  const std::string normalized = Text::normalizedWord(*type);
  return normalized == "task_complete" ||
         (normalized == "idle_prompt" && AgentCatalogue::habitsOf(provider).repeatsTurnEnds);
}

std::string settledNotificationActivity(const AgentHookPayload& payload) {
  if (const auto message = nonEmpty(payload.notificationMessage)) {
    return concise(*message, 90);
  }
  if (payload.notificationType &&
      Text::normalizedWord(*payload.notificationType) == "task_complete") {
    return "Task completed";
  }
  return "Turn ended";
}

bool shouldMapSessionStart(const AgentProvider& provider,
                           const std::optional<std::string>& source) {
  if (AgentCatalogue::habitsOf(provider).startsOpenNoSession) {
    return false;
  }
  if (!source) {
    return true;
  }
  const std::string normalized = Text::normalizedWord(*source);
  return normalized != "resume" && normalized != "compact" && normalized != "compaction";
}

std::string questionActivity(const AgentHookPayload& payload) {
  const JSONValue* questions = inputMember(payload, "questions");
  const JSONValue::Array* elements = questions != nullptr ? questions->arrayValue() : nullptr;
  if (elements != nullptr) {
    for (const JSONValue& element : *elements) {
      const JSONValue* question = element["question"];
      const std::string* text = question != nullptr ? question->stringValue() : nullptr;
      if (text == nullptr) {
        continue;
      }
      if (const auto trimmed = nonEmpty(*text)) {
        return concise(*trimmed, 90);
      }
    }
  }
  return "Needs an answer";
}

const JSONValue* inputMember(const AgentHookPayload& payload, std::string_view key) {
  if (!payload.toolInput) {
    return nullptr;
  }
  return (*payload.toolInput)[key];
}

const std::string* stringInputMember(const AgentHookPayload& payload, std::string_view key) {
  const JSONValue* member = inputMember(payload, key);
  return member != nullptr ? member->stringValue() : nullptr;
}

}  // namespace tarvel::ProviderEventPolicy
