// LiteDatabase: one connection to an SQLite database file.
//
// It opens and closes the engine connection, waits (for a bounded time) while another
// connection holds a lock, runs queries, updates and batches, binds argument values,
// guards against re-entry, keeps the list of its open result sets, and reports
// failures through the diagnostic log (LiteLog.h) and through LiteError objects.
//
// Ownership: the connection owns its engine handle. A result set it hands out keeps
// the connection (and its statement) alive until the result set closes; the connection
// only observes its open result sets and closes them when it closes. Destroying a
// connection closes it. Make connections with databaseWithPath, so that result sets
// can share them; a connection made directly (for instance on the stack) still works,
// and its destructor closes every result set that outlived it.
//
// SQL text: every operation that takes it takes a std::string_view, so that a literal or
// a std::string is passed without a copy. The text is read during the call only; what
// the connection keeps of it (the statement cache's key, a result set's query) it copies.
//
// Thread-safety: a connection serves one thread at a time and has no lock of its own;
// the in-use flag only detects re-entry. The busy handler sleeps on the calling
// thread. The engine library must be built thread-safe (checked on construction).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "litedb/LiteArgument.h"
#include "litedb/LiteDatabaseAdditions.h"
#include "litedb/LiteDateFormatter.h"
#include "litedb/LiteFormatArgument.h"
#include "litedb/LiteResultSet.h"
#include "litedb/LiteStatement.h"
#include "litedb/LiteValue.h"

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_context;
struct sqlite3_value;

// The values of a variable argument list, in order; the cores take as many of them
// as the statement has parameters.
using LiteVAList = std::vector<LiteValue>;

// A batch's row callback: column name to text (or the null marker); non-zero stops the batch.
using LiteExecuteStatementsCallbackBlock = std::function<int(const LiteDictionary& row)>;

// SQL text to the prepared statements kept for it (one per result set that read it at
// the same time), in the order they were stored. The comparison is transparent, so that
// a lookup by a view of the text builds no key.
using LiteStatementCache =
    std::map<std::string, std::vector<std::shared_ptr<LiteStatement>>, std::less<>>;

class LiteDatabase;

// What a backup's progress block hears after each step: the pages still to copy and the
// source's page count. Answering false stops the backup before its end, leaving the
// destination as it was; the answer after the last step (remaining 0) is ignored, as
// the copy is complete by then.
using LiteBackupProgressBlock = std::function<bool(int remaining, int pageCount)>;

// A connection class, known by its databaseWithPath: what the serial queue and the pool
// call to make their connections. A specialised connection class supplies its own
// (same signature, returning an object of the specialised class).
using LiteDatabaseClass = std::shared_ptr<LiteDatabase> (*)(std::optional<std::string> path);

// Work handed to the serial queue or the pool: the connection to use, or nullptr when
// none could be had (it could not be opened, or the pool lent none).
using LiteDatabaseBlock = std::function<void(LiteDatabase* db)>;
// The same inside a transaction or savepoint; setting *rollback undoes the block's work.
using LiteDatabaseTransactionBlock = std::function<void(LiteDatabase* db, bool* rollback)>;

// The kinds of transaction of the queue's and the pool's beginTransactionWithBlock.
enum LiteTransactionKind : int {
  LiteTransactionExclusive = 0,
  LiteTransactionDeferred = 1,
  LiteTransactionImmediate = 2,
};

class LiteDatabase : public std::enable_shared_from_this<LiteDatabase> {
 public:
  // --- Construction and location -------------------------------------------------
  // None: a private in-memory database; "": a private temporary database.
  static std::shared_ptr<LiteDatabase> databaseWithPath(std::optional<std::string> path);
  // A "file://" URL (percent-encoded); none is the same as no path.
  static std::shared_ptr<LiteDatabase> databaseWithURL(std::optional<std::string> url);
  LiteDatabase();                                          // no path
  explicit LiteDatabase(std::optional<std::string> path);  // copies the path; touches no file
  // Virtual, so that a specialised connection class (see LiteDatabaseClass) is whole
  // when the serial queue or the pool lets go of it.
  virtual ~LiteDatabase();
  LiteDatabase(const LiteDatabase&) = delete;
  LiteDatabase& operator=(const LiteDatabase&) = delete;

