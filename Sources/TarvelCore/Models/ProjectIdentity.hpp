#pragma once

#include <optional>
#include <string>
#include <string_view>

// Turns an agent's working directory into the short project name shown beside a session. A git
// linked worktree (a directory whose ".git" is a file pointing into the main repository's
// ".git/worktrees") is named after its main repository, not after the worktree folder.
//
// Pure functions over the file system, safe from any thread. Nothing here throws on file-system
// trouble: an unreadable, missing, looping or over-long path counts as "not found".
namespace tarvel::ProjectIdentity {

// The project name for a working directory ("~" is expanded against the home directory); absent
// only for an empty or all-blank path.
std::optional<std::string> name(std::string_view workingDirectory);

// The main repository's name for the worktree `worktree` whose ".git" file is `gitFile`; absent
// when the file cannot be read or does not lead to a repository.
std::optional<std::string> worktreeName(const std::string& gitFile, const std::string& worktree);

// The git directory named by the first "gitdir:" line of a ".git" file's text, resolved against
// the worktree directory; absent when no such line exists.
std::optional<std::string> gitDir(std::string_view gitFileText, const std::string& worktree);

// `path` made absolute against the directory `base` (when relative) with "." and ".." folded.
// The result has no trailing "/" except for the root itself.
std::optional<std::string> resolvedPath(const std::optional<std::string>& path,
                                        const std::string& base);

// "/repos/app/.git" gives "app", a bare "/repos/app.git" gives "app", anything else its own last
// component.
std::optional<std::string> repositoryNameFromCommonGitDir(const std::string& commonGitDir);

// The repository name taken from a path of the form ".../app/.git/worktrees/<name>".
std::optional<std::string> repositoryNameFromWorktreeGitDir(const std::string& gitDir);

}  // namespace tarvel::ProjectIdentity
