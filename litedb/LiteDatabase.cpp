#include "litedb/LiteDatabase.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include "litedb/LiteInternal.h"
#include "litedb/LiteLog.h"
#include "litedb/LiteResultSetAllocation.h"

using litedb_internal::concat;
using litedb_internal::engineLength;
using litedb_internal::format;

namespace {

// Sets the in-use flag for the life of the scope, so every way out clears it.
class InUseScope {
 public:
  explicit InUseScope(bool& flag) : _flag(flag) { _flag = true; }
  ~InUseScope() { _flag = false; }
  InUseScope(const InUseScope&) = delete;
  InUseScope& operator=(const InUseScope&) = delete;

 private:
  bool& _flag;
};

double secondsNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int randomSleepMilliseconds() {
  // Each waiting thread draws on its own, so connections do not retry in step.
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> below50(0, 49);
  return 50 + below50(generator);
}

bool isUnreservedInPath(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '/';
}

}  // namespace

// --- Construction and location -----------------------------------------------------

std::shared_ptr<LiteDatabase> LiteDatabase::databaseWithPath(std::optional<std::string> path) {
  return std::make_shared<LiteDatabase>(std::move(path));
}

std::shared_ptr<LiteDatabase> LiteDatabase::databaseWithURL(std::optional<std::string> url) {
  return std::make_shared<LiteDatabase>(litedb_internal::pathFromFileURL(url));
}

LiteDatabase::LiteDatabase() : LiteDatabase(std::optional<std::string>()) {}

LiteDatabase::LiteDatabase(std::optional<std::string> path) : _databasePath(std::move(path)) {
  // Connections may be used from several threads in turn (queue, pool); an engine
  // built without mutexes would corrupt itself, so refuse to run at all.
  if (sqlite3_threadsafe() == 0) {
    liteLog(
        "Assertion failed: (sqlite3_threadsafe()), function -[LiteDatabase initWithPath:], "
        "file litedb/LiteDatabase, line 60.");
    std::abort();
  }
}

LiteDatabase::~LiteDatabase() { close(); }

std::optional<std::string> LiteDatabase::databaseURL() const {
  if (!_databasePath) return std::nullopt;
  std::error_code ignored;
  const std::string absolute = std::filesystem::absolute(*_databasePath, ignored).string();
  std::string url = "file://";
  for (unsigned char c : absolute) {
    if (isUnreservedInPath(c)) {
      url += static_cast<char>(c);
    } else {
      url += format("%%%02X", c);
    }
  }
  return url;
}

std::string LiteDatabase::sqlitePath() const {
  if (!_databasePath) return ":memory:";
  if (_databasePath->empty()) return "";
  return std::filesystem::path(*_databasePath).native();
}

std::string LiteDatabase::description() const {
  return litedb_internal::objectDescription("LiteDatabase", this);
}

// --- Opening and closing -----------------------------------------------------------

bool LiteDatabase::open() {
  if (_isOpen) return true;
  if (_db) close();  // a handle left by an earlier failed open
  const int err = sqlite3_open(sqlitePath().c_str(), &_db);
  _engineHandleState = std::make_shared<LiteEngineHandleState>();
  if (err != SQLITE_OK) {
    liteLog(format("error opening!: %d", err));
    return false;
  }
  if (_maxBusyRetryTimeInterval > 0.0) setMaxBusyRetryTimeInterval(_maxBusyRetryTimeInterval);
  _isOpen = true;
  return true;
}

bool LiteDatabase::openWithFlags(int flags) { return openWithFlagsVfs(flags, std::nullopt); }

bool LiteDatabase::openWithFlagsVfs(int flags, const std::optional<std::string>& vfsName) {
  if (_isOpen) return true;
  if (_db) close();
  const int err =
      sqlite3_open_v2(sqlitePath().c_str(), &_db, flags, vfsName ? vfsName->c_str() : nullptr);
  _engineHandleState = std::make_shared<LiteEngineHandleState>();
  if (err != SQLITE_OK) {
    liteLog(format("error opening!: %d", err));
    return false;
  }
  if (_maxBusyRetryTimeInterval > 0.0) setMaxBusyRetryTimeInterval(_maxBusyRetryTimeInterval);
  _isOpen = true;
  return true;
}

bool LiteDatabase::close() {
  // Closing result sets drops their references to us; stay alive until done.
  const std::shared_ptr<LiteDatabase> keepAlive = weak_from_this().lock();

  clearCachedStatements();
  closeOpenResultSets();

  if (!_db) return true;

  int rc = sqlite3_close(_db);
  if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
    bool triedFinalizingOpenStatements = false;
    while (sqlite3_stmt* pStmt = sqlite3_next_stmt(_db, nullptr)) {
      liteLog("Closing leaked statement");
      sqlite3_finalize(pStmt);
      triedFinalizingOpenStatements = true;
    }
    if (triedFinalizingOpenStatements) rc = sqlite3_close(_db);
  }
  if (rc != SQLITE_OK && rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
    liteLog(format("error closing!: %d", rc));
  }
  // Statements still held elsewhere were finalised above; they must not be again.
  if (_engineHandleState) _engineHandleState->closed = true;
  _engineHandleState.reset();
  _db = nullptr;
  _isOpen = false;
  return true;
}

bool LiteDatabase::interrupt() {
  if (!_db) return false;
  sqlite3_interrupt(_db);
  return true;
}

void LiteDatabase::setMaxBusyRetryTimeInterval(double timeout) {
  _maxBusyRetryTimeInterval = timeout;
  if (!_db) return;
  if (timeout > 0.0) {
    sqlite3_busy_handler(_db, &LiteDatabase::busyHandler, this);
  } else {
    sqlite3_busy_handler(_db, nullptr, nullptr);
  }
}

int LiteDatabase::busyHandler(void* context, int count) {
  auto* self = static_cast<LiteDatabase*>(context);
  if (count == 0) {
    self->_startBusyRetryTime = secondsNow();
    return 1;
  }
  const double delta = secondsNow() - self->_startBusyRetryTime;
  if (delta < self->_maxBusyRetryTimeInterval) {
    const int requestedSleepInMillseconds = randomSleepMilliseconds();
    const int actualSleepInMilliseconds = sqlite3_sleep(requestedSleepInMillseconds);
    if (actualSleepInMilliseconds != requestedSleepInMillseconds) {
      liteLog(
          format("WARNING: Requested sleep of %i milliseconds, but SQLite returned %i. Maybe "
                 "SQLite wasn't built with HAVE_USLEEP=1?",
                 requestedSleepInMillseconds, actualSleepInMilliseconds));
    }
    return 1;
  }
  return 0;
}

// --- Errors and results ------------------------------------------------------------

std::string LiteDatabase::lastErrorMessage() const {
  // The engine answers a missing handle with "out of memory", which would mislead.
  if (!_db) return sqlite3_errstr(SQLITE_MISUSE);
  return sqlite3_errmsg(_db);
}

int LiteDatabase::lastErrorCode() const {
  if (!_db) return SQLITE_MISUSE;
  return sqlite3_errcode(_db);
}

int LiteDatabase::lastExtendedErrorCode() const {
  if (!_db) return SQLITE_MISUSE;
  return sqlite3_extended_errcode(_db);
}

bool LiteDatabase::hadError() const {
  const int lastErrCode = lastErrorCode();
  return lastErrCode > SQLITE_OK && lastErrCode < SQLITE_ROW;
}

