#include "TarvelCore/Hooks/Codex/CodexEventPolicy.hpp"

#include <string>

#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::CodexEventPolicy {
namespace {

AgentStepStatus stepStatus(const std::string* text) {
  if (text == nullptr) {
    return AgentStepStatus::pending;
  }
  const std::string normalized = Text::normalizedWord(*text);
  if (normalized == "in_progress" || normalized == "running") {
    return AgentStepStatus::inProgress;
  }
  if (normalized == "completed" || normalized == "complete" || normalized == "done") {
    return AgentStepStatus::completed;
  }
  if (normalized == "failed") {
    return AgentStepStatus::failed;
  }
  if (normalized == "blocked") {
    return AgentStepStatus::blocked;
  }
  return AgentStepStatus::pending;
}

std::optional<std::string> nonEmptyStringMember(const AgentHookPayload& payload,
                                                std::string_view key) {
  const std::string* text = ProviderEventPolicy::stringInputMember(payload, key);
  return text != nullptr ? nonEmpty(*text) : std::nullopt;
}

const std::string* stringMember(const JSONValue& object, std::string_view key) {
  const JSONValue* member = object[key];
  return member != nullptr ? member->stringValue() : nullptr;
}

}  // namespace

std::optional<AgentPlan> planSnapshot(const AgentHookPayload& payload, std::string_view tool,
                                      Date now) {
  if (tool != "update_plan") {
    return std::nullopt;
  }
  const JSONValue* plan = ProviderEventPolicy::inputMember(payload, "plan");
  const JSONValue::Array* elements = plan != nullptr ? plan->arrayValue() : nullptr;
  if (elements == nullptr) {
    return std::nullopt;
  }
  AgentPlan snapshot;
  for (std::size_t index = 0; index < elements->size(); ++index) {
    const JSONValue& element = (*elements)[index];
    const std::string* step = stringMember(element, "step");
    auto title = step != nullptr ? nonEmpty(*step) : std::nullopt;
    if (!title) {
      continue;
    }
    snapshot.steps.push_back(AgentStep{
        .id = "plan-step-" + std::to_string(index),
        .title = std::move(*title),
        .status = stepStatus(stringMember(element, "status")),
    });
  }
  if (snapshot.steps.empty()) {
    return std::nullopt;
  }
  snapshot.title = nonEmptyStringMember(payload, "title");
  snapshot.explanation = nonEmptyStringMember(payload, "explanation");
  snapshot.updatedAt = now;
  return snapshot;
}

std::optional<AgentWorkflowUpdate> workflowUpdate(const AgentHookPayload& payload,
                                                  std::string_view tool,
                                                  std::string_view sessionId) {
  if (tool != "create_goal" && tool != "update_goal") {
    return std::nullopt;
  }
  AgentWorkflowUpdate update;
  if (auto id = nonEmptyStringMember(payload, "workflow_id")) {
    update.id = std::move(*id);
  } else if (auto fallback = nonEmptyStringMember(payload, "id")) {
    update.id = std::move(*fallback);
  } else {
    update.id = "goal:" + std::string(sessionId);
  }
  if (tool == "create_goal") {
    update.title = nonEmptyStringMember(payload, "objective").value_or("Goal");
    update.status = AgentWorkflowStatus::running;
    return update;
  }
  // Goal statuses are Codex's own fixed words, compared exactly.
  const std::string* status = ProviderEventPolicy::stringInputMember(payload, "status");
  const std::string_view word = status != nullptr ? std::string_view(*status) : std::string_view();
  if (word == "complete" || word == "completed") {
    update.status = AgentWorkflowStatus::completed;
  } else if (word == "blocked") {
    update.status = AgentWorkflowStatus::blocked;
  } else if (word == "failed") {
    update.status = AgentWorkflowStatus::failed;
  } else if (word == "waiting") {
    update.status = AgentWorkflowStatus::waiting;
  } else {
    update.status = AgentWorkflowStatus::running;
  }
  return update;
}

}  // namespace tarvel::CodexEventPolicy
