#include "train/train_single.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "train/pipeline.hpp"
#include "train_fixture.hpp"

namespace tarvex {
namespace {

using testing::make_trainer;

std::string run_capturing(Trainer& t) {
  testing::quiet_log_file();
  ::testing::internal::CaptureStderr();
  train_single(t);
  return ::testing::internal::GetCapturedStderr();
}

size_t count_matches(const std::string& text, const std::string& pattern) {
  std::regex re(pattern);
  return std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
}

const char* kTpc = R"(\[tpc\] total_tokens=\d+ total_chars=\d+ tpc=\d+\.\d{6} tok/char elapsed=\d+\.\d{3}s \[single\]\n)";

TEST(TrainSingleTest, StopRules) {
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    size_t n_min, num_merges, aim;
    size_t want_merges;
    const char* want_stop;  // regex of the stop line, or "" for none
  };
  const Case cases[] = {
      {"num_merges 0: no step", {"ab ab ab"}, 2, 0, 0, 0, ""},
      {"every candidate occurs once: silent stop", {"abcd"}, 2, 10, 0, 0, ""},
      {"one-character lines with n_min 3: stats empty",
       {"a", "b", "a"}, 3, 10, 0, 0,
       R"(\[train_single\] step 0 stats empty, stop \(elapsed_total=\d+\.\d\ds\)\n)"},
      // The first merge takes a b Ġ a b Ġ whole: nothing is counted after it.
      {"aim 0 runs until nothing is left", {"ab ab ab ab"}, 2, 100, 0, 1,
       R"(\[train_single\] step 1 stats empty, stop \(elapsed_total=\d+\.\d\ds\)\n)"},
      // After the merge, c d e Ġ is still counted (once): the loop ends at
      // selection, silently.
      {"once-seen keys left after a merge", {"ab ab", "cde"}, 2, 100, 0, 1, ""},
      {"num_merges bounds the steps", {"abc abc abc abc"}, 2, 1, 0, 1, ""},
      // a, b, c, Ġ: 4 tokens + 5 specials = 9, so the first new token
      // reaches an aim of 10.
      {"aim reached after the first merge",
       {"abc abc abc"}, 2, 100, 10, 1,
       R"(\[train_single\] reach aim_token_num=10 \(vocab_size=10\), stop at step 1 \(elapsed_total=\d+\.\d\ds\)\n)"},
  };
  for (const Case& c : cases) {
    Trainer t = make_trainer(c.lines, c.n_min, 6);
    t.config.num_merges = c.num_merges;
    t.config.aim_token_num = c.aim;
    t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
    const size_t vocab_before = t.vocab.size();
    std::string err = run_capturing(t);
    EXPECT_EQ(t.merges.size(), c.want_merges) << c.what << "\n" << err;
    EXPECT_EQ(count_matches(err, R"(\[merge\] )"), c.want_merges) << c.what;
    if (*c.want_stop)
      EXPECT_EQ(count_matches(err, c.want_stop), 1u) << c.what << "\n" << err;
    else
      EXPECT_EQ(count_matches(err, R"(stop)"), 0u) << c.what << "\n" << err;
    EXPECT_EQ(count_matches(err, kTpc), 1u) << c.what << "\n" << err;
    if (c.num_merges == 0) {
      EXPECT_EQ(t.vocab.size(), vocab_before);
    }
  }
}

TEST(TrainSingleTest, LogLines) {
  Trainer t = make_trainer({"ab ab ab", "ab"}, 2, 3);
  t.config.num_merges = 5;
  t.config.aim_token_num = 0;
  t.config.use_heap = true;
  t.config.num_workers = 2;
  t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
  std::string err = run_capturing(t);
  EXPECT_EQ(count_matches(err, R"(\]\[train_single\] start merges=5 n_values=\[2, 3\] recompute_each_step=false )"
                               R"(use_heap=true num_workers=2\n)"),
            1u)
      << err;
  // a b Ġ a b Ġ a b Ġ (1) and a b Ġ (1): (a, b, Ġ) occurs 4 times, score 8.
  EXPECT_EQ(count_matches(err, R"(\]\[merge\]      0: freq=4 score=8 stats=\d+\.\d{3}s apply=\d+\.\d{3}s )"
                               R"(total=\d+\.\ds \[single\]\n)"),
            1u)
      << err;
  EXPECT_EQ(count_matches(err, R"(\[merge\]      1: freq=2 score=2 )"), 1u) << err;
  EXPECT_EQ(count_matches(err, R"(\[train_single\] step 2 stats empty, stop \(elapsed_total=\d+\.\d\ds\)\n)"), 1u)
      << err;
  ASSERT_EQ(t.merges.size(), 2u);
  EXPECT_EQ(t.merges[0].key, (std::vector<std::string>{"a", "b", "\xC4\xA0"}));
  EXPECT_EQ(t.merges[0].token, "ab\xC4\xA0");
  EXPECT_EQ(t.merges[0].score, 8u);
  EXPECT_EQ(t.merges[0].freq, 4u);
  // total_chars counts the line text, "ab ab ab" (8) + "ab" (2) = 10; the
  // entries end as [abĠabĠ, abĠ] and [abĠ].
  EXPECT_EQ(count_matches(err, R"(total_tokens=3 total_chars=10 tpc=0\.300000 )"), 1u) << err;
}

TEST(TrainSingleTest, ZeroCharsGivesZeroTpc) {
  Trainer t = make_trainer({"ab ab"}, 2, 2);
  t.total_chars = 0;
  t.config.num_merges = 0;
  std::string err = run_capturing(t);
  EXPECT_EQ(count_matches(err, R"(total_chars=0 tpc=0\.000000 tok/char)"), 1u) << err;
}

TEST(TrainSingleTest, DebugPair) {
  if (!testing::debug_logging()) GTEST_SKIP() << "logger already fixed below debug in this process";
  struct Case {
    const char* value;
    bool active;
  };
  for (const Case& c : {Case{"q", false}, Case{"a,b", true}, Case{"q,z", true}}) {
    Trainer t = make_trainer({"ab ab ab"}, 2, 2);
    t.config.num_merges = 1;
    t.config.aim_token_num = 0;
    t.config.use_heap = true;
    t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
    setenv("DEBUG_PAIR", c.value, 1);
    std::string err = run_capturing(t);
    unsetenv("DEBUG_PAIR");
    EXPECT_EQ(count_matches(err, R"(\[train_single\] \[debug-pair-ids\] step 0 ids=\(\d+, \d+\)\n)"), c.active ? 1u : 0u)
        << c.value << "\n" << err;
    EXPECT_EQ(count_matches(err, R"(\[debug-pair-lookup\] step 0 )"), c.active ? 1u : 0u) << c.value;
    if (std::string(c.value) == "a,b") {
      // (a, b) and (b, Ġ) tie at 3; (b, Ġ) has the greater ids and is chosen,
      // so only the lookup line names (a, b).
      EXPECT_EQ(count_matches(err, R"(\[debug-pair-lookup\] step 0 freq=3 score=3\n)"), 1u) << err;
    }
    if (std::string(c.value) == "q,z") {
      EXPECT_TRUE(t.vocab.find("q") && t.vocab.find("z"));
      EXPECT_EQ(count_matches(err, R"(\[debug-pair-lookup\] step 0 not found\n)"), 1u) << err;
    }
  }
}

TEST(TrainSingleTest, VerifyLinesStayQuietAndSeeCorruption) {
  if (!testing::debug_logging()) GTEST_SKIP() << "logger already fixed below debug in this process";
  setenv("VERIFY_STATS", "", 1);
  setenv("VERIFY_PRE", "0", 1);
  Trainer t = make_trainer(testing::random_lines(3, 200, 5, "aabbcd"), 2, 6);
  t.config.num_merges = 60;
  t.config.aim_token_num = 0;
  t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
  std::string err = run_capturing(t);
  EXPECT_EQ(count_matches(err, R"(\[verify)"), 0u) << err;
  EXPECT_EQ(t.merges.size(), 60u);

  // A statistic damaged before the loop is reported by the first check.
  Trainer u = make_trainer({"ab ab ab"}, 2, 2);
  u.config.num_merges = 1;
  u.stats = count_stats_floor(u.entries, u.config.n_values, 1, 2);
  u.stats.find(std::span<const TokenId>(testing::ids(u, {"a", "b"})))->freq = 7;
  err = run_capturing(u);
  unsetenv("VERIFY_STATS");
  unsetenv("VERIFY_PRE");
  EXPECT_EQ(count_matches(err, R"(\[train_single\] \[verify-pre\] step 0 diff=1, missing=0, extra=0\n)"), 1u) << err;
}

// The vocabulary must not depend on the thread count nor on the selection
// path, with every option that changes admissibility; cross_word_start_vocab
// is the one whose verdicts change during a run, so the heap must offer the
// held-back candidates again once the vocabulary reaches it.
TEST(TrainSingleTest, SameVocabularyForEveryWorkerCountAndSelectionPath) {
  testing::quiet_log_file();
  struct Case {
    const char* what;
    void (*set)(TrainConfig&);
    std::vector<size_t> workers;
  };
  const Case cases[] = {
      {"defaults", [](TrainConfig&) {}, {1, 2, 0}},
      {"cross_word_start_vocab", [](TrainConfig& c) { c.cross_word_start_vocab = 40; }, {1}},
      {"cross_word_start_vocab with a repeated phrase", [](TrainConfig& c) { c.cross_word_start_vocab = 16; }, {1}},
      {"max_token_chars and max_token_words", [](TrainConfig& c) {
         c.max_token_chars = 5;
         c.max_token_words = 1;
       }, {2}},
      {"punctuation rules", [](TrainConfig& c) {
         c.forbid_punct_tokens = true;
         c.allow_word_final_punct_tokens = true;
         c.allow_space_punct_tokens = true;
         c.forbid_incomplete_cross_word = true;
       }, {1}},
  };
  std::vector<std::string> lines = testing::random_lines(21, 400, 6, "aabbcde.,");
  // A repeated phrase: its two-word candidate is the best one as soon as
  // the vocabulary (8 characters + 5 specials, then the merges) reaches 16.
  std::vector<std::string> phrase = testing::random_lines(5, 60, 3, "efg");
  phrase.insert(phrase.end(), 40, "ab cd");
  for (const Case& c : cases) {
    std::vector<std::string> base;
    for (size_t workers : c.workers) {
      for (bool heap : {false, true}) {
        Trainer t = make_trainer(std::string(c.what).find("phrase") != std::string::npos ? phrase : lines, 2, 6);
        c.set(t.config);
        t.config.num_workers = workers;
        t.config.use_heap = heap;
        t.config.aim_token_num = 40;
        ::testing::internal::CaptureStderr();
        Status st = train_prepared(t);
        ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(st.is_ok());
        if (base.empty())
          base = t.vocab.id_to_token;
        else
          EXPECT_EQ(t.vocab.id_to_token, base) << c.what << ": workers " << workers << " heap " << heap;
      }
    }
    EXPECT_EQ(base.size() + 5, 40u) << c.what;
    if (std::string(c.what).find("phrase") != std::string::npos) {
      EXPECT_NE(std::find(base.begin(), base.end(), "ab\xC4\xA0" "cd\xC4\xA0"), base.end());
    }
  }
}

// Statistics that keep only the keys at or above a floor must choose what
// full statistics choose at every step: the floor comes down, with a
// recount, whenever the best kept key no longer beats all that was left
// out. Small spans raise and lower it often; near the end of a run it stops
// where the merges left seem to need, and a guess that was too high must
// only cost another recount.
TEST(TrainSingleTest, FlooredStatisticsChooseWhatFullStatisticsChoose) {
  const bool debug = testing::debug_logging();
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    void (*set)(Trainer&);
  };
  std::vector<std::string> phrase = testing::random_lines(5, 300, 3, "efg");
  phrase.insert(phrase.end(), 120, "ab cd ab");
  const Case cases[] = {
      {"defaults", testing::random_lines(21, 600, 6, "aabbcde"), [](Trainer&) {}},
      // Few letters: merges soon re-create tokens that are in use.
      {"re-created tokens", testing::random_lines(3, 500, 5, "aab"), [](Trainer&) {}},
      {"cross_word_start_vocab", phrase, [](Trainer& t) { t.config.cross_word_start_vocab = 20; }},
      {"n 3..4", testing::random_lines(8, 500, 6, "aabbc"), [](Trainer& t) { t.config.n_values = make_n_values(3, 4); }},
      // The aim, not num_merges, tells how many merges are left when the
      // floor comes down; many keys of like counts (a larger alphabet) make
      // the floor stop above where the span alone would take it.
      {"aim", testing::random_lines(21, 3000, 6, "abcdefghijklmnop"),
       [](Trainer& t) { t.config.aim_token_num = effective_vocab_size(t.vocab) + 90; }},
  };
  for (const Case& c : cases) {
    std::vector<MergeRecord> base;
    for (uint64_t span : {0u, 1u, 2u, 16u}) {
      for (size_t workers : {1u, 2u}) {
        for (bool heap : {false, true}) {
          Trainer t = make_trainer(c.lines, 2, 6);
          t.config.stats_floor_span = span;
          t.config.num_workers = workers;
          t.config.use_heap = heap;
          t.config.aim_token_num = 0;
          t.config.num_merges = 120;
          c.set(t);
          t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
          std::string err = run_capturing(t);
          if (debug && span == 1) {
            EXPECT_GT(count_matches(err, R"(stats floor \d+ -> \d+ keys=)"), 2u) << c.what;
          }
          if (base.empty()) {
            base = t.merges;
            ASSERT_GT(base.size(), 50u) << c.what;
            continue;
          }
          ASSERT_EQ(t.merges.size(), base.size()) << c.what << ": span " << span << " heap " << heap;
          for (size_t i = 0; i < base.size(); ++i) {
            ASSERT_EQ(t.merges[i].key, base[i].key) << c.what << ": step " << i << " span " << span;
            ASSERT_EQ(t.merges[i].freq, base[i].freq) << c.what << ": step " << i << " span " << span;
            ASSERT_EQ(t.merges[i].score, base[i].score) << c.what << ": step " << i << " span " << span;
          }
        }
      }
    }
  }
}

