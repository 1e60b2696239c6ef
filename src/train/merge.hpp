// Merge application: rewriting entries with a new token and moving the
// statistics along without recounting the corpus.
#pragma once

#include <algorithm>
#include <span>
#include <vector>

#include "train/heap.hpp"
#include "train/stats.hpp"
#include "util/small_list.hpp"

namespace tarvex {

struct Trainer;

// The rewrite of one entry and the windows it changed.
struct EntryMergeResult {
  std::vector<TokenId> tokens;
  StatsMap removed;  // affected windows of the old sequence, each counted once
  StatsMap added;    // affected windows of the new sequence
  uint32_t freq = 0;
};

// Rewrites one sequence: non-overlapping occurrences of `key`, left to right,
// become `new_id`. Calls on_removed(window) for every distinct window of the
// old sequence that touches an occurrence and on_added(window, a, b) for
// every distinct window of the new sequence that holds a new token, for each
// length in n_values; [a, b] is the span of the old sequence the new window
// replaces (its new tokens expanded back to the key). `out` receives the new
// sequence. Returns whether the key occurred; when it did not, `out` is left
// untouched and no callback runs.
template <typename OnRemoved, typename OnAdded>
bool merge_windows(std::span<const TokenId> t, std::span<const TokenId> key, TokenId new_id,
                   const std::vector<size_t>& n_values, std::vector<TokenId>& out, OnRemoved&& on_removed,
                   OnAdded&& on_added);

// The per-entry rule on its own; never touches global state.
EntryMergeResult merge_entry(std::span<const TokenId> tokens, std::span<const TokenId> key, TokenId new_id,
                             const std::vector<size_t>& n_values);

// Keys that may hold the best score, for selection without the heap: every
// key of stats whose score is at least `floor` is listed, with a score at
// least its current one (the list may also hold repeats, and keys that fell
// below the floor or left stats). The list is a max-heap in the order of
// `better`, so a selection looks only at the top until it finds a key whose
// listed score is its current one, and rescans the map only when the list
// holds no admissible key at or above the floor. Scores only rise through
// additions, and apply_merge lists every key whose score rises to the floor
// with its new score, so a listed score never falls below the current one.
struct ScanPool {
  std::vector<HeapEntry> listed;
  uint64_t floor = 0;
  bool active = false;
  size_t target = 4096;  // keys to list at a refill (tests use a few)
  size_t distinct = 0;   // keys listed at the last refill
};

// Where a merge step looks for its key. Two lists of entries (indices into
// trainer.entries):
// - per adjacent pair of ids, the entries that hold the pair. A step reads
//   the list of its key's least listed pair and prunes it, so it visits
//   little more than the entries that hold the key, not every entry that
//   holds one of its tokens;
// - per token id, the entries that hold the token, read only when a merge
//   re-creates a token that is already in use.
// Every live entry is listed under every pair and token it holds; lists may
// also name entries that lost them, or dead entries (freq 0, left by
// regrouping), which readers skip.
struct EntryIndex {
  std::vector<std::vector<uint32_t>> postings;  // token id -> entries
  // pair_code -> index into pair_lists, in one small table per token: a
  // pair is filed under the greater of its two ids. Every pair a merge
  // makes holds the new token, which is the greatest id unless it is
  // re-created, so a step fills one small table that stays in cache, and
  // no table of millions of pairs ever has to grow (each doubling of one
  // cost as much as listing the pairs of thousands of late steps).
  std::vector<FlatMap<uint64_t, uint32_t>> pair_slots;
  std::vector<SmallList> pair_lists;
  // Added-window delta maps of the step's tasks (in hash shards, per task),
  // kept between steps so that consecutive steps of similar size do not
  // regrow them.
  std::vector<StatsMap> scratch;
  ScanPool* scan_pool = nullptr;  // kept up to date by apply_merge when set

  static uint64_t pair_code(TokenId a, TokenId b) { return (static_cast<uint64_t>(a) << 32) | b; }
  // The token whose table files the pair: the greater of its two ids.
  static size_t pair_owner(uint64_t code) { return std::max(code >> 32, code & 0xFFFFFFFFu); }
  // The list of a pair, made empty when the pair is new. The index stays
  // valid when other lists are added; a reference would not.
  uint32_t pair_list(uint64_t code);
  // The list of a pair, or null when the pair was never listed.
  const SmallList* find_pair(uint64_t code) const;
  // Lists entry i under the pair unless it was the last one listed there.
  void list_pair(uint64_t code, uint32_t i);

  // Built on a pool of num_workers threads (0: the default pool); the
  // lists are the same for any number.
  static EntryIndex build(const std::vector<SeqEntry>& entries, size_t vocab_size, size_t num_workers = 1);
};

// One merge step with the trainer's index: rewrites every entry holding the
// key, updates stats as the step's summed deltas would (removed windows are
// subtracted as they are found, added ones summed first; the added keys are
// offered to the heap with use_heap), and combines entries that became equal.
// Combined-away entries stay in trainer.entries with freq 0 until
// compact_entries.
void apply_merge(Trainer& trainer, EntryIndex& index, std::span<const TokenId> key, TokenId new_id);

// The same without a kept index (builds one for this call) and with the
// entries compacted afterwards.
void apply_merge(Trainer& trainer, std::span<const TokenId> key, TokenId new_id);

// Moves every entry's tokens into fresh memory in entry order. Counting and
// merge steps visit entries in index order; once the entries have been
// sorted, their sequences lie wherever they were first allocated, and
// nearly every visit misses the cache. Laid out in order, a visit finds
// its tokens where the last one ended.
void lay_out_in_order(std::vector<SeqEntry>& entries);

// Drops the dead entries.
void compact_entries(std::vector<SeqEntry>& entries);

}  // namespace tarvex

#include "train/merge_inl.hpp"
