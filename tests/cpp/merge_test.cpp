#include "train/merge.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "train/train_single.hpp"
#include "train_fixture.hpp"

namespace tarvex {
namespace {

using testing::make_trainer;
using testing::sorted_stats;
using Stats = std::vector<std::pair<std::vector<TokenId>, Stat>>;

// Combines entries that are equal after re-segmentation.
void regroup_for_test(std::vector<SeqEntry>& entries) {
  std::sort(entries.begin(), entries.end(), [](auto& x, auto& y) { return x.tokens < y.tokens; });
  std::vector<SeqEntry> out;
  for (auto& e : entries) {
    if (!out.empty() && out.back().tokens == e.tokens)
      out.back().freq += e.freq;
    else
      out.push_back(e);
  }
  entries = out;
}

constexpr TokenId a = 1, b = 2, c = 3, X = 9;

TEST(MergeEntryTest, Rule) {
  struct Case {
    const char* what;
    std::vector<TokenId> tokens, key;
    std::vector<size_t> n_values;
    std::vector<TokenId> want_tokens;
    Stats want_removed, want_added;
  };
  const Case cases[] = {
      {"run of three: only the first two merge", {a, a, a}, {a, a}, {2}, {X, a},
       {{{a, a}, {2, 2}}}, {{{X, a}, {1, 1}}}},
      {"run of four: two occurrences, shared windows once", {a, a, a, a}, {a, a}, {2}, {X, X},
       {{{a, a}, {3, 3}}}, {{{X, X}, {1, 1}}}},
      {"two occurrences and the window between them", {a, b, a, b}, {a, b}, {2}, {X, X},
       {{{a, b}, {2, 2}}, {{b, a}, {1, 1}}}, {{{X, X}, {1, 1}}}},
      {"windows of several lengths around an occurrence", {c, a, b, c}, {a, b}, {2, 3}, {c, X, c},
       {{{c, a}, {1, 1}}, {{a, b}, {1, 1}}, {{b, c}, {1, 1}}, {{c, a, b}, {1, 2}}, {{a, b, c}, {1, 2}}},
       {{{c, X}, {1, 1}}, {{X, c}, {1, 1}}, {{c, X, c}, {1, 2}}}},
      {"key absent", {a, c, b}, {a, b}, {2}, {a, c, b}, {}, {}},
      {"sequence shorter than the key", {a}, {a, b}, {2}, {a}, {}, {}},
      {"long key", {c, a, b, c, a}, {a, b, c, a}, {2, 3, 4, 5}, {c, X},
       {{{c, a}, {1, 1}}, {{a, b}, {1, 1}}, {{b, c}, {1, 1}}, {{c, a}, {1, 1}}, {{c, a, b}, {1, 2}},
        {{a, b, c}, {1, 2}}, {{b, c, a}, {1, 2}}, {{c, a, b, c}, {1, 3}}, {{a, b, c, a}, {1, 3}},
        {{c, a, b, c, a}, {1, 4}}},
       {{{c, X}, {1, 1}}}},
  };
  for (const Case& t : cases) {
    EntryMergeResult r = merge_entry(t.tokens, t.key, X, t.n_values);
    EXPECT_EQ(r.tokens, t.want_tokens) << t.what;
    Stats want_removed = t.want_removed;
    // The table may list a window twice where it occurs twice; fold those.
    std::sort(want_removed.begin(), want_removed.end(), [](auto& x, auto& y) { return x.first < y.first; });
    Stats folded;
    for (auto& [k, s] : want_removed) {
      if (!folded.empty() && folded.back().first == k) {
        folded.back().second.freq += s.freq;
        folded.back().second.score += s.score;
      } else {
        folded.emplace_back(k, s);
      }
    }
    Stats want_added = t.want_added;
    std::sort(want_added.begin(), want_added.end(), [](auto& x, auto& y) { return x.first < y.first; });
    EXPECT_EQ(sorted_stats(r.removed), folded) << t.what;
    EXPECT_EQ(sorted_stats(r.added), want_added) << t.what;
  }
}

// Removing the old affected windows and adding the new ones must turn the
// full count of the old sequence into that of the new one.
TEST(MergeEntryTest, DeltasTurnOldCountIntoNewCount) {
  std::mt19937 rng(5);
  const std::vector<size_t> n_values = {2, 3, 4, 5};
  for (int round = 0; round < 400; ++round) {
    std::vector<TokenId> t(rng() % 14);
    for (auto& x : t) x = 1 + rng() % 3;
    std::vector<TokenId> key(2 + rng() % 3);
    for (auto& x : key) x = 1 + rng() % 3;
    EntryMergeResult r = merge_entry(t, key, X, n_values);
    StatsMap before = count_stats({{t, 1}}, n_values, 1);
    StatsMap after = count_stats({{r.tokens, 1}}, n_values, 1);
    r.removed.for_each([&](const SeqKey& k, const Stat& d) {
      Stat& s = before[k.ids()];
      ASSERT_GE(s.freq, d.freq);
      s.freq -= d.freq;
      s.score -= d.score;
    });
    r.added.for_each([&](const SeqKey& k, const Stat& d) {
      Stat& s = before[k.ids()];
      s.freq += d.freq;
      s.score += d.score;
    });
    EXPECT_EQ(sorted_stats(before, 1), sorted_stats(after, 1)) << "round " << round;
  }
}

// Every live entry is listed once, in entry order, under each pair and
// each token it holds, however many threads build the index.
TEST(EntryIndexTest, ListsEveryEntryOnceInOrderForEveryThreadCount) {
  Trainer t = make_trainer(testing::random_lines(17, 6000, 5, "aabbcdef"), 2, 3);
  ASSERT_GE(t.entries.size(), 4096u);  // enough for the build to split the work
  t.entries[7].freq = 0;               // a dead entry is listed nowhere
  std::map<uint64_t, std::vector<uint32_t>> want_pairs;
  std::map<TokenId, std::vector<uint32_t>> want_tokens;
  for (uint32_t i = 0; i < t.entries.size(); ++i) {
    if (!t.entries[i].freq) continue;
    const auto& tok = t.entries[i].tokens;
    for (size_t s = 0; s + 1 < tok.size(); ++s) {
      auto& l = want_pairs[EntryIndex::pair_code(tok[s], tok[s + 1])];
      if (l.empty() || l.back() != i) l.push_back(i);
    }
    for (TokenId id : tok) {
      auto& l = want_tokens[id];
      if (l.empty() || l.back() != i) l.push_back(i);
    }
  }
  for (size_t workers : {1u, 2u, 3u}) {
    EntryIndex ix = EntryIndex::build(t.entries, t.vocab.size(), workers);
    size_t listed = 0;
    for (const auto& [code, list] : want_pairs) {
      const SmallList* got = ix.find_pair(code);
      ASSERT_NE(got, nullptr) << workers;
      EXPECT_EQ(std::vector<uint32_t>(got->begin(), got->end()), list) << workers;
      ++listed;
    }
    EXPECT_EQ(ix.pair_lists.size(), listed) << workers;
    for (TokenId id = 0; id < ix.postings.size(); ++id) {
      auto it = want_tokens.find(id);
      EXPECT_EQ(ix.postings[id], it == want_tokens.end() ? std::vector<uint32_t>{} : it->second) << workers;
    }
  }
}

TEST(ApplyMergeTest, StepDeltasAreSummedOverEntries) {
  // (X, X) occurs once in each of two distinct entries: summed over the
  // step it reaches 2 and enters the statistics.
  for (auto [lines, want] : std::vector<std::pair<std::vector<std::string>, uint32_t>>{
           {{"abab"}, 0}, {{"abab", "abab"}, 2}, {{"abab c", "abab d"}, 2}}) {
    Trainer t = make_trainer(lines, 2, 2);
    t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
    TokenId x = t.vocab.intern("ab");
    apply_merge(t, testing::ids(t, {"a", "b"}), x);
    const TokenId xx[2] = {x, x};
    const Stat* s = t.stats.find(std::span<const TokenId>(xx, 2));
    EXPECT_EQ(s ? s->freq : 0u, want) << lines.size();
    EXPECT_EQ(sorted_stats(t.stats), sorted_stats(count_stats(t.entries, t.config.n_values, 1), 2));
  }
}

TEST(ApplyMergeTest, ReusedTokenCombinesEntries) {
  // "abc" is already a token Y: merging (ab, c) re-creates it, and the
  // entries ab c d and Y d become one.
  Trainer t = make_trainer({"abcd", "abcd", "abcd"}, 2, 3);
  TokenId A = *t.vocab.find("a"), B = *t.vocab.find("b"), C = *t.vocab.find("c"), D = *t.vocab.find("d");
  TokenId E = *t.vocab.find("\xC4\xA0");
  TokenId AB = t.vocab.intern("ab"), Y = t.vocab.intern("abc");
  t.entries = {{{AB, C, D, E}, 2}, {{Y, D, E}, 3}, {{A, B, C, E}, 1}};
  t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
  apply_merge(t, std::vector<TokenId>{AB, C}, Y);
  std::sort(t.entries.begin(), t.entries.end(), [](auto& x, auto& y) { return x.tokens < y.tokens; });
  std::vector<SeqEntry> want = {{{A, B, C, E}, 1}, {{Y, D, E}, 5}};
  std::sort(want.begin(), want.end(), [](auto& x, auto& y) { return x.tokens < y.tokens; });
  EXPECT_EQ(t.entries, want);
  // (Y, D) existed with freq 3 and gains 2; (Y, D, E) likewise.
  EXPECT_EQ(sorted_stats(t.stats), sorted_stats(count_stats(t.entries, t.config.n_values, 1), 2));
}

TEST(ApplyMergeTest, RemovalDropsKeysAtOneAndReinsertsOnlyAboveTwo) {
  // A key present in stats whose count falls to 1 disappears.
  Trainer t = make_trainer({"ab", "ab c"}, 2, 2);
  t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
  TokenId x = t.vocab.intern("bĠ");
  apply_merge(t, testing::ids(t, {"b", "\xC4\xA0"}), x);
  // a b Ġ / a b Ġ c Ġ -> a X / a X c Ġ: (a, b) loses both occurrences,
  // (a, X) arrives twice, (X, c) once and stays out.
  auto find = [&](std::vector<TokenId> k) { return t.stats.find(std::span<const TokenId>(k)); };
  TokenId A = *t.vocab.find("a"), B = *t.vocab.find("b"), C = *t.vocab.find("c");
  EXPECT_EQ(find({A, B}), nullptr);
  ASSERT_NE(find({A, x}), nullptr);
  EXPECT_EQ(*find({A, x}), (Stat{2, 2}));
  EXPECT_EQ(find({x, C}), nullptr);
  EXPECT_EQ(sorted_stats(t.stats), sorted_stats(count_stats(t.entries, t.config.n_values, 1), 2));
}

// The strongest check: on random corpora, after every step of real
// training, the incremental statistics equal a full recount restricted to
// keys of freq >= 2 (the only keys a selection can take), for every thread
// count and both selection paths.
TEST(ApplyMergeTest, IncrementalStatsEqualFullRecountAfterEveryStep) {
  testing::quiet_log_file();
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    for (size_t workers : {1u, 3u}) {
      Trainer t = make_trainer(testing::random_lines(seed, 60 + seed * 20, 4, seed % 2 ? "aab" : "aabbcd"), 2,
                               seed % 2 ? 4 : 6);
      // Segment some entries differently from the start, so that merges
      // re-create tokens that already exist elsewhere.
      std::mt19937 rng(seed);
      for (SeqEntry& e : t.entries) {
        std::vector<TokenId> out;
        for (size_t i = 0; i < e.tokens.size(); ++i) {
          if (i + 1 < e.tokens.size() && rng() % 4 == 0) {
            out.push_back(t.vocab.intern(t.vocab.id_to_token[e.tokens[i]] + t.vocab.id_to_token[e.tokens[i + 1]]));
            ++i;
          } else {
            out.push_back(e.tokens[i]);
          }
        }
        e.tokens = out;
      }
      regroup_for_test(t.entries);
      t.config.num_workers = workers;
      t.config.use_heap = seed % 2 == 0;
      t.stats = count_stats_floor(t.entries, t.config.n_values, workers, 2);
      if (t.config.use_heap) build_heap(t);
      EntryIndex index = EntryIndex::build(t.entries, t.vocab.size());
      ScanPool pool;
      pool.target = 8;  // small, so refills happen
      if (!t.config.use_heap) index.scan_pool = &pool;
      size_t reused = 0;
      for (int step = 0; step < 200; ++step) {
        size_t eff = effective_vocab_size(t.vocab);
        auto scan = scan_best(t, eff);
        if (t.config.use_heap) {
          auto heap = pop_best(t);
          ASSERT_EQ(heap.has_value(), scan.has_value());
          if (heap) {
            ASSERT_EQ(heap->first, scan->first) << "seed " << seed << " step " << step;
            ASSERT_EQ(heap->second, scan->second);
          }
        }
        if (!t.config.use_heap) {
          auto pooled = pool_best(t, pool, eff);
          ASSERT_EQ(pooled.has_value(), scan.has_value());
          if (pooled) {
            ASSERT_EQ(pooled->first, scan->first) << "seed " << seed << " step " << step;
          }
        }
        if (!scan) break;
        std::string text;
        for (TokenId id : scan->first.ids()) text += t.vocab.id_to_token[id];
        size_t before = t.vocab.size();
        TokenId id = t.vocab.intern(text);
        reused += t.vocab.size() == before;
        apply_merge(t, index, scan->first.ids(), id);
        ASSERT_EQ(sorted_stats(t.stats), sorted_stats(count_stats(t.entries, t.config.n_values, 1), 2))
            << "seed " << seed << " workers " << workers << " step " << step;
      }
      // The alphabet is small enough that some merges re-create tokens.
      EXPECT_GT(reused, 0u) << "seed " << seed;
      // Live entries are distinct sequences.
      compact_entries(t.entries);
      std::vector<std::vector<TokenId>> seqs;
      for (auto& e : t.entries) seqs.push_back(e.tokens);
      std::sort(seqs.begin(), seqs.end());
      EXPECT_EQ(std::adjacent_find(seqs.begin(), seqs.end()), seqs.end());
    }
  }
}

// Steps with hundreds of candidate entries are split across tasks, and
// their deltas summed and applied in hash shards side by side. Each step's
// statistics must still equal a full recount, and the chosen merges must
// not depend on the thread count or the selection path.
TEST(ApplyMergeTest, ShardedStepsMatchRecountForEveryThreadCount) {
  testing::quiet_log_file();
  struct Case {
    size_t workers;
    bool use_heap;
  };
  const Case cases[] = {{1, true}, {2, true}, {3, true}, {2, false}, {3, false}};
  std::vector<std::string> first_run;
  for (const Case& cs : cases) {
    Trainer t = make_trainer({"abcd"}, 2, 5);
    const TokenId base[4] = {*t.vocab.find("a"), *t.vocab.find("b"), *t.vocab.find("c"), *t.vocab.find("d")};
    // Many distinct entries, some pre-segmented with two-letter tokens so
    // that merges re-create existing tokens.
    std::mt19937 rng(7);
    t.entries.clear();
    for (int i = 0; i < 600; ++i) {
      SeqEntry e;
      e.freq = 1 + rng() % 3;
      size_t len = 4 + rng() % 11;
      for (size_t j = 0; j < len; ++j) {
        TokenId x = base[rng() % 4];
        if (rng() % 6 == 0) x = t.vocab.intern(t.vocab.id_to_token[x] + t.vocab.id_to_token[base[rng() % 4]]);
        e.tokens.push_back(x);
      }
      t.entries.push_back(std::move(e));
    }
    regroup_for_test(t.entries);
    t.config.num_workers = cs.workers;
    t.config.use_heap = cs.use_heap;
    t.stats = count_stats_floor(t.entries, t.config.n_values, cs.workers, 2);
    if (cs.use_heap) build_heap(t);
    EntryIndex index = EntryIndex::build(t.entries, t.vocab.size());
    ScanPool pool;
    if (!cs.use_heap) index.scan_pool = &pool;
    std::vector<std::string> chosen;
    size_t reused = 0;
    for (int step = 0; step < 12; ++step) {
      size_t eff = effective_vocab_size(t.vocab);
      auto best = cs.use_heap ? pop_best(t) : pool_best(t, pool, eff);
      auto scan = scan_best(t, eff);
      ASSERT_EQ(best.has_value(), scan.has_value());
      if (!best) break;
      ASSERT_EQ(best->first, scan->first) << "workers " << cs.workers << " step " << step;
      std::string text;
      for (TokenId id : best->first.ids()) text += t.vocab.id_to_token[id];
      chosen.push_back(text);
      size_t before = t.vocab.size();
      TokenId id = t.vocab.intern(text);
      reused += t.vocab.size() == before;
      apply_merge(t, index, best->first.ids(), id);
      ASSERT_EQ(sorted_stats(t.stats), sorted_stats(count_stats(t.entries, t.config.n_values, 1), 2))
          << "workers " << cs.workers << " step " << step;
    }
    EXPECT_GT(reused, 0u);
    if (first_run.empty())
      first_run = chosen;
    else
      EXPECT_EQ(chosen, first_run) << "workers " << cs.workers << " heap " << cs.use_heap;
  }
}

}  // namespace
}  // namespace tarvex
