// The training state: created by an entry point, moved through
// preprocessing, training and export, dropped at the end of the call.
#pragma once

#include <vector>

#include "train/config.hpp"
#include "train/vocab.hpp"

namespace tarvex {

struct Trainer {
  std::vector<SeqEntry> entries;
  std::vector<MergeRecord> merges;
  TrainConfig config;
  Vocab vocab;
  size_t total_chars = 0;
};

}  // namespace tarvex
