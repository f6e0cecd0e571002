// LiteDatabaseQueue: one connection shared by several threads, one block at a time.
//
// Each unit of work is a block that receives the queue's connection. The queue runs the
// blocks strictly one after another, in the order the calls arrive, each on the calling
// thread while that caller waits for its turn; so the connection is only ever used by
// one block at a time. It also runs blocks inside transactions and savepoints, forces
// checkpoints, reopens its connection when it finds it closed, and warns when a block
// of inDatabase leaves a result set open.
//
// Ownership: the queue owns its connection; close() drops it and the next block opens
// a new one for the same path. A block must not keep the connection beyond its own
// call. Make queues with the databaseQueueWith... operations, which give none when the
// connection cannot be opened; the queue must outlive every call in progress (hold it
// in the shared_ptr they return).
//
// Thread-safety: every operation may be called from any thread. All but interrupt()
// wait for their turn. A block must not call back into the queue that runs it:
// inDatabase stops the program when that happens (the call would wait for itself
// forever); the other operations do not check. Blocks may use other queues. The
// property setters and interrupt() may be called while a block runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "litedb/LiteDatabase.h"

class LiteDatabaseQueue {
 protected:
  // Only the databaseQueueWith... operations construct queues, so that no queue exists
  // without a connection that opened. A specialised queue class takes this key in its
  // constructor and passes it on.
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  // SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE.
  static constexpr int kDefaultOpenFlags = 6;

  // A queue with an open connection, or none after logging "Could not create database
  // queue for path <path>". Path none: a private in-memory database.
  static std::shared_ptr<LiteDatabaseQueue> databaseQueueWithPath(std::optional<std::string> path);
  static std::shared_ptr<LiteDatabaseQueue> databaseQueueWithPathFlags(
      std::optional<std::string> path, int openFlags);
  // Queue is LiteDatabaseQueue or a specialised queue class derived from it, whose
  // constructor takes the same arguments as this class's; its databaseClass() supplies
  // the connections.
  template <class Queue = LiteDatabaseQueue>
  static std::shared_ptr<Queue> databaseQueueWithPathFlagsVfs(std::optional<std::string> path,
                                                              int openFlags,
                                                              std::optional<std::string> vfsName) {
    auto queue =
        std::make_shared<Queue>(ConstructionKey(), std::move(path), openFlags, std::move(vfsName));
    if (!static_cast<LiteDatabaseQueue&>(*queue).openFirstDatabase()) return nullptr;
    return queue;
  }
  // The same with the file path of a "file://" URL.
  static std::shared_ptr<LiteDatabaseQueue> databaseQueueWithURL(std::optional<std::string> url);
  static std::shared_ptr<LiteDatabaseQueue> databaseQueueWithURLFlags(
      std::optional<std::string> url, int openFlags);
  static std::shared_ptr<LiteDatabaseQueue> databaseQueueWithURLFlagsVfs(
      std::optional<std::string> url, int openFlags, std::optional<std::string> vfsName);

  LiteDatabaseQueue(ConstructionKey, std::optional<std::string> path, int openFlags,
                    std::optional<std::string> vfsName);
  virtual ~LiteDatabaseQueue();
  LiteDatabaseQueue(const LiteDatabaseQueue&) = delete;
  LiteDatabaseQueue& operator=(const LiteDatabaseQueue&) = delete;

  // The connection class this queue creates; a specialised queue overrides it to supply
  // a specialised connection class.
  virtual LiteDatabaseClass databaseClass() const { return &LiteDatabase::databaseWithPath; }

  // "<LiteDatabaseQueue: 0x...>", and the debugging label "litedb.<LiteDatabaseQueue: 0x...>".
  std::string description() const;
  std::string label() const;

  // --- Properties ------------------------------------------------------------------
  // The path and VFS name take effect when the connection is next (re)opened.
  int openFlags() const { return _openFlags; }
  std::optional<std::string> path() const;
  void setPath(std::optional<std::string> path);
  std::optional<std::string> vfsName() const;
  void setVfsName(std::optional<std::string> vfsName);

  // --- Work ------------------------------------------------------------------------
  // Runs the block with the connection, reopened first when it was closed; nullptr
  // when it cannot be opened (after logging "LiteDatabaseQueue could not reopen
  // database for path <path>"). Logs a warning when the block leaves a result set open.
  void inDatabase(const LiteDatabaseBlock& block);

  // Begins a transaction of the kind (LiteTransactionKind), runs the block, then rolls
  // back when the block set *rollback and commits otherwise; a commit that fails is
  // rolled back, so the connection never stays inside the transaction. When no
  // transaction can be begun (no connection, the begin fails, an unknown kind) the
  // block receives nullptr instead of the connection, so that none of its work runs
  // outside a transaction where a rollback could not undo it. Returns true when the
  // block's work was committed, or rolled back as it asked.
  bool beginTransactionWithBlock(int transaction, const LiteDatabaseTransactionBlock& block);
  bool inTransaction(const LiteDatabaseTransactionBlock& block);  // exclusive
  bool inExclusiveTransaction(const LiteDatabaseTransactionBlock& block);
  bool inDeferredTransaction(const LiteDatabaseTransactionBlock& block);
  bool inImmediateTransaction(const LiteDatabaseTransactionBlock& block);

  // Runs the block inside a savepoint named savePoint<n> (n counts the savepoints of
  // every queue in the process, from 0); rolls back to it when the block set *rollback,
  // then releases it. When the savepoint cannot be started the block is not run.
  // Returns the error of the failing start, or of the last failing rollback or
  // release; none when everything succeeded. Without a connection the block receives
  // nullptr and an error is returned.
  std::optional<LiteError> inSavePoint(const LiteDatabaseTransactionBlock& block);

  // A write-ahead-log checkpoint on the connection (see LiteDatabase). The error, when
  // given, receives the failure or none on success.
  bool checkpointNameLogFrameCountCheckpointCountError(int checkpointMode,
                                                       const std::optional<std::string>& name,
                                                       int* logFrameCount, int* checkpointCount,
                                                       std::optional<LiteError>* error);
  bool checkpointNameError(int checkpointMode, const std::optional<std::string>& name,
                           std::optional<LiteError>* error);
  bool checkpointError(int checkpointMode, std::optional<LiteError>* error);

  // Interrupts what the connection is running, at once, from the calling thread; does
  // nothing while the queue has no connection. A block that closes or opens the
  // connection itself (rather than through close()) must not race with it.
  void interrupt();

  // Closes the connection and drops it; the next block opens a new one.
  void close();

 protected:
  // The connection, opened, or nullptr when it cannot be opened. Call only from inside
  // one of this queue's blocks (its turn).
  std::shared_ptr<LiteDatabase> database();

 private:
  class Turn;
  bool openFirstDatabase();
  bool isRunningOnThisThread() const;
  static LiteError noConnectionError();

  // The turns: callers take tickets in arrival order and run when theirs is served.
  std::mutex _turnMutex;
  std::condition_variable _turnChanged;
  std::uint64_t _nextTicket = 0;
  std::uint64_t _nowServing = 0;

  // Guards _db against interrupt() while a turn replaces it, and the path and VFS name
  // against their setters. Only the thread holding the turn changes _db.
  mutable std::mutex _stateMutex;
  std::shared_ptr<LiteDatabase> _db;
  const int _openFlags;
  std::optional<std::string> _path;
  std::optional<std::string> _vfsName;
};
