// SpscRing: a fixed-size, lock-free ring of values between exactly one producer thread
// and one consumer thread, for the audio callback's commands, its news and the
// decoded samples it mixes. Its storage is allocated once, at construction; push and
// pop never allocate, lock or wait.
//
// Ownership: a plain value; whoever owns it keeps it alive while both sides use it.
// Thread-safety: one thread pushes (push, pushSome, freeSpace), one other thread pops
// (pop, popSome, available). reset() is for a moment when neither side runs (the
// consumer has let go of the ring and the producer is not yet told to start).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>

template <typename T>
class SpscRing {
 public:
  // Holds up to `capacity` values (rounded up to a power of two).
  explicit SpscRing(std::size_t capacity) {
    std::size_t size = 1;
    while (size < capacity) {
      size *= 2;
    }
    _mask = size - 1;
    // Left uninitialised: nothing is read before it was written, and pages never used
    // cost no memory.
    _values.reset(new T[size]);
  }
  SpscRing(const SpscRing&) = delete;
  SpscRing& operator=(const SpscRing&) = delete;

  std::size_t capacity() const { return _mask + 1; }

  // Producer side.
  std::size_t freeSpace() const {
    return capacity() -
           (_write.load(std::memory_order_relaxed) - _read.load(std::memory_order_acquire));
  }
  bool push(const T& value) { return pushSome(&value, 1) == 1; }
  // Pushes as many of `count` values as fit; returns how many.
  std::size_t pushSome(const T* values, std::size_t count) {
    const std::size_t write = _write.load(std::memory_order_relaxed);
    const std::size_t read = _read.load(std::memory_order_acquire);
    count = std::min(count, capacity() - (write - read));
    for (std::size_t i = 0; i < count; ++i) {
      _values[(write + i) & _mask] = values[i];
    }
    _write.store(write + count, std::memory_order_release);
    return count;
  }

  // Consumer side.
  std::size_t available() const {
    return _write.load(std::memory_order_acquire) - _read.load(std::memory_order_relaxed);
  }
  bool pop(T& value) { return popSome(&value, 1) == 1; }
  // Pops up to `count` values into `values` (nullptr: drops them); returns how many.
  std::size_t popSome(T* values, std::size_t count) {
    const std::size_t read = _read.load(std::memory_order_relaxed);
    const std::size_t write = _write.load(std::memory_order_acquire);
    count = std::min(count, write - read);
    if (values != nullptr) {
      for (std::size_t i = 0; i < count; ++i) {
        values[i] = _values[(read + i) & _mask];
      }
    }
    _read.store(read + count, std::memory_order_release);
    return count;
  }

  // Empties the ring; see the class comment for when this may be called.
  void reset() { _read.store(_write.load(std::memory_order_acquire), std::memory_order_release); }

 private:
  std::unique_ptr<T[]> _values;
  std::size_t _mask = 0;
  // Counters that only grow; their difference is the fill. On separate cache lines so
  // that the two sides do not slow each other down.
  alignas(64) std::atomic<std::size_t> _write{0};
  alignas(64) std::atomic<std::size_t> _read{0};
};
