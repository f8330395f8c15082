#include "TarvelCore/Sessions/AgentSession.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <unordered_set>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Models/ProjectIdentity.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {

// ---------------------------------------------------------------------------------------------
// Event facts the session logic reads
// ---------------------------------------------------------------------------------------------

namespace {

using std::chrono::seconds;

const std::string* metadataValue(const AgentEvent& event, const std::string& key) {
  if (!event.metadata) {
    return nullptr;
  }
  const auto found = event.metadata->find(key);
  return found == event.metadata->end() ? nullptr : &found->second;
}

std::optional<HookEventName> hookEvent(const AgentEvent& event) {
  const std::string* name = metadataValue(event, "hookEvent");
  return name == nullptr ? std::nullopt : HookEventNames::fromRawEventName(*name);
}

bool isTerminal(AgentState state) {
  return state == AgentState::completed || state == AgentState::failed;
}

bool isTerminal(const AgentEvent& event) { return isTerminal(event.resolvedState()); }

bool carriesOfficialTitle(const AgentEvent& event) {
  const std::string* source = metadataValue(event, "titleSource");
  return source != nullptr && *source == "session";
}

bool explicitlyResumesSession(const AgentEvent& event) {
  return event.type == AgentEventType::started ||
         hookEvent(event) == HookEventName::userPromptSubmit;
}

bool isWorkflowStateEvent(const AgentEvent& event) {
  const std::string* name = metadataValue(event, "hookEvent");
  return name != nullptr && *name == HookEventNames::workflowState;
}

bool originHasAnyField(const AgentOrigin& origin) { return !origin.isEmpty(); }

// How one incoming event relates to the session; only `advance` moves it forward.
enum class AdvanceDecision { stale, terminalHold, waitingHold, startRegression, advance };

AdvanceDecision classify(AgentState currentState, Date updatedAt, const AgentEvent& event) {
  const bool eventTerminal = isTerminal(event);
  const bool sessionTerminal = isTerminal(currentState);
  if (event.type == AgentEventType::started && !eventTerminal &&
      (currentState == AgentState::thinking || currentState == AgentState::running ||
       currentState == AgentState::executingTool || currentState == AgentState::editing ||
       currentState == AgentState::waitingForUser)) {
    return AdvanceDecision::startRegression;
  }
  if (event.timestamp == updatedAt && currentState == AgentState::waitingForUser &&
      !eventTerminal && !explicitlyResumesSession(event)) {
    return AdvanceDecision::waitingHold;
  }
  if (sessionTerminal && !eventTerminal && !explicitlyResumesSession(event)) {
    return AdvanceDecision::terminalHold;
  }
  if (event.timestamp >= updatedAt || (eventTerminal && !sessionTerminal)) {
    return AdvanceDecision::advance;
  }
  return AdvanceDecision::stale;
}

void sortWorkflows(std::vector<AgentWorkflow>& workflows) {
  std::stable_sort(
      workflows.begin(), workflows.end(),
      [](const AgentWorkflow& a, const AgentWorkflow& b) { return a.updatedAt > b.updatedAt; });
  if (workflows.size() > AgentSession::workflowLimit) {
    workflows.resize(AgentSession::workflowLimit);
  }
}

AgentWorkflow newWorkflow(const AgentWorkflowUpdate& update, Date time) {
  return AgentWorkflow{
      .id = update.id,
      .title = nonEmpty(update.title).value_or("Workflow"),
      .status = update.status.value_or(AgentWorkflowStatus::running),
      .steps = update.steps.value_or(std::vector<AgentStep>{}),
      .updatedAt = time,
  };
}

// The update's changes applied to an existing workflow.
void applyChange(AgentWorkflow& workflow, const AgentWorkflowUpdate& change, Date time) {
  if (auto title = nonEmpty(change.title)) {
    workflow.title = std::move(*title);
  }
  if (change.status) {
    workflow.status = *change.status;
  }
  if (change.steps) {
    workflow.steps = *change.steps;
  }
  workflow.updatedAt = time;
}

// Whether the text, when present, is the prompt of a helper session the agent opened itself.
bool isInternalHelperTask(const std::optional<std::string>& task, const AgentProvider& provider) {
  return task && AgentTaskTitle::isInternalHelper(*task, provider);
}

// The project of a working directory. A directory of another machine cannot be looked into here,
// so such a project is the machine's name and the directory's last folder ("devbox · app"). Hooks
// record their host on every event: one naming this machine is a local agent's, whatever reads it.
std::optional<std::string> projectNameOf(const std::string& directory,
                                         const std::optional<AgentOrigin>& origin) {
  if (const auto host = origin ? origin->remoteHost() : std::nullopt) {
    const std::filesystem::path path = std::filesystem::path(directory).lexically_normal();
    std::string folder = path.filename().empty() ? path.parent_path().filename().string()
                                                 : path.filename().string();
    return *host + " \u00B7 " + (folder.empty() ? directory : folder);
  }
  return ProjectIdentity::name(directory);
}

// The session-side helpers of folding. They work on one session and are kept out of the header.
struct Folding {
  AgentSession& session;

