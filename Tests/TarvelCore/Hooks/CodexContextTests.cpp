#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "TarvelCore/Hooks/Codex/CodexApprovalContextResolver.hpp"
#include "TarvelCore/Hooks/Codex/CodexSessionTitleResolver.hpp"
#include "TarvelCore/Hooks/ContextTestSupport.hpp"
#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"
#include "TarvelCore/Platform/JSONLinesTail.hpp"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using ContextTesting::TemporaryHome;
using ContextTesting::writeFile;

std::string turnContext(const std::string& turn, const std::string& reviewer) {
  return R"({"type":"turn_context","payload":{"turn_id":")" + turn + R"(","cwd":"/w")" +
         (reviewer.empty() ? "" : R"(,"approvals_reviewer":")" + reviewer + "\"") + "}}\n";
}

// Lines of about 1 KiB that never mention the marker, up to `bytes`.
std::string filler(std::size_t bytes) {
  const std::string line =
      R"({"type":"response_item","payload":{"text":")" + std::string(1000, 'x') + "\"}}\n";
  std::string text;
  while (text.size() + line.size() <= bytes) {
    text += line;
  }
  return text;
}

TEST(JSONLinesTail, CutsToWholeLinesAndReadsAFileOfExactlyMaxBytesWhole) {
  TemporaryHome home;
  const fs::path file = home.path / "t.jsonl";
  writeFile(file, "first\nsecond\nthird\n");  // 19 bytes
  EXPECT_EQ(JSONLinesTail::jsonlTail(file, 19), "first\nsecond\nthird\n");
  EXPECT_EQ(JSONLinesTail::jsonlTail(file, 13), "second\nthird\n");  // starts exactly at a line
  EXPECT_EQ(JSONLinesTail::jsonlTail(file, 10), "third\n");
  writeFile(file, std::string(100, 'a'));
  EXPECT_EQ(JSONLinesTail::jsonlTail(file, 50), std::nullopt);  // cut, and no newline at all
  writeFile(file, "");
  EXPECT_EQ(JSONLinesTail::jsonlTail(file, 50), std::nullopt);
  EXPECT_EQ(JSONLinesTail::jsonlTail(home.path / "missing", 50), std::nullopt);
  EXPECT_EQ(JSONLinesTail::jsonlTail(home.path, 50), std::nullopt);  // a directory
}

TEST(JSONLinesTail, LinesContainingANeedleComeOnceInFileOrder) {
  const std::string bytes = "a x x\nno\nx at start\nlast x";
  const auto found = JSONLinesTail::lines(bytes, "x");
  EXPECT_EQ(found, (std::vector<std::string_view>{"a x x", "x at start", "last x"}));
  EXPECT_TRUE(JSONLinesTail::lines(bytes, "").empty());
  EXPECT_TRUE(JSONLinesTail::lines(bytes, "absent").empty());
  EXPECT_EQ(JSONLinesTail::firstNewline(bytes), 5u);
  EXPECT_EQ(JSONLinesTail::nonEmptyLines("\n\na\n\nb"), (std::vector<std::string_view>{"a", "b"}));
  // The longest run an encoder cannot have escaped.
  EXPECT_EQ(JSONLinesTail::verbatimNeedle("019a-7c3e"), "019a-7c3e");
  EXPECT_EQ(JSONLinesTail::verbatimNeedle("ab\"cde<f"), "cde");
  EXPECT_EQ(JSONLinesTail::verbatimNeedle("sessão-ü-1"), "sess");
  EXPECT_EQ(JSONLinesTail::verbatimNeedle("线程\"&"), "");
}

TEST(JSONLinesTail, RefusesLinksOutOfTheRootAndPathsHoldingNul) {
  TemporaryHome home;
  TemporaryHome elsewhere;
  const fs::path root = home.path / ".codex";
  writeFile(elsewhere.path / "secret.jsonl", "secret\n");
  writeFile(root / "own.jsonl", "own\n");
  fs::create_directory_symlink(elsewhere.path, root / "linked");
  fs::create_symlink(root / "own.jsonl", root / "alias.jsonl");
  EXPECT_EQ(JSONLinesTail::jsonlTail(root / "own.jsonl", 100, root), "own\n");
  EXPECT_EQ(JSONLinesTail::jsonlTail(root / "alias.jsonl", 100, root), "own\n");
  EXPECT_EQ(JSONLinesTail::jsonlTail(root / "linked" / "secret.jsonl", 100, root), std::nullopt);
  EXPECT_EQ(JSONLinesTail::jsonlTail(
                root / ".." / ".." / elsewhere.path.filename() / "secret.jsonl", 100, root),
            std::nullopt);
  // A NUL byte would make the system open the file named by the part before it.
  const std::string cutAtNul = (root / "own.jsonl").string() + std::string("\0.other", 7);
  EXPECT_EQ(JSONLinesTail::jsonlTail(cutAtNul, 100, root), std::nullopt);
  EXPECT_EQ(JSONLinesTail::jsonlTail(cutAtNul, 100), std::nullopt);
}

