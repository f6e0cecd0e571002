// How result sets are made: LiteResultSet::resultSetForQuery and its constructor,
// defined here so that the query core, which makes one on every query, builds it in
// place. Internal to litedb.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "litedb/LiteResultSet.h"
#include "litedb/LiteStatement.h"

namespace litedb_internal {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kRecycleBlocks = false;  // let AddressSanitizer see every use after free
#else
inline constexpr bool kRecycleBlocks = true;
#endif

// A result set is made and dropped on every query. Its block (the object with its
// reference counts) goes back to a short list of the thread that lets it go, and the
// next result set made on that thread takes it from there, rather than both going
// through the heap. Blocks may move between threads with their result sets; each
// thread frees what its list still holds when it ends.
class RecycledBlocks {
 public:
  RecycledBlocks() = default;
  ~RecycledBlocks() {
    while (_head) ::operator delete(std::exchange(_head, _head->next));
    _count = 0;
    // A result set dropped later by another object's destructor on this thread, after
    // this list is gone, is freed directly (see give).
    _gone = true;
  }
  RecycledBlocks(const RecycledBlocks&) = delete;
  RecycledBlocks& operator=(const RecycledBlocks&) = delete;

  void* take() {
    if (!_head) return nullptr;
    --_count;
    return std::exchange(_head, _head->next);
  }
  bool give(void* block) {
    if (!kRecycleBlocks || _gone || _count == kKeep) return false;
    _head = ::new (block) Block{_head};
    ++_count;
    return true;
  }

 private:
  struct Block {
    Block* next;
  };
  static constexpr int kKeep = 8;
  Block* _head = nullptr;
  int _count = 0;
  bool _gone = false;
};

// Allocates single objects from the calling thread's RecycledBlocks. It is only ever
// rebound to the one block type of allocate_shared<LiteResultSet>, so every block on a
// list has the same size.
template <class T>
struct RecyclingAllocator {
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

  RecyclingAllocator() = default;
  template <class U>
  RecyclingAllocator(const RecyclingAllocator<U>&) {}

  T* allocate(std::size_t n) {
    if (n == 1) {
      if (void* block = blocks().take()) return static_cast<T*>(block);
    }
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (n == 1 && blocks().give(p)) return;
    ::operator delete(p);
  }

  static RecycledBlocks& blocks() {
    thread_local RecycledBlocks list;
    return list;
  }

  template <class U>
  bool operator==(const RecyclingAllocator<U>&) const {
    return true;
  }
};

}  // namespace litedb_internal

inline LiteResultSet::LiteResultSet(ForQuery, const std::shared_ptr<LiteStatement>& statement,
                                    std::shared_ptr<LiteDatabase>&& parentDB,
                                    const std::shared_ptr<const std::string>& query)
    : _parentDB(std::move(parentDB)), _query(query), _statement(statement) {}

inline std::shared_ptr<LiteResultSet> LiteResultSet::resultSetForQuery(
    const std::shared_ptr<LiteStatement>& statement, std::shared_ptr<LiteDatabase>&& parentDB,
    const std::shared_ptr<const std::string>& query) {
  if (statement) statement->setInUse(true);
  return std::allocate_shared<LiteResultSet>(litedb_internal::RecyclingAllocator<LiteResultSet>(),
                                             ForQuery{}, statement, std::move(parentDB), query);
}
