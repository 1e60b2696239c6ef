// The training pipeline after preprocessing, shared by every entry point.
#pragma once

#include <string>

#include "train/trainer.hpp"
#include "util/flat_map.hpp"
#include "util/status.hpp"

namespace tarvex {

// Counts the statistics of a filled trainer and runs the merge loop (in one
// process, or across worker processes when config.multi_process is set).
Status train_prepared(Trainer& trainer);

// Builds a trainer from counted texts and trains it. Each key is a text's
// normalized form (its symbols concatenated, "Ġ" after every word); ids are
// assigned in byte order as for corpus files.
Result<Trainer> train_from_word_counts(FlatMap<std::string, uint32_t>&& word_counts, size_t total_chars,
                                       const TrainConfig& config);

}  // namespace tarvex
