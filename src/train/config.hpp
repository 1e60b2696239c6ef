// The options of one training call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvex {

struct TrainConfig {
  std::vector<size_t> n_values;  // n_min, n_min + 1, ..., n_max
  size_t num_merges = 50000;
  size_t aim_token_num = 20000;
  size_t max_token_chars = 0;
  size_t cross_word_start_vocab = 0;
  size_t max_token_words = 0;
  size_t num_workers = 0;  // 0 = automatic, kept as given
  bool forbid_punct_word_mix = false;
  bool forbid_punct_tokens = false;
  bool allow_space_punct_tokens = false;
  bool allow_abbrev_tokens = false;
  bool allow_hyphen_tokens = false;
  bool allow_word_final_punct_tokens = false;
  bool allow_apostrophe_tokens = false;
  bool allow_cross_word_punct_word_mix_tokens = false;
  bool forbid_incomplete_cross_word = false;
  bool recompute_each_step = false;
  bool use_heap = false;
  bool multi_process = false;
  // How far the best score may fall below the one the statistics' floor
  // was chosen for (see Trainer::stats_floor); 0 keeps every key of
  // freq >= 2 all along. Not an option of the entry points: it changes the
  // cost, never the result.
  uint64_t stats_floor_span = 16;
};

// n_min ... n_max inclusive.
inline std::vector<size_t> make_n_values(size_t n_min, size_t n_max) {
  std::vector<size_t> out;
  for (size_t n = n_min; n <= n_max; ++n) out.push_back(n);
  return out;
}

}  // namespace tarvex