class CodexApprovalTest : public ::testing::Test {
 protected:
  fs::path codexHome() const { return home.path / ".codex"; }
  fs::path transcript() const { return codexHome() / "sessions" / "rollout.jsonl"; }

  AgentHookPayload permissionRequest(std::optional<std::string> reviewer = std::nullopt) const {
    return AgentHookPayload{.sessionId = "s",
                            .transcriptPath = transcript().string(),
                            .hookEventName = "PermissionRequest",
                            .turnId = "turn-2",
                            .approvalsReviewer = std::move(reviewer)};
  }

  TemporaryHome home;
};

TEST_F(CodexApprovalTest, FindsTheLastTurnContextOnlyWithinTheFinalFourMebibytes) {
  const std::size_t tenMiB = 10 * 1024 * 1024;
  // Inside the tail: the record sits 1 MiB before the end of a 10 MiB transcript.
  writeFile(transcript(), filler(tenMiB - 1024 * 1024) + turnContext("turn-2", "auto_review") +
                              filler(1024 * 1024));
  EXPECT_EQ(CodexApprovalContextResolver::reviewer(transcript(), "turn-2", codexHome()),
            "auto_review");
  EXPECT_FALSE(CodexApprovalContextResolver::permissionRequestRequiresUserInput(permissionRequest(),
                                                                                codexHome()));
  // Outside it: the only record lies 5 MiB before the end.
  writeFile(transcript(), filler(tenMiB - 5 * 1024 * 1024) + turnContext("turn-2", "auto_review") +
                              filler(5 * 1024 * 1024));
  EXPECT_EQ(CodexApprovalContextResolver::reviewer(transcript(), "turn-2", codexHome()),
            std::nullopt);
  EXPECT_TRUE(CodexApprovalContextResolver::permissionRequestRequiresUserInput(permissionRequest(),
                                                                               codexHome()));
}

TEST_F(CodexApprovalTest, TheNewestRecordOfTheTurnDecidesEvenWithoutAReviewer) {
  writeFile(transcript(), turnContext("turn-2", "auto_review") + turnContext("turn-1", "x") +
                              "not json turn_context\n" +
                              R"({"type":7,"payload":{"turn_id":"turn-2"}} turn_context)"
                              "\n" +
                              turnContext("turn-2", ""));
  EXPECT_EQ(CodexApprovalContextResolver::reviewer(transcript(), "turn-2", codexHome()),
            std::nullopt);
  writeFile(
      transcript(),
      turnContext("turn-2", "user") +
          R"({"type":"turn_context","payload":{"turnId":"turn-2","turn_id":5,"approvalsReviewer":"guardian_subagent"}})"
          "\n");
  EXPECT_EQ(CodexApprovalContextResolver::reviewer(transcript(), "turn-2", codexHome()),
            "guardian_subagent");
  // Turn ids written with escapes are matched on their decoded value.
  writeFile(
      transcript(),
      R"({"type":"turn_context","payload":{"turn_id":"t\u00fcrn\u0026\"1\"","approvals_reviewer":"auto_review"}})"
      "\n" +
          turnContext("turn-9", "user"));
  EXPECT_EQ(CodexApprovalContextResolver::reviewer(transcript(), "türn&\"1\"", codexHome()),
            "auto_review");
  EXPECT_EQ(CodexApprovalContextResolver::reviewer(transcript(), "türn&\"2\"", codexHome()),
            std::nullopt);
}

TEST_F(CodexApprovalTest, ReviewerWordsDecideWhetherTheUserIsNeeded) {
  writeFile(transcript(), turnContext("turn-2", "guardian_subagent"));
  struct Case {
    std::optional<std::string> payloadReviewer;
    bool requiresUser;
  };
  const Case cases[] = {
      {"Auto-Review", false},
      {" AUTO_REVIEW\n", false},
      {"guardian-subagent", false},
      {"user", true},
      {"", false},  // blank: the transcript's reviewer decides
      {std::nullopt, false},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.payloadReviewer.value_or("<none>"));
    EXPECT_EQ(CodexApprovalContextResolver::permissionRequestRequiresUserInput(
                  permissionRequest(item.payloadReviewer), codexHome()),
              item.requiresUser);
  }
  AgentHookPayload noTurn = permissionRequest();
  noTurn.turnId = " ";
  EXPECT_TRUE(
      CodexApprovalContextResolver::permissionRequestRequiresUserInput(noTurn, codexHome()));
  AgentHookPayload otherEvent = permissionRequest("auto_review");
  otherEvent.hookEventName = "PreToolUse";
  EXPECT_TRUE(
      CodexApprovalContextResolver::permissionRequestRequiresUserInput(otherEvent, codexHome()));
  // A transcript outside the Codex home is never read.
  TemporaryHome elsewhere;
  writeFile(elsewhere.path / "t.jsonl", turnContext("turn-2", "auto_review"));
  AgentHookPayload outside = permissionRequest();
  outside.transcriptPath = (elsewhere.path / "t.jsonl").string();
  EXPECT_TRUE(
      CodexApprovalContextResolver::permissionRequestRequiresUserInput(outside, codexHome()));
}

