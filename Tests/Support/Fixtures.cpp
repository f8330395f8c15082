#include "Support/Fixtures.hpp"

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "TarvelCore/Platform/Coding.hpp"

namespace tarvel::Testing {

namespace fs = std::filesystem;

// Given by the build (Tests/CMakeLists.txt) to this file alone.
fs::path fixturePath(std::string_view name) { return fs::path(TARVEL_FIXTURES_DIR) / name; }
fs::path testFile(std::string_view name) { return fs::path(TARVEL_TESTS_DIR) / name; }
fs::path builtFile(std::string_view name) { return fs::path(TARVEL_BINARY_DIR) / name; }

std::string program(std::string_view name) {
  return (builtFile("bin") / name).string();
}

std::string readFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

void writeFile(const fs::path& path, std::string_view bytes) {
  if (path.has_parent_path()) {
    fs::create_directories(path.parent_path());
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string fixture(std::string_view name) {
  const fs::path path = fixturePath(name);
  std::ifstream stream(path, std::ios::binary);
  EXPECT_TRUE(stream) << "cannot read the fixture " << path;
  return {std::istreambuf_iterator<char>(stream), {}};
}

std::string agentDocument(std::string_view name) {
  return fixture("agents/" + std::string(name));
}

std::string agentDocument(std::string_view agent, std::string_view name,
                          std::string_view session) {
  Json value = Coding::parse(agentDocument(std::string(agent) + "/" + std::string(name) + ".json"))
                   .value();
  // Copilot CLI names it in camel case.
  value[value.contains("sessionId") ? "sessionId" : "session_id"] = session;
  return value.dump();
}

std::string permissionRequest(std::string_view session) {
  std::string document = agentDocument("claude/PermissionRequest.json");
  const std::string_view original = "a34702ef-72d2-4879-a175-c91e0f3f8d8c";
  for (auto at = document.find(original); at != std::string::npos; at = document.find(original)) {
    document.replace(at, original.size(), session);
  }
  return document;
}

const std::string allowAnswer =
    "{\"hookSpecificOutput\":{\"decision\":{\"behavior\":\"allow\"},"
    "\"hookEventName\":\"PermissionRequest\"}}\n";

void installFixtureProgram(std::string_view name, const fs::path& destination) {
  writeFile(destination, fixture(name));
  fs::permissions(destination, fs::perms(0755));
}

}  // namespace tarvel::Testing