LiteError LiteDatabase::errorWithMessage(const std::string& message) const {
  return LiteError{"LiteDatabase", lastErrorCode(), message};
}

LiteError LiteDatabase::lastError() const { return errorWithMessage(lastErrorMessage()); }

std::int64_t LiteDatabase::lastInsertRowId() {
  if (_isExecutingStatement) {
    warnInUse();
    return 0;
  }
  InUseScope inUse(_isExecutingStatement);
  return _db ? sqlite3_last_insert_rowid(_db) : 0;
}

int LiteDatabase::changes() {
  if (_isExecutingStatement) {
    warnInUse();
    return 0;
  }
  InUseScope inUse(_isExecutingStatement);
  return _db ? sqlite3_changes(_db) : 0;
}

// --- Result-set bookkeeping --------------------------------------------------------

void LiteDatabase::closeOpenResultSets() {
  // Each close unlists its result set, and a result set destroyed along the way unlists
  // itself: take the newest each time rather than walking links that may go away.
  while (LiteResultSet* rs = _newestOpenResultSet) {
    rs->setParentDB(nullptr);
    rs->close();
    resultSetDidClose(rs);
  }
}

void LiteDatabase::registerOpenResultSet(LiteResultSet* resultSet) {
  resultSet->_openIn = this;
  resultSet->_olderOpen = _newestOpenResultSet;
  if (_newestOpenResultSet) _newestOpenResultSet->_newerOpen = resultSet;
  _newestOpenResultSet = resultSet;
}

// --- Guards ------------------------------------------------------------------------

bool LiteDatabase::databaseExists() {
  // The open flag alone can be set by hand; never hand the engine a missing handle.
  if (!_isOpen || !_db) {
    liteLog(format("The LiteDatabase %s is not open.", description().c_str()));
    return false;
  }
  return true;
}

void LiteDatabase::warnInUse() {
  liteLog(format("The LiteDatabase %s is currently in use.", description().c_str()));
}

// --- Statement cache ---------------------------------------------------------------

namespace {

// Prepares the first statement of the text. A view need not end in a NUL, so the
// engine is given its length; it then copies the text onto its heap to end it in one
// before parsing, so a short text is copied here instead, onto the stack, which costs
// less. A text longer than the engine takes fails with SQLITE_TOOBIG rather than being
// cut short.
int prepareStatement(sqlite3* db, std::string_view sql, sqlite3_stmt** pStmt) {
  char text[512];
  if (sql.size() < sizeof text) {
    std::memcpy(text, sql.data(), sql.size());
    text[sql.size()] = '\0';
    return sqlite3_prepare_v2(db, text, static_cast<int>(sql.size()) + 1, pStmt, nullptr);
  }
  return sqlite3_prepare_v2(db, sql.data(), engineLength(sql), pStmt, nullptr);
}

}  // namespace

void LiteDatabase::setShouldCacheStatements(bool value) {
  _shouldCacheStatements = value;
  if (_shouldCacheStatements && !_cachedStatements) {
    setCachedStatements(LiteStatementCache());
  }
  if (!_shouldCacheStatements) setCachedStatements(std::nullopt);
}

void LiteDatabase::setCachedStatements(std::optional<LiteStatementCache> cachedStatements) {
  _lastCacheEntry = nullptr;
  _cachedStatements = std::move(cachedStatements);
  if (!_cachedStatements) return;
  // Statements handed in may carry a mark from an entry that no longer exists.
  for (auto& entry : *_cachedStatements) {
    for (const std::shared_ptr<LiteStatement>& statement : entry.second) {
      statement->_cachedUnder = statement->query() == entry.first ? &entry : nullptr;
    }
  }
}

std::shared_ptr<LiteStatement> LiteDatabase::cachedStatementForQuery(std::string_view query) {
  const std::shared_ptr<LiteStatement>* statement = idleCachedStatement(query);
  return statement ? *statement : nullptr;
}

[[gnu::always_inline]] inline const std::shared_ptr<LiteStatement>*
LiteDatabase::idleCachedStatement(std::string_view query) {
  LiteStatementCache::value_type* entry = _lastCacheEntry;
  if (!entry || entry->first != query) {
    entry = cacheEntryForQuery(query);
    if (!entry) return nullptr;
  }
  for (const std::shared_ptr<LiteStatement>& statement : entry->second) {
    if (!statement->inUse()) return &statement;
  }
  return nullptr;
}

[[gnu::cold]] LiteStatementCache::value_type* LiteDatabase::cacheEntryForQuery(
    std::string_view query) {
  if (!_cachedStatements) return nullptr;
  const auto found = _cachedStatements->find(query);
  if (found == _cachedStatements->end()) return nullptr;
  _lastCacheEntry = &*found;
  return _lastCacheEntry;
}

void LiteDatabase::setCachedStatementForQuery(const std::shared_ptr<LiteStatement>& statement,
                                              std::optional<std::string_view> query) {
  if (!query) {
    liteLog("API misuse, -[LiteDatabase setCachedStatement:forQuery:] query must not be nil");
    return;
  }
  if (!_cachedStatements) _cachedStatements.emplace();
  statement->setQuery(std::string(*query));
  auto found = _cachedStatements->find(*query);
  if (found == _cachedStatements->end()) {
    found =
        _cachedStatements->emplace(std::string(*query), LiteStatementCache::mapped_type()).first;
  }
  LiteStatementCache::value_type& entry = *found;
  std::vector<std::shared_ptr<LiteStatement>>& statements = entry.second;
  if (std::find(statements.begin(), statements.end(), statement) == statements.end()) {
    statements.push_back(statement);
  }
  statement->_cachedUnder = &entry;
}

void LiteDatabase::clearCachedStatements() {
  if (!_cachedStatements) return;
  for (auto& [query, statements] : *_cachedStatements) {
    const std::vector<std::shared_ptr<LiteStatement>> snapshot = statements;
    for (const std::shared_ptr<LiteStatement>& statement : snapshot) {
      statement->close();
      statement->_cachedUnder = nullptr;
    }
  }
  _lastCacheEntry = nullptr;
  _cachedStatements->clear();
}

void LiteDatabase::forgetCachedStatement(LiteStatement* statement) {
  if (!_cachedStatements) return;
  _lastCacheEntry = nullptr;
  statement->_cachedUnder = nullptr;
  for (auto it = _cachedStatements->begin(); it != _cachedStatements->end();) {
    auto& statements = it->second;
    statements.erase(std::remove_if(statements.begin(), statements.end(),
                                    [statement](const std::shared_ptr<LiteStatement>& held) {
                                      return held.get() == statement;
                                    }),
                     statements.end());
    it = statements.empty() ? _cachedStatements->erase(it) : std::next(it);
  }
}

// --- Queries and updates -----------------------------------------------------------

std::shared_ptr<LiteDatabase> LiteDatabase::sharedSelfForResultSet() {
  // Once a shared_ptr owns the connection, one does until it is destroyed: after the
  // first lookup, take the reference without the weak one's count traffic.
  if (_ownedByShared) return shared_from_this();
  return firstSharedSelf();
}

