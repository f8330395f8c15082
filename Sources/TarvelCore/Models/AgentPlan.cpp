#include "TarvelCore/Models/AgentPlan.hpp"

namespace tarvel {

using JSONCoding::Fields;
using JSONCoding::ObjectBuilder;

std::string_view displayName(AgentStepStatus status) {
  switch (status) {
    case AgentStepStatus::pending:
      return "Pending";
    case AgentStepStatus::inProgress:
      return "In progress";
    case AgentStepStatus::completed:
      return "Completed";
    case AgentStepStatus::failed:
      return "Failed";
    case AgentStepStatus::blocked:
      return "Blocked";
  }
  return "";
}

std::string_view displayName(AgentWorkflowStatus status) {
  switch (status) {
    case AgentWorkflowStatus::pending:
      return "Pending";
    case AgentWorkflowStatus::running:
      return "Running";
    case AgentWorkflowStatus::waiting:
      return "Waiting";
    case AgentWorkflowStatus::completed:
      return "Completed";
    case AgentWorkflowStatus::failed:
      return "Failed";
    case AgentWorkflowStatus::blocked:
      return "Blocked";
  }
  return "";
}

void AgentPlan::completeUnfinishedSteps(Date date) {
  bool changed = false;
  for (AgentStep& step : steps) {
    if (step.status == AgentStepStatus::pending || step.status == AgentStepStatus::inProgress) {
      step.status = AgentStepStatus::completed;
      changed = true;
    }
  }
  if (changed && date > updatedAt) {
    updatedAt = date;
  }
}

Json Codable<AgentStep>::encode(const AgentStep& step) {
  return ObjectBuilder().set("id", step.id).set("title", step.title).set("status", step.status).build();
}

AgentStep Codable<AgentStep>::decode(const Json& value, const std::string& path) {
  const Fields fields(value, path);
  return AgentStep{
      .id = fields.required<std::string>("id"),
      .title = fields.required<std::string>("title"),
      .status = fields.required<AgentStepStatus>("status"),
  };
}

Json Codable<AgentPlan>::encode(const AgentPlan& plan) {
  return ObjectBuilder()
      .set("title", plan.title)
      .set("explanation", plan.explanation)
      .set("steps", plan.steps)
      .set("updatedAt", plan.updatedAt)
      .build();
}

AgentPlan Codable<AgentPlan>::decode(const Json& value, const std::string& path) {
  const Fields fields(value, path);
  return AgentPlan{
      .title = fields.optional<std::string>("title"),
      .explanation = fields.optional<std::string>("explanation"),
      .steps = fields.required<std::vector<AgentStep>>("steps"),
      .updatedAt = fields.required<Date>("updatedAt"),
  };
}

Json Codable<AgentWorkflow>::encode(const AgentWorkflow& workflow) {
  return ObjectBuilder()
      .set("id", workflow.id)
      .set("title", workflow.title)
      .set("status", workflow.status)
      .set("steps", workflow.steps)
      .set("updatedAt", workflow.updatedAt)
      .build();
}

AgentWorkflow Codable<AgentWorkflow>::decode(const Json& value, const std::string& path) {
  const Fields fields(value, path);
  return AgentWorkflow{
      .id = fields.required<std::string>("id"),
      .title = fields.required<std::string>("title"),
      .status = fields.required<AgentWorkflowStatus>("status"),
      .steps = fields.required<std::vector<AgentStep>>("steps"),
      .updatedAt = fields.required<Date>("updatedAt"),
  };
}

Json Codable<AgentWorkflowUpdate>::encode(const AgentWorkflowUpdate& update) {
  return ObjectBuilder()
      .set("id", update.id)
      .set("title", update.title)
      .set("status", update.status)
      .set("steps", update.steps)
      .build();
}

AgentWorkflowUpdate Codable<AgentWorkflowUpdate>::decode(const Json& value,
                                                         const std::string& path) {
  const Fields fields(value, path);
  return AgentWorkflowUpdate{
      .id = fields.required<std::string>("id"),
      .title = fields.optional<std::string>("title"),
      .status = fields.optional<AgentWorkflowStatus>("status"),
      .steps = fields.optional<std::vector<AgentStep>>("steps"),
  };
}

}  // namespace tarvel
