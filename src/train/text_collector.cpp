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
  CountMap counts = count_texts(pool_, pending_);
  // Frees the texts but keeps the slots for the next chunk.
  pending_.clear();
  merge_counts(word_counts_, counts);
}

}  // namespace tarvex
