#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/Result.hpp"
#include "TarvelCore/Platform/WorkQueue.hpp"
#include "TarvelDisplay/Shared/AnswerRecord.hpp"

namespace tarvel::Display {

// The record of every answer in an SQLite database (~/.tarvel/history.db: 0600, WAL), bounded by
// age and by rows (the oldest go first, pruned as each row is added). Rows are written by a
// worker thread of its own: add() never waits for the database, so a slow, locked, damaged or
// read-only file never delays an answer. A file that is not a database is set aside as
// "history.db.damaged" and a new one begun; any other failure is logged once and the rows it
// affects are dropped.
// Thread: add(), recent() and flush() from any thread; `mutex` guards the recent rows.
class AnswerHistory {
 public:
  struct Options {
    std::filesystem::path file;
    std::size_t maximumRows = 100'000;
    std::chrono::hours maximumAge{24 * 90};
  };
  // Rows kept in memory for the displays (recent()).
  static constexpr std::size_t recentCount = 5;
  // Rows waiting for the worker; beyond this, new ones are dropped (and that is logged once).
  static constexpr std::size_t maximumQueued = 10'000;

  // Opens the database on the worker (reading its newest rows for recent()); `changed` is called
  // (on the worker or the caller of add()) whenever recent() may have changed.
  AnswerHistory(Options options, std::function<void()> changed);
  // Writes what is queued, then closes the database.
  ~AnswerHistory();
  AnswerHistory(const AnswerHistory&) = delete;
  AnswerHistory& operator=(const AnswerHistory&) = delete;

  void add(AnswerRecord record);
  // The newest rows, newest first (at most recentCount).
  std::vector<AnswerRecord> recent() const;
  // Waits until every row added so far is written or dropped.
  void flush();

  struct Query {
    std::size_t limit = 20;
    std::optional<std::string> agent;    // a provider's raw value, or its first word ("claude")
    std::optional<std::string> project;  // the project's name
    std::optional<Date> since;
  };
  // The rows of the database at `file` that match, newest first; read-only (a service may be
  // writing meanwhile). An error text for the user when the file cannot be read; no rows when
  // it does not exist.
  static Result<std::vector<AnswerRecord>, std::string> read(const std::filesystem::path& file,
                                                             const Query& query);

  struct Database;

 private:
  void write(const AnswerRecord& record);

  Options options;
  std::function<void()> changed;
  mutable std::mutex mutex;
  std::deque<AnswerRecord> newest;  // newest first
  std::size_t queued = 0;
  bool droppedLogged = false;
  std::unique_ptr<Database> database;  // used only on the worker
  WorkQueue worker{"com.tarvel.service.history", 1};
};

}  // namespace tarvel::Display