[[gnu::cold]] std::shared_ptr<LiteDatabase> LiteDatabase::firstSharedSelf() {
  if (std::shared_ptr<LiteDatabase> self = weak_from_this().lock()) {
    _ownedByShared = true;
    return self;
  }
  // Not owned by a shared_ptr: hand out a non-owning pointer. Safe because our
  // destructor closes, and so detaches, every result set before we go away.
  return std::shared_ptr<LiteDatabase>(std::shared_ptr<LiteDatabase>(), this);
}

void LiteDatabase::logPrepareFailure(std::string_view sql) {
  if (_logsErrors) {
    liteLog(format("DB Error: %d \"%s\"", lastErrorCode(), lastErrorMessage().c_str()));
    liteLog(concat({"DB Query: ", sql}));
    liteLog("DB Path: " + _databasePath.value_or("(null)"));
  }
  if (_crashOnErrors) std::abort();
}

// The statement to run `sql` with: the idle cached one when caching is on (reset,
// and handed back in *cached: the cache's own pointer, valid until entries are
// removed), or else a newly prepared one (*cached nullptr). nullptr when it does not
// prepare, after the failure has been logged; the engine's error is still current.
[[gnu::always_inline]] inline sqlite3_stmt* LiteDatabase::statementForQuery(
    std::string_view sql, const std::shared_ptr<LiteStatement>** cached) {
  *cached = nullptr;
  if (_shouldCacheStatements) {
    if (const std::shared_ptr<LiteStatement>* found = idleCachedStatement(sql)) {
      LiteStatement& statement = **found;
      if (sqlite3_stmt* pStmt = statement.statement()) {
        // litedb resets a statement whenever it is done with it, so the engine's reset
        // (a locked call) is not repeated here; bindArguments tells one stepped through
        // its handle since.
        *cached = found;
        return pStmt;
      }
      // A statement closed by its holder would be found first every time, and a fresh
      // one stored beside it on each run; drop it so the cache cannot grow that way.
      forgetCachedStatement(&statement);
    }
  }
  sqlite3_stmt* pStmt = nullptr;
  if (prepareStatement(_db, sql, &pStmt) != SQLITE_OK) {
    logPrepareFailure(sql);
    sqlite3_finalize(pStmt);
    return nullptr;
  }
  return pStmt;
}

// Binds parameters 1..queryCount from the array, or else from the variable list, or
// else from the borrowed arguments, in order, stopping when the arguments run out.
// Returns how many were bound.
[[gnu::cold]] int LiteDatabase::bindArgumentsInTurn(sqlite3_stmt* pStmt, int queryCount,
                                                    const CoreArguments& arguments,
                                                    bool engineCopies) {
  const std::span<const LiteValue> arrayArgs = arguments.array;
  const std::span<const LiteValue> listArgs = arguments.list;
  const std::span<const LiteArgument> borrowedArgs = arguments.borrowed;
  int idx = 0;
  std::size_t nextListValue = 0;
  std::size_t nextBorrowed = 0;
  while (idx < queryCount) {
    const LiteValue* obj = nullptr;
    const LiteArgument* argument = nullptr;
    if (static_cast<std::size_t>(idx) < arrayArgs.size()) {
      obj = &arrayArgs[static_cast<std::size_t>(idx)];
    } else if (nextListValue < listArgs.size()) {
      obj = &listArgs[nextListValue++];
    } else if (nextBorrowed < borrowedArgs.size()) {
      argument = &borrowedArgs[nextBorrowed++];
    } else {
      break;
    }
    if (_traceExecution) {
      if (argument && argument->kind() == LiteArgument::Kind::Bytes) {
        liteLog(format("data: %ld bytes", static_cast<long>(argument->viewSize())));
      } else if (const LiteData* data = obj ? obj->data() : nullptr) {
        liteLog(format("data: %ld bytes", static_cast<long>(data->size())));
      } else {
        liteLog("obj: " + (obj ? obj->description() : argument->toValue().description()));
      }
    }
    ++idx;
    if (obj) {
      bindValue(*obj, idx, pStmt, engineCopies);
    } else {
      bindArgument(*argument, idx, pStmt, engineCopies);
    }
  }
  return idx;
}

namespace {

std::span<const LiteValue> spanOf(const std::vector<LiteValue>* values) {
  return values ? std::span<const LiteValue>(*values) : std::span<const LiteValue>();
}

}  // namespace

std::shared_ptr<LiteResultSet> LiteDatabase::executeQueryWithArgumentsInArrayOrDictionaryOrVAList(
    std::string_view sql, const std::vector<LiteValue>* arrayArgs,
    const LiteDictionary* dictionaryArgs, const LiteVAList* args) {
  return executeQueryCore(sql, CoreArguments{spanOf(arrayArgs), dictionaryArgs, spanOf(args), {}});
}

// The guards every statement passes first: an open connection that is not running
// another statement. False after logging.
bool LiteDatabase::mayExecute() {
  if (!_isOpen || !_db) return databaseExists();  // logs and says no
  if (_isExecutingStatement) {
    warnInUse();
    return false;
  }
  return true;
}

[[gnu::cold]] void LiteDatabase::traceStatement(const char* operation, std::string_view sql) const {
  liteLog(concat({description(), " ", operation, ": ", sql}));
}

// Binds the named arguments (keys without the colon) of a dictionary; returns how many
// found their parameter. A key without one is logged (by an update only when it logs
// errors) and, for an update, handed over in *error.
[[gnu::cold]] int LiteDatabase::bindNamedArguments(sqlite3_stmt* pStmt,
                                                   const LiteDictionary& arguments,
                                                   bool engineCopies, bool isUpdate,
                                                   std::optional<LiteError>* error) {
  int idx = 0;
  for (const auto& [key, value] : arguments) {
    const std::string parameterName = ":" + key;
    if (_traceExecution) liteLog(parameterName + " = " + value.description());
    const int namedIdx = sqlite3_bind_parameter_index(pStmt, parameterName.c_str());
    if (namedIdx > 0) {
      bindValue(value, namedIdx, pStmt, engineCopies);
      ++idx;
      continue;
    }
    const std::string message = "Could not find index for " + key;
    if (!isUpdate || _logsErrors) liteLog(message);
    if (isUpdate && error) *error = errorWithMessage(message);
  }
  return idx;
}

// After a bind count that does not match the statement's parameters: the statement is
// finalised, and a cached one leaves the cache.
[[gnu::cold]] void LiteDatabase::discardStatement(sqlite3_stmt* pStmt, LiteStatement* cached) {
  if (cached) {
    // Forgetting it may destroy it: close it first.
    cached->close();
    forgetCachedStatement(cached);
  } else {
    sqlite3_finalize(pStmt);
  }
}

namespace {

// The update core binds, steps and resets within the call, while the caller's values
// are alive, so the engine need not copy their text and bytes (a copy costs an
// allocation per parameter). A reused statement never steps with a pointer left from
// an earlier call: every call rebinds each parameter, or finalises the statement when
// the count does not match.
constexpr bool kUpdateEngineCopies = false;

}  // namespace

