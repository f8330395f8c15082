// The answer history: what recording an answer costs the thread that answers (add), and how fast
// its worker writes rows while keeping the 100,000-row bound, against the floor of plain SQLite
// inserts into the same kind of file (WAL, NORMAL syncing, one transaction per row).
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "TarvelDisplay/History/AnswerHistory.hpp"

namespace {

using tarvel::Display::AnswerHistory;
using tarvel::Display::AnswerRecord;

constexpr std::size_t bound = 100'000;

AnswerRecord row(std::int64_t number) {
  return {.endedAt = tarvel::Dates::now(),
          .agent = "claude-code",
          .sessionId = "claude-code:" + std::to_string(number),
          .project = "proj",
          .workingDirectory = "/home/dev/proj",
          .kind = "permission",
          .prompt = "Allow this command?",
          .detail = "touch created-by-agent.txt && make test",
          .outcome = "allowed",
          .by = "terminal",
          .waitedMilliseconds = 1200};
}

std::filesystem::path freshFolder() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tarvel-history-bench-XXXXXX").string();
  return ::mkdtemp(pattern.data());
}

// A history already at its bound, so every row also prunes one.
std::unique_ptr<AnswerHistory> fullHistory(const std::filesystem::path& folder) {
  auto history = std::make_unique<AnswerHistory>(
      AnswerHistory::Options{.file = folder / "history.db", .maximumRows = bound}, nullptr);
  for (std::size_t number = 0; number < bound + 10; ++number) {
    history->add(row(static_cast<std::int64_t>(number)));
    if (number % 5000 == 0) {
      history->flush();  // stays under the queue's limit
    }
  }
  history->flush();
  return history;
}

// The answering thread's cost: add() returns before the worker writes.
void BM_AddOnTheAnsweringThread(benchmark::State& state) {
  const auto folder = freshFolder();
  auto history = fullHistory(folder);
  std::int64_t number = 0;
  for (auto _ : state) {
    history->add(row(++number));
    if (number % 5000 == 0) {
      state.PauseTiming();
      history->flush();
      state.ResumeTiming();
    }
  }
  history->flush();
  history.reset();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_AddOnTheAnsweringThread);

// Rows written and pruned by the worker, timed until they are in the file.
void BM_WriteKeepingTheBound(benchmark::State& state) {
  const auto folder = freshFolder();
  auto history = fullHistory(folder);
  std::int64_t number = 0;
  for (auto _ : state) {
    history->add(row(++number));
    history->flush();
  }
  history.reset();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_WriteKeepingTheBound);

// The floor: the same row inserted with plain SQLite, one transaction each, no bound.
void BM_WriteFloorPlainInsert(benchmark::State& state) {
  const auto folder = freshFolder();
  sqlite3* database = nullptr;
  sqlite3_open((folder / "floor.db").c_str(), &database);
  sqlite3_exec(database,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; CREATE TABLE answers (id INTEGER PRIMARY KEY, endedAt "
               "INTEGER, agent TEXT, sessionId TEXT, project TEXT, workingDirectory TEXT, host "
               "TEXT, kind TEXT, prompt TEXT, detail TEXT, outcome TEXT, source TEXT, "
               "waitedMilliseconds INTEGER);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(database,
                     "INSERT INTO answers VALUES (NULL, ?1, 'claude-code', ?2, 'proj', "
                     "'/home/dev/proj', NULL, 'permission', 'Allow this command?', 'touch "
                     "created-by-agent.txt && make test', 'allowed', 'terminal', 1200)",
                     -1, &insert, nullptr);
  std::int64_t number = 0;
  for (auto _ : state) {
    sqlite3_exec(database, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_bind_int64(insert, 1, ++number);
    const std::string session = "claude-code:" + std::to_string(number);
    sqlite3_bind_text(insert, 2, session.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    sqlite3_exec(database, "COMMIT", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(insert);
  sqlite3_close(database);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_WriteFloorPlainInsert);

}  // namespace
