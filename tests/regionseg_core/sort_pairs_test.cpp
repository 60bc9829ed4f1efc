// The sort of the region table against a plain recursive transcription of
// the partition sort whose permutation fixes the label numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "region_sort.h"

namespace {

// The partition sort as written, recursing into the larger sizes.
void reference_sort(std::vector<sort_pair> &p, long lo, long hi) {
  while (lo < hi) {
    const uint32_t pivot = p[lo].size;
    long m = lo;
    for (long i = lo + 1; i <= hi; ++i) {
      if (p[i].size > pivot) {
        ++m;
        std::swap(p[m], p[i]);
      }
    }
    std::swap(p[lo], p[m]);
    reference_sort(p, lo, m - 1);
    lo = m + 1;
  }
}

// Distinct region ids let the test compare identities.
uint32_t tag(std::size_t i) { return static_cast<uint32_t>(i + 1); }

std::vector<sort_pair> make_pairs(const std::vector<uint32_t> &sizes) {
  std::vector<sort_pair> p(sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    p[i] = {tag(i), sizes[i]};
  }
  return p;
}

void expect_same_as_reference(const std::vector<uint32_t> &sizes) {
  std::vector<sort_pair> expected = make_pairs(sizes);
  if (!expected.empty()) {
    reference_sort(expected, 0, static_cast<long>(expected.size()) - 1);
  }
  std::vector<sort_pair> got = make_pairs(sizes);
  std::vector<uint32_t> work(got.size() + 1);
  sort_pairs(got.data(), work.data(), got.size());
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].region, expected[i].region) << "position " << i << " of " << got.size();
    ASSERT_EQ(got[i].size, expected[i].size) << "position " << i;
  }
  for (std::size_t i = 1; i < got.size(); ++i) {
    ASSERT_GE(got[i - 1].size, got[i].size);
  }
}

TEST(SortPairs, WorkedExampleKeepsEqualSizesInListOrder) {
  std::vector<sort_pair> p = make_pairs({16, 64, 16, 4});
  std::vector<uint32_t> work(4);
  sort_pairs(p.data(), work.data(), p.size());
  EXPECT_EQ(p[0].region, tag(1));
  EXPECT_EQ(p[1].region, tag(0));
  EXPECT_EQ(p[2].region, tag(2));
  EXPECT_EQ(p[3].region, tag(3));
}

TEST(SortPairs, EmptyAndSingle) {
  expect_same_as_reference({});
  expect_same_as_reference({7});
  expect_same_as_reference({3, 3});
  expect_same_as_reference({1, 2});
}

TEST(SortPairs, RandomListsWithManyTiesMatchThePartitionSort) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 300)(rng);
    // Few distinct values in most rounds, so ties are everywhere.
    const uint32_t spread = round % 4 == 0   ? 2u
                            : round % 4 == 1 ? 5u
                            : round % 4 == 2 ? 40u
                                             : 100000u;
    std::vector<uint32_t> sizes(n);
    for (auto &s : sizes) {
      s = 1 + std::uniform_int_distribution<uint32_t>(0, spread - 1)(rng);
    }
    // Partly presorted lists, as the region list usually is.
    if (round % 5 == 0) {
      std::sort(sizes.begin(), sizes.end(), std::greater<uint32_t>());
      if (n > 2) {
        std::swap(sizes[rng() % n], sizes[rng() % n]);
      }
    }
    expect_same_as_reference(sizes);
    if (::testing::Test::HasFatalFailure()) {
      return;
    }
  }
}

TEST(SortPairs, SizesAboveTheSignedRangeCompareUnsigned) {
  expect_same_as_reference({1u, 0x80000000u, 5u, 0xffffffffu, 0x80000000u, 0u});
}

// Lists on which a recursive sort goes as deep as the list is long, or takes
// quadratic time, finish here (the ascending one is compared against the
// reference only at a size the reference itself survives).
TEST(SortPairs, LongDescendingTiedAndAscendingLists) {
  const std::size_t n = 2000000;
  std::vector<sort_pair> p(n);
  std::vector<uint32_t> work(n);
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = {tag(i), static_cast<uint32_t>(n - i)};
  }
  sort_pairs(p.data(), work.data(), n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(p[i].region, tag(i));
  }
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = {tag(i), 1};
  }
  sort_pairs(p.data(), work.data(), n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(p[i].region, tag(i));
  }
  // Many equal small sizes with a few larger ones scattered among them.
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = {tag(i), i % 1000 == 999 ? 50u + static_cast<uint32_t>(i % 7) : 1u};
  }
  sort_pairs(p.data(), work.data(), n);
  for (std::size_t i = 1; i < n; ++i) {
    ASSERT_GE(p[i - 1].size, p[i].size);
  }

  std::vector<uint32_t> ascending(3000);
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    ascending[i] = static_cast<uint32_t>(i + 1);
  }
  expect_same_as_reference(ascending);
}

} // namespace
