#include "TarvelDisplay/History/AnswerHistory.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "TarvelCore/Platform/FileReplace.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

namespace tarvel::Display {
namespace {

const Log::Logger& historyLog() {
  static const Log::Logger logger("history");
  return logger;
}

constexpr const char* schema =
    "CREATE TABLE IF NOT EXISTS answers ("
    " id INTEGER PRIMARY KEY,"
    " endedAt INTEGER NOT NULL,"  // milliseconds since 1970, UTC
    " agent TEXT NOT NULL,"
    " sessionId TEXT NOT NULL,"
    " project TEXT,"
    " workingDirectory TEXT,"
    " host TEXT,"
    " kind TEXT NOT NULL,"
    " prompt TEXT NOT NULL,"
    " detail TEXT,"
    " outcome TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " waitedMilliseconds INTEGER);"
    "CREATE INDEX IF NOT EXISTS answersByTime ON answers (endedAt);";

constexpr const char* columns =
    "endedAt, agent, sessionId, project, workingDirectory, host, kind, prompt, detail, outcome, "
    "source, waitedMilliseconds";

std::int64_t sinceEpoch(Date date) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

Date fromMilliseconds(std::int64_t value) {
  return Date(std::chrono::milliseconds(value));
}

// One prepared statement, finalized with the object.
class Statement {
 public:
  Statement(sqlite3* connection, const char* text) {
    status = sqlite3_prepare_v2(connection, text, -1, &statement, nullptr);
  }
  ~Statement() { sqlite3_finalize(statement); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return status == SQLITE_OK; }
  int prepareStatus() const { return status; }
  void bind(int index, std::int64_t value) { sqlite3_bind_int64(statement, index, value); }
  void bind(int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  void bind(int index, const std::optional<std::string>& text) {
    if (text) {
      bind(index, *text);
    } else {
      sqlite3_bind_null(statement, index);
    }
  }
  int step() { return sqlite3_step(statement); }
  sqlite3_stmt* handle() const { return statement; }

  std::string text(int column) const {
    const auto* bytes = sqlite3_column_text(statement, column);
    return bytes == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char*>(bytes),
                                          static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
  }
  std::optional<std::string> optionalText(int column) const {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL) {
      return std::nullopt;
    }
    return text(column);
  }
  std::optional<std::int64_t> optionalInteger(int column) const {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL) {
      return std::nullopt;
    }
    return sqlite3_column_int64(statement, column);
  }

  // The row under the cursor, its columns as `columns` lists them.
  AnswerRecord record() const {
    return {.endedAt = fromMilliseconds(optionalInteger(0).value_or(0)),
            .agent = text(1),
            .sessionId = text(2),
            .project = optionalText(3),
            .workingDirectory = optionalText(4),
            .host = optionalText(5),
            .kind = text(6),
            .prompt = text(7),
            .detail = optionalText(8),
            .outcome = text(9),
            .by = text(10),
            .waitedMilliseconds = optionalInteger(11)};
  }

 private:
  sqlite3_stmt* statement = nullptr;
  int status = SQLITE_OK;
};

std::string describe(sqlite3* connection, int status) {
  return connection != nullptr ? std::string(sqlite3_errmsg(connection))
                               : std::string(sqlite3_errstr(status));
}

}  // namespace

// The worker's connection and the rows it could not write yet.
struct AnswerHistory::Database {
  sqlite3* connection = nullptr;
  bool recentLoaded = false;
  std::deque<AnswerRecord> unwritten;  // oldest first
  std::size_t unwrittenCount = 0;      // unwritten.size(), readable from any thread
  std::string failure;                 // why the last try failed; empty while writes go through
  bool overflowLogged = false;
  ~Database() { close(); }
  void close() {
    sqlite3_close_v2(connection);
    connection = nullptr;
  }
};

