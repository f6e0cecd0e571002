#include "litedb/LiteDatabaseQueue.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>

#include "litedb/LiteInternal.h"
#include "litedb/LiteLog.h"

using litedb_internal::format;

namespace {

// The queues whose blocks this thread is running, innermost last: a block may use
// other queues, which may in turn run blocks.
thread_local std::vector<const LiteDatabaseQueue*> queuesRunningOnThisThread;

}  // namespace

// Holds one turn of the queue for its lifetime: waits until every earlier caller has
// finished, marks the thread as running the queue's block, and hands the turn on when
// it ends, whichever way the block leaves.
class LiteDatabaseQueue::Turn {
 public:
  explicit Turn(LiteDatabaseQueue& queue) : _queue(queue) {
    std::unique_lock<std::mutex> lock(_queue._turnMutex);
    const std::uint64_t ticket = _queue._nextTicket++;
    _queue._turnChanged.wait(lock, [&] { return _queue._nowServing == ticket; });
    queuesRunningOnThisThread.push_back(&_queue);
  }
  ~Turn() {
    queuesRunningOnThisThread.pop_back();
    {
      std::lock_guard<std::mutex> lock(_queue._turnMutex);
      ++_queue._nowServing;
    }
    // Every waiter checks whether it is next; there are only as many as calling threads.
    _queue._turnChanged.notify_all();
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  LiteDatabaseQueue& _queue;
};

// --- Construction --------------------------------------------------------------------

std::shared_ptr<LiteDatabaseQueue> LiteDatabaseQueue::databaseQueueWithPath(
    std::optional<std::string> path) {
  return databaseQueueWithPathFlagsVfs(std::move(path), kDefaultOpenFlags, std::nullopt);
}

std::shared_ptr<LiteDatabaseQueue> LiteDatabaseQueue::databaseQueueWithPathFlags(
    std::optional<std::string> path, int openFlags) {
  return databaseQueueWithPathFlagsVfs(std::move(path), openFlags, std::nullopt);
}

std::shared_ptr<LiteDatabaseQueue> LiteDatabaseQueue::databaseQueueWithURL(
    std::optional<std::string> url) {
  return databaseQueueWithURLFlagsVfs(std::move(url), kDefaultOpenFlags, std::nullopt);
}

std::shared_ptr<LiteDatabaseQueue> LiteDatabaseQueue::databaseQueueWithURLFlags(
    std::optional<std::string> url, int openFlags) {
  return databaseQueueWithURLFlagsVfs(std::move(url), openFlags, std::nullopt);
}

std::shared_ptr<LiteDatabaseQueue> LiteDatabaseQueue::databaseQueueWithURLFlagsVfs(
    std::optional<std::string> url, int openFlags, std::optional<std::string> vfsName) {
  return databaseQueueWithPathFlagsVfs(litedb_internal::pathFromFileURL(url), openFlags,
                                       std::move(vfsName));
}

LiteDatabaseQueue::LiteDatabaseQueue(ConstructionKey, std::optional<std::string> path,
                                     int openFlags, std::optional<std::string> vfsName)
    : _openFlags(openFlags), _path(std::move(path)), _vfsName(std::move(vfsName)) {}

LiteDatabaseQueue::~LiteDatabaseQueue() = default;

bool LiteDatabaseQueue::openFirstDatabase() {
  // No other thread can know the queue yet; the lock only keeps the rule simple.
  std::lock_guard<std::mutex> lock(_stateMutex);
  auto db = databaseClass()(_path);
  if (!db || !db->openWithFlagsVfs(_openFlags, _vfsName)) {
    liteLog("Could not create database queue for path " + _path.value_or("(null)"));
    return false;
  }
  _db = std::move(db);
  return true;
}

std::string LiteDatabaseQueue::description() const {
  return litedb_internal::objectDescription("LiteDatabaseQueue", this);
}

std::string LiteDatabaseQueue::label() const { return "litedb." + description(); }

// --- Properties ------------------------------------------------------------------------

std::optional<std::string> LiteDatabaseQueue::path() const {
  std::lock_guard<std::mutex> lock(_stateMutex);
  return _path;
}

void LiteDatabaseQueue::setPath(std::optional<std::string> path) {
  std::lock_guard<std::mutex> lock(_stateMutex);
  _path = std::move(path);
}

std::optional<std::string> LiteDatabaseQueue::vfsName() const {
  std::lock_guard<std::mutex> lock(_stateMutex);
  return _vfsName;
}

void LiteDatabaseQueue::setVfsName(std::optional<std::string> vfsName) {
  std::lock_guard<std::mutex> lock(_stateMutex);
  _vfsName = std::move(vfsName);
}

// --- The connection ----------------------------------------------------------------------

std::shared_ptr<LiteDatabase> LiteDatabaseQueue::database() {
  // Only the thread holding the turn changes _db, so reading it here needs no lock.
  if (_db && _db->isOpen()) return _db;
  std::lock_guard<std::mutex> lock(_stateMutex);
  if (!_db) _db = databaseClass()(_path);
  if (!_db || !_db->openWithFlagsVfs(_openFlags, _vfsName)) {
    liteLog("LiteDatabaseQueue could not reopen database for path " + _path.value_or("(null)"));
    _db.reset();
    return nullptr;
  }
  return _db;
}

LiteError LiteDatabaseQueue::noConnectionError() {
  return LiteError{"LiteDatabase", SQLITE_CANTOPEN, "The database queue has no open connection"};
}

bool LiteDatabaseQueue::isRunningOnThisThread() const {
  return std::find(queuesRunningOnThisThread.begin(), queuesRunningOnThisThread.end(), this) !=
         queuesRunningOnThisThread.end();
}

// --- Work ----------------------------------------------------------------------------------

void LiteDatabaseQueue::inDatabase(const LiteDatabaseBlock& block) {
  // Also when another queue's block stands between: this queue's turn is held further
  // up this thread's stack, so waiting for the next one would never end.
  if (isRunningOnThisThread()) {
    liteLog(
        "Assertion failed: (currentSyncQueue != self && \"inDatabase: was called reentrantly "
        "on the same queue, which would lead to a deadlock\"), function -[LiteDatabaseQueue "
        "inDatabase:], file litedb/LiteDatabaseQueue, line 185.");
    std::abort();
  }
  Turn turn(*this);
  const std::shared_ptr<LiteDatabase> db = database();
  if (block) block(db.get());
  if (db && db->hasOpenResultSets()) {
    liteLog(
        "Warning: there is at least one open result set around after performing "
        "[LiteDatabaseQueue inDatabase:]");
  }
}

bool LiteDatabaseQueue::beginTransactionWithBlock(int transaction,
                                                  const LiteDatabaseTransactionBlock& block) {
  Turn turn(*this);
  const std::shared_ptr<LiteDatabase> db = database();
  return litedb_internal::runBlockInTransaction(db.get(), transaction, block);
}

bool LiteDatabaseQueue::inTransaction(const LiteDatabaseTransactionBlock& block) {
  return beginTransactionWithBlock(LiteTransactionExclusive, block);
}

bool LiteDatabaseQueue::inExclusiveTransaction(const LiteDatabaseTransactionBlock& block) {
  return beginTransactionWithBlock(LiteTransactionExclusive, block);
}

bool LiteDatabaseQueue::inDeferredTransaction(const LiteDatabaseTransactionBlock& block) {
  return beginTransactionWithBlock(LiteTransactionDeferred, block);
}

bool LiteDatabaseQueue::inImmediateTransaction(const LiteDatabaseTransactionBlock& block) {
  return beginTransactionWithBlock(LiteTransactionImmediate, block);
}

std::optional<LiteError> LiteDatabaseQueue::inSavePoint(const LiteDatabaseTransactionBlock& block) {
  // Shared by every queue of the process, whose turns run at the same time: atomic.
  static std::atomic<unsigned long> savePointIdx{0};

  Turn turn(*this);
  const std::string name = format("savePoint%lu", savePointIdx.fetch_add(1));
  const std::shared_ptr<LiteDatabase> db = database();
  return litedb_internal::runBlockInSavePoint(db.get(), name, block, noConnectionError());
}

bool LiteDatabaseQueue::checkpointNameLogFrameCountCheckpointCountError(
    int checkpointMode, const std::optional<std::string>& name, int* logFrameCount,
    int* checkpointCount, std::optional<LiteError>* error) {
  std::optional<LiteError> localError;
  bool result = false;
  {
    Turn turn(*this);
    const std::shared_ptr<LiteDatabase> db = database();
    if (db) {
      result = db->checkpointNameLogFrameCountCheckpointCountError(
          checkpointMode, name, logFrameCount, checkpointCount, &localError);
    } else {
      localError = noConnectionError();
    }
  }
  if (error) *error = localError;
  return result;
}

bool LiteDatabaseQueue::checkpointNameError(int checkpointMode,
                                            const std::optional<std::string>& name,
                                            std::optional<LiteError>* error) {
  return checkpointNameLogFrameCountCheckpointCountError(checkpointMode, name, nullptr, nullptr,
                                                         error);
}

bool LiteDatabaseQueue::checkpointError(int checkpointMode, std::optional<LiteError>* error) {
  return checkpointNameError(checkpointMode, std::nullopt, error);
}

void LiteDatabaseQueue::interrupt() {
  // Not through a turn: the block to interrupt holds it. Opening a connection just to
  // interrupt it would be pointless, so without one there is nothing to do.
  std::lock_guard<std::mutex> lock(_stateMutex);
  if (_db) _db->interrupt();
}

void LiteDatabaseQueue::close() {
  Turn turn(*this);
  std::lock_guard<std::mutex> lock(_stateMutex);
  if (_db) _db->close();
  _db.reset();
}