  // The project name for the event's working directory: the session's own when the directory is
  // unchanged, else derived from the directory.
  std::optional<std::string> projectName(const std::optional<std::string>& eventDirectory,
                                         const std::optional<AgentOrigin>& origin) const {
    std::optional<std::string> directory = nonEmpty(eventDirectory);
    if (!directory) {
      directory = session.workingDirectory;
    }
    if (!directory) {
      return session.projectName;
    }
    if (directory == session.workingDirectory && session.projectName) {
      return session.projectName;
    }
    return projectNameOf(*directory, origin);
  }

  void assignTitle(const AgentEvent& event, const std::optional<std::string>& project) const {
    if (carriesOfficialTitle(event) && event.task) {
      if (auto official = AgentTaskTitle::displayable(*event.task)) {
        session.task = std::move(*official);
        return;
      }
    }
    session.task = AgentTaskTitle::assigned(session.task, event.task, project);
  }

  void mergeRelationship(const AgentEvent& event) const {
    if (event.origin && originHasAnyField(*event.origin)) {
      session.origin = event.origin;
    }
    if (event.parentSessionId) {
      session.parentSessionId = event.parentSessionId;
    }
    if (event.agentRole) {
      session.agentRole = event.agentRole;
    }
  }

  void mergePlan(const AgentEvent& event) const {
    if (!event.plan) {
      return;
    }
    if (session.plan && session.plan->updatedAt > event.plan->updatedAt) {
      return;
    }
    session.plan = event.plan;
  }

  void applyWorkflowUpdate(const AgentEvent& event, Date time) const {
    if (!event.workflowUpdate) {
      return;
    }
    const AgentWorkflowUpdate& change = *event.workflowUpdate;
    auto& workflows = session.workflows;
    const auto existing = std::find_if(workflows.begin(), workflows.end(),
                                       [&](const AgentWorkflow& w) { return w.id == change.id; });
    if (existing == workflows.end()) {
      workflows.push_back(newWorkflow(change, time));
    } else {
      if (time < existing->updatedAt) {
        return;
      }
      applyChange(*existing, change, time);
    }
    sortWorkflows(workflows);
  }

  void mergePendingReply(const AgentPendingReply& reply) const {
    std::erase_if(session.pendingReplies,
                  [&](const AgentPendingReply& p) { return p.replyId == reply.replyId; });
    session.pendingReplies.push_back(reply);
    session.pendingReply = reply;
  }

  void applyPendingReply(const AgentEvent& event) const {
    const AgentState resolved = event.resolvedState();
    if (resolved == AgentState::waitingForUser) {
      if (event.pendingReply) {
        mergePendingReply(*event.pendingReply);
      }
    } else if (isTerminal(resolved)) {
      session.pendingReplies.clear();
      session.pendingReply.reset();
    }
  }

  void touchFile(const std::string& file) const {
    auto& files = session.recentFiles;
    std::erase(files, file);
    files.insert(files.begin(), file);
    if (files.size() > AgentSession::recentFileLimit) {
      files.resize(AgentSession::recentFileLimit);
    }
  }