  const std::optional<std::string>& databasePath() const { return _databasePath; }
  std::optional<std::string> databaseURL() const;  // "file:///abs/path", none without a path
  std::string sqlitePath() const;                  // the file name handed to the engine
  sqlite3* sqliteHandle() const { return _db; }
  // "<LiteDatabase: 0x...>", as printed in messages.
  std::string description() const;

  // --- Opening and closing ---------------------------------------------------------
  bool open();
  bool openWithFlags(int flags);
  bool openWithFlagsVfs(int flags, const std::optional<std::string>& vfsName);
  bool close();  // always true
  bool interrupt();

  double maxBusyRetryTimeInterval() const { return _maxBusyRetryTimeInterval; }
  void setMaxBusyRetryTimeInterval(double timeout);

  // --- Settings --------------------------------------------------------------------
  bool traceExecution() const { return _traceExecution; }
  void setTraceExecution(bool trace) { _traceExecution = trace; }
  bool checkedOut() const { return _checkedOut; }
  void setCheckedOut(bool checkedOut) { _checkedOut = checkedOut; }
  bool crashOnErrors() const { return _crashOnErrors; }
  void setCrashOnErrors(bool crash) { _crashOnErrors = crash; }
  bool logsErrors() const { return _logsErrors; }
  void setLogsErrors(bool logs) { _logsErrors = logs; }
  bool isOpen() const { return _isOpen; }
  void setIsOpen(bool isOpen) { _isOpen = isOpen; }  // changes only the flag
  bool isInTransaction() const { return _isInTransaction; }
  bool inTransaction() const { return _isInTransaction; }  // the older name

  // --- Errors and results of the last statement ------------------------------------
  // Without an engine handle these report SQLITE_MISUSE.
  std::string lastErrorMessage() const;
  int lastErrorCode() const;
  int lastExtendedErrorCode() const;
  bool hadError() const;
  LiteError errorWithMessage(const std::string& message) const;
  LiteError lastError() const;
  std::int64_t lastInsertRowId();
  int changes();

  // --- Result-set bookkeeping ------------------------------------------------------
  bool hasOpenResultSets() const { return _newestOpenResultSet != nullptr; }
  void closeOpenResultSets();
  // Forgets a result set this connection's queries made; any other is ignored.
  void resultSetDidClose(LiteResultSet* resultSet) {
    if (!resultSet || resultSet->_openIn != this) return;
    LiteResultSet* older = resultSet->_olderOpen;
    LiteResultSet* newer = resultSet->_newerOpen;
    (newer ? newer->_olderOpen : _newestOpenResultSet) = older;
    if (older) older->_newerOpen = newer;
    resultSet->_openIn = nullptr;
    resultSet->_olderOpen = nullptr;
    resultSet->_newerOpen = nullptr;
  }

  // --- Guards ----------------------------------------------------------------------
  bool databaseExists();  // logs "The LiteDatabase %@ is not open." when not
  void warnInUse();

  // --- Statement cache (off by default) ---------------------------------------------
  bool shouldCacheStatements() const { return _shouldCacheStatements; }
  void setShouldCacheStatements(bool value);
  const std::optional<LiteStatementCache>& cachedStatements() const { return _cachedStatements; }
  void setCachedStatements(std::optional<LiteStatementCache> cachedStatements);
  std::shared_ptr<LiteStatement> cachedStatementForQuery(std::string_view query);
  // Stores a copy of the text (none: logged as misuse, nothing stored).
  void setCachedStatementForQuery(const std::shared_ptr<LiteStatement>& statement,
                                  std::optional<std::string_view> query);
  void clearCachedStatements();