// Binds a core's arguments, named or positional; returns how many were bound. An
// update's text and bytes are bound without a copy (see kUpdateEngineCopies); a query's
// are copied by the engine, as its result set steps after the arguments may be gone.
[[gnu::always_inline]] inline int LiteDatabase::bindArguments(sqlite3_stmt* pStmt, int queryCount,
                                                              LiteStatement* cached,
                                                              const CoreArguments& arguments,
                                                              bool isUpdate,
                                                              std::optional<LiteError>* error) {
  const bool engineCopies = isUpdate ? kUpdateEngineCopies : true;
  // A cached statement stepped through its handle since litedb reset it refuses
  // arguments, whether it is still running or has run to its end: it is reset then
  // and bound again. One without parameters is reset here if still running; run to its
  // end, the engine starts it over itself when it is next stepped.
  if (queryCount == 0 && cached && sqlite3_stmt_busy(pStmt)) cached->reset();
  _bindRefused = false;
  int idx;
  if (arguments.onlyBorrowed && !_traceExecution) {
    // The variadic forms' usual case, kept short: only borrowed arguments, nothing to log.
    idx = std::min(queryCount, static_cast<int>(arguments.borrowed.size()));
    for (int i = 0; i < idx; ++i) {
      bindArgument(arguments.borrowed[static_cast<std::size_t>(i)], i + 1, pStmt, engineCopies);
    }
  } else {
    idx = arguments.dictionary
              ? bindNamedArguments(pStmt, *arguments.dictionary, engineCopies, isUpdate, error)
              : bindArgumentsInTurn(pStmt, queryCount, arguments, engineCopies);
  }
  if (_bindRefused && cached) [[unlikely]] {
    cached->reset();
    _bindRefused = false;
    idx = arguments.dictionary
              ? bindNamedArguments(pStmt, *arguments.dictionary, engineCopies, isUpdate, error)
              : bindArgumentsInTurn(pStmt, queryCount, arguments, engineCopies);
  }
  return idx;
}

std::shared_ptr<LiteResultSet> LiteDatabase::executeQueryCore(std::string_view sql,
                                                              const CoreArguments& arguments) {
  if (!mayExecute()) return nullptr;
  InUseScope inUse(_isExecutingStatement);

  if (_traceExecution) traceStatement("executeQuery", sql);

  const std::shared_ptr<LiteStatement>* cached;
  sqlite3_stmt* pStmt = statementForQuery(sql, &cached);
  if (!pStmt) return nullptr;

  const int queryCount = cached ? (*cached)->_parameterCount : sqlite3_bind_parameter_count(pStmt);
  const int idx =
      bindArguments(pStmt, queryCount, cached ? cached->get() : nullptr, arguments, false, nullptr);
  if (idx != queryCount) {
    liteLog("Error: the bind count is not correct for the # of variables (executeQuery)");
    discardStatement(pStmt, cached ? cached->get() : nullptr);
    return nullptr;
  }

  std::shared_ptr<LiteStatement> prepared;
  if (!cached) {
    prepared = std::make_shared<LiteStatement>();
    prepared->setStatement(pStmt);
    prepared->setEngineHandleState(_engineHandleState);
    if (_shouldCacheStatements) setCachedStatementForQuery(prepared, sql);
  }
  const std::shared_ptr<LiteStatement>& statement = cached ? *cached : prepared;
  statement->setUseCount(statement->useCount() + 1);
  // The result set shares the statement's text when it is the same, so no copy; one
  // found under the cache entry its text was set from needs no comparing.
  const std::shared_ptr<const std::string>* query = &statement->_query;
  std::shared_ptr<const std::string> ownQuery;
  if (!(cached && statement->_cachedUnder == _lastCacheEntry) && (!*query || **query != sql)) {
    ownQuery = std::make_shared<const std::string>(sql);
    query = &ownQuery;
  }
  std::shared_ptr<LiteResultSet> rs =
      LiteResultSet::resultSetForQuery(statement, sharedSelfForResultSet(), *query);
  registerOpenResultSet(rs.get());
  return rs;
}

std::shared_ptr<LiteResultSet> LiteDatabase::executeQueryWithArgumentsInArray(
    std::string_view sql, const std::vector<LiteValue>& arguments) {
  return executeQueryWithArgumentsInArrayOrDictionaryOrVAList(sql, &arguments, nullptr, nullptr);
}

std::shared_ptr<LiteResultSet> LiteDatabase::executeQueryWithVAList(std::string_view sql,
                                                                    const LiteVAList& args) {
  return executeQueryWithArgumentsInArrayOrDictionaryOrVAList(sql, nullptr, nullptr, &args);
}

std::shared_ptr<LiteResultSet> LiteDatabase::executeQueryWithParameterDictionary(
    std::string_view sql, const LiteDictionary& arguments) {
  return executeQueryWithArgumentsInArrayOrDictionaryOrVAList(sql, nullptr, &arguments, nullptr);
}

std::shared_ptr<LiteResultSet> LiteDatabase::executeQueryValuesError(
    std::string_view sql, const std::vector<LiteValue>& values, std::optional<LiteError>* error) {
  std::shared_ptr<LiteResultSet> rs =
      executeQueryWithArgumentsInArrayOrDictionaryOrVAList(sql, &values, nullptr, nullptr);
  if (!rs && error) *error = lastError();
  return rs;
}

bool LiteDatabase::executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(
    std::string_view sql, std::optional<LiteError>* error, const std::vector<LiteValue>* arrayArgs,
    const LiteDictionary* dictionaryArgs, const LiteVAList* args) {
  return executeUpdateCore(sql, error,
                           CoreArguments{spanOf(arrayArgs), dictionaryArgs, spanOf(args), {}});
}

bool LiteDatabase::executeUpdateCore(std::string_view sql, std::optional<LiteError>* error,
                                     const CoreArguments& arguments) {
  if (!mayExecute()) return false;
  InUseScope inUse(_isExecutingStatement);

  if (_traceExecution) traceStatement("executeUpdate", sql);

  const std::shared_ptr<LiteStatement>* cached;
  sqlite3_stmt* pStmt = statementForQuery(sql, &cached);
  if (!pStmt) {
    if (error) *error = lastError();
    return false;
  }
  // The cache keeps it alive: nothing below removes it before it is used for the last time.
  LiteStatement* cachedStmt = cached ? cached->get() : nullptr;

  const int queryCount =
      cachedStmt ? cachedStmt->_parameterCount : sqlite3_bind_parameter_count(pStmt);
  const int idx = bindArguments(pStmt, queryCount, cachedStmt, arguments, true, error);
  if (idx != queryCount) {
    const std::string message = format(
        "Error: the bind count (%d) is not correct for the # of variables in the query (%d) (%.*s) "
        "(executeUpdate)",
        idx, queryCount, static_cast<int>(sql.size()), sql.data());
    if (_logsErrors) liteLog(message);
    if (error) *error = errorWithMessage(message);
    discardStatement(pStmt, cachedStmt);
    return false;
  }

  const int rc = sqlite3_step(pStmt);
  if (rc != SQLITE_DONE) reportUpdateStep(rc, sql, error);

  if (!cachedStmt && _shouldCacheStatements) {
    auto statement = std::make_shared<LiteStatement>();
    statement->setStatement(pStmt);
    statement->setEngineHandleState(_engineHandleState);
    setCachedStatementForQuery(statement, sql);
    cachedStmt = statement.get();
  }

  int closeErrorCode;
  if (cachedStmt) {
    cachedStmt->setUseCount(cachedStmt->useCount() + 1);
    closeErrorCode = sqlite3_reset(pStmt);
  } else {
    closeErrorCode = sqlite3_finalize(pStmt);
  }
  if (closeErrorCode != SQLITE_OK && _logsErrors) {
    liteLog(format("Unknown error finalizing or resetting statement (%d: %s)", closeErrorCode,
                   sqlite3_errmsg(_db)));
    liteLog(concat({"DB Query: ", sql}));
  }

  return rc == SQLITE_DONE || rc == SQLITE_OK;
}

