#include "train/text_collector.hpp"

#include <algorithm>

#include "train/corpus_reader.hpp"
#include "train/preprocess.hpp"
#include "util/utf8.hpp"

namespace tarvex {

namespace {
using CountMap = FlatMap<std::string, uint32_t>;
}  // namespace

TextCollector::TextCollector(ThreadPool& pool, uint64_t max_docs, size_t chunk_size, size_t reserve)
    : pool_(pool), max_docs_(max_docs), chunk_size_(chunk_size ? chunk_size : 1) {
  pending_.reserve(reserve);
}

bool TextCollector::admit(std::string_view text) {
  if (!has_non_space(text)) return true;
  total_chars_ = add_sat_u64(total_chars_, utf8_count(text));
  pending_.emplace_back(text);
  ++accepted_;
  return max_docs_ == 0 || accepted_ < max_docs_;
}

void TextCollector::flush_chunk() {
  if (pending_.empty()) return;
  const std::vector<std::string>& chunk = pending_;
  // Each task counts its own range into its own map; the maps are merged
  // after the join. The sums do not depend on how the ranges were split.
  size_t parts = std::min(chunk.size(), pool_.size() * 4);
  CountMap counts = map_reduce<CountMap>(
      pool_, chunk.size(), parts,
      [&](size_t begin, size_t end) {
        CountMap m;
        std::string form;
        for (size_t i = begin; i < end; ++i) {
          normalized_form(chunk[i], form);
          uint32_t& slot = m[form];
          slot = add_sat_u32(slot, 1);
        }
        return m;
      },
      merge_counts);
  // Frees the texts but keeps the slots for the next chunk.
  pending_.clear();
  merge_counts(word_counts_, counts);
}

}  // namespace tarvex
