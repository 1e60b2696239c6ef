// Counts texts that arrive one at a time from a streaming source (a Python
// iterable, parquet batches) into the same table of normalized forms that a
// corpus file produces. Only one chunk of raw texts is held at a time; each
// full chunk is counted in parallel and then dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/flat_map.hpp"
#include "util/thread_pool.hpp"

namespace tarvex {

inline uint64_t add_sat_u64(uint64_t a, uint64_t b) {
  uint64_t s = a + b;
  return s < a ? UINT64_MAX : s;
}

class TextCollector {
 public:
  // `max_docs` 0 means no limit; `chunk_size` >= 1 texts are counted
  // together; `reserve` chunk slots are allocated up front.
  TextCollector(ThreadPool& pool, uint64_t max_docs, size_t chunk_size, size_t reserve);

  // Takes one text (valid UTF-8). A text that is blank after trimming white
  // space is dropped and counts for nothing; any other is kept untrimmed.
  // Returns false once `max_docs` texts have been kept: the source must not
  // be asked for another one.
  bool admit(std::string_view text);

  // True when the pending chunk should be counted before the next text.
  bool chunk_full() const { return pending_.size() >= chunk_size_; }

  // Counts the pending chunk on the pool, folds it into the word counts and
  // frees its texts. Uses no Python state, so the caller may run it with the
  // interpreter lock released.
  void flush_chunk();

  size_t pending() const { return pending_.size(); }
  uint64_t accepted() const { return accepted_; }
  uint64_t total_chars() const { return total_chars_; }
  const FlatMap<std::string, uint32_t>& word_counts() const { return word_counts_; }
  FlatMap<std::string, uint32_t> take_word_counts() { return std::move(word_counts_); }

 private:
  ThreadPool& pool_;
  uint64_t max_docs_;
  size_t chunk_size_;
  std::vector<std::string> pending_;
  FlatMap<std::string, uint32_t> word_counts_;
  uint64_t total_chars_ = 0;
  uint64_t accepted_ = 0;
};

}  // namespace tarvex