namespace {

// Creates the file 0600 (never following a symbolic link) and opens it with the schema in WAL
// mode. The SQLite status of the step that failed, with the connection left closed.
int openDatabase(const std::filesystem::path& file, sqlite3*& connection) {
  {
    const UniqueFd created(
        ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR));
    if (created) {
      ::fchmod(created.get(), S_IRUSR | S_IWUSR);
    }
  }
  int status = sqlite3_open_v2(
      file.c_str(), &connection,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (status == SQLITE_OK) {
    // Another process (tarvel log) may read meanwhile; a writer waits a moment, on this thread.
    sqlite3_busy_timeout(connection, 1000);
    // WAL with NORMAL syncing: a row costs no flush to the disk of its own; a power cut may lose
    // the last rows, never the file.
    status = sqlite3_exec(connection, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL",
                          nullptr, nullptr, nullptr);
  }
  if (status == SQLITE_OK) {
    status = sqlite3_exec(connection, schema, nullptr, nullptr, nullptr);
  }
  if (status != SQLITE_OK) {
    sqlite3_close_v2(connection);
    connection = nullptr;
  }
  return status;
}

bool isDamage(int status) {
  return (status & 0xff) == SQLITE_CORRUPT || (status & 0xff) == SQLITE_NOTADB;
}

// Inserts `rows` and prunes beyond the bounds, in one transaction: all rows or none. The status
// of the step that failed.
int insertRows(sqlite3* connection, const std::deque<AnswerRecord>& rows,
               const AnswerHistory::Options& options) {
  const std::string insertText = std::string("INSERT INTO answers (") + columns +
                                 ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
  int status = sqlite3_exec(connection, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (status != SQLITE_OK) {
    return status;
  }
  {
    Statement insert(connection, insertText.c_str());
    status = insert.prepareStatus();
    for (auto row = rows.begin(); status == SQLITE_OK && row != rows.end(); ++row) {
      const AnswerRecord& record = *row;
      sqlite3_reset(insert.handle());
      sqlite3_clear_bindings(insert.handle());
      insert.bind(1, sinceEpoch(record.endedAt));
      insert.bind(2, record.agent);
      insert.bind(3, record.sessionId);
      insert.bind(4, record.project);
      insert.bind(5, record.workingDirectory);
      insert.bind(6, record.host);
      insert.bind(7, record.kind);
      insert.bind(8, record.prompt);
      insert.bind(9, record.detail);
      insert.bind(10, record.outcome);
      insert.bind(11, record.by);
      if (record.waitedMilliseconds) {
        insert.bind(12, *record.waitedMilliseconds);
      }
      status = insert.step() == SQLITE_DONE ? SQLITE_OK : sqlite3_extended_errcode(connection);
    }
  }
  if (status == SQLITE_OK) {
    // Ids only grow, so the rows beyond the bound are those below the newest id minus it: one
    // range delete on the primary key, and one on the time index.
    Statement byCount(connection, "DELETE FROM answers WHERE id <= (SELECT max(id) FROM answers) - ?1");
    Statement byAge(connection, "DELETE FROM answers WHERE endedAt < ?1");
    byCount.bind(1, static_cast<std::int64_t>(options.maximumRows));
    byAge.bind(1, sinceEpoch(Dates::now()) -
                      std::chrono::duration_cast<std::chrono::milliseconds>(options.maximumAge)
                          .count());
    status = byCount.ok() && byAge.ok() && byCount.step() == SQLITE_DONE &&
                     byAge.step() == SQLITE_DONE
                 ? SQLITE_OK
                 : sqlite3_extended_errcode(connection);
  }
  if (status == SQLITE_OK) {
    status = sqlite3_exec(connection, "COMMIT", nullptr, nullptr, nullptr);
  }
  if (status != SQLITE_OK) {
    sqlite3_exec(connection, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  return status;
}

}  // namespace

std::optional<std::string> AnswerHistory::problemWith(const std::filesystem::path& file) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(file, error);
  if (status.type() == std::filesystem::file_type::symlink) {
    return file.string() +
           " is a symbolic link; answers are recorded only in a file of its own: remove the "
           "link";
  }
  if (status.type() != std::filesystem::file_type::not_found &&
      status.type() != std::filesystem::file_type::regular &&
      status.type() != std::filesystem::file_type::none) {
    return file.string() + " is not a file; answers are recorded only in a file: remove it";
  }
  return std::nullopt;
}

AnswerHistory::AnswerHistory(Options givenOptions, std::function<void()> onChange)
    : options(std::move(givenOptions)),
      changed(std::move(onChange)),
      database(std::make_unique<Database>()) {
  worker.async([this] {
    if (!ensureOpen()) {
      historyLog().error("%s; answers are kept and recorded once it can be written",
                         {Log::value(database->failure)});
    }
  });
  retrier = LabeledThread("com.tarvel.service.history.retry", [this] {
    std::unique_lock lock(retryMutex);
    while (!stopping) {
      retryCondition.wait(lock, [this] { return stopping || retryWanted; });
      if (stopping) {
        break;
      }
      // Wait out the interval (a stop ends it), then hand the retry to the worker.
      if (retryCondition.wait_for(lock, retryInterval, [this] { return stopping; })) {
        break;
      }
      retryWanted = false;
      lock.unlock();
      worker.async([this] { writeUnwritten(); });
      lock.lock();
    }
  });
}

AnswerHistory::~AnswerHistory() {
  {
    const std::scoped_lock lock(retryMutex);
    stopping = true;
  }
  retryCondition.notify_all();
  retrier.join();
  worker.async([this] {
    writeUnwritten();
    if (!database->unwritten.empty()) {
      historyLog().error("%s answers could not be recorded in %s before the service stopped",
                         {Log::value(std::to_string(database->unwritten.size())),
                          Log::value(options.file.string())});
    }
  });
  worker.waitUntilIdle();
}

// Opens the database when it is not open (setting a damaged one aside), and on the first
// success reads its newest rows for recent(). Whether it is open.
bool AnswerHistory::ensureOpen() {
  if (database->connection != nullptr) {
    return true;
  }
  if (auto problem = problemWith(options.file)) {
    database->failure = std::move(*problem);
    return false;
  }
  sqlite3* connection = nullptr;
  int status = openDatabase(options.file, connection);
  if (isDamage(status)) {
    setDamagedAside();
    status = openDatabase(options.file, connection);
  }
  if (status != SQLITE_OK) {
    database->failure = std::string("cannot open ") + options.file.string() + " (" +
                        sqlite3_errstr(status) + ")";
    return false;
  }
  database->connection = connection;
  if (std::exchange(database->recentLoaded, true)) {
    return true;
  }
  std::vector<AnswerRecord> rows;
  const std::string text = std::string("SELECT ") + columns +
                           " FROM answers ORDER BY endedAt DESC, id DESC LIMIT " +
                           std::to_string(recentCount);
  Statement select(connection, text.c_str());
  while (select.ok() && select.step() == SQLITE_ROW) {
    rows.push_back(select.record());
  }
  if (rows.empty()) {
    return true;
  }
  {
    const std::scoped_lock guard(mutex);
    // Rows added while opening are newer.
    for (AnswerRecord& row : rows) {
      if (newest.size() < recentCount) {
        newest.push_back(std::move(row));
      }
    }
  }
  if (changed) {
    changed();
  }
  return true;
}

// Nothing can be read from the file: it is kept for whoever wants to look (never over an earlier
// damaged one), and a new one is begun at the next open.
void AnswerHistory::setDamagedAside() {
  database->close();
  if (const auto aside = FileReplace::setAside(options.file, ".damaged")) {
    std::error_code ignored;
    for (const char* suffix : {"-wal", "-shm"}) {
      std::filesystem::remove(options.file.string() + suffix, ignored);
    }
    historyLog().error("The answer history %s was damaged; it is kept as %s and a new one begun",
                       {Log::value(options.file.string()), Log::value(aside->string())});
  }
}

namespace {

// At most `count` characters; a text that was cut ends in "…".
std::string bounded(const std::string& text, std::size_t count) {
  return Text::characterCount(text) <= count ? text : Text::prefixCharacters(text, count - 1) + "\u2026";
}

}  // namespace

void AnswerHistory::add(AnswerRecord record) {
  record.prompt = bounded(record.prompt, AnswerRecord::maximumPromptCharacters);
  if (record.detail) {
    record.detail = bounded(*record.detail, AnswerRecord::maximumDetailCharacters);
  }
  {
    const std::scoped_lock guard(mutex);
    newest.push_front(record);
    if (newest.size() > recentCount) {
      newest.pop_back();
    }
    if (queued >= maximumQueued) {
      if (!std::exchange(droppedLogged, true)) {
        historyLog().error("The answer history falls behind; answers are not recorded for now");
      }
    } else {
      ++queued;
      worker.async([this, row = std::move(record)]() mutable {
        write(std::move(row));
        const std::scoped_lock done(mutex);
        --queued;
      });
    }
  }
  if (changed) {
    changed();
  }
}

std::vector<AnswerRecord> AnswerHistory::recent() const {
  const std::scoped_lock guard(mutex);
  return {newest.begin(), newest.end()};
}

void AnswerHistory::flush() { worker.waitUntilIdle(); }

std::size_t AnswerHistory::unwrittenCount() const {
  const std::scoped_lock guard(mutex);
  return database->unwrittenCount;
}

void AnswerHistory::write(AnswerRecord record) {
  Database& data = *database;
  data.unwritten.push_back(std::move(record));
  if (data.unwritten.size() > maximumUnwritten) {
    data.unwritten.pop_front();
    if (!std::exchange(data.overflowLogged, true)) {
      historyLog().error("More than %s answers wait to be recorded in %s; the oldest are dropped",
                         {Log::value(std::to_string(maximumUnwritten)),
                          Log::value(options.file.string())});
    }
  }
  // While an outage lasts, rows join those kept and wait for the retry.
  if (data.failure.empty()) {
    writeUnwritten();
  } else {
    requestRetry();
    const std::scoped_lock guard(mutex);
    data.unwrittenCount = data.unwritten.size();
  }
}

void AnswerHistory::writeUnwritten() {
  Database& data = *database;
  if (data.unwritten.empty()) {
    return;
  }
  const std::string earlierFailure = data.failure;
  int status = SQLITE_CANTOPEN;
  if (ensureOpen()) {
    status = insertRows(data.connection, data.unwritten, options);
    if (isDamage(status)) {
      setDamagedAside();
      status = ensureOpen() ? insertRows(data.connection, data.unwritten, options)
                            : SQLITE_CANTOPEN;
    }
    if (status != SQLITE_OK && data.connection != nullptr) {
      data.failure =
          "cannot write " + options.file.string() + " (" + sqlite3_errstr(status) + ")";
      // A file removed or replaced meanwhile is found again at the next open.
      data.close();
    }
  }
  if (status == SQLITE_OK) {
    if (!earlierFailure.empty()) {
      historyLog().info("The answer history %s is written again; the %s answers kept meanwhile "
                          "are recorded",
                          {Log::value(options.file.string()),
                           Log::value(std::to_string(data.unwritten.size()))});
    }
    data.unwritten.clear();
    data.failure.clear();
    data.overflowLogged = false;
  } else {
    if (earlierFailure.empty()) {
      historyLog().error("%s; answers are kept and recorded once it can be written",
                         {Log::value(data.failure)});
    }
    requestRetry();
  }
  const std::scoped_lock guard(mutex);
  data.unwrittenCount = data.unwritten.size();
}

void AnswerHistory::requestRetry() {
  {
    const std::scoped_lock lock(retryMutex);
    retryWanted = true;
  }
  retryCondition.notify_all();
}

Result<std::vector<AnswerRecord>, std::string> AnswerHistory::read(
    const std::filesystem::path& file, const Query& query) {
  if (auto problem = problemWith(file)) {
    return *problem;
  }
  std::error_code error;
  if (!std::filesystem::exists(file, error)) {
    return std::vector<AnswerRecord>{};
  }
  sqlite3* connection = nullptr;
  int status = sqlite3_open_v2(file.c_str(), &connection,
                               SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(connection, sqlite3_close_v2);
  if (status != SQLITE_OK) {
    return "cannot open " + file.string() + ": " + describe(connection, status);
  }
  sqlite3_busy_timeout(connection, 2000);
  std::string text = std::string("SELECT ") + columns + " FROM answers WHERE 1";
  if (query.agent) {
    // The agent as named, or a family it heads ("claude" for "claude-code"); compared as text,
    // so a name never acts as a pattern.
    text += " AND (agent = ?1 OR substr(agent, 1, length(?1) + 1) = ?1 || '-')";
  }
  if (query.project) {
    text += " AND project = ?2";
  }
  if (query.since) {
    text += " AND endedAt >= ?3";
  }
  text += " ORDER BY endedAt DESC, id DESC LIMIT ?4";
  Statement select(connection, text.c_str());
  if (!select.ok() && std::string_view(sqlite3_errmsg(connection)).starts_with("no such table")) {
    return std::vector<AnswerRecord>{};  // a service is making the file: nothing recorded yet
  }
  if (!select.ok()) {
    return "cannot read " + file.string() + ": " + describe(connection, select.prepareStatus());
  }
  if (query.agent) {
    select.bind(1, *query.agent);
  }
  if (query.project) {
    select.bind(2, *query.project);
  }
  if (query.since) {
    select.bind(3, sinceEpoch(*query.since));
  }
  select.bind(4, static_cast<std::int64_t>(query.limit));
  std::vector<AnswerRecord> rows;
  while ((status = select.step()) == SQLITE_ROW) {
    rows.push_back(select.record());
  }
  if (status != SQLITE_DONE) {
    return "cannot read " + file.string() + ": " + describe(connection, status);
  }
  return rows;
}

}  // namespace tarvel::Display
