// Help, the manual and both shells' completions follow the command table.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/TarvelInstallTest.hpp"
#include "Tools/tarvel/CommandLine.hpp"
#include "Tools/tarvel/Commands.hpp"
#include "Tools/tarvel/InstallCommand.hpp"

namespace {

namespace fs = std::filesystem;
using tarvel::AgentConfigurations::Document;
using tarvel::Testing::builtFile;
using tarvel::Testing::fixturePath;
using tarvel::Testing::Outcome;
using tarvel::Testing::program;
using tarvel::Testing::readFile;
using tarvel::Testing::TarvelInstallTest;
using tarvel::Testing::testFile;
using tarvel::Testing::writeFile;

TEST_F(TarvelInstallTest, EveryProgramAnswersHelp) {
  // Program, arguments, what the answer starts with; -h and --help alike, exit 0, on stdout.
  // (Each tarvel command's help: EveryCommandsHelpCompletionsAndManualFollowTheTable.)
  const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> table{
      {"tarvel", {}, "usage: tarvel install"},
      {"tarvel-hook", {}, "usage: tarvel-hook"},
      {"tarvel-island", {}, "usage: tarvel-island"},
      {"tarvel-monitor", {}, "usage: tarvel-monitor"},
      {"QuoyaCodexHook", {}, "usage: QuoyaCodexHook"},
  };
  for (const auto& [program, subcommand, expected] : table) {
    for (const std::string flag : {"-h", "--help"}) {
      std::vector<std::string> arguments = subcommand;
      arguments.push_back(flag);
      SCOPED_TRACE(program + " " + (subcommand.empty() ? "" : subcommand[0] + " ") + flag);
      const auto outcome = run(program, arguments);
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      EXPECT_TRUE(outcome.out.starts_with(expected)) << outcome.out;
      EXPECT_EQ(outcome.err, "");
    }
  }
  // Help wins wherever it stands; a wrong subcommand still gets the usage on stderr, exit 2.
  EXPECT_EQ(tarvel({"uninstall", "-h", "--agent", "codex"}).status, 0);
  const auto wrong = tarvel({"service", "enable"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("usage: tarvel service"), std::string::npos) << wrong.err;
  EXPECT_EQ(wrong.out, "");
  const auto version = tarvel({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("tarvel ") + TARVEL_VERSION + "\n");
}

std::vector<std::string> nonEmptyLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

std::vector<std::string> sortedUnique(std::vector<std::string> words) {
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

std::vector<std::string> namesOf(tarvel::CommandLine::WordList list) {
  std::vector<std::string> names;
  for (const auto& word : list()) {
    names.push_back(word.name);
  }
  return names;
}

std::vector<std::string> plus(std::vector<std::string> words, std::vector<std::string> more) {
  words.insert(words.end(), more.begin(), more.end());
  return words;
}

// A tarvel command line being completed, and the words each shell must offer for its last one.
struct CompletionCase {
  std::vector<std::string> words;  // after "tarvel"; the last is the one being completed
  std::vector<std::string> expected;
  bool afterEquals = false;  // the last word is the value of "--option=", the word before it
};

// What the command table says the shells offer: the commands; each command's actions; each
// command's (or action's) options after "-", their values' words (after the option, and after
// "--option="), and each operand's words.
std::vector<CompletionCase> completionCasesOfTheTable() {
  using tarvel::CommandLine::Operand;
  using tarvel::CommandLine::Option;
  std::vector<CompletionCase> cases;
  const auto scope = [&](const std::vector<std::string>& head,
                         const std::vector<std::span<const Option>>& optionLists,
                         std::span<const Operand> operands) {
    std::vector<std::string> names;
    for (const auto options : optionLists) {
      for (const Option& option : options) {
        names.emplace_back(option.name);
        const auto words =
            option.words != nullptr ? namesOf(option.words) : std::vector<std::string>{};
        if (!option.value.empty()) {
          cases.push_back({plus(head, {std::string(option.name), ""}), words});
        }
        if (!option.value.empty() && option.name.starts_with("--")) {
          cases.push_back({plus(head, {std::string(option.name), ""}), words, true});
        }
      }
    }
    cases.push_back({plus(head, {"-"}), names});
    std::vector<std::string> before = head;
    for (const Operand& operand : operands) {
      cases.push_back({plus(before, {""}), operand.words != nullptr ? namesOf(operand.words)
                                                                    : std::vector<std::string>{}});
      before.emplace_back("x");
    }
  };
  std::vector<std::string> commandNames;
  for (const auto* command : tarvel::Commands::all()) {
    if (command->hidden) {
      continue;
    }
    const std::string name(command->name);
    commandNames.push_back(name);
    if (command->actions.empty()) {
      scope({name}, {command->options}, command->operands);
      continue;
    }
    std::vector<std::string> actionNames;
    for (const auto& action : command->actions) {
      actionNames.emplace_back(action.name);
      scope({name, std::string(action.name)}, {action.options, command->options}, action.operands);
    }
    cases.push_back({{name, ""}, actionNames});
  }
  cases.push_back({{""}, commandNames});
  return cases;
}

std::string traceOf(const CompletionCase& completion) {
  std::string text = "tarvel";
  for (std::size_t index = 0; index < completion.words.size(); ++index) {
    const bool joined = completion.afterEquals && index + 1 == completion.words.size();
    text += (joined ? "=" : " ") + completion.words[index];
  }
  return text + "<TAB>";
}

TEST_F(TarvelInstallTest, EveryCommandsHelpCompletionsAndManualFollowTheTable) {
  const fs::path built = builtFile("");
  // --agent takes the agent table's installable rows, each of which install accepts.
  std::vector<std::string> agents;
  for (const auto* row : tarvel::AgentCatalogue::all()) {
    if (!row->installName.empty()) {
      agents.emplace_back(row->installName);
    }
  }
  ASSERT_EQ(namesOf(tarvel::InstallCommand::install.options.front().words), agents);
  for (const std::string& agent : agents) {
    SCOPED_TRACE(agent);
    const auto installed = tarvel({"install", "--agent", agent, "--dry-run"});
    EXPECT_EQ(installed.status, 0) << installed.err;
  }

  // Each command's help, asked three ways, on stdout with exit 0; its usage, unwrapped, is the
  // manual's synopsis line.
  std::vector<std::string> synopsis;
  for (const auto* command : tarvel::Commands::all()) {
    const std::string name(command->name);
    SCOPED_TRACE(name);
    const auto help = tarvel({name, "--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.err, "");
    ASSERT_TRUE(help.out.starts_with("usage: tarvel " + name)) << help.out;
    EXPECT_EQ(tarvel({name, "-h"}).out, help.out);
    EXPECT_EQ(tarvel({"help", name}).out, help.out);
    if (command->hidden) {
      continue;
    }
    std::string usage;
    for (const std::string& line : nonEmptyLines(help.out)) {
      if (!usage.empty() && !line.starts_with("   ")) {
        break;
      }
      usage += (usage.empty() ? "" : " ") + line.substr(line.find_first_not_of(' '));
    }
    synopsis.push_back(usage.substr(std::string_view("usage: ").size()));
    // Every option and action is in the help.
    for (const auto& option : command->options) {
      EXPECT_NE(help.out.find(std::string(option.name) + " "), std::string::npos) << option.name;
    }
    for (const auto& action : command->actions) {
      EXPECT_NE(help.out.find("  " + std::string(action.name)), std::string::npos) << action.name;
    }
  }
  synopsis.emplace_back("tarvel --version | --help");
  const auto manual = run("/usr/bin/groff", {"-man", "-Tutf8", "-P-cbou", "-rLL=2000n", "-ww",
                                             (built / "man" / "tarvel.1").string()});
  ASSERT_EQ(manual.status, 0) << manual.err;
  EXPECT_EQ(manual.err, "");  // no warning
  std::vector<std::string> manualSynopsis;
  bool inSynopsis = false;
  for (const std::string& line : nonEmptyLines(manual.out)) {
    if (!line.starts_with(' ')) {
      inSynopsis = line == "SYNOPSIS";
    } else if (inSynopsis) {
      manualSynopsis.push_back(line.substr(line.find_first_not_of(' ')));
    }
  }
  EXPECT_EQ(manualSynopsis, synopsis);
  // The manual's install entry names every agent --agent takes.
  const std::size_t agentList = manual.out.find(" is one of ");
  ASSERT_NE(agentList, std::string::npos);
  const std::string named =
      manual.out.substr(agentList, manual.out.find(" works too", agentList) - agentList);
  for (const std::string& agent : agents) {
    EXPECT_NE(named.find(" " + agent), std::string::npos) << agent << " in: " << named;
  }
  const auto overview = tarvel({"--help"});
  for (const std::string& line : synopsis) {
    EXPECT_NE(overview.out.find(line.substr(0, line.find(' ', 7))), std::string::npos) << line;
  }

  // bash, with the completion loaded as bash-completion loads it: sourced inside a function.
  const std::string bashScript =
      "load() { source \"$1\"; }; load \"$1\"; shift; COMP_WORDS=(tarvel \"$@\"); "
      "COMP_CWORD=$#; _tarvel; printf '%s\\n' \"${COMPREPLY[@]}\"";
  for (const CompletionCase& completion : completionCasesOfTheTable()) {
    SCOPED_TRACE("bash: " + traceOf(completion));
    std::vector<std::string> words = completion.words;
    if (completion.afterEquals) {  // bash splits "--agent=" into "--agent" and "="
      words.back() = "=";
    }
    const auto offered = run(
        "/bin/bash",
        plus({"-c", bashScript, "bash", (built / "completions" / "tarvel.bash").string()}, words));
    ASSERT_EQ(offered.status, 0) << offered.err;
    EXPECT_EQ(offered.err, "");
    EXPECT_EQ(sortedUnique(nonEmptyLines(offered.out)), sortedUnique(completion.expected));
  }
}

// zsh's own completion system, driven on a pseudo-terminal, offers what the table declares.
TEST_F(TarvelInstallTest, ZshCompletionOffersWhatTheTableDeclares) {
  if (::access("/usr/bin/zsh", X_OK) != 0) {
    GTEST_SKIP() << "needs zsh (make deps-test installs it)";
  }
  const std::vector<CompletionCase> cases = completionCasesOfTheTable();
  std::vector<std::string> arguments{
      testFile("Tools/tarvel/zsh_complete.zsh"), builtFile("completions")};
  for (const CompletionCase& completion : cases) {
    std::string line = "tarvel";
    for (std::size_t index = 0; index < completion.words.size(); ++index) {
      const bool joined = completion.afterEquals && index + 1 == completion.words.size();
      line += (joined ? "=" : " ") + completion.words[index];
    }
    arguments.push_back(line);
  }
  const auto offered = run("/usr/bin/zsh", arguments);
  ASSERT_EQ(offered.status, 0) << offered.err;
  std::vector<std::vector<std::string>> answers(1);
  for (const std::string& word : nonEmptyLines(offered.out)) {
    if (word == "--") {
      answers.emplace_back();
    } else {
      // zsh offers "--since=" for an option whose value may follow "=".
      answers.back().push_back(word.ends_with('=') ? word.substr(0, word.size() - 1) : word);
    }
  }
  ASSERT_EQ(answers.size(), cases.size() + 1) << offered.out;
  for (std::size_t index = 0; index < cases.size(); ++index) {
    SCOPED_TRACE("zsh: " + traceOf(cases[index]));
    EXPECT_EQ(sortedUnique(answers[index]), sortedUnique(cases[index].expected));
  }
}

}  // namespace