// What an update's step gave other than SQLITE_DONE: logged, and handed over in *error.
[[gnu::cold]] void LiteDatabase::reportUpdateStep(int rc, std::string_view sql,
                                                  std::optional<LiteError>* error) {
  if (rc == SQLITE_ROW) {
    const std::string message =
        concat({"A executeUpdate is being called with a query string '", sql, "'"});
    if (_logsErrors) {
      liteLog(message);
      liteLog(concat({"DB Query: ", sql}));
    }
    if (error) *error = errorWithMessage(message);
  } else if (rc == SQLITE_INTERRUPT) {
    if (_logsErrors) {
      liteLog(format("Error calling sqlite3_step. Query was interrupted (%d: %s) SQLITE_INTERRUPT",
                     rc, sqlite3_errmsg(_db)));
      liteLog(concat({"DB Query: ", sql}));
    }
  } else {
    if (error) *error = lastError();
    if (_logsErrors) {
      if (rc == SQLITE_ERROR) {
        liteLog(
            format("Error calling sqlite3_step (%d: %s) SQLITE_ERROR", rc, sqlite3_errmsg(_db)));
      } else if (rc == SQLITE_MISUSE) {
        liteLog(
            format("Error calling sqlite3_step (%d: %s) SQLITE_MISUSE", rc, sqlite3_errmsg(_db)));
      } else {
        liteLog(format("Unknown error calling sqlite3_step (%d: %s) eu", rc, sqlite3_errmsg(_db)));
      }
      liteLog(concat({"DB Query: ", sql}));
    }
  }
}

bool LiteDatabase::executeUpdateWithArgumentsInArray(std::string_view sql,
                                                     const std::vector<LiteValue>& arguments) {
  return executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(sql, nullptr, &arguments,
                                                                    nullptr, nullptr);
}

bool LiteDatabase::executeUpdateWithVAList(std::string_view sql, const LiteVAList& args) {
  return executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(sql, nullptr, nullptr, nullptr,
                                                                    &args);
}

bool LiteDatabase::executeUpdateWithParameterDictionary(std::string_view sql,
                                                        const LiteDictionary& arguments) {
  return executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(sql, nullptr, nullptr,
                                                                    &arguments, nullptr);
}

bool LiteDatabase::executeUpdateValuesError(std::string_view sql,
                                            const std::vector<LiteValue>& values,
                                            std::optional<LiteError>* error) {
  return executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(sql, error, &values, nullptr,
                                                                    nullptr);
}

// --- Format-string statements ---------------------------------------------------------

namespace {

// The text a %s value spells, or none when it is missing or not valid UTF-8.
std::optional<std::string> textOfCString(const char* bytes) {
  if (!bytes) return std::nullopt;
  const std::string text(bytes);
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      return std::nullopt;
    }
    if (i + extra >= text.size()) return std::nullopt;  // cut off by the end
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return std::nullopt;
    }
    i += extra + 1;
  }
  return text;
}

// "%c": one character, the int's low byte read as Latin-1; a NUL gives empty text.
std::string textOfCharacter(int value) {
  const auto c = static_cast<unsigned char>(value);
  std::string text;
  if (c == 0) return text;
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
  return text;
}

using Kind = LiteFormatArgument::Kind;

// Whether a value of kind `given` may be read where `wanted` is: the same kind, or the
// other signedness of the same width, as C's va_arg would read it.
bool fits(Kind given, Kind wanted) {
  if (given == wanted) return true;
  const auto width32 = [](Kind k) { return k == Kind::Int || k == Kind::UnsignedInt; };
  const auto width64 = [](Kind k) { return k == Kind::Long || k == Kind::UnsignedLong; };
  return (width32(given) && width32(wanted)) || (width64(given) && width64(wanted));
}

}  // namespace

bool LiteDatabase::extractSQLArgumentsListIntoStringArguments(std::string_view sql,
                                                              const LiteFormatArgumentList& args,
                                                              std::string& cleanedSQL,
                                                              std::vector<LiteValue>& arguments) {
  const std::size_t length = sql.size();
  char last = '\0';
  std::size_t nextArgument = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const char current = sql[i];
    if (last == '%') {
      std::optional<LiteValue> arg;
      std::string conversion(1, current);
      // The kind of value this conversion takes, if any, and how to turn it into an argument.
      std::optional<Kind> wanted;
      std::function<std::optional<LiteValue>(const LiteFormatArgument&)> make;
      switch (current) {
        case '@':
          wanted = Kind::Object;
          make = [](const LiteFormatArgument& a) -> std::optional<LiteValue> {
            if (a.objectValue().isAbsent()) return std::nullopt;
            return a.objectValue();
          };
          break;
        case 'c':
          wanted = Kind::Int;
          make = [](const LiteFormatArgument& a) {
            return std::optional<LiteValue>(textOfCharacter(a.intValue()));
          };
          break;
        case 's':
          wanted = Kind::CString;
          make = [](const LiteFormatArgument& a) -> std::optional<LiteValue> {
            std::optional<std::string> text = textOfCString(a.cStringValue());
            if (!text) return std::nullopt;
            return LiteValue(std::move(*text));
          };
          break;
        case 'd':
        case 'D':
        case 'i':
          wanted = Kind::Int;
          make = [](const LiteFormatArgument& a) { return std::optional<LiteValue>(a.intValue()); };
          break;
        case 'u':
        case 'U':
          wanted = Kind::UnsignedInt;
          make = [](const LiteFormatArgument& a) {
            return std::optional<LiteValue>(a.unsignedIntValue());
          };
          break;
        case 'h':
          if (i + 1 < length && sql[i + 1] == 'i') {
            ++i;
            conversion = "hi";
            wanted = Kind::Int;
            make = [](const LiteFormatArgument& a) {
              return std::optional<LiteValue>(static_cast<short>(a.intValue()));
            };
          } else if (i + 1 < length && sql[i + 1] == 'u') {
            ++i;
            conversion = "hu";
            wanted = Kind::UnsignedInt;
            make = [](const LiteFormatArgument& a) {
              return std::optional<LiteValue>(static_cast<unsigned short>(a.unsignedIntValue()));
            };
          }
          break;
        case 'q':
          if (i + 1 < length && (sql[i + 1] == 'i' || sql[i + 1] == 'u')) {
            const bool isUnsigned = sql[i + 1] == 'u';
            ++i;
            conversion = isUnsigned ? "qu" : "qi";
            wanted = isUnsigned ? Kind::UnsignedLong : Kind::Long;
            make = [isUnsigned](const LiteFormatArgument& a) {
              return std::optional<LiteValue>(
                  isUnsigned ? LiteValue(static_cast<unsigned long long>(a.unsignedLongValue()))
                             : LiteValue(static_cast<long long>(a.longValue())));
            };
          }
          break;
        case 'l':
          if (i + 1 < length && (sql[i + 1] == 'd' || sql[i + 1] == 'u')) {
            const bool isUnsigned = sql[i + 1] == 'u';
            ++i;
            conversion = isUnsigned ? "lu" : "ld";
            wanted = isUnsigned ? Kind::UnsignedLong : Kind::Long;
            make = [isUnsigned](const LiteFormatArgument& a) {
              return std::optional<LiteValue>(
                  isUnsigned ? LiteValue(static_cast<unsigned long>(a.unsignedLongValue()))
                             : LiteValue(static_cast<long>(a.longValue())));
            };
          } else if (i + 1 < length && sql[i + 1] == 'l') {
            // "ll": the second l is skipped whether or not d or u follows.
            ++i;
            if (i + 1 < length && (sql[i + 1] == 'd' || sql[i + 1] == 'u')) {
              const bool isUnsigned = sql[i + 1] == 'u';
              ++i;
              conversion = isUnsigned ? "llu" : "lld";
              wanted = isUnsigned ? Kind::UnsignedLong : Kind::Long;
              make = [isUnsigned](const LiteFormatArgument& a) {
                return std::optional<LiteValue>(
                    isUnsigned ? LiteValue(static_cast<unsigned long long>(a.unsignedLongValue()))
                               : LiteValue(static_cast<long long>(a.longValue())));
              };
            }
          }
          break;
        case 'f':
          wanted = Kind::Double;
          make = [](const LiteFormatArgument& a) {
            return std::optional<LiteValue>(a.doubleValue());
          };
          break;
        case 'g':
          wanted = Kind::Double;
          make = [](const LiteFormatArgument& a) {
            return std::optional<LiteValue>(static_cast<float>(a.doubleValue()));
          };
          break;
        default:
          break;
      }

      if (wanted) {
        // Never read past the list, nor a value as a kind it is not.
        if (nextArgument >= args.size()) {
          liteLog(
              format("Error: the format's %%%s needs argument %zu, but only %zu were given "
                     "(%.*s)",
                     conversion.c_str(), nextArgument + 1, args.size(),
                     static_cast<int>(sql.size()), sql.data()));
          return false;
        }
        const LiteFormatArgument& given = args[nextArgument++];
        if (!fits(given.kind(), *wanted)) {
          liteLog(format("Error: the format's %%%s takes %s, but argument %zu is %s (%.*s)",
                         conversion.c_str(), LiteFormatArgument::kindName(*wanted), nextArgument,
                         LiteFormatArgument::kindName(given.kind()), static_cast<int>(sql.size()),
                         sql.data()));
          return false;
        }
        arg = make(given);
      }

      if (arg) {
        cleanedSQL += '?';
        arguments.push_back(std::move(*arg));
      } else if (current == '@') {
        cleanedSQL += "NULL";
      } else if (current != '\0') {
        cleanedSQL += current;
      }
    } else if (current != '%') {
      cleanedSQL += current;
    }
    last = current;
  }
  return true;
}

