#include "litedb/LiteDatabasePool.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "litedb/LiteInternal.h"
#include "litedb/LiteLog.h"

using litedb_internal::format;

namespace {

bool holds(const std::vector<std::shared_ptr<LiteDatabase>>& list,
           const std::shared_ptr<LiteDatabase>& db) {
  return std::find(list.begin(), list.end(), db) != list.end();
}

void removeFrom(std::vector<std::shared_ptr<LiteDatabase>>& list,
                const std::shared_ptr<LiteDatabase>& db) {
  list.erase(std::remove(list.begin(), list.end(), db), list.end());
}

const char* const kAlreadyInPoolName = "Database already in pool";
const char* const kAlreadyInPoolReason =
    "The LiteDatabase being put back into the pool is already present in the pool";

}  // namespace

// --- Construction ------------------------------------------------------------------------

std::shared_ptr<LiteDatabasePool> LiteDatabasePool::databasePoolWithPath(
    std::optional<std::string> path) {
  return std::make_shared<LiteDatabasePool>(std::move(path));
}

std::shared_ptr<LiteDatabasePool> LiteDatabasePool::databasePoolWithPathFlags(
    std::optional<std::string> path, int openFlags) {
  return std::make_shared<LiteDatabasePool>(std::move(path), openFlags);
}

std::shared_ptr<LiteDatabasePool> LiteDatabasePool::databasePoolWithURL(
    std::optional<std::string> url) {
  return databasePoolWithURLFlagsVfs(std::move(url), kDefaultOpenFlags, std::nullopt);
}

std::shared_ptr<LiteDatabasePool> LiteDatabasePool::databasePoolWithURLFlags(
    std::optional<std::string> url, int openFlags) {
  return databasePoolWithURLFlagsVfs(std::move(url), openFlags, std::nullopt);
}

std::shared_ptr<LiteDatabasePool> LiteDatabasePool::databasePoolWithURLFlagsVfs(
    std::optional<std::string> url, int openFlags, std::optional<std::string> vfsName) {
  return std::make_shared<LiteDatabasePool>(litedb_internal::pathFromFileURL(url), openFlags,
                                            std::move(vfsName));
}

LiteDatabasePool::LiteDatabasePool() : LiteDatabasePool(std::nullopt) {}

LiteDatabasePool::LiteDatabasePool(std::optional<std::string> path, int openFlags,
                                   std::optional<std::string> vfsName)
    : _openFlags(openFlags), _path(std::move(path)), _vfsName(std::move(vfsName)) {}

LiteDatabasePool::~LiteDatabasePool() = default;

std::string LiteDatabasePool::description() const {
  return litedb_internal::objectDescription("LiteDatabasePool", this);
}

std::string LiteDatabasePool::label() const { return "litedb." + description(); }

// --- Properties ------------------------------------------------------------------------

std::optional<std::string> LiteDatabasePool::path() const {
  std::lock_guard<std::mutex> lock(_lock);
  return _path;
}

void LiteDatabasePool::setPath(std::optional<std::string> path) {
  std::lock_guard<std::mutex> lock(_lock);
  _path = std::move(path);
}

std::optional<std::string> LiteDatabasePool::vfsName() const {
  std::lock_guard<std::mutex> lock(_lock);
  return _vfsName;
}

void LiteDatabasePool::setVfsName(std::optional<std::string> vfsName) {
  std::lock_guard<std::mutex> lock(_lock);
  _vfsName = std::move(vfsName);
}

LiteDatabasePoolDelegate* LiteDatabasePool::delegate() const {
  std::lock_guard<std::mutex> lock(_lock);
  return _delegate;
}

void LiteDatabasePool::setDelegate(LiteDatabasePoolDelegate* delegate) {
  std::lock_guard<std::mutex> lock(_lock);
  _delegate = delegate;
}

std::uint64_t LiteDatabasePool::maximumNumberOfDatabasesToCreate() const {
  std::lock_guard<std::mutex> lock(_lock);
  return _maximumNumberOfDatabasesToCreate;
}

void LiteDatabasePool::setMaximumNumberOfDatabasesToCreate(std::uint64_t maximum) {
  std::lock_guard<std::mutex> lock(_lock);
  _maximumNumberOfDatabasesToCreate = maximum;
}

// --- Lending ---------------------------------------------------------------------------

