#include "QuoyaCore/CodexMetadataReader.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "QuoyaCore/CodexAppServer.hpp"
#include "QuoyaCore/SessionPresentation.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/UUID.hpp"

namespace quoya::CodexMetadataReader {
namespace {

using tarvel::Json;

std::vector<std::string> keptThreadIds(const std::vector<std::string>& ids) {
  std::vector<std::string> kept;
  for (const std::string& id : ids) {
    if (tarvel::UUID::parse(id)) {
      kept.push_back(id);
    }
  }
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  if (kept.size() > maximumThreadCount) {
    kept.resize(maximumThreadCount);
  }
  return kept;
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// Whether an answer describes the thread it was asked for.
bool describesThread(const Json& answer, const std::string& threadId) {
  const auto result = answer.find("result");
  if (result == answer.end() || !result->is_object()) {
    return false;
  }
  const auto thread = result->find("thread");
  if (thread == result->end() || !thread->is_object()) {
    return false;
  }
  const auto id = thread->find("id");
  return id != thread->end() && id->is_string() && id->get_ref<const std::string&>() == threadId;
}

}  // namespace

std::map<std::string, std::string> readTitles(const std::vector<std::string>& ids,
                                              const std::filesystem::path& executable) {
  return readTitles(ids, executable, deadline);
}

std::map<std::string, std::string> readTitles(const std::vector<std::string>& ids,
                                              const std::filesystem::path& executable,
                                              std::chrono::milliseconds callDeadline) {
  std::vector<std::string> threadIds = keptThreadIds(ids);
  if (threadIds.empty() || !isExecutableFile(executable)) {
    return {};
  }
  // A bare name is the file in the working folder, as checked above, not one on PATH.
  const std::filesystem::path program =
      executable.has_parent_path() ? executable : std::filesystem::path(".") / executable;
  std::vector<CodexAppServer::Request> requests;
  for (const std::string& threadId : threadIds) {
    requests.push_back({.method = "thread/read",
                        .params = {{"threadId", threadId}, {"includeTurns", false}}});
  }
  std::map<std::string, std::string> titles;
  CodexAppServer::ask({program.string(), "app-server", "--stdio"},
                      {.name = "quoya_island_titles", .version = "0.4.0"}, requests,
                      {.deadline = callDeadline,
                       .maximumOutputBytes = maximumOutputBytes,
                       .readChunkBytes = readChunkBytes,
                       .readinessWait = readinessWait,
                       .terminationGrace = terminationGrace},
                      [&](std::size_t index, const Json& answer) {
                        const std::string& threadId = threadIds[index];
                        if (describesThread(answer, threadId)) {
                          titles[threadId] =
                              SessionPresentation::title(answer, threadId).value_or("");
                        }
                      });
  return titles;
}

}  // namespace quoya::CodexMetadataReader