std::shared_ptr<LiteResultSet> LiteDatabase::executeQueryWithFormatList(
    std::string_view format, const LiteFormatArgumentList& args) {
  std::string sql;
  sql.reserve(format.size());
  std::vector<LiteValue> arguments;
  if (!extractSQLArgumentsListIntoStringArguments(format, args, sql, arguments)) return nullptr;
  return executeQueryWithArgumentsInArray(sql, arguments);
}

bool LiteDatabase::executeUpdateWithFormatList(std::string_view format,
                                               const LiteFormatArgumentList& args) {
  std::string sql;
  sql.reserve(format.size());
  std::vector<LiteValue> arguments;
  if (!extractSQLArgumentsListIntoStringArguments(format, args, sql, arguments)) return false;
  return executeUpdateWithArgumentsInArray(sql, arguments);
}

// --- Transactions, savepoints and checkpoints -------------------------------------

bool LiteDatabase::beginTransaction() { return beginExclusiveTransaction(); }

// Runs a transaction statement and, when it succeeds, records whether a transaction
// is now open.
bool LiteDatabase::runTransactionStatement(const char* sql, bool inTransactionAfter) {
  const bool b = executeUpdate(sql);
  if (b) _isInTransaction = inTransactionAfter;
  return b;
}

bool LiteDatabase::beginExclusiveTransaction() {
  return runTransactionStatement("begin exclusive transaction", true);
}
bool LiteDatabase::beginDeferredTransaction() {
  return runTransactionStatement("begin deferred transaction", true);
}
bool LiteDatabase::beginImmediateTransaction() {
  return runTransactionStatement("begin immediate transaction", true);
}
bool LiteDatabase::commit() { return runTransactionStatement("commit transaction", false); }
bool LiteDatabase::rollback() { return runTransactionStatement("rollback transaction", false); }

// A savepoint name goes between single quotes in the SQL text; doubling its quotes
// keeps a name like a'b one name instead of broken (or injected) SQL.
using litedb_internal::escapeQuotes;

bool LiteDatabase::startSavePointWithNameError(const std::string& name,
                                               std::optional<LiteError>* error) {
  const std::string sql = "savepoint '" + escapeQuotes(name) + "';";
  return executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(sql, error, nullptr, nullptr,
                                                                    nullptr);
}

bool LiteDatabase::releaseSavePointWithNameError(const std::string& name,
                                                 std::optional<LiteError>* error) {
  const std::string sql = "release savepoint '" + escapeQuotes(name) + "';";
  return executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(sql, error, nullptr, nullptr,
                                                                    nullptr);
}

bool LiteDatabase::rollbackToSavePointWithNameError(const std::string& name,
                                                    std::optional<LiteError>* error) {
  const std::string sql = "rollback transaction to savepoint '" + escapeQuotes(name) + "';";
  return executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(sql, error, nullptr, nullptr,
                                                                    nullptr);
}

std::optional<LiteError> LiteDatabase::inSavePoint(
    const std::function<void(bool* rollback)>& block) {
  // Shared by every connection of the process, and connections may live on different
  // threads: atomic, so that two savepoints never get the same number.
  static std::atomic<unsigned long> savePointIdx{0};
  const std::string name = format("dbSavePoint%lu", savePointIdx.fetch_add(1));

  // The update core's guards (closed, busy) fail without an error object; a caller
  // told "none" would take the failure for success, so name it with lastError.
  const auto failure = [this](std::optional<LiteError>& err) { return err ? *err : lastError(); };

  std::optional<LiteError> err;
  if (!startSavePointWithNameError(name, &err)) return failure(err);

  bool shouldRollback = false;
  if (block) block(&shouldRollback);

  std::optional<LiteError> lastFailure;
  if (shouldRollback) {
    err.reset();
    if (!rollbackToSavePointWithNameError(name, &err)) lastFailure = failure(err);
  }
  err.reset();
  if (!releaseSavePointWithNameError(name, &err)) lastFailure = failure(err);
  return lastFailure;
}

bool LiteDatabase::checkpointNameLogFrameCountCheckpointCountError(
    int checkpointMode, const std::optional<std::string>& name, int* logFrameCount,
    int* checkpointCount, std::optional<LiteError>* error) {
  // The engine must never see a missing handle, nor one left by a failed open.
  if (!databaseExists()) {
    if (error) *error = lastError();
    return false;
  }
  const int err = sqlite3_wal_checkpoint_v2(_db, name ? name->c_str() : nullptr, checkpointMode,
                                            logFrameCount, checkpointCount);
  if (err != SQLITE_OK) {
    if (error) *error = lastError();
    if (_logsErrors) liteLog(lastErrorMessage());
    if (_crashOnErrors) std::abort();
    return false;
  }
  return true;
}

