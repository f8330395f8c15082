#include <string>

#include <gtest/gtest.h>

#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

TEST(AgentTaskTitle, DisplayableRejectsPlaceholdersTagsAndHousekeeping) {
  struct Case {
    const char* text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"Untitled task", std::nullopt},
      {"  Untitled task\n", std::nullopt},
      {" \n\t\u3000", std::nullopt},
      {"<environment_context>", std::nullopt},
      {"</user-instructions>", std::nullopt},
      {"<turn_aborted reason=\"x\" \n id=2>", std::nullopt},
      {"<a\u00A0b>", std::nullopt},
      {"<1abc>", "<1abc>"},
      {"<a>b>", "<a>b>"},
      {"<a b>c>", "<a b>c>"},
      {"<a>\n<b>", "<a>\n<b>"},
      {"<abc", "<abc"},
      {"[Image #1]", std::nullopt},
      {"[Image #1] [Image #22]", std::nullopt},
      {"[Image #3] <note>", std::nullopt},
      {"Fix the header [Image #1]", "Fix the header"},
      {"[Image #2] Fix  it", "Fix  it"},
      {"Keep [Image #] and [Image #x]", "Keep [Image #] and [Image #x]"},
      {"Arabic digits [Image #\u0661\u0662]", "Arabic digits"},
      {"You are a helpful agent", std::nullopt},
      {"YOU ARE here", std::nullopt},
      {"[Image #1] you are", "you are"},
      {"[Image #1] you are x", std::nullopt},
      {"Youare fine", "Youare fine"},
      {"Run the Memory Writing Agent now", std::nullopt},
      {"<in-app-browser-context url=1> look", std::nullopt},
      {"  Real title \n", "Real title"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.text);
    EXPECT_EQ(AgentTaskTitle::displayable(item.text), item.expected);
  }
}

TEST(AgentTaskTitle, ScannersStayLinearOnOneMebibyteLines) {
  const std::size_t size = 1 << 20;
  EXPECT_EQ(AgentTaskTitle::displayable("<a " + std::string(size, 'x') + ">"), std::nullopt);
  const std::string unclosed = "<a " + std::string(size, 'x');
  EXPECT_EQ(AgentTaskTitle::displayable(unclosed), unclosed);
  std::string manyOpenings;
  while (manyOpenings.size() < size) {
    manyOpenings += "[Image #123";
  }
  EXPECT_EQ(AgentTaskTitle::displayable(manyOpenings), manyOpenings);
  std::string placeholders;
  while (placeholders.size() < size) {
    placeholders += "[Image #9]";
  }
  EXPECT_EQ(AgentTaskTitle::displayable(placeholders + " done"), "done");
}

TEST(AgentTaskTitle, AssignedReplacesOnlyPlaceholders) {
  const std::optional<std::string> project = "app";
  struct Case {
    const char* label;
    std::string current;
    std::optional<std::string> incoming;
    std::optional<std::string> projectName;
    std::string expected;
  };
  const Case cases[] = {
      {"absent incoming keeps current", "Build it", std::nullopt, project, "Build it"},
      {"absent incoming cleans current", " Build it [Image #1]", std::nullopt, project, "Build it"},
      {"absent incoming, placeholder stays", "Untitled task", std::nullopt, project,
       "Untitled task"},
      {"placeholder replaced", "Untitled task", "Fix bug", project, "Fix bug"},
      {"tag replaced", "<environment_context>", " Fix bug ", project, "Fix bug"},
      {"real title kept", "Build it", "Fix bug", project, "Build it"},
      {"project name replaced", "app", "Fix bug", project, "Fix bug"},
      {"project name must match exactly", " app", "Fix bug", project, " app"},
      {"without project name kept", "app", "Fix bug", std::nullopt, "app"},
      {"housekeeping kept when nothing better", "Untitled task",
       "memory writing agent: consolidate", project, "memory writing agent: consolidate"},
      {"housekeeping never replaces a title", "Build it", "memory writing agent", project,
       "Build it"},
      {"undisplayable incoming", "Untitled task", "<tag>", project, "Untitled task"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.label);
    EXPECT_EQ(AgentTaskTitle::assigned(item.current, item.incoming, item.projectName),
              item.expected);
  }
}

TEST(AgentTaskTitle, FromPromptTakesFirstDisplayableLineAndCutsAtCharacters) {
  EXPECT_EQ(AgentTaskTitle::fromPrompt("\n<context>\r\n  Fix the build\nmore", 140),
            "Fix the build");
  EXPECT_EQ(AgentTaskTitle::fromPrompt("[Image #1]\u2028Second line\u2029", 140), "Second line");
  EXPECT_EQ(AgentTaskTitle::fromPrompt("\n \n<a>", 140), std::nullopt);

  const std::string longLine(200, 'x');
  const auto cut = AgentTaskTitle::fromPrompt(longLine, 140);
  ASSERT_TRUE(cut);
  EXPECT_EQ(*cut, std::string(139, 'x') + "\u2026");
  EXPECT_EQ(Text::characterCount(*cut), 140u);
  EXPECT_EQ(AgentTaskTitle::fromPrompt(std::string(140, 'y'), 140), std::string(140, 'y'));

  // Cuts between user-perceived characters, never inside one.
  std::string accents;
  for (int i = 0; i < 10; ++i) {
    accents += "e\u0301";
  }
  EXPECT_EQ(AgentTaskTitle::fromPrompt(accents, 4), "e\u0301e\u0301e\u0301\u2026");
  EXPECT_EQ(AgentTaskTitle::fromPrompt("abc", 1), "\u2026");
  EXPECT_EQ(AgentTaskTitle::fromPrompt("abc", 0), std::nullopt);
}

TEST(AgentTaskTitle, InternalHelperOnlyForCodexCommitPrompt) {
  const std::string prompt =
      "  Using the supplied git context below, generate a git commit message for these changes.";
  EXPECT_TRUE(AgentTaskTitle::isInternalHelper(prompt, AgentProvider::codex));
  EXPECT_FALSE(AgentTaskTitle::isInternalHelper(prompt, AgentProvider::claudeCode));
  EXPECT_FALSE(AgentTaskTitle::isInternalHelper("Please: " + prompt, AgentProvider::codex));
  EXPECT_FALSE(AgentTaskTitle::isInternalHelper("Using the supplied git", AgentProvider::codex));
}

}  // namespace
}  // namespace tarvel