class CodexTitleTest : public ::testing::Test {
 protected:
  fs::path codexHome() const { return home.path / ".codex"; }
  void writeIndex(const std::string& text) const {
    writeFile(codexHome() / "session_index.jsonl", text);
  }
  TemporaryHome home;
};

TEST_F(CodexTitleTest, NewestIndexRecordForTheIdGivesItsDisplayableName) {
  // The first line has the shape the real Codex program writes.
  writeIndex(
      R"({"id":"01a254c3-8bff-7b91-858f-336dc3ec58f4","thread_name":"Integration title","updated_at":"2026-12-08T08:27:11.329684881Z"})"
      "\n"
      R"({"id":"abc","thread_name":"Old name"})"
      "\n"
      R"({"id":"abcd","thread_name":"Longer id"})"
      "\n"
      R"({"id":"abc","threadName":"  New name  "})"
      "\n"
      R"({"id":"untitled","thread_name":"Untitled task"})"
      "\n"
      R"({"id":"nameless","thread_name":7})"
      "\n");
  const auto title = [&](std::string_view id) {
    return CodexSessionTitleResolver::title(id, codexHome());
  };
  EXPECT_EQ(title("01a254c3-8bff-7b91-858f-336dc3ec58f4"), "Integration title");
  EXPECT_EQ(title(" abc\n"), "New name");
  EXPECT_EQ(title("abcd"), "Longer id");
  EXPECT_EQ(title("untitled"), std::nullopt);
  EXPECT_EQ(title("nameless"), std::nullopt);
  EXPECT_EQ(title("ab"), std::nullopt);
  for (const char* unsafe : {"", "  ", "a/b", "a\\b"}) {
    EXPECT_EQ(title(unsafe), std::nullopt) << unsafe;
  }
}

TEST_F(CodexTitleTest, IdsWithQuotesOrNonASCIIAreFoundWhateverTheEncoderEscaped) {
  writeIndex(R"({"id":"say \"hi\"","thread_name":"Quoted"})"
             "\n"
             R"({"id":"caf\u00e9","thread_name":"Escaped accent"})"
             "\n"
             R"({"id":"线程","thread_name":"中文标题"})"
             "\n"
             R"({"id":"\u7ebf\u7a0b\u4e8c","thread_name":"Escaped letters only"})"
             "\n"
             R"({"id":"\"\"","thread_name":"Quotes only"})"
             "\n"
             R"({"id":"a\u003cb\u0026c","thread_name":"HTML-safe encoder"})"
             "\n"
             R"({"id":"é","thread_name":"Written as itself"})"
             "\n");
  const auto title = [&](std::string_view id) {
    return CodexSessionTitleResolver::title(id, codexHome());
  };
  EXPECT_EQ(title("say \"hi\""), "Quoted");
  EXPECT_EQ(title("café"), "Escaped accent");
  EXPECT_EQ(title("线程"), "中文标题");
  EXPECT_EQ(title("线程二"), "Escaped letters only");
  EXPECT_EQ(title("\"\""), "Quotes only");
  EXPECT_EQ(title("a<b&c"), "HTML-safe encoder");
  EXPECT_EQ(title("é"), "Written as itself");
  EXPECT_EQ(title("ü"), std::nullopt);
}

TEST(CodexSessionTitleResolver, ThreadIdComesOnlyFromCodexNamespacedIds) {
  EXPECT_EQ(CodexSessionTitleResolver::threadID("codex:abc:def"), "abc");
  EXPECT_EQ(CodexSessionTitleResolver::threadID("codex::abc"), "abc");
  EXPECT_EQ(CodexSessionTitleResolver::threadID("codex:"), std::nullopt);
  EXPECT_EQ(CodexSessionTitleResolver::threadID("claude:abc"), std::nullopt);
}

TEST_F(CodexTitleTest, EnricherGivesMainSessionsTheirTitleAndSkipsSubagents) {
  writeIndex(R"({"id":"s1","thread_name":"Fix the parser"})"
             "\n");
  const AgentHookPayload main{.sessionId = "s1", .hookEventName = "UserPromptSubmit"};
  const auto enriched =
      ProviderHookEnricher::enrich(main, AgentProvider::codex, Dates::now(), home.path);
  EXPECT_EQ(enriched.preferredTask, "Fix the parser");
  EXPECT_EQ(enriched.titleSource, "session");
  EXPECT_TRUE(enriched.replaceExistingTask);
  EXPECT_TRUE(enriched.permissionRequestRequiresUserInput);
  EXPECT_EQ(enriched.payload, main);

  AgentHookPayload subagent = main;
  subagent.agentId = "worker";
  const auto child =
      ProviderHookEnricher::enrich(subagent, AgentProvider::codex, Dates::now(), home.path);
  EXPECT_EQ(child.preferredTask, std::nullopt);
  EXPECT_EQ(child.titleSource, std::nullopt);
  EXPECT_FALSE(child.replaceExistingTask);

  const auto gemini =
      ProviderHookEnricher::enrich(main, AgentProvider::geminiCLI, Dates::now(), home.path);
  EXPECT_EQ(gemini, ProviderHookEnrichment{.payload = main});
}

}  // namespace
}  // namespace tarvel