bool LiteDatabase::checkpointNameError(int checkpointMode, const std::optional<std::string>& name,
                                       std::optional<LiteError>* error) {
  return checkpointNameLogFrameCountCheckpointCountError(checkpointMode, name, nullptr, nullptr,
                                                         error);
}

bool LiteDatabase::checkpointError(int checkpointMode, std::optional<LiteError>* error) {
  return checkpointNameError(checkpointMode, std::nullopt, error);
}

// --- Online backup -------------------------------------------------------------------

namespace {

// The file of a connection's main database; "" for a memory or temporary one.
std::string mainDatabaseFile(sqlite3* db) {
  const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
  return file ? file : "";
}

// Whether the two names are one file, whatever way they spell it (links included).
bool sameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code ignored;
  return std::filesystem::equivalent(a, b, ignored);
}

// The name to open a backup's path by: the engine reads ":memory:" (and, built for it,
// "file:" names) as something other than a file, so such a relative path gets "./".
std::string backupFileName(const std::string& path) {
  if (path == ":memory:" || path.rfind("file:", 0) == 0) return "./" + path;
  return path;
}

// Whether anything, a dangling link included, has the name.
bool nameTaken(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::symlink_status(path, ignored).type() !=
         std::filesystem::file_type::not_found;
}

// Ends an engine backup however the backup is left.
struct EngineBackupFinish {
  void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

}  // namespace

std::string LiteDatabase::backupName() const {
  if (!_databasePath) return "an in-memory database";
  if (_databasePath->empty()) return "a temporary database";
  return *_databasePath;
}

bool LiteDatabase::failBackup(LiteError failure, std::optional<LiteError>* error) const {
  if (_logsErrors) liteLog(failure.description);
  if (error) *error = std::move(failure);
  return false;
}

std::optional<LiteError> LiteDatabase::backupObstacle(const std::string& destinationName,
                                                      const std::string& destinationFile,
                                                      const LiteDatabase* destination) const {
  const auto obstacle = [&](int code, const char* reason) {
    return LiteError{
        "LiteDatabase", code,
        "Could not back up " + backupName() + " to " + destinationName + ": " + reason};
  };
  if (!_isOpen || !_db) return obstacle(SQLITE_MISUSE, "the source is not open");
  if (destination && (!destination->_isOpen || !destination->_db)) {
    return obstacle(SQLITE_MISUSE, "the destination is not open");
  }
  if (destination == this || (destination && destination->_db == _db) ||
      sameFile(mainDatabaseFile(_db), destinationFile)) {
    return obstacle(SQLITE_MISUSE, "the destination is the source database");
  }
  if (_isExecutingStatement) return obstacle(SQLITE_MISUSE, "the source is in use");
  if (destination && destination->_isExecutingStatement) {
    return obstacle(SQLITE_MISUSE, "the destination is in use");
  }
  // The engine would commit the copy under the destination's open transaction, which
  // its connection would then go on to commit or roll back as if nothing had happened.
  if (destination && !sqlite3_get_autocommit(destination->_db)) {
    return obstacle(SQLITE_ERROR, "the destination is in a transaction");
  }
  // The engine refuses to copy a database its own connection is writing (the copy
  // would hold what may yet be rolled back); say why rather than "database is locked".
  if (sqlite3_txn_state(_db, "main") == SQLITE_TXN_WRITE) {
    return obstacle(SQLITE_BUSY, "the source is in a write transaction");
  }
  return std::nullopt;
}

bool LiteDatabase::backupTo(const std::string& path, std::optional<LiteError>* error) {
  return backupTo(path, -1, nullptr, error);
}

bool LiteDatabase::backupTo(LiteDatabase& destination, std::optional<LiteError>* error) {
  return backupTo(destination, -1, nullptr, error);
}

bool LiteDatabase::backupTo(LiteDatabase& destination, int pagesPerStep,
                            const LiteBackupProgressBlock& progress,
                            std::optional<LiteError>* error) {
  const std::string destinationName = destination.backupName();
  if (std::optional<LiteError> obstacle =
          backupObstacle(destinationName, mainDatabaseFile(destination._db), &destination)) {
    return failBackup(std::move(*obstacle), error);
  }
  return backupInto(destination, destinationName, pagesPerStep, progress, error);
}

bool LiteDatabase::backupTo(const std::string& path, int pagesPerStep,
                            const LiteBackupProgressBlock& progress,
                            std::optional<LiteError>* error) {
  if (path.empty()) {
    return failBackup(LiteError{"LiteDatabase", SQLITE_MISUSE,
                                "Could not back up " + backupName() + ": no path was given"},
                      error);
  }
  const std::string file = backupFileName(path);
  if (std::optional<LiteError> obstacle = backupObstacle(path, file, nullptr)) {
    return failBackup(std::move(*obstacle), error);
  }

  // What the engine may create for the destination; whatever of it was not there before
  // goes again when the backup fails, so a failure leaves nothing behind.
  const std::array<std::string, 4> names{file, file + "-journal", file + "-wal", file + "-shm"};
  std::array<bool, 4> taken{};
  for (std::size_t i = 0; i < names.size(); ++i) taken[i] = nameTaken(names[i]);

  bool ok;
  {
    LiteDatabase destination(file);
    destination.setLogsErrors(false);
    destination.setMaxBusyRetryTimeInterval(_maxBusyRetryTimeInterval);
    if (destination.openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
      ok = backupInto(destination, path, pagesPerStep, progress, error);
    } else {
      ok = failBackup(LiteError{"LiteDatabase", destination.lastErrorCode(),
                                "Could not back up " + backupName() + " to " + path + ": " +
                                    destination.lastErrorMessage()},
                      error);
    }
  }
  if (!ok) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::error_code ignored;
      if (!taken[i]) std::filesystem::remove(names[i], ignored);
    }
  }
  return ok;
}

bool LiteDatabase::backupInto(LiteDatabase& destination, const std::string& destinationName,
                              int pagesPerStep, const LiteBackupProgressBlock& progress,
                              std::optional<LiteError>* error) {
  const auto failure = [&](int code, const std::string& reason) {
    return failBackup(
        LiteError{"LiteDatabase", code,
                  "Could not back up " + backupName() + " to " + destinationName + ": " + reason},
        error);
  };
  // The destination is the backup's for the whole copy, its progress blocks included:
  // the engine holds its write transaction from the first step to the last.
  InUseScope destinationInUse(destination._isExecutingStatement);
  std::unique_ptr<sqlite3_backup, EngineBackupFinish> backup;
  {
    InUseScope inUse(_isExecutingStatement);
    backup.reset(sqlite3_backup_init(destination._db, "main", _db, "main"));
  }
  if (!backup) {
    return failure(sqlite3_errcode(destination._db), sqlite3_errmsg(destination._db));
  }

  const int pages = pagesPerStep > 0 ? pagesPerStep : -1;
  int rc;
  bool stopped = false;
  do {
    {
      // The source is ours only during a step: between steps its connection may be
      // used (its writes are carried into the copy).
      InUseScope inUse(_isExecutingStatement);
      rc = sqlite3_backup_step(backup.get(), pages);
    }
    if (rc != SQLITE_OK && rc != SQLITE_DONE) break;
    if (progress &&
        !progress(sqlite3_backup_remaining(backup.get()), sqlite3_backup_pagecount(backup.get())) &&
        rc != SQLITE_DONE) {
      stopped = true;
    }
  } while (rc != SQLITE_DONE && !stopped);
  // Rolls the destination back unless the last step finished the copy.
  const int finished = sqlite3_backup_finish(backup.release());

  if (stopped) return failure(SQLITE_ABORT, "stopped by its progress block");
  if (rc != SQLITE_DONE) return failure(rc & 0xff, sqlite3_errstr(rc));
  if (finished != SQLITE_OK) return failure(finished & 0xff, sqlite3_errstr(finished));
  return true;
}

