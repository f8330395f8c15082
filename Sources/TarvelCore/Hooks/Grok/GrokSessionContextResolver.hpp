#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/Grok/GrokSessionContext.hpp"

// Reads a Grok session's context from the Grok home (".grok"): sessions/<workspace bucket>/<id>
// with its "summary.json" and "workflows/<run>/state.json", and, for a sub-agent,
// <any session directory of the bucket>/subagents/<id>/meta.json. Reads nothing outside the Grok
// home and no file above 1 MiB; never fails: what cannot be read is absent.
namespace tarvel::GrokSessionContextResolver {

// The context for a hook payload: the search for its session id under its workspace root, then
// its working directory. Without a find, the context holds only the payload's parent and role
// (its description, else its agent type).
GrokSessionContext resolve(const AgentHookPayload& payload, const std::filesystem::path& grokHome);

// The same search for one workspace root, without fallback values: every field is absent when
// nothing is found.
GrokSessionContext resolve(std::string_view sessionId,
                           const std::optional<std::string>& workspaceRoot,
                           const std::filesystem::path& grokHome);

// The bucket name of a workspace path: the absolute, standardised path with letters, combining
// marks and decimal digits of any script literal and every other byte as %XX (upper-case hex).
std::string workspaceBucketName(std::string_view workspacePath);

// The current user's Grok home: the home directory + "/.grok".
std::filesystem::path defaultGrokHome();

}  // namespace tarvel::GrokSessionContextResolver
