// Turns the kept corpus lines into deduplicated entries and the initial
// one-character vocabulary.
#pragma once

#include <string>
#include <vector>

#include "train/trainer.hpp"
#include "util/status.hpp"

namespace tarvex {

class ThreadPool;

// Replaces trainer.entries and trainer.vocab. Initial ids are assigned in
// byte order of the token texts and entries are sorted by their token ids,
// so the result is the same for every thread count and every run.
Status build_vocab_mp(Trainer& trainer, const std::vector<std::string>& lines);

// Builds entries and vocabulary from already counted texts, each given as
// its normalized form (the concatenation of its symbols) with its count.
// Shared by every producer so that ids and entry order never depend on the
// path a corpus took.
void build_from_counted(Trainer& trainer, FlatMap<std::string, uint32_t>&& counts);
// The same on a given pool (the work is split over its threads).
void build_from_counted(ThreadPool& pool, Trainer& trainer, FlatMap<std::string, uint32_t>&& counts);

// A text's normalized form: its symbols (normalize_symbols) concatenated.
void normalized_form(std::string_view text, std::string& out);

// Adds every count of `from` into `into`, saturating at 2^32 - 1; `from` is
// left empty (the two may be swapped first so the larger map is kept).
void merge_counts(FlatMap<std::string, uint32_t>& into, FlatMap<std::string, uint32_t>& from);

// Counts the texts by normalized form on `pool`; the same for any split.
FlatMap<std::string, uint32_t> count_texts(ThreadPool& pool, const std::vector<std::string>& texts);

inline uint32_t add_sat_u32(uint32_t a, uint32_t b) {
  uint32_t s = a + b;
  return s < a ? UINT32_MAX : s;
}

}  // namespace tarvex