// --- Batches -----------------------------------------------------------------------

namespace {

int executeStatementsRow(void* context, int columns, char** values, char** names) {
  const auto& block = *static_cast<const LiteExecuteStatementsCallbackBlock*>(context);
  LiteDictionary row;
  for (int i = 0; i < columns; ++i) {
    row[names[i]] = values[i] ? LiteValue(std::string(values[i])) : LiteValue::null();
  }
  return block(row);
}

}  // namespace

bool LiteDatabase::executeStatements(std::string_view sql) {
  return executeStatementsWithResultBlock(sql, nullptr);
}

bool LiteDatabase::executeStatementsWithResultBlock(
    std::string_view sql, const LiteExecuteStatementsCallbackBlock& block) {
  // The engine must never see a missing handle, nor one left by a failed open.
  if (!databaseExists()) return false;
  // The engine's batch runner reads up to a NUL, which a view need not end in: a copy.
  // It costs little next to preparing every statement of the batch.
  const std::string text(sql);
  char* errmsg = nullptr;
  const int rc = sqlite3_exec(
      _db, text.c_str(), block ? &executeStatementsRow : nullptr,
      block ? const_cast<LiteExecuteStatementsCallbackBlock*>(&block) : nullptr, &errmsg);
  if (errmsg) {
    if (_logsErrors) liteLog(format("Error inserting batch: %s", errmsg));
    sqlite3_free(errmsg);
  }
  return rc == SQLITE_OK;
}

// --- Binding -----------------------------------------------------------------------

namespace {

// Binds the whole text by its byte count: measuring it up to the first NUL would
// silently store a shorter value than the caller gave (a std::string may hold NULs).
int bindText(sqlite3_stmt* pStmt, int idx, const std::string& text,
             sqlite3_destructor_type destructor = SQLITE_TRANSIENT) {
  return sqlite3_bind_text64(pStmt, idx, text.data(), text.size(), destructor, SQLITE_UTF8);
}

}  // namespace

void LiteDatabase::bindObjectToColumnInStatement(const LiteValue& obj, int idx,
                                                 sqlite3_stmt* pStmt) {
  // The engine copies text and bytes (SQLITE_TRANSIENT): the argument values belong to
  // the caller and may be gone before the statement is reset or finalised.
  bindValue(obj, idx, pStmt, true);
}

void LiteDatabase::noteBind(int rc) {
  if (rc == SQLITE_MISUSE) _bindRefused = true;
}

[[gnu::always_inline]] inline void LiteDatabase::bindArgument(const LiteArgument& argument, int idx,
                                                              sqlite3_stmt* pStmt,
                                                              bool engineCopies) {
  const sqlite3_destructor_type viewed = engineCopies ? SQLITE_TRANSIENT : SQLITE_STATIC;
  switch (argument.kind()) {
    case LiteArgument::Kind::Absent:
      noteBind(sqlite3_bind_null(pStmt, idx));
      return;
    // Every integer code binds as the 64-bit integer LiteValue's binding gives it.
    case LiteArgument::Kind::Signed:
      noteBind(sqlite3_bind_int64(pStmt, idx, argument.signedValue()));
      return;
    case LiteArgument::Kind::Unsigned:
      noteBind(
          sqlite3_bind_int64(pStmt, idx, static_cast<sqlite3_int64>(argument.unsignedValue())));
      return;
    case LiteArgument::Kind::Floating:
      noteBind(sqlite3_bind_double(pStmt, idx, argument.floatingValue()));
      return;
    case LiteArgument::Kind::Text:
      noteBind(sqlite3_bind_text64(pStmt, idx, static_cast<const char*>(argument.viewData()),
                                   argument.viewSize(), viewed, SQLITE_UTF8));
      return;
    case LiteArgument::Kind::Bytes: {
      // An empty buffer has no byte pointer; bind "" so it stays a zero-length blob, not NULL.
      const void* pointer = argument.viewSize() == 0 ? "" : argument.viewData();
      noteBind(sqlite3_bind_blob64(pStmt, idx, pointer, argument.viewSize(), viewed));
      return;
    }
    case LiteArgument::Kind::Date:
      bindValue(LiteValue(argument.date()), idx, pStmt, engineCopies);
      return;
    case LiteArgument::Kind::Value:
      bindValue(argument.value(), idx, pStmt, engineCopies);
      return;
  }
}

void LiteDatabase::bindValue(const LiteValue& obj, int idx, sqlite3_stmt* pStmt,
                             bool engineCopies) {
  // Text and bytes the value holds; text made here (dates, descriptions) is always copied.
  const sqlite3_destructor_type heldValue = engineCopies ? SQLITE_TRANSIENT : SQLITE_STATIC;
  switch (obj.kind()) {
    case LiteValue::Kind::Absent:
    case LiteValue::Kind::Null:
      noteBind(sqlite3_bind_null(pStmt, idx));
      return;
    case LiteValue::Kind::Data: {
      const LiteData& bytes = *obj.data();
      // An empty buffer has no byte pointer; bind "" so it stays a zero-length blob, not NULL.
      const void* pointer = bytes.empty() ? static_cast<const void*>("") : bytes.data();
      noteBind(sqlite3_bind_blob64(pStmt, idx, pointer, bytes.size(), heldValue));
      return;
    }
    case LiteValue::Kind::Date:
      if (_dateFormat) {
        noteBind(bindText(pStmt, idx, _dateFormat->stringFromDate(*obj.date())));
      } else {
        noteBind(sqlite3_bind_double(pStmt, idx, liteTimeIntervalSince1970(*obj.date())));
      }
      return;
    case LiteValue::Kind::Number:
      switch (obj.typeCode()) {
        case 'c':
        case 'C':
        case 's':
        case 'S':
        case 'i':
          noteBind(sqlite3_bind_int(pStmt, idx, obj.intValue()));
          return;
        case 'I':
          noteBind(sqlite3_bind_int64(pStmt, idx,
                                      static_cast<sqlite3_int64>(obj.unsignedLongLongValue())));
          return;
        case 'q':
          noteBind(sqlite3_bind_int64(pStmt, idx, obj.longLongValue()));
          return;
        case 'Q':
          noteBind(sqlite3_bind_int64(pStmt, idx,
                                      static_cast<sqlite3_int64>(obj.unsignedLongLongValue())));
          return;
        case 'f':
        case 'd':
          noteBind(sqlite3_bind_double(pStmt, idx, obj.doubleValue()));
          return;
        default:
          break;
      }
      break;
    case LiteValue::Kind::Text:
      noteBind(bindText(pStmt, idx, *obj.text(), heldValue));
      return;
    case LiteValue::Kind::Other:
      break;
  }
  noteBind(bindText(pStmt, idx, obj.description()));
}
