// The merge loop of one process: select, intern, merge, until a stop rule.
#pragma once

#include <optional>
#include <utility>

#include "train/stats.hpp"

namespace tarvex {

struct Trainer;

// The floor the loop starts from when the best score is `best_score`:
// what is left out scores at most a stats_floor_span-th of it. 2 (every
// selectable key) when the floor is off: stats_floor_span 0, or DEBUG_PAIR
// set, which reports the stored value of its pair.
uint32_t start_floor(const Trainer& trainer, uint64_t best_score);

// Runs the loop on a trainer whose stats are ready (rebuild_global_stats).
// Never fails; leaves the final vocabulary, entries and merge log behind.
void train_single(Trainer& trainer);

// The best admissible key of freq >= 2 by a parallel scan of stats.
std::optional<std::pair<SeqKey, Stat>> scan_best(const Trainer& trainer, size_t effective_size);

struct ScanPool;

// The same result as scan_best, from the pool of high-scoring keys; scans
// the whole map only to (re)fill the pool.
std::optional<std::pair<SeqKey, Stat>> pool_best(const Trainer& trainer, ScanPool& pool, size_t effective_size);

// Differences between two statistics that can change a selection: keys
// with freq >= 2 in at least one of the maps. `kept` is meant to hold the
// keys of `full` with freq >= floor (see Trainer::stats_floor), so a key
// below the floor is not missing from it.
struct StatsDiff {
  size_t diff = 0, missing = 0, extra = 0;
  bool any() const { return diff || missing || extra; }
};
StatsDiff compare_stats(const StatsMap& full, const StatsMap& kept, uint32_t floor = 2);

}  // namespace tarvex
