#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"

// The fixture of tarvel's command tests: the built programs run with a home of the test's own.
namespace tarvel::Testing {

// The installable agents' rows in the catalogue.
namespace Agent {
inline const AgentRow& claudeCode = *AgentCatalogue::installable("claude-code");
inline const AgentRow& codex = *AgentCatalogue::installable("codex");
inline const AgentRow& geminiCLI = *AgentCatalogue::installable("gemini-cli");
inline const AgentRow& cursor = *AgentCatalogue::installable("cursor");
inline const AgentRow& qwenCode = *AgentCatalogue::installable("qwen-code");
inline const AgentRow& copilot = *AgentCatalogue::installable("copilot");
inline const AgentRow& openCode = *AgentCatalogue::installable("opencode");
inline const AgentRow& kilo = *AgentCatalogue::installable("kilo");
inline const AgentRow& droid = *AgentCatalogue::installable("droid");
inline const AgentRow& grok = *AgentCatalogue::installable("grok");
}  // namespace Agent

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// The built tarvel run as a child with HOME set to a temporary directory; PATH holds no codex.
class TarvelInstallTest : public ::testing::Test {
 protected:
  Outcome tarvel(std::vector<std::string> arguments,
                 const std::string& path = "/usr/bin:/bin") const {
    return run("tarvel", std::move(arguments), path);
  }

  // One of the built programs (or, named by its path, another program), as tarvel() runs tarvel:
  // in the home, its output collected. One that blocks (on a FIFO, a hung program) is a failure,
  // not a hung test.
  Outcome run(const std::string& name, std::vector<std::string> arguments,
              const std::string& path = "/usr/bin:/bin",
              std::vector<std::string> environment = {}) const {
    arguments.insert(arguments.begin(), name.starts_with('/') ? name : program(name));
    environment.push_back("PATH=" + path);
    ChildProcess child({.command = std::move(arguments),
                        .home = home,
                        .environment = std::move(environment),
                        .workingDirectory = home});
    Outcome outcome{.status = child.wait()};
    if (!child.hasEnded()) {
      ADD_FAILURE() << name << " did not finish";
    }
    outcome.out = child.standardOutput();
    outcome.err = child.standardError();
    return outcome;
  }

  std::filesystem::path relay() const { return home / ".tarvel" / "bin" / "tarvel-hook"; }

  TemporaryFolder temporary{"install"};
  const std::filesystem::path home = temporary.path;
};

// Every entry of ours (exactly `command`) found anywhere in the document.
inline std::size_t countOurs(const AgentConfigurations::Document& value, const std::string& command) {
  std::size_t count = AgentConfigurations::isOurEntry(value, command) ? 1 : 0;
  if (value.is_structured()) {
    for (const auto& element : value) {
      count += countOurs(element, command);
    }
  }
  return count;
}

}  // namespace tarvel::Testing
