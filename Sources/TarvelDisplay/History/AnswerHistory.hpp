#pragma once

#include <chrono>
#include <condition_variable>
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
// read-only file never delays an answer. A file that is not a database, or whose pages are
// damaged, is set aside as "history.db.damaged" and a new one begun. Rows that cannot be written
// (a locked database, a full disk, a symbolic link in the file's place) are kept, up to
// maximumUnwritten, and written once the file can take them again; each outage is logged once.
// Thread: add(), recent() and flush() from any thread; `mutex` guards the recent rows and the
// queue count, `retryMutex` the retry request.
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
  // Rows kept while the file cannot take them; beyond this, the oldest go (logged once).
  static constexpr std::size_t maximumUnwritten = 10'000;
  // How often rows kept back are tried again.
  static constexpr std::chrono::seconds retryInterval{1};

  // Opens the database on the worker (reading its newest rows for recent()); `changed` is called
  // (on the worker or the caller of add()) whenever recent() may have changed.
  AnswerHistory(Options options, std::function<void()> changed);
  // Writes what is queued (rows that still cannot be written are lost, and that is logged),
  // then closes the database.
  ~AnswerHistory();
  AnswerHistory(const AnswerHistory&) = delete;
  AnswerHistory& operator=(const AnswerHistory&) = delete;

  void add(AnswerRecord record);
  // The newest rows, newest first (at most recentCount).
  std::vector<AnswerRecord> recent() const;
  // Waits until every row added so far has been tried once (written, or kept for a retry).
  void flush();
  // How many rows wait for the file to take them again (read on the worker's schedule: for
  // tests and diagnostics).
  std::size_t unwrittenCount() const;

  // What keeps `file` from being the history, for the user; nothing when it is usable or
  // absent. A symbolic link is refused: the history is a private file of its own.
  static std::optional<std::string> problemWith(const std::filesystem::path& file);

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
  void write(AnswerRecord record);
  void writeUnwritten();
  bool ensureOpen();
  void setDamagedAside();
  void requestRetry();

  Options options;
  std::function<void()> changed;
  mutable std::mutex mutex;
  std::deque<AnswerRecord> newest;  // newest first
  std::size_t queued = 0;
  bool droppedLogged = false;
  std::unique_ptr<Database> database;  // used only on the worker
  std::mutex retryMutex;
  std::condition_variable retryCondition;
  bool retryWanted = false;
  bool stopping = false;
  WorkQueue worker{"com.tarvel.service.history", 1};
  LabeledThread retrier;  // asks the worker to try kept rows again, while there are any
};

}  // namespace tarvel::Display
