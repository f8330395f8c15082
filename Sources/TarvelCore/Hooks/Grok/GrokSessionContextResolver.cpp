#include "TarvelCore/Hooks/Grok/GrokSessionContextResolver.hpp"

#include <system_error>
#include <vector>

#include <utf8proc.h>

#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Platform/AgentFileAccess.hpp"
#include "TarvelCore/Platform/HomeDirectory.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::GrokSessionContextResolver {
namespace {

namespace fs = std::filesystem;
using JSONCoding::Fields;

struct StoredWorkflow {
  std::string runId;
  std::string name;
  std::optional<std::string> objective;
  std::string status;
  std::vector<std::string> phaseTitles;
  std::optional<std::string> currentPhase;
};

struct StoredWorkflowSnapshot {
  StoredWorkflow workflow;
  Date modifiedAt{};
};

struct SubagentMetadata {
  std::string parentSessionId;
  std::optional<std::string> subagentType;
  std::optional<std::string> description;
};

// A small JSON file of the Grok home, parsed; absent when missing, too large or not JSON.
std::optional<Json> readJSONFile(const fs::path& path, const fs::path& grokHome) {
  const auto bytes = AgentFileAccess::readSmallFile(path, grokHome);
  if (!bytes) {
    return std::nullopt;
  }
  auto parsed = Coding::parse(*bytes);
  if (!parsed) {
    return std::nullopt;
  }
  return std::move(*parsed);
}

// The displayable title of a session directory's "summary.json"; a wrongly typed key makes the
// whole file count as absent.
std::optional<std::string> summaryTitle(const fs::path& sessionDirectory,
                                        const fs::path& grokHome) {
  const auto json = readJSONFile(sessionDirectory / "summary.json", grokHome);
  if (!json) {
    return std::nullopt;
  }
  try {
    const Fields fields(*json, "");
    const auto generated = fields.optional<std::string>("generated_title");
    const auto summary = fields.optional<std::string>("session_summary");
    if (generated) {
      if (auto title = AgentTaskTitle::displayable(*generated)) {
        return title;
      }
    }
    return summary ? AgentTaskTitle::displayable(*summary) : std::nullopt;
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

std::optional<StoredWorkflow> decodeWorkflowEnvelope(const Json& json) {
  try {
    const Fields envelope(json, "");
    const Json state = envelope.required<Json>("state");
    const Fields fields(state, "state");
    StoredWorkflow workflow{
        .runId = fields.required<std::string>("run_id"),
        .name = fields.required<std::string>("name"),
        .objective = fields.optional<std::string>("objective"),
        .status = fields.required<std::string>("status"),
        .currentPhase = fields.optional<std::string>("current_phase"),
    };
    const Json phases = fields.required<Json>("phases");
    if (!phases.is_array()) {
      return std::nullopt;
    }
    for (std::size_t index = 0; index < phases.size(); ++index) {
      const Fields phase(phases[index], JSONCoding::element("state.phases", index));
      workflow.phaseTitles.push_back(phase.required<std::string>("title"));
    }
    return workflow;
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

std::optional<SubagentMetadata> decodeSubagentMetadata(const Json& json) {
  try {
    const Fields fields(json, "");
    return SubagentMetadata{
        .parentSessionId = fields.required<std::string>("parent_session_id"),
        .subagentType = fields.optional<std::string>("subagent_type"),
        .description = fields.optional<std::string>("description"),
    };
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

// The run with the newest "state.json" in the directory's "workflows"; on equal dates the one
// listed first.
std::optional<StoredWorkflowSnapshot> latestSnapshot(const fs::path& sessionDirectory,
                                                     const fs::path& grokHome) {
  const fs::path workflows = sessionDirectory / "workflows";
  const auto runs = AgentFileAccess::listDirectory(workflows, grokHome);
  if (!runs) {
    return std::nullopt;
  }
  std::optional<StoredWorkflowSnapshot> latest;
  for (const std::string& run : *runs) {
    const fs::path stateFile = workflows / run / "state.json";
    const auto json = readJSONFile(stateFile, grokHome);
    if (!json) {
      continue;
    }
    auto workflow = decodeWorkflowEnvelope(*json);
    if (!workflow) {
      continue;
    }
    const Date modifiedAt = AgentFileAccess::modificationDate(stateFile).value_or(Date::min());
    if (!latest || modifiedAt > latest->modifiedAt) {
      latest = StoredWorkflowSnapshot{.workflow = std::move(*workflow), .modifiedAt = modifiedAt};
    }
  }
  return latest;
}

AgentWorkflowStatus workflowStatus(std::string_view status) {
  const std::string word = Text::lowercased(status);
  if (word == "completed" || word == "complete" || word == "done") {
    return AgentWorkflowStatus::completed;
  }
  if (word == "failed" || word == "error") {
    return AgentWorkflowStatus::failed;
  }
  if (word == "blocked" || word == "cancelled" || word == "canceled" || word == "interrupted") {
    return AgentWorkflowStatus::blocked;
  }
  if (word == "waiting" || word == "paused") {
    return AgentWorkflowStatus::waiting;
  }
  if (word == "pending") {
    return AgentWorkflowStatus::pending;
  }
  return AgentWorkflowStatus::running;
}

AgentState workflowState(AgentWorkflowStatus status) {
  switch (status) {
    case AgentWorkflowStatus::pending:
      return AgentState::starting;
    case AgentWorkflowStatus::running:
      return AgentState::running;
    case AgentWorkflowStatus::waiting:
    case AgentWorkflowStatus::blocked:
      return AgentState::waitingForUser;
    case AgentWorkflowStatus::completed:
      return AgentState::completed;
    case AgentWorkflowStatus::failed:
      return AgentState::failed;
  }
  return AgentState::running;
}

AgentStepStatus currentStepStatus(AgentWorkflowStatus status) {
  switch (status) {
    case AgentWorkflowStatus::pending:
    case AgentWorkflowStatus::running:
      return AgentStepStatus::inProgress;
    case AgentWorkflowStatus::waiting:
    case AgentWorkflowStatus::blocked:
      return AgentStepStatus::blocked;
    case AgentWorkflowStatus::failed:
      return AgentStepStatus::failed;
    case AgentWorkflowStatus::completed:
      return AgentStepStatus::completed;
  }
  return AgentStepStatus::inProgress;
}

void fillWorkflow(GrokSessionContext& context, const std::string& owner,
                  const StoredWorkflowSnapshot& snapshot) {
  const StoredWorkflow& workflow = snapshot.workflow;
  const AgentWorkflowStatus status = workflowStatus(workflow.status);
  std::optional<std::size_t> current;
  if (workflow.currentPhase) {
    for (std::size_t index = 0; index < workflow.phaseTitles.size(); ++index) {
      if (workflow.phaseTitles[index] == *workflow.currentPhase) {
        current = index;
        break;
      }
    }
  }
  std::vector<AgentStep> steps;
  for (std::size_t index = 0; index < workflow.phaseTitles.size(); ++index) {
    AgentStepStatus stepStatus = AgentStepStatus::pending;
    if (status == AgentWorkflowStatus::completed) {
      stepStatus = AgentStepStatus::completed;
    } else if (current) {
      stepStatus = index < *current    ? AgentStepStatus::completed
                   : index == *current ? currentStepStatus(status)
                                       : AgentStepStatus::pending;
    }
    steps.push_back(AgentStep{.id = workflow.runId + ":phase:" + std::to_string(index),
                              .title = workflow.phaseTitles[index],
                              .status = stepStatus});
  }
  context.workflowOwnerSessionId = owner;
  context.workflowTask = workflow.objective ? workflow.objective : workflow.name;
  context.workflowPhase = workflow.currentPhase;
  context.workflowState = workflowState(status);
  context.workflowUpdate = AgentWorkflowUpdate{
      .id = workflow.runId, .title = workflow.name, .status = status, .steps = std::move(steps)};
  context.workflowUpdatedAt = snapshot.modifiedAt;
}

std::optional<GrokSessionContext> searchSession(const std::string& sessionId,
                                                const std::string& workspace,
                                                const std::optional<std::string>& fallbackParent,
                                                const std::optional<std::string>& fallbackRole,
                                                const fs::path& grokHome) {
  const fs::path bucket = grokHome / "sessions" / workspaceBucketName(workspace);
  if (!AgentFileAccess::isDirectory(bucket, grokHome)) {
    return std::nullopt;
  }
  const fs::path sessionDirectory = bucket / sessionId;
  if (AgentFileAccess::isDirectory(sessionDirectory, grokHome)) {
    GrokSessionContext context{.sessionTitle = summaryTitle(sessionDirectory, grokHome)};
    if (const auto snapshot = latestSnapshot(sessionDirectory, grokHome)) {
      fillWorkflow(context, sessionId, *snapshot);
    } else {
      context.parentSessionId = fallbackParent;
      context.agentRole = fallbackRole;
    }
    return context;
  }

  const auto entries = AgentFileAccess::listDirectory(bucket, grokHome);
  if (!entries) {
    return std::nullopt;
  }
  for (const std::string& entry : *entries) {
    const fs::path parentDirectory = bucket / entry;
    const auto json =
        readJSONFile(parentDirectory / "subagents" / sessionId / "meta.json", grokHome);
    const auto metadata = json ? decodeSubagentMetadata(*json) : std::nullopt;
    if (!metadata) {
      continue;
    }
    GrokSessionContext context{
        .parentSessionId = metadata->parentSessionId,
        .agentRole = metadata->description ? metadata->description : metadata->subagentType,
        .sessionTitle = summaryTitle(parentDirectory, grokHome),
    };
    if (const auto snapshot = latestSnapshot(parentDirectory, grokHome)) {
      fillWorkflow(context, metadata->parentSessionId, *snapshot);
    }
    return context;
  }
  return std::nullopt;
}

std::optional<GrokSessionContext> searchCandidates(
    const std::string& sessionId, const std::vector<std::optional<std::string>>& workspaces,
    const std::optional<std::string>& fallbackParent,
    const std::optional<std::string>& fallbackRole, const fs::path& grokHome) {
  if (!AgentFileAccess::isSafePathComponent(sessionId)) {
    return std::nullopt;
  }
  std::vector<std::string> candidates;
  for (const auto& workspace : workspaces) {
    auto trimmed = nonEmpty(workspace);
    if (trimmed && std::find(candidates.begin(), candidates.end(), *trimmed) == candidates.end()) {
      candidates.push_back(std::move(*trimmed));
    }
  }
  for (const std::string& candidate : candidates) {
    if (auto context =
            searchSession(sessionId, candidate, fallbackParent, fallbackRole, grokHome)) {
      return context;
    }
  }
  return std::nullopt;
}

bool staysLiteral(utf8proc_int32_t codePoint) {
  switch (utf8proc_category(codePoint)) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
      return true;
    default:
      return false;
  }
}

}  // namespace

GrokSessionContext resolve(const AgentHookPayload& payload, const fs::path& grokHome) {
  const std::optional<std::string> fallbackParent = payload.parentSessionId;
  const std::optional<std::string> fallbackRole =
      payload.description ? payload.description : payload.agentType;
  if (auto context = searchCandidates(payload.sessionId, {payload.workspaceRoot, payload.cwd},
                                      fallbackParent, fallbackRole, grokHome)) {
    return *context;
  }
  return GrokSessionContext{.parentSessionId = fallbackParent, .agentRole = fallbackRole};
}

GrokSessionContext resolve(std::string_view sessionId,
                           const std::optional<std::string>& workspaceRoot,
                           const fs::path& grokHome) {
  return searchCandidates(std::string(sessionId), {workspaceRoot}, std::nullopt, std::nullopt,
                          grokHome)
      .value_or(GrokSessionContext{});
}

std::string workspaceBucketName(std::string_view workspacePath) {
  fs::path path{std::string(workspacePath)};
  if (path.is_relative()) {
    std::error_code error;
    const fs::path current = fs::current_path(error);
    if (!error) {
      path = current / path;
    }
  }
  std::string standardized = path.lexically_normal().string();
  while (standardized.size() > 1 && standardized.back() == '/') {
    standardized.pop_back();
  }

  // Bytes that are not valid UTF-8 are escaped one by one, so the name never contains "/".
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(standardized.size() * 3);
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(standardized.data());
  std::size_t offset = 0;
  while (offset < standardized.size()) {
    utf8proc_int32_t codePoint = -1;
    const utf8proc_ssize_t length = utf8proc_iterate(
        bytes + offset, static_cast<utf8proc_ssize_t>(standardized.size() - offset), &codePoint);
    const std::size_t width = length > 0 ? static_cast<std::size_t>(length) : 1;
    if (length > 0 && staysLiteral(codePoint)) {
      encoded.append(standardized, offset, width);
    } else {
      for (std::size_t index = offset; index < offset + width; ++index) {
        const auto byte = static_cast<unsigned char>(standardized[index]);
        encoded += '%';
        encoded += hex[byte >> 4];
        encoded += hex[byte & 0x0F];
      }
    }
    offset += width;
  }
  return encoded;
}

fs::path defaultGrokHome() { return HomeDirectory::current() / ".grok"; }

}  // namespace tarvel::GrokSessionContextResolver