  // --- Queries ---------------------------------------------------------------------
  // Only the first statement of the text runs. The result set is not stepped yet.
  std::shared_ptr<LiteResultSet> executeQueryWithArgumentsInArrayOrDictionaryOrVAList(
      std::string_view sql, const std::vector<LiteValue>* arrayArgs,
      const LiteDictionary* dictionaryArgs, const LiteVAList* args);
  std::shared_ptr<LiteResultSet> executeQueryWithArgumentsInArray(
      std::string_view sql, const std::vector<LiteValue>& arguments);
  std::shared_ptr<LiteResultSet> executeQueryWithVAList(std::string_view sql,
                                                        const LiteVAList& args);
  std::shared_ptr<LiteResultSet> executeQueryWithParameterDictionary(
      std::string_view sql, const LiteDictionary& arguments);
  std::shared_ptr<LiteResultSet> executeQueryValuesError(std::string_view sql,
                                                         const std::vector<LiteValue>& values,
                                                         std::optional<LiteError>* error);
  // The arguments are viewed where they are (see LiteArgument.h), not copied into
  // LiteValues; the engine copies their text and bytes, as the result set steps later.
  template <class... Args>
  std::shared_ptr<LiteResultSet> executeQuery(std::string_view sql, Args&&... args) {
    // On the stack: a vector would cost an allocation on every call.
    const std::array<LiteArgument, sizeof...(Args)> list{LiteArgument(std::forward<Args>(args))...};
    return executeQueryCore(sql, CoreArguments::borrowedOnly(list));
  }

  // --- Updates ---------------------------------------------------------------------
  // True exactly when the single step finished with SQLITE_DONE (or SQLITE_OK).
  bool executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(
      std::string_view sql, std::optional<LiteError>* error,
      const std::vector<LiteValue>* arrayArgs, const LiteDictionary* dictionaryArgs,
      const LiteVAList* args);
  bool executeUpdateWithArgumentsInArray(std::string_view sql,
                                         const std::vector<LiteValue>& arguments);
  bool executeUpdateWithVAList(std::string_view sql, const LiteVAList& args);
  bool executeUpdateWithParameterDictionary(std::string_view sql, const LiteDictionary& arguments);
  bool executeUpdateValuesError(std::string_view sql, const std::vector<LiteValue>& values,
                                std::optional<LiteError>* error);
  // The arguments are viewed where they are (see LiteArgument.h): the statement is
  // stepped and reset before the call returns, so not even the engine copies their text
  // and bytes.
  template <class... Args>
  bool executeUpdate(std::string_view sql, Args&&... args) {
    const std::array<LiteArgument, sizeof...(Args)> list{LiteArgument(std::forward<Args>(args))...};
    return executeUpdateCore(sql, nullptr, CoreArguments::borrowedOnly(list));
  }
  template <class... Args>
  bool executeUpdateWithErrorAndBindings(std::string_view sql, std::optional<LiteError>* error,
                                         Args&&... args) {
    const std::array<LiteArgument, sizeof...(Args)> list{LiteArgument(std::forward<Args>(args))...};
    return executeUpdateCore(sql, error, CoreArguments::borrowedOnly(list));
  }
  template <class... Args>
  bool updateWithErrorAndBindings(std::string_view sql, std::optional<LiteError>* error,
                                  Args&&... args) {
    return executeUpdateWithErrorAndBindings(sql, error, std::forward<Args>(args)...);
  }

  // --- Format-string statements ---------------------------------------------------
  // printf-style: every conversion (%d, %@, %s, %ld, ...) becomes a "?" parameter and
  // its value a bound argument; values are never pasted into the SQL text. A value
  // whose kind does not fit its conversion, or a list that runs out, is logged and the
  // statement is not run (none / false). Values beyond the last conversion are ignored.
  template <class... Args>
  std::shared_ptr<LiteResultSet> executeQueryWithFormat(std::string_view format, Args&&... args) {
    return executeQueryWithFormatList(
        format, LiteFormatArgumentList{LiteFormatArgument(std::forward<Args>(args))...});
  }
  template <class... Args>
  bool executeUpdateWithFormat(std::string_view format, Args&&... args) {
    return executeUpdateWithFormatList(
        format, LiteFormatArgumentList{LiteFormatArgument(std::forward<Args>(args))...});
  }
  std::shared_ptr<LiteResultSet> executeQueryWithFormatList(std::string_view format,
                                                            const LiteFormatArgumentList& args);
  bool executeUpdateWithFormatList(std::string_view format, const LiteFormatArgumentList& args);
  // The rewriting step. Appends to cleanedSQL and arguments; false (after a log line)
  // when the list does not supply a fitting value for every conversion that takes one.
  bool extractSQLArgumentsListIntoStringArguments(std::string_view sql,
                                                  const LiteFormatArgumentList& args,
                                                  std::string& cleanedSQL,
                                                  std::vector<LiteValue>& arguments);

