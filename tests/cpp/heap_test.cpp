#include "train/heap.hpp"

#include <gtest/gtest.h>

#include "train/merge.hpp"
#include "train/train_single.hpp"
#include "train_fixture.hpp"

namespace tarvex {
namespace {

using testing::make_trainer;

TEST(HeapTest, PopBestRevalidatesStaleEntries) {
  Trainer t = make_trainer({"ab ab ab"}, 2, 2);
  t.config.use_heap = true;
  t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
  build_heap(t);
  std::vector<TokenId> ab = testing::ids(t, {"a", "b"});
  // Make the hint for (a, b) stale: its count drops from 3 to 2 behind the
  // heap's back. Popped first, it is re-pushed with score 2, and (b, Ġ)
  // with 3 comes out instead.
  Stat* s = t.stats.find(std::span<const TokenId>(ab));
  ASSERT_NE(s, nullptr);
  *s = Stat{2, 2};
  auto best = pop_best(t);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->first.to_vector(), testing::ids(t, {"b", "\xC4\xA0"}));
  EXPECT_EQ(best->second, (Stat{3, 3}));
  // Drop every other key: the stale (a, b) hint alone is left to come out
  // with its current score.
  t.heap.clear();
  t.heap.push_back(HeapEntry{3, 2, SeqKey(ab)});
  best = pop_best(t);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->first.to_vector(), ab);
  EXPECT_EQ(best->second, (Stat{2, 2}));
  EXPECT_TRUE(t.heap.empty());
  EXPECT_FALSE(pop_best(t));
}

TEST(HeapTest, PushOffersOnlyPresentKeysWithFreqTwo) {
  Trainer t = make_trainer({"ab ab", "cd"}, 2, 2);
  t.config.use_heap = true;
  t.stats = count_stats(t.entries, t.config.n_values, 1);  // keys seen once included
  push_candidate(t, testing::ids(t, {"a", "b"}));
  push_candidate(t, testing::ids(t, {"c", "d"}));  // freq 1
  push_candidate(t, testing::ids(t, {"d", "c"}));  // absent
  ASSERT_EQ(t.heap.size(), 1u);
  EXPECT_EQ(t.heap[0].key.to_vector(), testing::ids(t, {"a", "b"}));
  EXPECT_EQ(t.heap[0].score, 2u);
  EXPECT_EQ(t.heap[0].len, 2u);
}

// Heap and scan must choose the same candidate at every step, whatever
// the options; cross_word_start_vocab is the option that changes what is
// admissible during a run.
TEST(HeapTest, HeapAndScanAgreeAtEveryStep) {
  testing::quiet_log_file();
  struct Case {
    const char* what;
    void (*set)(TrainConfig&);
  };
  const Case cases[] = {
      {"defaults", [](TrainConfig&) {}},
      {"cross_word_start_vocab", [](TrainConfig& c) { c.cross_word_start_vocab = 30; }},
      {"max_token_chars", [](TrainConfig& c) { c.max_token_chars = 4; }},
      {"punct rules", [](TrainConfig& c) {
         c.forbid_punct_tokens = true;
         c.allow_word_final_punct_tokens = true;
         c.forbid_incomplete_cross_word = true;
       }},
  };
  for (const Case& c : cases) {
    for (size_t target : {size_t{8}, size_t{3000}}) {
      // A small pool refills often; a big one holds many stale and
      // repeated listings.
      Trainer t = make_trainer(testing::random_lines(11, target > 8 ? 2500 : 150, 4, "aab.c,"), 2, 5);
      c.set(t.config);
      t.config.use_heap = true;
      t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
      build_heap(t);
      EntryIndex index = EntryIndex::build(t.entries, t.vocab.size());
      ScanPool pool;
      pool.target = target;
      index.scan_pool = &pool;
      for (int step = 0; step < 120; ++step) {
        size_t eff = effective_vocab_size(t.vocab);
        if (t.config.cross_word_start_vocab > t.heap_built_vocab && eff >= t.config.cross_word_start_vocab)
          build_heap(t);
        auto scan = scan_best(t, eff);
        auto heap = pop_best(t);
        ASSERT_EQ(scan.has_value(), heap.has_value()) << c.what << " step " << step;
        if (!scan) break;
        ASSERT_EQ(scan->first, heap->first) << c.what << " step " << step;
        auto pooled = pool_best(t, pool, eff);
        ASSERT_TRUE(pooled);
        ASSERT_EQ(pooled->first, scan->first) << c.what << " step " << step;
        std::string text;
        for (TokenId id : scan->first.ids()) text += t.vocab.id_to_token[id];
        apply_merge(t, index, scan->first.ids(), t.vocab.intern(text));
        if (target > 8 && step == 0) {
          ASSERT_GE(pool.listed.size(), 2048u) << c.what;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarvex
