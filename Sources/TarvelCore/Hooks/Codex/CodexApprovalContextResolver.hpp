#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"

// Decides whether a Codex permission request needs the user, or goes to an automatic reviewer
// ("auto_review", "guardian_subagent"), from the payload or the session transcript's newest
// "turn_context" record for the turn. Reads at most the transcript's last 4 MiB; never fails:
// anything unreadable means the user is needed.
namespace tarvel::CodexApprovalContextResolver {

inline constexpr std::size_t maximumTranscriptTailBytes = 4194304;

// False only for a PermissionRequest whose reviewer is automatic; true for every other event.
// The transcript is read only when it lies inside `codexHome`.
bool permissionRequestRequiresUserInput(const AgentHookPayload& payload,
                                        const std::filesystem::path& codexHome);
// The same with the current user's Codex home (~/.codex).
bool permissionRequestRequiresUserInput(const AgentHookPayload& payload);

// The reviewer named by the newest "turn_context" record of turn `turnId` in the transcript's
// tail (which may name none), or absent when no record matches or the transcript lies outside
// `codexHome`.
std::optional<std::string> reviewer(const std::filesystem::path& transcript,
                                    std::string_view turnId,
                                    const std::filesystem::path& codexHome);

}  // namespace tarvel::CodexApprovalContextResolver
