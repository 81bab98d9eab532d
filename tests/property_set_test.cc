#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "split/property_set.h"

namespace {

std::vector<std::uint64_t> iteration_order(const std::vector<std::uint64_t>& inserted) {
  property_set set;
  for (std::uint64_t index : inserted) set.insert({index, 0, 0});
  return {set.begin(), set.end()};
}

std::vector<std::uint64_t> run(std::uint64_t first, std::uint64_t count) {
  std::vector<std::uint64_t> values(count);
  std::iota(values.begin(), values.end(), first);
  return values;
}

// The set's order, done the slow way straight from its definition: one
// vector for the sequence, buckets found by searching it.
class reference_set {
 public:
  void insert(std::uint64_t value) {
    if (std::find(sequence_.begin(), sequence_.end(), value) != sequence_.end()) return;
    if (sequence_.size() + 1 > buckets_) grow();
    sequence_.insert(first_of(sequence_, value % buckets_), value);
  }
  const std::vector<std::uint64_t>& sequence() const { return sequence_; }
  std::uint64_t bucket_count() const { return buckets_; }

 private:
  // The first element of `bucket`, or the front when it has none.
  std::vector<std::uint64_t>::iterator first_of(std::vector<std::uint64_t>& sequence,
                                                std::uint64_t bucket) const {
    auto first = std::find_if(sequence.begin(), sequence.end(),
                              [&](std::uint64_t v) { return v % buckets_ == bucket; });
    return first == sequence.end() ? sequence.begin() : first;
  }
  void grow() {
    buckets_ = buckets_ == 0 ? 2 : 2 * buckets_ + 1;
    while (!is_prime(buckets_)) ++buckets_;
    std::vector<std::uint64_t> walked;
    std::set<std::uint64_t> met;
    for (std::uint64_t value : sequence_) {
      std::uint64_t bucket = value % buckets_;
      bool stays = !met.count(bucket) || walked.back() % buckets_ == bucket;
      if (stays)
        walked.push_back(value);
      else
        walked.insert(first_of(walked, bucket), value);
      met.insert(bucket);
    }
    sequence_ = walked;
  }
  static bool is_prime(std::uint64_t n) {
    for (std::uint64_t d = 2; d * d <= n; ++d)
      if (n % d == 0) return false;
    return n >= 2;
  }
  std::vector<std::uint64_t> sequence_;
  std::uint64_t buckets_ = 0;
};

}  // namespace

TEST(PropertySet, IterationOrderOfKnownInputs) {
  struct example {
    std::vector<std::uint64_t> inserted, visited;
  };
  const example examples[] = {
      {{3, 7, 20, 21, 22}, {21, 20, 22, 7, 3}},
      {{3, 8}, {8, 3}},
      {{10, 11, 12}, {12, 11, 10}},
      {{8, 23, 30, 34, 37, 38}, {38, 37, 23, 34, 30, 8}},
      {{5, 17, 33, 34, 35, 60, 61, 99, 140, 141, 142, 143, 200},
       {200, 142, 141, 140, 34, 99, 33, 61, 17, 35, 60, 143, 5}},
      {{4, 9, 11, 15, 16, 22, 23, 27, 28, 29, 31, 35, 40, 41, 47, 49, 50, 53, 58, 60, 66, 67, 70, 74},
       {67, 66, 60, 53, 49, 23, 70, 47, 41, 40, 11, 58, 35, 29, 28, 50, 74, 27, 4, 15, 16, 22, 31, 9}},
  };
  for (const example& e : examples)
    EXPECT_EQ(iteration_order(e.inserted), e.visited) << testing::PrintToString(e.inserted);
}

TEST(PropertySet, UnbrokenRunsAreVisitedInReverse) {
  for (auto [first, count] : {std::pair<std::uint64_t, std::uint64_t>{0, 10}, {1000, 40}, {7, 100000}}) {
    std::vector<std::uint64_t> reversed = run(first, count);
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(iteration_order(run(first, count)), reversed) << first << " + " << count;
  }
}

TEST(PropertySet, MatchesTheReferenceOnRandomSets) {
  std::mt19937_64 random(20261209);
  for (int round = 0; round < 200; ++round) {
    std::uint64_t spread = 1 + random() % 5000;
    std::size_t count = 1 + random() % 300;
    std::vector<std::uint64_t> inserted;
    for (std::size_t i = 0; i < count; ++i) inserted.push_back(random() % spread);
    if (round % 2 == 0) std::sort(inserted.begin(), inserted.end());  // as the scan inserts
    reference_set reference;
    for (std::uint64_t v : inserted) reference.insert(v);
    ASSERT_EQ(iteration_order(inserted), reference.sequence()) << "round " << round;
  }
}

TEST(PropertySet, HoldsEachIndexOnce) {
  property_set set;
  EXPECT_TRUE(set.insert({5, 10, 20}));
  EXPECT_FALSE(set.insert({5, 30, 40}));
  EXPECT_TRUE(set.insert({7, 40, 50}));
  EXPECT_TRUE(set.contains(5));
  EXPECT_TRUE(set.contains(7));
  EXPECT_FALSE(set.contains(6));
  EXPECT_EQ(set.size(), 2u);
  // By ordinal, in the order inserted, each with where its bytes stand.
  EXPECT_EQ(set.line(0).index, 5u);
  EXPECT_EQ(set.line(0).begin, 10u);
  EXPECT_EQ(set.line(1).index, 7u);
  EXPECT_EQ(set.line(1).end, 50u);
  std::vector<std::size_t> ordinals;
  for (auto it = set.begin(); it != set.end(); ++it) ordinals.push_back(it.ordinal());
  EXPECT_EQ(ordinals, (std::vector<std::size_t>{1, 0}));
}

// The buckets are seen in the order: at every size it is that of the
// reference, whose bucket count is known.
TEST(PropertySet, BucketCountGrowsThroughPrimes) {
  property_set set;
  reference_set reference;
  std::vector<std::uint64_t> counts;
  for (std::uint64_t i = 0; i < 400; ++i) {
    set.insert({i * 1000, 0, 0});
    reference.insert(i * 1000);
    ASSERT_EQ(std::vector<std::uint64_t>(set.begin(), set.end()), reference.sequence()) << i;
    if (counts.empty() || counts.back() != reference.bucket_count())
      counts.push_back(reference.bucket_count());
  }
  EXPECT_EQ(counts, (std::vector<std::uint64_t>{2, 5, 11, 23, 47, 97, 197, 397, 797}));
}

TEST(PropertySet, LargeScatteredSetVisitsEveryElementOnce) {
  std::mt19937_64 random(7);
  std::set<std::uint64_t> wanted;
  while (wanted.size() < 200000) wanted.insert(random() % 10000000);
  property_set set;
  for (std::uint64_t v : wanted) set.insert({v, 0, 0});
  std::vector<std::uint64_t> visited(set.begin(), set.end());
  std::sort(visited.begin(), visited.end());
  EXPECT_TRUE(std::equal(visited.begin(), visited.end(), wanted.begin(), wanted.end()));
}