  void advance(const AgentEvent& event) const {
    const Date time = event.timestamp;
    session.provider = event.provider;
    const auto project = projectName(event.workingDirectory, event.origin);
    assignTitle(event, project);
    if (auto activity = nonEmpty(event.activity)) {
      session.currentActivity = std::move(*activity);
    }
    session.state = event.resolvedState();
    session.updatedAt = std::max(session.updatedAt, time);
    if (auto directory = nonEmpty(event.workingDirectory)) {
      session.workingDirectory = std::move(directory);
      session.projectName = project;
    }
    if (event.applicationURL) {
      session.applicationURL = event.applicationURL;
    }
    mergeRelationship(event);
    if (isTerminal(session.state)) {
      session.completedAt = time;
    } else {
      session.completedAt.reset();
    }
    if (auto file = nonEmpty(event.file)) {
      touchFile(*file);
    }
    mergePlan(event);
    applyWorkflowUpdate(event, time);
    if (session.state == AgentState::completed && session.plan) {
      session.plan->completeUnfinishedSteps(time);
    }
    applyPendingReply(event);
  }

  void hold(const AgentEvent& event) const {
    mergeRelationship(event);
    const auto project = projectName(event.workingDirectory, event.origin);
    if (auto directory = nonEmpty(event.workingDirectory); directory && !session.workingDirectory) {
      session.workingDirectory = std::move(directory);
      session.projectName = project;
    }
    if (!session.applicationURL) {
      session.applicationURL = event.applicationURL;
    }
    if (event.timestamp >= session.updatedAt) {
      mergePlan(event);
      applyWorkflowUpdate(event, event.timestamp);
    }
    assignTitle(event, project);
    if (event.resolvedState() == AgentState::waitingForUser && event.pendingReply) {
      mergePendingReply(*event.pendingReply);
    }
  }

