#include "TarvelCore/Hooks/AgentHookEventMapper.hpp"

#include <map>
#include <string>

#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Hooks/Antigravity/AntigravityEventPolicy.hpp"
#include "TarvelCore/Hooks/Claude/ClaudeEventPolicy.hpp"
#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Models/ProjectIdentity.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::AgentHookEventMapper {
namespace {

using ProviderEventPolicy::concise;

struct MappingContext {
  AgentProvider provider;
  const AgentDriver* driver = nullptr;  // the provider's, if it has one
  std::string sessionId;
  std::optional<std::string> parentSessionId;
  Date now;
  std::optional<std::string> workingDirectory;
  std::map<std::string, std::string> metadata;
};

bool isBlank(const std::optional<std::string>& text) { return !nonEmpty(text).has_value(); }

bool hasAgentId(const AgentHookPayload& payload) {
  return payload.agentId.has_value() && !payload.agentId->empty();
}

std::string namespaced(const std::string& prefix, const std::string& id) {
  return id.starts_with(prefix) ? id : prefix + id;
}

MappingContext mappingContext(const AgentHookPayload& payload, const AgentProvider& provider,
                              Date now) {
  const std::string prefix = provider.rawValue + ":";
  const std::string local =
      hasAgentId(payload) ? payload.sessionId + ":" + *payload.agentId : payload.sessionId;

  std::optional<std::string> parent = nonEmpty(payload.parentSessionId);
  if (!parent && hasAgentId(payload)) {
    parent = payload.sessionId;
  }
  if (parent) {
    parent = namespaced(prefix, *parent);
  }

  std::map<std::string, std::string> metadata;
  if (payload.toolCallId) metadata["toolCallId"] = *payload.toolCallId;
  if (payload.promptId) metadata["promptId"] = *payload.promptId;
  if (payload.notificationType) metadata["notificationType"] = *payload.notificationType;
  metadata["hookEvent"] = HookEventNames::metadataName(payload.hookEventName);

  return MappingContext{
      .provider = provider,
      .driver = AgentDrivers::of(provider),
      .sessionId = namespaced(prefix, local),
      .parentSessionId = std::move(parent),
      .now = now,
      .workingDirectory = nonEmpty(payload.cwd),
      .metadata = std::move(metadata),
  };
}

AgentEvent skeleton(const MappingContext& context, AgentEventType type, AgentState state,
                    std::optional<std::string> activity, std::optional<std::string> task = {}) {
  AgentEvent event;
  event.type = type;
  event.sessionId = context.sessionId;
  event.provider = context.provider;
  event.task = std::move(task);
  event.activity = std::move(activity);
  event.state = state;
  event.workingDirectory = context.workingDirectory;
  event.metadata = context.metadata;
  return event;
}

// The agent's pre-tool hook answers its permission prompts (Droid).
bool answersAtPreToolUse(const AgentProvider& provider) {
  const AgentRow* row = AgentCatalogue::of(provider);
  return row != nullptr && row->answersAtPreToolUse;
}

bool reportsUnnamedSubagents(const MappingContext& context) {
  return context.driver != nullptr && context.driver->unnamedSubagents;
}

// A sub-agent's turn end that cannot be attributed to a sub-agent session is dropped, for an agent
// that reports sub-agents without naming them (Grok).
bool isUnnamedSubagentTurnEnd(const AgentHookPayload& payload, const MappingContext& context) {
  return reportsUnnamedSubagents(context) && !isBlank(payload.agentType) &&
         isBlank(payload.agentId) && isBlank(payload.parentSessionId);
}

std::string normalizedReason(const std::optional<std::string>& reason) {
  return reason ? Text::normalizedWord(*reason) : std::string();
}

AgentEvent sessionStartEvent(const MappingContext& context) {
  std::optional<std::string> title;
  if (context.workingDirectory) {
    title = ProjectIdentity::name(*context.workingDirectory);
  }
  if (!title) {
    title = context.provider.displayName() + " session";
  }
  return skeleton(context, AgentEventType::started, AgentState::starting, "Session started",
                  std::move(title));
}

AgentEvent toolEvent(const AgentHookPayload& payload, bool completed,
                     const MappingContext& context) {
  auto presentation =
      ProviderEventPolicy::toolPresentation(payload, completed, context.sessionId, context.now);
  AgentEvent event =
      skeleton(context, presentation.type, presentation.state, std::move(presentation.activity));
  event.file = std::move(presentation.file);
  event.plan = std::move(presentation.plan);
  event.workflowUpdate = std::move(presentation.workflowUpdate);
  (*event.metadata)["tool"] = std::move(presentation.rawTool);
  return event;
}

std::optional<AgentEvent> notificationEvent(const AgentHookPayload& payload,
                                            const MappingContext& context) {
  const std::string type = normalizedReason(payload.notificationType);
  if (ProviderEventPolicy::isTurnSettledNotification(payload.notificationType, context.provider)) {
    if (isUnnamedSubagentTurnEnd(payload, context)) {
      return std::nullopt;
    }
    std::string activity;
    if (auto message = nonEmpty(payload.notificationMessage)) {
      activity = concise(*message, 90);
    } else {
      activity = type == "task_complete" ? "Task completed" : "Turn ended";
    }
    return skeleton(context, AgentEventType::completed, AgentState::completed, activity);
  }
  if (ClaudeEventPolicy::isWaitingNotification(payload.notificationType)) {
    return skeleton(context, AgentEventType::waiting, AgentState::waitingForUser,
                    ClaudeEventPolicy::waitingNotificationActivity(payload.notificationType,
                                                                   payload.notificationMessage));
  }
  return std::nullopt;
}

AgentEvent subagentEvent(const AgentHookPayload& payload, bool started,
                         const MappingContext& context) {
  const bool attributed = !reportsUnnamedSubagents(context) || !isBlank(payload.agentId) ||
                          context.parentSessionId.has_value();
  if (!attributed) {
    return skeleton(context, AgentEventType::activity, AgentState::running,
                    started ? "Running subagents" : "Subagent completed");
  }
  if (!started) {
    return skeleton(context, AgentEventType::completed, AgentState::completed,
                    "Subagent completed");
  }
  std::string label;
  if (auto description = nonEmpty(payload.description)) {
    label = *description;
  } else if (auto agentType = nonEmpty(payload.agentType)) {
    label = Text::capitalized(*agentType);
  } else {
    label = context.provider.displayName();
  }
  return skeleton(context, AgentEventType::started, AgentState::starting, "Subagent started",
                  label + " subagent");
}

std::optional<AgentEvent> mappedEvent(const AgentHookPayload& payload,
                                      bool permissionRequestRequiresUserInput,
                                      const MappingContext& context) {
  const auto name = HookEventNames::fromRawEventName(payload.hookEventName);
  if (!name) {
    return std::nullopt;
  }
  const AgentProvider& provider = context.provider;
  switch (*name) {
    case HookEventName::sessionStart:
      if (!ProviderEventPolicy::shouldMapSessionStart(provider, payload.source)) {
        return std::nullopt;
      }
      return sessionStartEvent(context);
    case HookEventName::userPromptSubmit: {
      std::optional<std::string> task;
      if (payload.prompt) {
        const std::string prompt = context.driver != nullptr && context.driver->visiblePrompt
                                       ? context.driver->visiblePrompt(*payload.prompt)
                                       : *payload.prompt;
        task = AgentTaskTitle::fromPrompt(prompt, 140);
      }
      return skeleton(context, AgentEventType::activity, AgentState::thinking, "Thinking",
                      std::move(task));
    }
    case HookEventName::preToolUse:
      if (ClaudeEventPolicy::isInteractiveTool(payload.toolName)) {
        return skeleton(context, AgentEventType::waiting, AgentState::waitingForUser,
                        ClaudeEventPolicy::interactiveToolActivity(payload));
      }
      if (permissionRequestRequiresUserInput && answersAtPreToolUse(provider)) {
        return skeleton(context, AgentEventType::waiting, AgentState::waitingForUser,
                        ClaudeEventPolicy::approvalActivity(payload));
      }
      if (AntigravityEventPolicy::isWaitingTool(payload.toolName)) {
        return skeleton(context, AgentEventType::waiting, AgentState::waitingForUser,
                        AntigravityEventPolicy::waitingActivity(payload));
      }
      return toolEvent(payload, false, context);
    case HookEventName::postToolUse:
      return toolEvent(payload, true, context);
    case HookEventName::postToolUseFailure: {
      AgentEvent event =
          skeleton(context, AgentEventType::toolCompleted, AgentState::running,
                   payload.error ? "Tool failed: " + concise(*payload.error, 76) : "Tool failed");
      if (payload.toolName) {
        (*event.metadata)["tool"] = *payload.toolName;
      }
      return event;
    }
    case HookEventName::permissionRequest:
      if (!permissionRequestRequiresUserInput) {
        return std::nullopt;
      }
      return skeleton(context, AgentEventType::waiting, AgentState::waitingForUser,
                      ClaudeEventPolicy::approvalActivity(payload));
    case HookEventName::permissionDenied:
      return skeleton(context, AgentEventType::activity, AgentState::running,
                      payload.reason ? concise(*payload.reason, 90) : "Tool permission denied");
    case HookEventName::elicitation:
      return skeleton(context, AgentEventType::waiting, AgentState::waitingForUser,
                      ClaudeEventPolicy::waitingNotificationActivity(
                          std::string("elicitation_dialog"), payload.notificationMessage));
    case HookEventName::elicitationResult:
      return skeleton(context, AgentEventType::activity, AgentState::running, "Input received");
    case HookEventName::notification:
      return notificationEvent(payload, context);
    case HookEventName::stop:
      if (isUnnamedSubagentTurnEnd(payload, context)) {
        return std::nullopt;
      }
      if (isFailureReason(payload.reason)) {
        return skeleton(context, AgentEventType::failed, AgentState::failed,
                        payload.error ? concise(*payload.error, 90) : "Task failed");
      }
      return skeleton(context, AgentEventType::completed, AgentState::completed,
                      completionActivity(payload.lastAssistantMessage));
    case HookEventName::stopFailure:
      if (isUnnamedSubagentTurnEnd(payload, context)) {
        return std::nullopt;
      }
      return skeleton(context, AgentEventType::failed, AgentState::failed,
                      ProviderEventPolicy::stopFailureActivity(payload));
    case HookEventName::stopCancelled: {
      if (isUnnamedSubagentTurnEnd(payload, context)) {
        return std::nullopt;
      }
      const std::string reason = normalizedReason(payload.reason);
      if (reason == "max_turns") {
        return skeleton(context, AgentEventType::failed, AgentState::failed, "Turn limit reached");
      }
      if (reason == "no_progress") {
        return skeleton(context, AgentEventType::failed, AgentState::failed,
                        "Stopped: no progress");
      }
      return skeleton(context, AgentEventType::completed, AgentState::completed, "Stopped");
    }
    case HookEventName::sessionEnd:
      if (isFailureReason(payload.reason)) {
        return skeleton(context, AgentEventType::failed, AgentState::failed,
                        payload.error ? concise(*payload.error, 90) : "Session failed");
      }
      return skeleton(context, AgentEventType::completed, AgentState::completed, "Session ended");
    case HookEventName::subagentStart:
      return subagentEvent(payload, true, context);
    case HookEventName::subagentStop:
      return subagentEvent(payload, false, context);
  }
  return std::nullopt;
}

}  // namespace

