#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"

namespace tarvel {

enum class AgentStepStatus { pending, inProgress, completed, failed, blocked };
enum class AgentWorkflowStatus { pending, running, waiting, completed, failed, blocked };

template <>
struct EnumNames<AgentStepStatus> {
  static constexpr std::array<std::pair<AgentStepStatus, std::string_view>, 5> table{{
      {AgentStepStatus::pending, "pending"},
      {AgentStepStatus::inProgress, "inProgress"},
      {AgentStepStatus::completed, "completed"},
      {AgentStepStatus::failed, "failed"},
      {AgentStepStatus::blocked, "blocked"},
  }};
};

template <>
struct EnumNames<AgentWorkflowStatus> {
  static constexpr std::array<std::pair<AgentWorkflowStatus, std::string_view>, 6> table{{
      {AgentWorkflowStatus::pending, "pending"},
      {AgentWorkflowStatus::running, "running"},
      {AgentWorkflowStatus::waiting, "waiting"},
      {AgentWorkflowStatus::completed, "completed"},
      {AgentWorkflowStatus::failed, "failed"},
      {AgentWorkflowStatus::blocked, "blocked"},
  }};
};

// "Pending", "In progress", ...
std::string_view displayName(AgentStepStatus status);
std::string_view displayName(AgentWorkflowStatus status);

// One step of a plan or workflow.
struct AgentStep {
  std::string id;
  std::string title;
  AgentStepStatus status = AgentStepStatus::pending;
  bool operator==(const AgentStep&) const = default;
};

// The agent's step plan for its current task.
struct AgentPlan {
  std::optional<std::string> title;
  std::optional<std::string> explanation;
  std::vector<AgentStep> steps;
  Date updatedAt{};

  // Marks pending and in-progress steps completed; when any changed, updatedAt becomes the later
  // of `date` and its current value. A plan without steps is left alone.
  void completeUnfinishedSteps(Date date);

  bool operator==(const AgentPlan&) const = default;
};

// A workflow as a session keeps it.
struct AgentWorkflow {
  std::string id;
  std::string title;
  AgentWorkflowStatus status = AgentWorkflowStatus::pending;
  std::vector<AgentStep> steps;
  Date updatedAt{};
  bool operator==(const AgentWorkflow&) const = default;
};

// A partial change to one workflow; the carrying event's timestamp is its time.
struct AgentWorkflowUpdate {
  std::string id;
  std::optional<std::string> title;
  std::optional<AgentWorkflowStatus> status;
  std::optional<std::vector<AgentStep>> steps;
  bool operator==(const AgentWorkflowUpdate&) const = default;
};

template <>
struct Codable<AgentStep> {
  static Json encode(const AgentStep& step);
  static AgentStep decode(const Json& value, const std::string& path);
};
template <>
struct Codable<AgentPlan> {
  static Json encode(const AgentPlan& plan);
  static AgentPlan decode(const Json& value, const std::string& path);
};
template <>
struct Codable<AgentWorkflow> {
  static Json encode(const AgentWorkflow& workflow);
  static AgentWorkflow decode(const Json& value, const std::string& path);
};
template <>
struct Codable<AgentWorkflowUpdate> {
  static Json encode(const AgentWorkflowUpdate& update);
  static AgentWorkflowUpdate decode(const Json& value, const std::string& path);
};

}  // namespace tarvel
