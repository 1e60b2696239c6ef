// The candidate heap: a lazy max-heap of (score, length, key) hints. Entries
// may be stale; pop_best checks each against the statistics and re-pushes or
// drops it, instead of deleting entries eagerly when a key changes.
#pragma once

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "train/stats.hpp"

namespace tarvex {

struct Trainer;

struct HeapEntry {
  uint64_t score = 0;
  size_t len = 0;
  SeqKey key;
};

// Heap order: true when a ranks below b (the order of `better`).
inline bool heap_below(const HeapEntry& a, const HeapEntry& b) {
  if (a.score != b.score) return a.score < b.score;
  return better(b.key.ids(), b.score, a.key.ids(), a.score);
}

// Empties the heap and fills it with every admissible key of freq >= 2.
void build_heap(Trainer& trainer);

// Pushes the key with its current score when it is admissible and present
// with freq >= 2. The second form takes effective_vocab_size from a caller
// that offers many keys at once.
void push_candidate(Trainer& trainer, std::span<const TokenId> key);
void push_candidate(Trainer& trainer, std::span<const TokenId> key, size_t effective_size);

// The best admissible candidate with freq >= 2, or nothing.
std::optional<std::pair<SeqKey, Stat>> pop_best(Trainer& trainer);

}  // namespace tarvex
