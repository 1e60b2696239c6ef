// Small corpora and helpers shared by the trainer tests.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "log/logger.hpp"
#include "train/preprocess.hpp"
#include "train/stats.hpp"
#include "train/trainer.hpp"

namespace tarvex::testing {

// A trainer over `lines` with n_values n_min..n_max and every other option
// at its default; total_chars counts code points of the lines.
inline Trainer make_trainer(const std::vector<std::string>& lines, size_t n_min = 2, size_t n_max = 6) {
  Trainer t;
  t.config.n_values = make_n_values(n_min, n_max);
  size_t chars = 0;
  for (const auto& l : lines)
    for (unsigned char c : l) chars += (c & 0xC0) != 0x80;
  t.total_chars = chars;
  Status st = build_vocab_mp(t, lines);
  if (!st) std::abort();
  return t;
}

// Random lines over a small alphabet, so that repeats, runs of equal ids
// and re-created tokens all occur.
inline std::vector<std::string> random_lines(uint32_t seed, size_t count, size_t max_words = 5,
                                             const std::string& alphabet = "aabbc") {
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  for (size_t i = 0; i < count; ++i) {
    std::string line;
    size_t words = 1 + rng() % max_words;
    for (size_t w = 0; w < words; ++w) {
      if (w) line += ' ';
      size_t len = 1 + rng() % 4;
      for (size_t c = 0; c < len; ++c) line += alphabet[rng() % alphabet.size()];
    }
    out.push_back(line);
  }
  return out;
}

// A map's content in a fixed order, for comparisons that print well.
inline std::vector<std::pair<std::vector<TokenId>, Stat>> sorted_stats(const StatsMap& m, uint32_t min_freq = 0) {
  std::vector<std::pair<std::vector<TokenId>, Stat>> out;
  m.for_each([&](const SeqKey& k, const Stat& s) {
    if (s.freq >= min_freq) out.emplace_back(k.to_vector(), s);
  });
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

inline std::vector<TokenId> ids(const Trainer& t, std::initializer_list<const char*> texts) {
  std::vector<TokenId> out;
  for (const char* s : texts) {
    const TokenId* id = t.vocab.find(s);
    if (!id) std::abort();
    out.push_back(*id);
  }
  return out;
}

// Debug lines reach stderr only when the logger's threshold is debug; it
// is fixed on the first log line of the process, so this works when the
// test runs in a process of its own (as ctest runs them).
inline bool debug_logging() {
  setenv("LOG_LEVEL", "debug", 0);
  if (!std::getenv("LOG_FILE")) setenv("LOG_FILE", "/dev/null", 0);
  return log_threshold() >= 3;
}

inline void quiet_log_file() {
  if (!std::getenv("LOG_FILE")) setenv("LOG_FILE", "/dev/null", 0);
}

}  // namespace tarvex::testing

namespace tarvex {
inline std::ostream& operator<<(std::ostream& os, const Stat& s) {
  return os << "{freq=" << s.freq << ", score=" << s.score << "}";
}
}  // namespace tarvex