  // --- Batches ---------------------------------------------------------------------
  // Runs every statement of the text in turn and stops at the first failure; the
  // statements already run stay applied.
  bool executeStatements(std::string_view sql);
  bool executeStatementsWithResultBlock(std::string_view sql,
                                        const LiteExecuteStatementsCallbackBlock& block);

  // --- Transactions, savepoints and checkpoints -------------------------------------
  // The transaction flag follows only these operations: a transaction begun or ended
  // by other SQL text is not seen. A failure leaves it as it was.
  bool beginTransaction();  // exclusive, like beginExclusiveTransaction
  bool beginExclusiveTransaction();
  bool beginDeferredTransaction();
  bool beginImmediateTransaction();
  bool commit();
  bool rollback();

  // The name may hold any character; single quotes are doubled in the SQL text.
  bool startSavePointWithNameError(const std::string& name, std::optional<LiteError>* error);
  bool releaseSavePointWithNameError(const std::string& name, std::optional<LiteError>* error);
  bool rollbackToSavePointWithNameError(const std::string& name, std::optional<LiteError>* error);
  // Runs the block inside a savepoint named dbSavePoint<n> (n counts calls in this
  // process); the block sets *rollback to undo its changes. The savepoint is released
  // in every case. Returns the error of the failing start, or of the last failing
  // rollback or release; none when everything succeeded.
  std::optional<LiteError> inSavePoint(const std::function<void(bool* rollback)>& block);

  // A write-ahead-log checkpoint (mode: SQLITE_CHECKPOINT_PASSIVE, _FULL, _RESTART or
  // _TRUNCATE) of the named database, or of every attached one when the name is none.
  // The counts, when given, receive the log's size in frames and the frames checkpointed.
  bool checkpointNameLogFrameCountCheckpointCountError(int checkpointMode,
                                                       const std::optional<std::string>& name,
                                                       int* logFrameCount, int* checkpointCount,
                                                       std::optional<LiteError>* error);
  bool checkpointNameError(int checkpointMode, const std::optional<std::string>& name,
                           std::optional<LiteError>* error);
  bool checkpointError(int checkpointMode, std::optional<LiteError>* error);

  // --- Online backup ---------------------------------------------------------------
  // Copies this connection's main database through the engine's online backup into the
  // destination connection's main database, replacing its content, or into the file at
  // the path (created when missing; a relative path is the file's, never a special
  // engine name). The copy is consistent: when another connection writes the source
  // between steps the engine starts the copy over, and writes through this connection
  // are carried into it. A step copies pagesPerStep pages (0 or less: all of them at
  // once); the progress block, when given, hears after each step.
  //
  // The destination changes all at once or not at all. A backup that cannot run or
  // finish (either connection closed or in use, the source in a write transaction or
  // locked beyond maxBusyRetryTimeInterval, the destination reading or locked, a path
  // that cannot be written, a destination that is the source's own database, a
  // progress block that stops it) leaves both databases as they were and removes any
  // file it created. It then returns false and hands over a LiteError (domain
  // "LiteDatabase", the engine's primary result code) whose description names the
  // source, the destination and the reason; the same text is logged when logsErrors
  // is set.
  bool backupTo(const std::string& path, std::optional<LiteError>* error);
  bool backupTo(const std::string& path, int pagesPerStep, const LiteBackupProgressBlock& progress,
                std::optional<LiteError>* error);
  bool backupTo(LiteDatabase& destination, std::optional<LiteError>* error);
  bool backupTo(LiteDatabase& destination, int pagesPerStep,
                const LiteBackupProgressBlock& progress, std::optional<LiteError>* error);