// The first count already keeps only the keys from the floor the loop
// starts at (picked from the best score counted, admissible or not); the
// loop takes it from there, lowering it when the best admissible key does
// not clear it.
TEST(TrainSingleTest, RebuiltStatisticsStartAtTheLoopsFloor) {
  testing::quiet_log_file();
  std::vector<std::string> lines = testing::random_lines(9, 400, 4, "aabcd");
  lines.insert(lines.end(), 150, "x.y, x.y");
  struct Case {
    const char* what;
    void (*set)(TrainConfig&);
  };
  const Case cases[] = {
      {"defaults", [](TrainConfig&) {}},
      // The best counted keys are not admissible: the loop must come down.
      {"forbid_punct_tokens", [](TrainConfig& c) { c.forbid_punct_tokens = true; }},
  };
  for (const Case& c : cases) {
    std::vector<MergeRecord> base;
    for (uint64_t span : {0u, 1u, 16u}) {
      Trainer t = make_trainer(lines, 2, 6);
      c.set(t.config);
      t.config.stats_floor_span = span;
      t.config.aim_token_num = 0;
      t.config.num_merges = 80;
      ::testing::internal::CaptureStderr();
      rebuild_global_stats(t);
      ::testing::internal::GetCapturedStderr();
      if (span == 1) {
        EXPECT_GT(t.stats_floor, 2u) << c.what;
      } else if (span == 0) {
        EXPECT_EQ(t.stats_floor, 2u) << c.what;
      }
      auto kept = testing::sorted_stats(count_stats(t.entries, t.config.n_values, 1), t.stats_floor);
      EXPECT_EQ(testing::sorted_stats(t.stats), kept) << c.what << " span " << span;
      const uint32_t start = t.stats_floor;
      std::string err = run_capturing(t);
      if (testing::debug_logging() && span == 1) {
        EXPECT_NE(err.find("stats floor " + std::to_string(start) + " -> "), std::string::npos) << c.what << err;
      }
      if (base.empty()) {
        base = t.merges;
        ASSERT_EQ(base.size(), 80u) << c.what;
        continue;
      }
      ASSERT_EQ(t.merges.size(), base.size()) << c.what << " span " << span;
      for (size_t i = 0; i < base.size(); ++i) {
        ASSERT_EQ(t.merges[i].key, base[i].key) << c.what << ": step " << i << " span " << span;
        ASSERT_EQ(t.merges[i].score, base[i].score) << c.what << ": step " << i << " span " << span;
      }
    }
  }
}

// With a floor, the checks compare against the keys a recount keeps at it.
TEST(TrainSingleTest, VerifyLinesStayQuietWithAFloor) {
  if (!testing::debug_logging()) GTEST_SKIP() << "logger already fixed below debug in this process";
  setenv("VERIFY_STATS", "", 1);
  setenv("VERIFY_PRE", "0", 1);
  Trainer t = make_trainer(testing::random_lines(4, 400, 5, "aabbcd"), 2, 6);
  t.config.num_merges = 80;
  t.config.aim_token_num = 0;
  t.config.stats_floor_span = 1;
  t.stats = count_stats_floor(t.entries, t.config.n_values, 1, 2);
  std::string err = run_capturing(t);
  unsetenv("VERIFY_STATS");
  unsetenv("VERIFY_PRE");
  EXPECT_EQ(count_matches(err, R"(\[verify)"), 0u) << err;
  EXPECT_GT(count_matches(err, R"(stats floor \d+ -> \d+ keys=)"), 0u) << err;
  EXPECT_EQ(t.merges.size(), 80u);
}

}  // namespace
}  // namespace tarvex
