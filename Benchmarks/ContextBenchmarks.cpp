// The two Codex file lookups that run inside a hook: the thread title in a session index of more
// than 4 MiB, and the reviewer of a turn in a 10 MiB transcript. Both read the file's last 4 MiB,
// pick lines with a byte search and decode only those; the files stay in the page cache, as
// they do for a hook that runs at every step.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "TarvelCore/Hooks/Codex/CodexApprovalContextResolver.hpp"
#include "TarvelCore/Hooks/Codex/CodexSessionTitleResolver.hpp"

namespace {

namespace fs = std::filesystem;
using tarvel::CodexApprovalContextResolver::reviewer;
using tarvel::CodexSessionTitleResolver::title;

constexpr std::size_t indexBytes = 5 * 1024 * 1024;
constexpr std::size_t transcriptBytes = 10 * 1024 * 1024;

// A UUID-shaped id, distinct for every index.
std::string threadId(std::size_t index) {
  char text[40];
  std::snprintf(text, sizeof text, "019a%04zx-7c3e-7d21-9b4f-%012zx", index % 0x10000, index);
  return text;
}

std::string indexRecord(const std::string& id, std::size_t index) {
  return R"({"id":")" + id + R"(","thread_name":"Fix the flaky socket test number )" +
         std::to_string(index) +
         R"(","updated_at":"2026-12-08T10:15:30.123456Z"})"
         "\n";
}

// A transcript turn: its context record (about 2 KiB, as Codex writes them, with instructions),
// then messages and tool calls that never mention the marker, about 40 KiB in all.
std::string transcriptTurn(std::size_t turn) {
  const std::string turnId = "turn-" + std::to_string(turn);
  std::string text =
      R"({"timestamp":"2026-12-08T10:15:30.123Z","type":"turn_context","payload":{)"
      R"("turn_id":")" +
      turnId +
      R"(","cwd":"/home/dev/proj",)"
      R"("approval_policy":"on-request","sandbox_policy":{"type":"workspace-write"},)"
      R"("model":"gpt-5-codex","effort":"high","approvals_reviewer":")" +
      std::string(turn % 2 == 0 ? "auto_review" : "user") + R"(","user_instructions":")" +
      std::string(1800, 'i') + "\"}}\n";
  for (int item = 0; item < 20; ++item) {
    text += R"({"timestamp":"2026-12-08T10:15:31.000Z","type":"response_item","payload":{)"
            R"("type":"function_call_output","call_id":"call_)" +
            std::to_string(item) + R"(","output":")" + std::string(1900, 'o') + "\"}}\n";
  }
  return text;
}

// Writes the fixture files once into a temporary Codex home, removed when the program ends.
struct CodexHome {
  CodexHome() {
    char pattern[] = "/tmp/tarvel-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      return;
    }
    path = pattern;
    std::ofstream index(path / "session_index.jsonl", std::ios::binary);
    std::size_t written = 0;
    for (std::size_t i = 0; written < indexBytes; ++i) {
      const std::string line = indexRecord(threadId(i), i);
      index << line;
      written += line.size();
      indexRecords = i + 1;
    }
    const std::string nonASCII = "sessão-ü-1";
    index << indexRecord(nonASCII, 0);
    ++indexRecords;

    std::ofstream transcript(path / "transcript.jsonl", std::ios::binary);
    written = 0;
    for (std::size_t turn = 0; written < transcriptBytes; ++turn) {
      const std::string text = transcriptTurn(turn);
      transcript << text;
      written += text.size();
      turns = turn + 1;
    }
  }
  ~CodexHome() {
    std::error_code error;
    fs::remove_all(path, error);
  }
  CodexHome(const CodexHome&) = delete;
  CodexHome& operator=(const CodexHome&) = delete;

  fs::path path;
  std::size_t indexRecords = 0;
  std::size_t turns = 0;
};

const CodexHome& fixture() {
  static const CodexHome home;
  return home;
}

// Times `lookup` (which gives an optional result) over a 4 MiB tail; a result other than the one
// the case expects fails the benchmark, so a broken fixture cannot pass as fast.
template <typename Lookup>
void timeLookup(benchmark::State& state, bool expectFound, const Lookup& lookup) {
  for (auto _ : state) {
    const auto found = lookup();
    if (found.has_value() != expectFound) {
      state.SkipWithError("unexpected lookup result");
      break;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4194304);
}

// arg 0: the newest thread; 1: a thread near the start of the 4 MiB tail; 2: an unknown thread;
// 3: an id with non-ASCII letters, found through its ASCII part; 4: an unknown id of non-ASCII
// letters only, which no literal byte run can pick out.
void titleLookup(benchmark::State& state) {
  const CodexHome& home = fixture();
  const std::size_t tailRecords =
      tarvel::CodexSessionTitleResolver::maximumIndexTailBytes / indexRecord(threadId(0), 0).size();
  const std::string ids[] = {threadId(home.indexRecords - 2),
                             threadId(home.indexRecords - tailRecords + 1000),
                             "00000000-0000-0000-0000-000000000000", "sessão-ü-1", "ñüé"};
  const std::string& id = ids[state.range(0)];
  timeLookup(state, state.range(0) != 2 && state.range(0) != 4,
             [&] { return title(id, home.path); });
}
BENCHMARK(titleLookup)->ArgName("case")->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// arg 0: the last turn; 1: a turn near the start of the 4 MiB tail (about a hundred newer
// context records passed over); 2: an unknown turn.
void reviewerLookup(benchmark::State& state) {
  const CodexHome& home = fixture();
  const std::size_t tailTurns =
      tarvel::CodexApprovalContextResolver::maximumTranscriptTailBytes / transcriptTurn(0).size();
  const std::string turns[] = {"turn-" + std::to_string(home.turns - 1),
                               "turn-" + std::to_string(home.turns - tailTurns + 2),
                               "turn-unknown"};
  const std::string& turn = turns[state.range(0)];
  const fs::path transcript = home.path / "transcript.jsonl";
  timeLookup(state, state.range(0) != 2, [&] { return reviewer(transcript, turn, home.path); });
}
BENCHMARK(reviewerLookup)->ArgName("case")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