  // An agent that reports the end of a turn more than once (its row says so): a settlement of an
  // older turn, or an idle notice after the session ended, must not touch the live state.
  bool ignoresRepeatedTurnEnd(const AgentEvent& event) const {
    if (session.provider != event.provider ||
        !AgentCatalogue::habitsOf(session.provider).repeatsTurnEnds) {
      return false;
    }
    const auto name = hookEvent(event);
    if (name == HookEventName::notification) {
      const std::string* type = metadataValue(event, "notificationType");
      if (type != nullptr && Text::normalizedWord(*type) == "idle_prompt") {
        return isTerminal(session.state);
      }
    }
    if (name == HookEventName::stop || name == HookEventName::stopFailure ||
        name == HookEventName::stopCancelled) {
      const std::string* rawPromptId = metadataValue(event, "promptId");
      const auto promptId = rawPromptId == nullptr ? std::nullopt : nonEmpty(*rawPromptId);
      if (promptId) {
        std::vector<std::string> submitted;
        for (const AgentEvent& recent : session.recentEvents) {
          if (hookEvent(recent) != HookEventName::userPromptSubmit) {
            continue;
          }
          if (const std::string* id = metadataValue(recent, "promptId")) {
            if (auto value = nonEmpty(*id)) {
              submitted.push_back(std::move(*value));
            }
          }
        }
        if (submitted.empty() || submitted.front() == *promptId) {
          return false;
        }
        return std::find(submitted.begin(), submitted.end(), *promptId) != submitted.end();
      }
    }
    return false;
  }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// AgentSession
// ---------------------------------------------------------------------------------------------

AgentSession AgentSession::fromEvent(const AgentEvent& event) {
  const Date time = event.timestamp;
  const AgentState resolved = event.resolvedState();
  AgentSession session{
      .id = event.sessionId,
      .provider = event.provider,
  };
  if (event.workingDirectory) {
    session.projectName = projectNameOf(*event.workingDirectory, event.origin);
    session.workingDirectory = nonEmpty(event.workingDirectory);
  }
  const Folding folding{session};
  folding.assignTitle(event, session.projectName);
  session.currentActivity = nonEmpty(event.activity).value_or(std::string(displayName(resolved)));
  session.state = resolved;
  session.startedAt = time;
  session.updatedAt = time;
  if (isTerminal(resolved)) {
    session.completedAt = time;
  }
  if (auto file = nonEmpty(event.file)) {
    session.recentFiles.push_back(std::move(*file));
  }
  session.recentEvents = AgentEventHistory{event};
  session.applicationURL = event.applicationURL;
  session.origin = event.origin;
  session.parentSessionId = event.parentSessionId;
  session.agentRole = event.agentRole;
  session.plan = event.plan;
  folding.applyWorkflowUpdate(event, time);
  if (resolved == AgentState::waitingForUser && event.pendingReply) {
    session.pendingReply = event.pendingReply;
    session.pendingReplies.push_back(*event.pendingReply);
  }
  session.hasOfficialSessionTitle = carriesOfficialTitle(event);
  session.isInternalHelper = AgentTaskTitle::isInternalHelper(session.task, session.provider) ||
                             isInternalHelperTask(event.task, session.provider);
  if (resolved == AgentState::completed && session.plan) {
    session.plan->completeUnfinishedSteps(time);
  }
  return session;
}

bool AgentSession::apply(const AgentEvent& event) {
  const Folding folding{*this};
  if (folding.ignoresRepeatedTurnEnd(event)) {
    recentEvents.record(event, recentEventLimit);
    return false;
  }
  startedAt = std::min(startedAt, event.timestamp);
  const AdvanceDecision decision = classify(state, updatedAt, event);
  if (decision == AdvanceDecision::advance) {
    folding.advance(event);
  } else {
    folding.hold(event);
  }
  if (carriesOfficialTitle(event)) {
    hasOfficialSessionTitle = true;
  }
  if (isInternalHelperTask(event.task, event.provider)) {
    isInternalHelper = true;
  }
  recentEvents.record(event, recentEventLimit);
  return decision == AdvanceDecision::advance;
}

void AgentSession::complete(AgentState finalState, Date date) {
  if (!isTerminal(finalState) || !isActive()) {
    return;
  }
  state = finalState;
  completedAt = date;
  updatedAt = std::max(updatedAt, date);
  currentActivity = finalState == AgentState::failed ? "Session failed" : "Session ended";
  pendingReply.reset();
  if (finalState == AgentState::completed && plan) {
    plan->completeUnfinishedSteps(date);
  }
}

void AgentSession::markUnknown() {
  if (isWorking(state)) {
    state = AgentState::unknown;
    completedAt.reset();
  }
}

bool AgentSession::applyRestoredLifecycle(AgentState restoredState,
                                          const std::optional<std::string>& activity, Date date) {
  if (state != AgentState::unknown) {
    return false;
  }
  if (isTerminal(restoredState)) {
    complete(restoredState, date);
    return true;
  }
  if (restoredState == AgentState::idle || restoredState == AgentState::unknown) {
    return false;
  }
  state = restoredState;
  if (auto text = nonEmpty(activity)) {
    currentActivity = std::move(*text);
  }
  completedAt.reset();
  return true;
}

bool AgentSession::repairLegacyRestoredWorkflowRecency(const std::string& workflowId,
                                                       Date authoritativeTimestamp) {
  const Date limit = authoritativeTimestamp + seconds(5);
  const auto stampedLate = [&](const AgentEvent& event) {
    return event.timestamp > limit && isWorkflowStateEvent(event);
  };
  const bool stampedUpdate = std::any_of(
      recentEvents.begin(), recentEvents.end(),
      [&](const AgentEvent& event) { return event.timestamp == updatedAt && stampedLate(event); });
  if (!stampedUpdate) {
    return false;
  }
  recentEvents.removeIf(stampedLate);
  Date latest = std::max(authoritativeTimestamp, startedAt);
  for (const AgentEvent& event : recentEvents) {
    latest = std::max(latest, event.timestamp);
  }
  updatedAt = latest;
  if (isTerminal(state)) {
    Date completion = std::max(authoritativeTimestamp, startedAt);
    for (const AgentEvent& event : recentEvents) {
      if (isTerminal(event)) {
        completion = std::max(completion, event.timestamp);
      }
    }
    completedAt = completion;
  }
  for (AgentWorkflow& workflow : workflows) {
    if (workflow.id == workflowId && workflow.updatedAt > limit) {
      workflow.updatedAt = authoritativeTimestamp;
    }
  }
  return true;
}

bool AgentSession::reconcileRestoredWorkflow(const AgentEvent& event) {
  if (!AgentCatalogue::habitsOf(provider).reportsWorkflows || !event.workflowUpdate) {
    return false;
  }
  const AgentWorkflowUpdate& change = *event.workflowUpdate;
  const Date time = event.timestamp;
  bool changed = repairLegacyRestoredWorkflowRecency(change.id, time);
  if (!AgentTaskTitle::displayable(task) && event.task) {
    if (auto title = AgentTaskTitle::displayable(*event.task)) {
      changed = changed || *title != task;
      task = std::move(*title);
    }
  }
  const std::vector<AgentWorkflow> before = workflows;
  const auto existing = std::find_if(workflows.begin(), workflows.end(),
                                     [&](const AgentWorkflow& w) { return w.id == change.id; });
  if (existing == workflows.end()) {
    workflows.push_back(newWorkflow(change, time));
  } else {
    applyChange(*existing, change, time);
  }
  sortWorkflows(workflows);
  return changed || workflows != before;
}

void AgentSession::retainPendingReplies(const std::function<bool(const UUID&)>& isLive) {
  std::erase_if(pendingReplies,
                [&](const AgentPendingReply& reply) { return !isLive(reply.replyId); });
  pendingReply = pendingReplies.empty() ? std::nullopt : std::optional(pendingReplies.back());
}

bool AgentSession::removePendingReply(const UUID& replyId) {
  const auto removed = std::erase_if(
      pendingReplies, [&](const AgentPendingReply& reply) { return reply.replyId == replyId; });
  if (removed == 0) {
    return false;
  }
  pendingReply = pendingReplies.empty() ? std::nullopt : std::optional(pendingReplies.back());
  return true;
}

bool AgentTaskTitle::isUserVisible(const AgentSession& session, const AgentSession& groupRoot) {
  return !session.isInternalHelper && !groupRoot.isInternalHelper;
}

// ---------------------------------------------------------------------------------------------
// JSON form
// ---------------------------------------------------------------------------------------------

namespace {

// Keeps the first workflow of each id (after sorting, the newest).
void keepFirstOfEachId(std::vector<AgentWorkflow>& workflows) {
  std::unordered_set<std::string> seen;
  std::erase_if(workflows,
                [&](const AgentWorkflow& workflow) { return !seen.insert(workflow.id).second; });
}

// Keeps the last prompt of each reply id, where it stands in the order of arrival.
void keepLastOfEachReplyId(std::vector<AgentPendingReply>& replies) {
  std::unordered_set<UUID> seen;
  std::vector<AgentPendingReply> kept;
  for (auto it = replies.rbegin(); it != replies.rend(); ++it) {
    if (seen.insert(it->replyId).second) {
      kept.push_back(std::move(*it));
    }
  }
  std::reverse(kept.begin(), kept.end());
  replies = std::move(kept);
}

}  // namespace

Json encodeWithoutEvents(const AgentSession& session) {
  return JSONCoding::ObjectBuilder()
      .set("id", session.id)
      .set("provider", session.provider)
      .set("task", session.task)
      .set("currentActivity", session.currentActivity)
      .set("state", session.state)
      .set("startedAt", session.startedAt)
      .set("updatedAt", session.updatedAt)
      .set("completedAt", session.completedAt)
      .set("workingDirectory", session.workingDirectory)
      .set("projectName", session.projectName)
      .set("recentFiles", session.recentFiles)
      .set("applicationURL", session.applicationURL)
      .set("origin", session.origin)
      .set("parentSessionId", session.parentSessionId)
      .set("agentRole", session.agentRole)
      .set("plan", session.plan)
      .set("workflows", session.workflows)
      .set("pendingReply", session.pendingReply)
      .set("pendingReplies", session.pendingReplies)
      .set("hasOfficialSessionTitle", session.hasOfficialSessionTitle)
      .set("isInternalHelper", session.isInternalHelper)
      .build();
}

Json Codable<AgentSession>::encode(const AgentSession& session) {
  Json value = encodeWithoutEvents(session);
  Json events = Json::array();
  std::vector<std::string> scratch;
  for (const std::string_view text : session.recentEvents.texts(scratch)) {
    // Kept texts are the shared coder's own output: parsing one gives back its encoding.
    auto parsed = Coding::parse(text);
    events.push_back(parsed ? std::move(*parsed) : Json());
  }
  value["recentEvents"] = std::move(events);
  return value;
}

AgentSession Codable<AgentSession>::decode(const Json& value, const std::string& path) {
  const JSONCoding::Fields fields(value, path);
  AgentSession session{
      .id = fields.required<std::string>("id"),
      .provider = fields.required<AgentProvider>("provider"),
      .task = fields.required<std::string>("task"),
      .currentActivity = fields.required<std::string>("currentActivity"),
      .state = fields.required<AgentState>("state"),
      .startedAt = fields.required<Date>("startedAt"),
      .updatedAt = fields.required<Date>("updatedAt"),
      .completedAt = fields.optional<Date>("completedAt"),
      .workingDirectory = fields.optional<std::string>("workingDirectory"),
      .projectName = fields.optional<std::string>("projectName"),
      .recentFiles = fields.required<std::vector<std::string>>("recentFiles"),
      .recentEvents = AgentEventHistory(fields.required<std::vector<AgentEvent>>("recentEvents")),
      .applicationURL = fields.optional<std::string>("applicationURL"),
      .origin = fields.optional<AgentOrigin>("origin"),
      .parentSessionId = fields.optional<std::string>("parentSessionId"),
      .agentRole = fields.optional<std::string>("agentRole"),
      .plan = fields.optional<AgentPlan>("plan"),
      .workflows = fields.optional<std::vector<AgentWorkflow>>("workflows")
                       .value_or(std::vector<AgentWorkflow>{}),
      .pendingReply = fields.optional<AgentPendingReply>("pendingReply"),
  };
  if (session.applicationURL && !isValidURLString(*session.applicationURL)) {
    JSONCoding::fail(DecodingError::Kind::dataCorrupted, JSONCoding::member(path, "applicationURL"),
                     "Invalid URL string.");
  }
  auto pendingReplies = fields.optional<std::vector<AgentPendingReply>>("pendingReplies");
  const auto storedOfficialTitle = fields.optional<bool>("hasOfficialSessionTitle");
  const auto storedInternalHelper = fields.optional<bool>("isInternalHelper");

  session.projectName = nonEmpty(session.projectName);
  if (!session.projectName && session.workingDirectory) {
    session.projectName = projectNameOf(*session.workingDirectory, session.origin);
  }
  if (session.recentFiles.size() > AgentSession::recentFileLimit) {
    session.recentFiles.resize(AgentSession::recentFileLimit);
  }
  session.recentEvents.sortAndTruncate(AgentSession::recentEventLimit);
  sortWorkflows(session.workflows);
  keepFirstOfEachId(session.workflows);

  if (pendingReplies) {
    session.pendingReplies = std::move(*pendingReplies);
    keepLastOfEachReplyId(session.pendingReplies);
  } else if (session.pendingReply) {
    session.pendingReplies = {*session.pendingReply};
  }
  if (session.state != AgentState::waitingForUser) {
    session.pendingReply.reset();
    session.pendingReplies.clear();
  }

  session.hasOfficialSessionTitle = storedOfficialTitle.value_or(
      std::any_of(session.recentEvents.begin(), session.recentEvents.end(),
                  [](const AgentEvent& e) { return carriesOfficialTitle(e); }));
  if (storedInternalHelper) {
    session.isInternalHelper = *storedInternalHelper;
  } else {
    session.isInternalHelper = AgentTaskTitle::isInternalHelper(session.task, session.provider) ||
                               std::any_of(session.recentEvents.begin(), session.recentEvents.end(),
                                           [&](const AgentEvent& e) {
                                             return isInternalHelperTask(e.task, session.provider);
                                           });
  }
  if (session.state == AgentState::completed && session.plan) {
    session.plan->completeUnfinishedSteps(session.completedAt.value_or(session.updatedAt));
  }
  return session;
}

}  // namespace tarvel

std::size_t std::hash<tarvel::AgentSession>::operator()(const tarvel::AgentSession& session) const {
  // Equal sessions have equal encodings, so hashing the canonical encoding is consistent with ==.
  return std::hash<std::string>{}(tarvel::encodeJSON(session));
}
