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
// Thread-safety: a connection serves one thread at a time and has no lock of its own;
// the in-use flag only detects re-entry. The busy handler sleeps on the calling
// thread. The engine library must be built thread-safe (checked on construction).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "litedb/LiteResultSet.h"
#include "litedb/LiteStatement.h"
#include "litedb/LiteValue.h"

struct sqlite3;
struct sqlite3_stmt;

// The values of a variable argument list, in order; the cores take as many of them
// as the statement has parameters.
using LiteVAList = std::vector<LiteValue>;

// A batch's row callback: column name to text (or the null marker); non-zero stops the batch.
using LiteExecuteStatementsCallbackBlock = std::function<int(const LiteDictionary& row)>;

// SQL text to the prepared statements kept for it (one per result set that read it at
// the same time), in the order they were stored.
using LiteStatementCache = std::map<std::string, std::vector<std::shared_ptr<LiteStatement>>>;

class LiteDatabase : public std::enable_shared_from_this<LiteDatabase> {
 public:
  // --- Construction and location -------------------------------------------------
  // None: a private in-memory database; "": a private temporary database.
  static std::shared_ptr<LiteDatabase> databaseWithPath(std::optional<std::string> path);
  // A "file://" URL (percent-encoded); none is the same as no path.
  static std::shared_ptr<LiteDatabase> databaseWithURL(std::optional<std::string> url);
  LiteDatabase();                                          // no path
  explicit LiteDatabase(std::optional<std::string> path);  // copies the path; touches no file
  ~LiteDatabase();
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
  bool hasOpenResultSets() const { return !_openResultSets.empty(); }
  void closeOpenResultSets();
  void resultSetDidClose(LiteResultSet* resultSet);

  // --- Guards ----------------------------------------------------------------------
  bool databaseExists();  // logs "The LiteDatabase %@ is not open." when not
  void warnInUse();

  // --- Statement cache (off by default) ---------------------------------------------
  bool shouldCacheStatements() const { return _shouldCacheStatements; }
  void setShouldCacheStatements(bool value);
  const std::optional<LiteStatementCache>& cachedStatements() const { return _cachedStatements; }
  void setCachedStatements(std::optional<LiteStatementCache> cachedStatements);
  std::shared_ptr<LiteStatement> cachedStatementForQuery(const std::string& query);
  void setCachedStatementForQuery(const std::shared_ptr<LiteStatement>& statement,
                                  const std::optional<std::string>& query);
  void clearCachedStatements();

  // --- Queries ---------------------------------------------------------------------
  // Only the first statement of the text runs. The result set is not stepped yet.
  std::shared_ptr<LiteResultSet> executeQueryWithArgumentsInArrayOrDictionaryOrVAList(
      const std::string& sql, const std::vector<LiteValue>* arrayArgs,
      const LiteDictionary* dictionaryArgs, const LiteVAList* args);
  std::shared_ptr<LiteResultSet> executeQueryWithArgumentsInArray(
      const std::string& sql, const std::vector<LiteValue>& arguments);
  std::shared_ptr<LiteResultSet> executeQueryWithVAList(const std::string& sql,
                                                        const LiteVAList& args);
  std::shared_ptr<LiteResultSet> executeQueryWithParameterDictionary(
      const std::string& sql, const LiteDictionary& arguments);
  std::shared_ptr<LiteResultSet> executeQueryValuesError(const std::string& sql,
                                                         const std::vector<LiteValue>& values,
                                                         std::optional<LiteError>* error);
  template <class... Args>
  std::shared_ptr<LiteResultSet> executeQuery(const std::string& sql, Args&&... args) {
    const LiteVAList list{LiteValue(std::forward<Args>(args))...};
    return executeQueryWithVAList(sql, list);
  }

  // --- Updates ---------------------------------------------------------------------
  // True exactly when the single step finished with SQLITE_DONE (or SQLITE_OK).
  bool executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(
      const std::string& sql, std::optional<LiteError>* error,
      const std::vector<LiteValue>* arrayArgs, const LiteDictionary* dictionaryArgs,
      const LiteVAList* args);
  bool executeUpdateWithArgumentsInArray(const std::string& sql,
                                         const std::vector<LiteValue>& arguments);
  bool executeUpdateWithVAList(const std::string& sql, const LiteVAList& args);
  bool executeUpdateWithParameterDictionary(const std::string& sql,
                                            const LiteDictionary& arguments);
  bool executeUpdateValuesError(const std::string& sql, const std::vector<LiteValue>& values,
                                std::optional<LiteError>* error);
  template <class... Args>
  bool executeUpdate(const std::string& sql, Args&&... args) {
    const LiteVAList list{LiteValue(std::forward<Args>(args))...};
    return executeUpdateWithVAList(sql, list);
  }
  template <class... Args>
  bool executeUpdateWithErrorAndBindings(const std::string& sql, std::optional<LiteError>* error,
                                         Args&&... args) {
    const LiteVAList list{LiteValue(std::forward<Args>(args))...};
    return executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(sql, error, nullptr, nullptr,
                                                                      &list);
  }
  template <class... Args>
  bool updateWithErrorAndBindings(const std::string& sql, std::optional<LiteError>* error,
                                  Args&&... args) {
    return executeUpdateWithErrorAndBindings(sql, error, std::forward<Args>(args)...);
  }

  // --- Batches ---------------------------------------------------------------------
  // Runs every statement of the text in turn and stops at the first failure; the
  // statements already run stay applied.
  bool executeStatements(const std::string& sql);
  bool executeStatementsWithResultBlock(const std::string& sql,
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

  // --- Binding ---------------------------------------------------------------------
  // Binds one value at a 1-based parameter index. Text and bytes are copied by the
  // engine, so the value need not outlive the call.
  void bindObjectToColumnInStatement(const LiteValue& obj, int idx, sqlite3_stmt* pStmt);

 private:
  static int busyHandler(void* context, int count);
  std::shared_ptr<LiteDatabase> sharedSelfForResultSet();
  void logPrepareFailure(const std::string& sql);
  void forgetCachedStatement(const std::shared_ptr<LiteStatement>& statement);
  sqlite3_stmt* statementForQuery(const std::string& sql, std::shared_ptr<LiteStatement>* cached);
  int bindPositionalArguments(sqlite3_stmt* pStmt, int queryCount,
                              const std::vector<LiteValue>* arrayArgs, const LiteVAList* args);

  sqlite3* _db = nullptr;
  bool _isExecutingStatement = false;
  double _startBusyRetryTime = 0;
  std::set<LiteResultSet*> _openResultSets;  // observers; each removes itself on close
  bool _shouldCacheStatements = false;
  bool _traceExecution = false;
  bool _checkedOut = false;
  bool _crashOnErrors = false;
  bool _logsErrors = true;
  bool _isOpen = false;
  bool _isInTransaction = false;
  double _maxBusyRetryTimeInterval = 2.0;
  std::optional<LiteStatementCache> _cachedStatements;
  std::optional<std::string> _databasePath;
  // Shared with the statements prepared on the current engine handle.
  std::shared_ptr<LiteEngineHandleState> _engineHandleState;
};