std::shared_ptr<LiteDatabase> LiteDatabasePool::db() {
  std::lock_guard<std::mutex> lock(_lock);
  std::shared_ptr<LiteDatabase> db;
  bool isNew = false;
  if (!_databaseInPool.empty()) {
    db = _databaseInPool.back();
    _databaseInPool.pop_back();
    _databaseOutPool.push_back(db);
  } else {
    const std::uint64_t count = _databaseInPool.size() + _databaseOutPool.size();
    if (_maximumNumberOfDatabasesToCreate != 0 && count >= _maximumNumberOfDatabasesToCreate) {
      liteLog(format("Maximum number of databases (%llu) has already been reached!",
                     static_cast<unsigned long long>(_maximumNumberOfDatabasesToCreate)));
      return nullptr;
    }
    db = databaseClass()(_path);
    isNew = true;
  }

  // A connection lent to nobody must not stay on the lent list: it would count against
  // the maximum for ever. The pool forgets it instead.
  if (!db || !db->openWithFlagsVfs(_openFlags, _vfsName)) {
    liteLog("Could not open up the database at path " + _path.value_or("(null)"));
    removeFrom(_databaseOutPool, db);
    return nullptr;
  }
  if (_delegate && _delegate->databasePoolShouldAddDatabaseToPool &&
      !_delegate->databasePoolShouldAddDatabaseToPool(this, db.get())) {
    db->close();
    removeFrom(_databaseOutPool, db);
    return nullptr;
  }
  if (!holds(_databaseOutPool, db)) _databaseOutPool.push_back(db);
  if (isNew && _delegate && _delegate->databasePoolDidAddDatabase) {
    _delegate->databasePoolDidAddDatabase(this, db.get());
  }
  return db;
}

std::optional<LiteError> LiteDatabasePool::pushDatabaseBackInPool(
    const std::shared_ptr<LiteDatabase>& db) {
  if (!db) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(_lock);
    if (!holds(_databaseInPool, db)) {
      _databaseInPool.push_back(db);
      removeFrom(_databaseOutPool, db);
      return std::nullopt;
    }
  }
  // Logged as well, so that a caller who drops the result still leaves a trace.
  liteLog(std::string(kAlreadyInPoolName) + ": " + kAlreadyInPoolReason);
  return LiteError{kAlreadyInPoolName, 0, kAlreadyInPoolReason};
}

void LiteDatabasePool::executeLocked(const std::function<void()>& block) {
  std::lock_guard<std::mutex> lock(_lock);
  if (block) block();
}

std::size_t LiteDatabasePool::countOfCheckedInDatabases() const {
  std::lock_guard<std::mutex> lock(_lock);
  return _databaseInPool.size();
}

std::size_t LiteDatabasePool::countOfCheckedOutDatabases() const {
  std::lock_guard<std::mutex> lock(_lock);
  return _databaseOutPool.size();
}

std::size_t LiteDatabasePool::countOfOpenDatabases() const {
  std::lock_guard<std::mutex> lock(_lock);
  return _databaseInPool.size() + _databaseOutPool.size();
}

void LiteDatabasePool::releaseAllDatabases() {
  std::vector<std::shared_ptr<LiteDatabase>> idle;
  {
    std::lock_guard<std::mutex> lock(_lock);
    idle.swap(_databaseInPool);
    _databaseOutPool.clear();
  }
  // The idle connections close here, without holding up the other callers.
}

// --- Work ----------------------------------------------------------------------------------

namespace {

LiteError noConnectionError() {
  return LiteError{"LiteDatabase", SQLITE_CANTOPEN, "The database pool lent no connection"};
}

}  // namespace

void LiteDatabasePool::inDatabase(const LiteDatabaseBlock& block) {
  const std::shared_ptr<LiteDatabase> db = this->db();
  if (block) block(db.get());
  pushDatabaseBackInPool(db);
}

bool LiteDatabasePool::beginTransactionWithBlock(int transaction,
                                                 const LiteDatabaseTransactionBlock& block) {
  const std::shared_ptr<LiteDatabase> db = this->db();
  const bool done = litedb_internal::runBlockInTransaction(db.get(), transaction, block);
  pushDatabaseBackInPool(db);
  return done;
}

bool LiteDatabasePool::inTransaction(const LiteDatabaseTransactionBlock& block) {
  return beginTransactionWithBlock(LiteTransactionExclusive, block);
}

bool LiteDatabasePool::inExclusiveTransaction(const LiteDatabaseTransactionBlock& block) {
  return beginTransactionWithBlock(LiteTransactionExclusive, block);
}

bool LiteDatabasePool::inDeferredTransaction(const LiteDatabaseTransactionBlock& block) {
  return beginTransactionWithBlock(LiteTransactionDeferred, block);
}

bool LiteDatabasePool::inImmediateTransaction(const LiteDatabaseTransactionBlock& block) {
  return beginTransactionWithBlock(LiteTransactionImmediate, block);
}

std::optional<LiteError> LiteDatabasePool::inSavePoint(const LiteDatabaseTransactionBlock& block) {
  // Shared by every pool of the process and taken on the callers' threads: atomic.
  static std::atomic<unsigned long> savePointIdx{0};
  const std::string name = format("savePoint%lu", savePointIdx.fetch_add(1));
  const std::shared_ptr<LiteDatabase> db = this->db();
  std::optional<LiteError> error =
      litedb_internal::runBlockInSavePoint(db.get(), name, block, noConnectionError());
  pushDatabaseBackInPool(db);
  return error;
}