bool isFailureReason(const std::optional<std::string>& reason) {
  if (!reason) {
    return false;
  }
  const std::string normalized = Text::normalizedWord(*reason);
  return normalized == "error" || normalized == "failed" || normalized == "failure" ||
         normalized == "aborted" || normalized == "abort";
}

std::string completionActivity(const std::optional<std::string>& lastAssistantMessage) {
  if (lastAssistantMessage && nonEmpty(*lastAssistantMessage)) {
    return concise(*lastAssistantMessage, 90);
  }
  return "Task completed";
}

std::optional<AgentEvent> map(const AgentHookPayload& payload, const AgentProvider& provider,
                              bool permissionRequestRequiresUserInput, Date now) {
  const MappingContext context = mappingContext(payload, provider, now);
  auto event = mappedEvent(payload, permissionRequestRequiresUserInput, context);
  if (!event) {
    return std::nullopt;
  }
  event->timestamp = payload.timestamp.value_or(now);
  if (event->plan) {
    event->plan->updatedAt = event->timestamp;
  }
  event->parentSessionId = context.parentSessionId;
  if (auto description = nonEmpty(payload.description)) {
    event->agentRole = std::move(description);
  } else {
    event->agentRole = payload.agentType;
  }
  return event;
}

}  // namespace tarvel::AgentHookEventMapper