  // --- Single-value queries ---------------------------------------------------------
  // The first column of the first row, or the default (none, 0, false) when there is
  // no row or the query fails: the two cannot be told apart. Arguments bind as for
  // executeQuery; too few are reported by the query core like any bind-count mismatch.
  template <class... Args>
  std::optional<std::string> stringForQuery(std::string_view sql, Args&&... args) {
    return stringForQueryWithVAList(sql, LiteVAList{LiteValue(std::forward<Args>(args))...});
  }
  template <class... Args>
  int intForQuery(std::string_view sql, Args&&... args) {
    return intForQueryWithVAList(sql, LiteVAList{LiteValue(std::forward<Args>(args))...});
  }
  template <class... Args>
  std::int64_t longForQuery(std::string_view sql, Args&&... args) {
    return longForQueryWithVAList(sql, LiteVAList{LiteValue(std::forward<Args>(args))...});
  }
  template <class... Args>
  bool boolForQuery(std::string_view sql, Args&&... args) {
    return boolForQueryWithVAList(sql, LiteVAList{LiteValue(std::forward<Args>(args))...});
  }
  template <class... Args>
  double doubleForQuery(std::string_view sql, Args&&... args) {
    return doubleForQueryWithVAList(sql, LiteVAList{LiteValue(std::forward<Args>(args))...});
  }
  template <class... Args>
  std::optional<LiteData> dataForQuery(std::string_view sql, Args&&... args) {
    return dataForQueryWithVAList(sql, LiteVAList{LiteValue(std::forward<Args>(args))...});
  }
  template <class... Args>
  std::optional<LiteDate> dateForQuery(std::string_view sql, Args&&... args) {
    return dateForQueryWithVAList(sql, LiteVAList{LiteValue(std::forward<Args>(args))...});
  }
  std::optional<std::string> stringForQueryWithVAList(std::string_view sql, const LiteVAList& args);
  int intForQueryWithVAList(std::string_view sql, const LiteVAList& args);
  std::int64_t longForQueryWithVAList(std::string_view sql, const LiteVAList& args);
  bool boolForQueryWithVAList(std::string_view sql, const LiteVAList& args);
  double doubleForQueryWithVAList(std::string_view sql, const LiteVAList& args);
  std::optional<LiteData> dataForQueryWithVAList(std::string_view sql, const LiteVAList& args);
  std::optional<LiteDate> dateForQueryWithVAList(std::string_view sql, const LiteVAList& args);

  // --- Schema and pragmas ------------------------------------------------------------
  // Names compare without regard to ASCII letter case, as the engine compares them.
  // tableExists looks at the main database's tables only, not at temporary ones.
  bool tableExists(const std::string& tableName);
  std::shared_ptr<LiteResultSet> getSchema();
  std::shared_ptr<LiteResultSet> getTableSchema(const std::string& tableName);
  bool columnExistsInTableWithName(const std::string& columnName, const std::string& tableName);
  bool columnExistsColumnName(const std::string& tableName, const std::string& columnName);

  std::uint32_t applicationID();
  void setApplicationID(std::uint32_t appID);
  // The id's four bytes, most significant first, when each is a printable ASCII
  // character; otherwise "" (use applicationID for such ids).
  std::string applicationIDString();
  // Stores the text's first four characters (Latin-1 code points; others as "?"),
  // padded with spaces; logs when the text is not exactly four characters long.
  void setApplicationIDString(const std::string& string);
  std::uint32_t userVersion();
  void setUserVersion(std::uint32_t version);

  // Compiles the first statement of the text without running it. A closed connection
  // gives false (and an error, code SQLITE_MISUSE).
  bool validateSQLError(std::string_view sql, std::optional<LiteError>* error);

