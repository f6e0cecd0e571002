// LiteDatabasePool: connections to one database file, lent to threads that work at once.
//
// The pool keeps idle connections for reuse (the most recently returned one is lent
// first), creates new ones on demand up to an optional maximum, and asks an optional
// delegate whether a new connection may join. Its block operations take a connection,
// run the block with it on the calling thread (inside a transaction or savepoint when
// asked) and give it back, so several threads' blocks run at the same time, each on a
// connection of its own.
//
// Ownership: the pool owns its idle connections and keeps a reference to each lent one
// until it is returned or releaseAllDatabases() forgets it; a borrower holds what it
// was lent until it returns it. The delegate is not owned: it must outlive the pool or
// be unset first. A pool opens nothing until a connection is first asked for.
//
// Thread-safety: every operation may be called from any thread; the two lists and the
// properties are guarded by one lock, held only while they are read or changed (and
// while a new connection opens and the delegate is asked), never while a block runs.
// A connection lent by db() serves one thread at a time. Nothing called with the lock
// held (an executeLocked block, the delegate's operations) may call the pool's other
// operations: it would wait for itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "litedb/LiteDatabase.h"

class LiteDatabasePool;

// What a pool may ask about its connections. Either operation may be left empty; an
// empty one is not called.
struct LiteDatabasePoolDelegate {
  // Asked before a connection is lent; false refuses it: the pool closes it and lends none.
  std::function<bool(LiteDatabasePool* pool, LiteDatabase* database)>
      databasePoolShouldAddDatabaseToPool;
  // Told once for each connection the pool created and accepted, before it is first lent.
  std::function<void(LiteDatabasePool* pool, LiteDatabase* database)> databasePoolDidAddDatabase;
};

class LiteDatabasePool {
 public:
  // SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE.
  static constexpr int kDefaultOpenFlags = 6;

  static std::shared_ptr<LiteDatabasePool> databasePoolWithPath(std::optional<std::string> path);
  static std::shared_ptr<LiteDatabasePool> databasePoolWithPathFlags(
      std::optional<std::string> path, int openFlags);
  // The same with the file path of a "file://" URL.
  static std::shared_ptr<LiteDatabasePool> databasePoolWithURL(std::optional<std::string> url);
  static std::shared_ptr<LiteDatabasePool> databasePoolWithURLFlags(std::optional<std::string> url,
                                                                    int openFlags);
  static std::shared_ptr<LiteDatabasePool> databasePoolWithURLFlagsVfs(
      std::optional<std::string> url, int openFlags, std::optional<std::string> vfsName);

  LiteDatabasePool();  // no path: every connection a private in-memory database
  explicit LiteDatabasePool(std::optional<std::string> path, int openFlags = kDefaultOpenFlags,
                            std::optional<std::string> vfsName = std::nullopt);
  virtual ~LiteDatabasePool();
  LiteDatabasePool(const LiteDatabasePool&) = delete;
  LiteDatabasePool& operator=(const LiteDatabasePool&) = delete;

  // The connection class this pool creates; a specialised pool overrides it to supply a
  // specialised connection class.
  virtual LiteDatabaseClass databaseClass() const { return &LiteDatabase::databaseWithPath; }

  // "<LiteDatabasePool: 0x...>", and the debugging label "litedb.<LiteDatabasePool: 0x...>".
  std::string description() const;
  std::string label() const;

  // --- Properties (new connections use the values current when they are made) --------
  int openFlags() const { return _openFlags; }
  std::optional<std::string> path() const;
  void setPath(std::optional<std::string> path);
  std::optional<std::string> vfsName() const;
  void setVfsName(std::optional<std::string> vfsName);
  LiteDatabasePoolDelegate* delegate() const;
  void setDelegate(LiteDatabasePoolDelegate* delegate);
  // 0: no limit. Counts idle and lent connections together.
  std::uint64_t maximumNumberOfDatabasesToCreate() const;
  void setMaximumNumberOfDatabasesToCreate(std::uint64_t maximum);

  // --- Lending -----------------------------------------------------------------------
  // An open connection of the pool's own, or none: when the maximum is reached ("Maximum
  // number of databases (<n>) has already been reached!"), a connection cannot be opened
  // ("Could not open up the database at path <path>"), or the delegate refuses it (the
  // connection is closed). A connection that fails so is forgotten by the pool, also one
  // that was idle.
  std::shared_ptr<LiteDatabase> db();
  // Gives a connection back (none: nothing happens). Returning one that is already idle
  // changes nothing and gives (and logs) the error "Database already in pool" with the
  // reason "The LiteDatabase being put back into the pool is already present in the
  // pool"; otherwise none.
  std::optional<LiteError> pushDatabaseBackInPool(const std::shared_ptr<LiteDatabase>& db);
  // Runs the block with the pool's lock held.
  void executeLocked(const std::function<void()>& block);
  std::size_t countOfCheckedInDatabases() const;   // idle
  std::size_t countOfCheckedOutDatabases() const;  // lent
  std::size_t countOfOpenDatabases() const;        // both
  // Forgets every connection: the idle ones close now, a lent one stays with its user
  // (and joins the idle ones if it is given back later).
  void releaseAllDatabases();

  // --- Work (each on a connection lent for the call and given back after it) ---------
  // The block receives nullptr when the pool lends no connection.
  void inDatabase(const LiteDatabaseBlock& block);

  // Begins a transaction of the kind (LiteTransactionKind), runs the block, then rolls
  // back when the block set *rollback and commits otherwise; a commit that fails is
  // rolled back, so the connection never goes back to the pool inside a transaction.
  // When no transaction can be begun (no connection lent, the begin fails, an unknown
  // kind) the block receives nullptr, so that none of its work runs outside a
  // transaction where a rollback could not undo it. Returns true when the block's work
  // was committed, or rolled back as it asked.
  bool beginTransactionWithBlock(int transaction, const LiteDatabaseTransactionBlock& block);
  bool inTransaction(const LiteDatabaseTransactionBlock& block);  // exclusive
  bool inExclusiveTransaction(const LiteDatabaseTransactionBlock& block);
  bool inDeferredTransaction(const LiteDatabaseTransactionBlock& block);
  bool inImmediateTransaction(const LiteDatabaseTransactionBlock& block);

  // Runs the block inside a savepoint named savePoint<n> (n counts the savepoints of
  // every pool in the process, from 0); rolls back to it when the block set *rollback,
  // then releases it. When the savepoint cannot be started the block is not run.
  // Returns the error of the failing start, or of the last failing rollback or
  // release; none when everything succeeded. When no connection is lent the block
  // receives nullptr and an error is returned.
  std::optional<LiteError> inSavePoint(const LiteDatabaseTransactionBlock& block);

 private:
  mutable std::mutex _lock;
  std::vector<std::shared_ptr<LiteDatabase>> _databaseInPool;   // idle, last lent first
  std::vector<std::shared_ptr<LiteDatabase>> _databaseOutPool;  // lent
  const int _openFlags;
  std::optional<std::string> _path;
  LiteDatabasePoolDelegate* _delegate = nullptr;
  std::uint64_t _maximumNumberOfDatabasesToCreate = 0;
  std::optional<std::string> _vfsName;
};
