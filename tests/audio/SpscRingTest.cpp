#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "audio/SpscRing.h"

TEST(SpscRing, KeepsOrderAndRefusesWhatDoesNotFit) {
  SpscRing<int> ring(5);
  EXPECT_EQ(ring.capacity(), 8u);
  std::vector<int> values{1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(ring.pushSome(values.data(), values.size()), 8u);
  EXPECT_EQ(ring.freeSpace(), 0u);
  EXPECT_FALSE(ring.push(10));
  int out[3] = {};
  EXPECT_EQ(ring.popSome(out, 3), 3u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 3);
  // Wraps round the end of its storage.
  EXPECT_EQ(ring.pushSome(values.data() + 8, 1), 1u);
  std::vector<int> rest(6);
  EXPECT_EQ(ring.popSome(rest.data(), 10), 6u);
  EXPECT_EQ(rest, (std::vector<int>{4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(ring.available(), 0u);
  ring.push(1);
  ring.reset();
  EXPECT_EQ(ring.available(), 0u);
  EXPECT_EQ(ring.freeSpace(), 8u);
}

// One thread pushes a counting sequence in uneven pieces, another pops it: every value
// arrives once and in order (and ThreadSanitizer watches the indices).
TEST(SpscRing, CarriesASequenceBetweenTwoThreads) {
  SpscRing<unsigned> ring(64);
  constexpr unsigned kCount = 200000;
  std::thread producer([&] {
    unsigned next = 0;
    unsigned piece[7];
    while (next < kCount) {
      const unsigned n = std::min(7u, kCount - next);
      for (unsigned i = 0; i < n; ++i) {
        piece[i] = next + i;
      }
      next += static_cast<unsigned>(ring.pushSome(piece, n));
    }
  });
  unsigned expected = 0;
  bool inOrder = true;
  unsigned piece[5];
  while (expected < kCount) {
    const std::size_t got = ring.popSome(piece, 5);
    for (std::size_t i = 0; i < got; ++i) {
      inOrder = inOrder && piece[i] == expected;
      ++expected;
    }
  }
  producer.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(ring.available(), 0u);
}