  // --- Custom SQL functions -----------------------------------------------------------
  // Registers a scalar function on the open engine handle (arguments: its number of
  // arguments, -1 for any). The connection keeps the block for its lifetime. Functions
  // belong to the handle: register them again after close and open. Does nothing on a
  // connection that is not open.
  void makeFunctionNamedArgumentsBlock(const std::string& name, int arguments,
                                       LiteSQLiteFunctionBlock block);
  void makeFunctionNamedMaximumArgumentsWithBlock(const std::string& name, int maximumArguments,
                                                  LiteSQLiteFunctionBlock block);
  // Reading a function's arguments.
  static int valueType(sqlite3_value* value);
  static int valueInt(sqlite3_value* value);
  static std::int64_t valueLong(sqlite3_value* value);
  static double valueDouble(sqlite3_value* value);
  static std::optional<LiteData> valueData(sqlite3_value* value);       // none for NULL and empty
  static std::optional<std::string> valueString(sqlite3_value* value);  // none for NULL
  // Setting a function's result (the engine copies text and bytes).
  static void resultNullInContext(sqlite3_context* context);
  static void resultIntContext(int value, sqlite3_context* context);
  static void resultLongContext(std::int64_t value, sqlite3_context* context);
  static void resultDoubleContext(double value, sqlite3_context* context);
  static void resultDataContext(const LiteData& data, sqlite3_context* context);
  static void resultStringContext(const std::string& value, sqlite3_context* context);
  static void resultErrorContext(const std::string& error, sqlite3_context* context);
  static void resultErrorCodeContext(int errorCode, sqlite3_context* context);
  static void resultErrorNoMemoryInContext(sqlite3_context* context);
  static void resultErrorTooBigInContext(sqlite3_context* context);

  // --- Dates stored as text -----------------------------------------------------------
  // A formatter for the pattern in GMT and the "en_US" locale; none when ICU cannot
  // make one.
  static std::shared_ptr<LiteDateFormatter> storeableDateFormat(const std::string& format);
  // With a formatter, dates bind as its text and date columns are parsed from text;
  // without one (the default) they are seconds since 1970 as a real.
  void setDateFormat(std::shared_ptr<LiteDateFormatter> format) { _dateFormat = std::move(format); }
  const std::shared_ptr<LiteDateFormatter>& dateFormat() const { return _dateFormat; }
  bool hasDateFormatter() const { return _dateFormat != nullptr; }
  std::optional<LiteDate> dateFromString(const std::string& s) const;
  std::optional<std::string> stringFromDate(const LiteDate& date) const;

  // --- Keys: this build has no encrypted databases; all return false. ------------------
  bool setKey(const std::string& key);
  bool setKeyWithData(const LiteData& keyData);
  bool rekey(const std::string& key);
  bool rekeyWithData(const LiteData& keyData);

  // --- Versions and health ------------------------------------------------------------
  static std::string LiteDBUserVersion();  // "2.7.5"
  static int LiteDBVersion();              // the same as a hexadecimal number: 0x275
  static std::string sqliteLibVersion();
  static bool isSQLiteThreadSafe();
  bool goodConnection();
  // Retired: they only log, pointing at maxBusyRetryTimeInterval.
  int busyRetryTimeout();
  void setBusyRetryTimeout(int timeout);

  // --- Binding ---------------------------------------------------------------------
  // Binds one value at a 1-based parameter index. Text and bytes are copied by the
  // engine, so the value need not outlive the call.
  void bindObjectToColumnInStatement(const LiteValue& obj, int idx, sqlite3_stmt* pStmt);

