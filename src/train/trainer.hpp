// The training state: created by an entry point, moved through
// preprocessing, training and export, dropped at the end of the call.
#pragma once

#include <vector>

#include "train/config.hpp"
#include "train/heap.hpp"
#include "train/stats.hpp"
#include "train/vocab.hpp"

namespace tarvex {

struct Trainer {
  std::vector<SeqEntry> entries;
  std::vector<MergeRecord> merges;
  TrainConfig config;
  Vocab vocab;
  std::vector<HeapEntry> heap;
  StatsMap stats;
  size_t total_chars = 0;
  // effective_vocab_size when the heap was last built: candidates held back
  // by cross_word_start_vocab were left out then and must be offered again
  // once the vocabulary reaches it.
  size_t heap_built_vocab = 0;
  // stats holds exactly the keys with freq >= stats_floor, with exact
  // counts. 2 is the least: a key seen once cannot be chosen. The loop
  // raises it while the best scores are high (see train_single), so the
  // frequent early merges move far fewer stored keys.
  uint32_t stats_floor = 2;
};

}  // namespace tarvex
