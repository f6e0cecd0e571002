// LiteStatement: one prepared engine statement (sqlite3_stmt), owned.
//
// The query and update cores of LiteDatabase create statements; a result set holds the
// statement it steps, and the statement cache holds idle ones for reuse. Closing or
// destroying a statement finalises the engine statement. When its connection closes
// while a statement is still held somewhere, the connection finalises the engine
// statement itself; the wrapper notices and forgets it rather than finalising twice.
//
// Thread-safety: none of its own; it belongs to its connection's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct sqlite3_stmt;

namespace litedb_internal {
// What the query of an object without one reads as.
inline const std::string& noText() {
  static const std::string none;
  return none;
}
}  // namespace litedb_internal

// Shared between a connection and the statements prepared on it: set once the
// connection has finalised every remaining statement while closing.
struct LiteEngineHandleState {
  bool closed = false;
};

namespace litedb_internal {
// What a statement tied to no connection looks at: never closed.
inline constexpr LiteEngineHandleState kNoEngineHandleState{};
}  // namespace litedb_internal

class LiteStatement {
 public:
  LiteStatement() = default;
  ~LiteStatement();
  LiteStatement(const LiteStatement&) = delete;
  LiteStatement& operator=(const LiteStatement&) = delete;

  // The engine statement; nullptr after close (or after its connection closed).
  // Inline: every column read of a result set asks for it.
  sqlite3_stmt* statement() const { return engineStatementGone() ? nullptr : _statement; }
  // Takes ownership of an engine statement (an earlier one is not finalised).
  void setStatement(sqlite3_stmt* statement);

  const std::string& query() const { return _query ? *_query : litedb_internal::noText(); }
  void setQuery(std::string query) {
    _query = std::make_shared<const std::string>(std::move(query));
    _cachedUnder = nullptr;
  }

  std::int64_t useCount() const { return _useCount; }
  void setUseCount(std::int64_t useCount) { _useCount = useCount; }

  bool inUse() const { return _inUse; }
  void setInUse(bool inUse) { _inUse = inUse; }

  // Resets the engine statement, if any; always clears inUse.
  void reset();
  // Finalises and forgets the engine statement, if any; always clears inUse.
  void close();

  // "<LiteStatement: 0x...> 3 hit(s) for query SELECT ..."
  std::string description() const;

  // Ties the statement to the connection it was prepared on (see the class comment).
  void setEngineHandleState(std::shared_ptr<const LiteEngineHandleState> state) {
    _engineHandleState = std::move(state);
    _handleState =
        _engineHandleState ? _engineHandleState.get() : &litedb_internal::kNoEngineHandleState;
  }

 private:
  // Asked before every use of the engine statement: one load through a pointer that is
  // never null.
  bool engineStatementGone() const { return _handleState->closed; }
  void forgetEngineHandleState() { setEngineHandleState(nullptr); }

  sqlite3_stmt* _statement = nullptr;
  friend class LiteDatabase;  // hands the query text to result sets, binds by the count
  // The engine statement's parameter count, which stays the same when the engine
  // prepares it again after a schema change: read once rather than on every run.
  int _parameterCount = 0;
  // The statement cache's entry whose text this statement's query was last set to,
  // while it is in that entry (see LiteDatabase::setCachedStatementForQuery): a query
  // found there shares the text without comparing it. Any other value means nothing.
  const void* _cachedUnder = nullptr;

  // Shared with the result sets run from this statement, which then need no copy.
  std::shared_ptr<const std::string> _query;
  std::int64_t _useCount = 0;
  bool _inUse = false;
  std::shared_ptr<const LiteEngineHandleState> _engineHandleState;
  // _engineHandleState's, or kNoEngineHandleState when there is none.
  const LiteEngineHandleState* _handleState = &litedb_internal::kNoEngineHandleState;
};
