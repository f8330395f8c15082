#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The files tests read and run: the captured fixtures (Tests/Fixtures), the tests' own scripts
// (Tests/) and what the build made. Their places are settled here alone, from the build; a test
// never works them out from where its source lies.
namespace tarvel::Testing {

// Tests/Fixtures/<name>.
std::filesystem::path fixturePath(std::string_view name);
// The bytes of Tests/Fixtures/<name>; a fixture that cannot be read fails the test.
std::string fixture(std::string_view name);
// The bytes of a captured agent document, Tests/Fixtures/agents/<name> ("claude/Stop.json").
std::string agentDocument(std::string_view name);
// A captured document of `agent` ("claude", "codex") named `name` (without ".json"), as sent by
// session `session`.
std::string agentDocument(std::string_view agent, std::string_view name, std::string_view session);
// Claude Code's captured permission request to run "touch created-by-agent.txt", as sent by
// session `session`, byte for byte as captured but for the session id.
std::string permissionRequest(std::string_view session);
// What a Claude Code hook prints when its permission request was allowed.
extern const std::string allowAnswer;

// Copies the fixture program `name` to `destination` (its folders made), runnable (0755): the
// copy runs wherever the clone lies, on a file system that runs nothing or with the modes lost.
void installFixtureProgram(std::string_view name, const std::filesystem::path& destination);

// Tests/<name>: a script or file of the tests themselves.
std::filesystem::path testFile(std::string_view name);
// <build>/<name>: what the build made ("completions/tarvel.bash", "man/tarvel.1").
std::filesystem::path builtFile(std::string_view name);
// The path of one of the built programs ("tarvel", "tarvel-hook", ...).
std::string program(std::string_view name);

// The bytes of `path`; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// Writes `bytes` to `path` (replacing it), making its folders first.
void writeFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace tarvel::Testing
