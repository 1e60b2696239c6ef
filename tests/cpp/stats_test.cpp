#include "train/stats.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "train_fixture.hpp"

namespace tarvex {
namespace {

using testing::make_trainer;
using testing::sorted_stats;

TEST(SeqKeyTest, InlineAndLongKeysBehaveAlike) {
  for (size_t len : {0u, 1u, 2u, 9u, 10u, 17u}) {
    std::vector<TokenId> v(len);
    for (size_t i = 0; i < len; ++i) v[i] = static_cast<TokenId>(i * 7 + 1);
    SeqKey a(v);
    SeqKey b = a;              // copy
    SeqKey c = std::move(b);   // move leaves b empty
    SeqKey d;
    d = c;                     // copy-assign
    d = d;                     // self-assign keeps the ids
    EXPECT_EQ(c.to_vector(), v) << len;
    EXPECT_EQ(d.to_vector(), v) << len;
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(SeqKeyHash{}(a), SeqKeyHash{}(std::span<const TokenId>(v))) << len;
    EXPECT_TRUE(SeqKeyEq{}(a, std::span<const TokenId>(v)));
    StatsMap m;
    m[a].freq = 3;
    ASSERT_NE(m.find(std::span<const TokenId>(v)), nullptr);
    EXPECT_EQ(m.find(std::span<const TokenId>(v))->freq, 3u);
  }
  EXPECT_EQ(sizeof(SeqKey), 40u);
}

TEST(BetterTest, Order) {
  struct Case {
    std::vector<TokenId> a;
    uint64_t sa;
    std::vector<TokenId> b;
    uint64_t sb;
    bool a_better;
  };
  const Case cases[] = {
      {{1, 2}, 5, {9, 9}, 4, true},     // higher score wins
      {{1, 2, 3}, 4, {9, 9}, 4, true},  // equal score: longer wins
      {{5, 9}, 4, {5, 7}, 4, true},     // equal score and length: greater id at first difference
      {{5, 7}, 4, {5, 9}, 4, false},
      {{5, 7}, 4, {5, 7}, 4, false},  // never better than itself
      {{0xFFFFFFFFu, 0}, 1, {1, 0}, 1, true},  // ids compare unsigned
  };
  for (const Case& c : cases) EXPECT_EQ(better(c.a, c.sa, c.b, c.sb), c.a_better) << c.sa << " " << c.sb;
}

TEST(CountStatsTest, Examples) {
  // "a b" = a Ġ b Ġ with freq 3.
  std::vector<SeqEntry> entries = {{{1, 0, 2, 0}, 3}};
  auto m = sorted_stats(count_stats(entries, {2, 3}, 1));
  decltype(m) want = {
      {{0, 2}, {3, 3}}, {{0, 2, 0}, {3, 6}}, {{1, 0}, {3, 3}}, {{1, 0, 2}, {3, 6}}, {{2, 0}, {3, 3}},
  };
  EXPECT_EQ(m, want);

  // Overlapping occurrences all count: x x x x gives (x, x) three times.
  entries = {{{4, 4, 4, 4}, 1}};
  m = sorted_stats(count_stats(entries, {2}, 1));
  EXPECT_EQ(m, (decltype(m){{{4, 4}, {3, 3}}}));

  // Shorter than n: nothing; entries of freq 0 (left by regrouping) nothing.
  entries = {{{4}, 5}, {{1, 2}, 0}};
  EXPECT_TRUE(count_stats(entries, {2, 3}, 1).empty());
}

TEST(CountStatsTest, SameForEveryThreadCount) {
  Trainer t = make_trainer(testing::random_lines(7, 3000, 6));
  auto base = sorted_stats(count_stats(t.entries, t.config.n_values, 1));
  ASSERT_FALSE(base.empty());
  for (size_t workers : {0u, 2u, 3u, 16u}) EXPECT_EQ(sorted_stats(count_stats(t.entries, t.config.n_values, workers)), base);

  size_t distinct = 0;
  auto kept = sorted_stats(count_stats_floor(t.entries, t.config.n_values, 2, 2, &distinct));
  EXPECT_EQ(kept, sorted_stats(count_stats(t.entries, t.config.n_values, 1), 2));
  EXPECT_EQ(distinct, base.size());
}

// The floored count must keep exactly the keys a full count has at or above
// the floor: its pruning by shorter windows may never drop one of them.
TEST(CountStatsTest, FlooredCountKeepsExactlyTheKeysAtTheFloor) {
  Trainer t = make_trainer(testing::random_lines(11, 2000, 6, "aaabbcd"));
  t.entries[3].freq = 40;  // a frequent line lifts its own windows
  t.entries[5].freq = 0;   // and a dead one counts for nothing
  struct Case {
    std::vector<size_t> n_values;
    uint32_t floor;
  };
  const Case cases[] = {
      {{2, 3, 4, 5, 6}, 2}, {{2, 3, 4, 5, 6}, 3}, {{2, 3, 4, 5, 6}, 25}, {{2, 3, 4, 5, 6}, 400},
      {{3, 4, 5}, 7},       {{2}, 60},            {{2, 3, 4, 5, 6}, 1u << 30},
      // A length that does not follow the one before it.
      {{2, 4, 5}, 2},       {{2, 4, 5}, 9},
  };
  for (const Case& c : cases) {
    StatsMap full = count_stats(t.entries, c.n_values, 1);
    auto want = sorted_stats(full, c.floor);
    for (size_t workers : {1u, 3u}) {
      size_t distinct = 7;
      auto got = sorted_stats(count_stats_floor(t.entries, c.n_values, workers, c.floor, &distinct));
      const std::string what = "floor " + std::to_string(c.floor) + " lengths " + std::to_string(c.n_values.front()) +
                               ".." + std::to_string(c.n_values.back()) + " workers " + std::to_string(workers);
      EXPECT_EQ(got, want) << what;
      EXPECT_EQ(distinct, c.floor == 2 ? full.size() : 0u) << what;
    }
  }
  EXPECT_TRUE(count_stats_floor({}, {2, 3}, 1, 2).empty());
}

TEST(CountStatsTest, FlooredCountStopsEarlyButCountsEveryKey) {
  // Only the pair (1, 2) repeats: nothing longer can reach floor 2, yet
  // every longer window is still a key of the full count.
  std::vector<SeqEntry> entries = {{{1, 2, 3, 1, 2, 4}, 1}, {{5, 6, 7}, 1}};
  for (size_t workers : {1u, 2u}) {
    size_t distinct = 0;
    auto got = sorted_stats(count_stats_floor(entries, {2, 3, 4}, workers, 2, &distinct));
    EXPECT_EQ(got, (decltype(got){{{1, 2}, {2, 2}}}));
    EXPECT_EQ(distinct, count_stats(entries, {2, 3, 4}, 1).size());
  }
}

// No selection depends on the table's layout, but a run should do the same
// work in the same order whatever the number of threads.
TEST(CountStatsTest, FlooredCountLayoutIsTheSameForEveryThreadCount) {
  Trainer t = make_trainer(testing::random_lines(5, 3000, 6, "aabcde"));
  auto order = [&](size_t workers) {
    std::vector<std::vector<TokenId>> keys;
    count_stats_floor(t.entries, t.config.n_values, workers, 3).for_each(
        [&](const SeqKey& k, const Stat&) { keys.push_back(k.to_vector()); });
    return keys;
  };
  auto base = order(1);
  ASSERT_GT(base.size(), 100u);
  for (size_t workers : {2u, 3u, 8u}) EXPECT_EQ(order(workers), base) << workers;
}

TEST(RebuildGlobalStatsTest, LogsAndKeepsSelectableKeys) {
  testing::quiet_log_file();
  Trainer t = make_trainer({"ab ab", "ab c"}, 2, 3);
  t.config.num_workers = 2;
  t.config.use_heap = true;
  ::testing::internal::CaptureStderr();
  rebuild_global_stats(t);
  std::string err = ::testing::internal::GetCapturedStderr();
  // a b Ġ a b Ġ / a b Ġ c Ġ: 5 distinct pairs and 5 distinct triples.
  EXPECT_NE(err.find("[stats] rebuild_global_stats start entries=2 n_values=[2, 3] num_workers=2\n"),
            std::string::npos)
      << err;
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(\[stats\] rebuild_global_stats done keys=10 elapsed=\d+\.\d\ds\n)")))
      << err;
  EXPECT_EQ(sorted_stats(t.stats), sorted_stats(count_stats(t.entries, t.config.n_values, 1), 2));
  EXPECT_EQ(t.heap.size(), t.stats.size());

  t.config.use_heap = false;
  rebuild_global_stats(t);
  EXPECT_TRUE(t.heap.empty());
}

}  // namespace
}  // namespace tarvex
