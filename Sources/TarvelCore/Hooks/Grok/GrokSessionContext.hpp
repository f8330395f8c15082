#pragma once

#include <functional>
#include <optional>
#include <string>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentPlan.hpp"
#include "TarvelCore/Platform/Date.hpp"

namespace tarvel {

// What Grok's own files say about one session: its parent and role (sub-agents), its title, and
// the latest workflow run of the session that owns the workflow. Every field is optional; the
// workflow fields are set only when a run was found.
struct GrokSessionContext {
  std::optional<std::string> parentSessionId;  // native Grok id
  std::optional<std::string> agentRole;
  std::optional<std::string> workflowOwnerSessionId;
  std::optional<std::string> workflowTask;  // the objective, else the workflow's name
  std::optional<std::string> workflowPhase;
  std::optional<AgentState> workflowState;
  std::optional<AgentWorkflowUpdate> workflowUpdate;
  std::optional<Date> workflowUpdatedAt;  // modification time of the run's state file
  std::optional<std::string> sessionTitle;

  // An activity event on the owner's session ("grok:" + owner id) that reports the run's
  // progress, or absent without an owner, a state and an update. Its id is fresh each call.
  std::optional<AgentEvent> workflowEvent(Date now,
                                          const std::optional<std::string>& workingDirectory) const;

  bool operator==(const GrokSessionContext&) const = default;
};

}  // namespace tarvel

template <>
struct std::hash<tarvel::GrokSessionContext> {
  std::size_t operator()(const tarvel::GrokSessionContext& context) const;
};