 private:
  bool runTransactionStatement(const char* sql, bool inTransactionAfter);
  // The database as a backup's messages name it: its path, or what kind of private one.
  std::string backupName() const;
  // Why a backup from this connection into the destination's file (and connection,
  // when one is given) cannot begin; none when it can. Asked before anything is opened.
  std::optional<LiteError> backupObstacle(const std::string& destinationName,
                                          const std::string& destinationFile,
                                          const LiteDatabase* destination) const;
  bool backupInto(LiteDatabase& destination, const std::string& destinationName, int pagesPerStep,
                  const LiteBackupProgressBlock& progress, std::optional<LiteError>* error);
  bool failBackup(LiteError failure, std::optional<LiteError>* error) const;
  static int busyHandler(void* context, int count);
  std::shared_ptr<LiteDatabase> sharedSelfForResultSet();
  std::shared_ptr<LiteDatabase> firstSharedSelf();
  void logPrepareFailure(std::string_view sql);
  void forgetCachedStatement(LiteStatement* statement);
  // The idle cached statement for the text: the cache's own pointer, valid until
  // entries are removed; nullptr when there is none.
  const std::shared_ptr<LiteStatement>* idleCachedStatement(std::string_view query);
  // The cache's entry for the text, searched for and remembered as the last one found.
  LiteStatementCache::value_type* cacheEntryForQuery(std::string_view query);
  sqlite3_stmt* statementForQuery(std::string_view sql,
                                  const std::shared_ptr<LiteStatement>** cached);
  // What the query and update cores bind: positional values from the array first,
  // then from the list, then from the borrowed arguments of the variadic forms; or
  // named ones from the dictionary. The spans may be empty.
  struct CoreArguments {
    std::span<const LiteValue> array;
    const LiteDictionary* dictionary = nullptr;
    std::span<const LiteValue> list;
    std::span<const LiteArgument> borrowed;
    // Nothing but borrowed arguments (the variadic forms): binding skips the rest.
    bool onlyBorrowed = false;
    static CoreArguments borrowedOnly(std::span<const LiteArgument> arguments) {
      return {{}, nullptr, {}, arguments, true};
    }
  };
  std::shared_ptr<LiteResultSet> executeQueryCore(std::string_view sql,
                                                  const CoreArguments& arguments);
  bool executeUpdateCore(std::string_view sql, std::optional<LiteError>* error,
                         const CoreArguments& arguments);
  bool mayExecute();
  // Lists a result set of a query among the open ones, newest first.
  void registerOpenResultSet(LiteResultSet* resultSet);
  int bindArguments(sqlite3_stmt* pStmt, int queryCount, LiteStatement* cached,
                    const CoreArguments& arguments, bool isUpdate, std::optional<LiteError>* error);
  // Notes a bind the engine refused because the statement was not reset.
  void noteBind(int rc);
  void traceStatement(const char* operation, std::string_view sql) const;
  int bindNamedArguments(sqlite3_stmt* pStmt, const LiteDictionary& arguments, bool engineCopies,
                         bool isUpdate, std::optional<LiteError>* error);
  void discardStatement(sqlite3_stmt* pStmt, LiteStatement* cached);
  void reportUpdateStep(int rc, std::string_view sql, std::optional<LiteError>* error);
  int bindArgumentsInTurn(sqlite3_stmt* pStmt, int queryCount, const CoreArguments& arguments,
                          bool engineCopies);
  // As bindValue, for an argument viewed where the caller keeps it.
  void bindArgument(const LiteArgument& argument, int idx, sqlite3_stmt* pStmt, bool engineCopies);
  // As bindObjectToColumnInStatement; with engineCopies false, text and bytes held by
  // the value are bound without a copy, so the value must outlive the statement's step.
  void bindValue(const LiteValue& obj, int idx, sqlite3_stmt* pStmt, bool engineCopies);

  sqlite3* _db = nullptr;
  bool _isExecutingStatement = false;
  double _startBusyRetryTime = 0;
  // The open result sets of this connection's queries, newest first, linked through
  // the result sets themselves (a query then registers its result set without touching
  // the heap); each removes itself on close.
  LiteResultSet* _newestOpenResultSet = nullptr;
  bool _shouldCacheStatements = false;
  bool _traceExecution = false;
  bool _checkedOut = false;
  bool _crashOnErrors = false;
  bool _logsErrors = true;
  bool _isOpen = false;
  bool _isInTransaction = false;
  double _maxBusyRetryTimeInterval = 2.0;
  std::optional<LiteStatementCache> _cachedStatements;
  // The cache entry the last lookup found, so that a statement run over and over skips
  // the search of the map; cleared whenever entries are removed.
  LiteStatementCache::value_type* _lastCacheEntry = nullptr;
  // The blocks of the registered SQL functions; the engine holds pointers to them.
  std::vector<std::unique_ptr<LiteSQLiteFunctionBlock>> _openFunctions;
  std::shared_ptr<LiteDateFormatter> _dateFormat;
  std::optional<std::string> _databasePath;
  // Shared with the statements prepared on the current engine handle.
  std::shared_ptr<LiteEngineHandleState> _engineHandleState;
  // Whether a bind since bindArguments began was refused as on a statement not reset.
  bool _bindRefused = false;
  // Whether sharedSelfForResultSet has found a shared_ptr owning the connection.
  bool _ownedByShared = false;
};
