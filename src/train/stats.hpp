// Candidate statistics: every window of n_min..n_max adjacent ids, with its
// frequency over the corpus and the tokens a merge of it would save.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "train/vocab.hpp"
#include "util/flat_map.hpp"

namespace tarvex {

struct Trainer;
class ThreadPool;

// A candidate: a short sequence of token ids. Up to kInline ids live inside
// the object, so the tens of millions of keys of a corpus cost no allocation;
// longer keys keep their ids on the heap, the pointer stored in the inline
// area. 40 bytes, 4-byte aligned, so a map slot with a Stat stays at 56.
class SeqKey {
 public:
  static constexpr size_t kInline = 9;

  SeqKey() = default;
  explicit SeqKey(std::span<const TokenId> ids) { assign(ids); }
  SeqKey(std::initializer_list<TokenId> ids) { assign(std::span<const TokenId>(ids.begin(), ids.size())); }
  SeqKey(const SeqKey& o) { assign(o.ids()); }
  SeqKey(SeqKey&& o) noexcept : len_(o.len_) {
    std::memcpy(ids_, o.ids_, sizeof ids_);
    o.len_ = 0;
  }
  SeqKey& operator=(const SeqKey& o) {
    if (this != &o) {
      SeqKey tmp(o);
      swap(tmp);
    }
    return *this;
  }
  SeqKey& operator=(SeqKey&& o) noexcept {
    if (this != &o) {
      release();
      len_ = o.len_;
      std::memcpy(ids_, o.ids_, sizeof ids_);
      o.len_ = 0;
    }
    return *this;
  }
  ~SeqKey() { release(); }

  void swap(SeqKey& o) noexcept {
    std::swap(len_, o.len_);
    std::swap(ids_, o.ids_);
  }

  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  const TokenId* data() const { return len_ <= kInline ? ids_ : heap_ptr(); }
  std::span<const TokenId> ids() const { return {data(), len_}; }
  TokenId operator[](size_t i) const { return data()[i]; }
  std::vector<TokenId> to_vector() const { return {data(), data() + len_}; }

  bool operator==(const SeqKey& o) const { return equals(o.ids()); }
  // A plain loop: keys are a few ids long, where a call to memcmp costs
  // more than the comparison.
  bool equals(std::span<const TokenId> o) const {
    if (len_ != o.size()) return false;
    const TokenId* a = data();
    for (size_t i = 0; i < len_; ++i)
      if (a[i] != o[i]) return false;
    return true;
  }

 private:
  TokenId* heap_ptr() const {
    TokenId* p;
    std::memcpy(&p, ids_, sizeof p);
    return p;
  }
  void assign(std::span<const TokenId> ids) {
    len_ = static_cast<uint32_t>(ids.size());
    if (len_ <= kInline) {
      if (len_) std::memcpy(ids_, ids.data(), len_ * sizeof(TokenId));
    } else {
      TokenId* p = new TokenId[len_];
      std::memcpy(p, ids.data(), len_ * sizeof(TokenId));
      std::memcpy(ids_, &p, sizeof p);
    }
  }
  void release() {
    if (len_ > kInline) delete[] heap_ptr();
    len_ = 0;
  }

  uint32_t len_ = 0;
  TokenId ids_[kInline] = {};
};
static_assert(sizeof(TokenId*) <= sizeof(TokenId) * SeqKey::kInline);

// Two ids per multiply, an odd last id in one more, then mix64: a window of
// six ids costs three rounds where a byte-wise tail would cost many more.
// Windows are hashed tens of millions of times per training run.
inline uint64_t hash_ids(std::span<const TokenId> ids) {
  const size_t n = ids.size();
  uint64_t h = 0xcbf29ce484222325ULL ^ n;
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    h = (h ^ (ids[i] | static_cast<uint64_t>(ids[i + 1]) << 32)) * 0xff51afd7ed558ccdULL;
    h ^= h >> 29;
  }
  if (i < n) {
    h = (h ^ ids[i]) * 0xff51afd7ed558ccdULL;
    h ^= h >> 29;
  }
  return mix64(h);
}

// Hashing and equality accept a plain id span too, so windows are looked up
// without building a key.
struct SeqKeyHash {
  uint64_t operator()(const SeqKey& k) const { return hash_ids(k.ids()); }
  uint64_t operator()(std::span<const TokenId> k) const { return hash_ids(k); }
};
struct SeqKeyEq {
  bool operator()(const SeqKey& a, const SeqKey& b) const { return a == b; }
  bool operator()(const SeqKey& a, std::span<const TokenId> b) const { return a.equals(b); }
};

struct Stat {
  uint32_t freq = 0;   // occurrences, each entry counted freq times
  uint64_t score = 0;  // (n - 1) * freq: tokens saved by merging every occurrence

  bool operator==(const Stat&) const = default;
};

using StatsMap = FlatMap<SeqKey, Stat, SeqKeyHash, SeqKeyEq>;

inline uint32_t sat_add_u32(uint32_t a, uint64_t b) {
  uint64_t s = a + b;
  return s > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s);
}
inline uint64_t sat_add_u64(uint64_t a, uint64_t b) {
  uint64_t s = a + b;
  return s < a ? UINT64_MAX : s;
}
inline uint64_t sat_mul_u64(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// The candidate order: higher score, then longer key, then the greater id
// at the first difference. A total order on distinct keys, so the best of
// any set is unique whatever order it was visited in.
inline bool better(std::span<const TokenId> a, uint64_t score_a, std::span<const TokenId> b, uint64_t score_b) {
  if (score_a != score_b) return score_a > score_b;
  if (a.size() != b.size()) return a.size() > b.size();
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return a[i] > b[i];
  return false;
}
inline bool better(const SeqKey& a, const Stat& sa, const SeqKey& b, const Stat& sb) {
  return better(a.ids(), sa.score, b.ids(), sb.score);
}

// Full count of every window of every length in n_values over the entries,
// keys of every frequency included. Independent of num_workers.
StatsMap count_stats(const std::vector<SeqEntry>& entries, const std::vector<size_t>& n_values,
                     size_t num_workers);

// The keys of freq >= floor (floor >= 2) and only those, with exact counts,
// for the lengths of n_values (any set of lengths from 2 up). A window can
// only reach the floor if both of its windows one shorter do, so each
// length counts only where the length below left two kept windows side by
// side (pairs: where each id occurs often enough); with a high floor this
// visits a small part of what a full count does. The result, its keys'
// insertion order included, is independent of num_workers. With floor 2,
// `distinct_keys` receives the key count of the full count (every window
// passed over is a key seen once); with a higher floor, 0.
//
// `keep_from`, when given, is called once with the best score counted (0
// when nothing reached the floor) and returns a floor for the result: only
// keys at or above the higher of the two floors are kept, while the count
// (and `distinct_keys`) still works at `floor`.
StatsMap count_stats_floor(const std::vector<SeqEntry>& entries, const std::vector<size_t>& n_values,
                           size_t num_workers, uint32_t floor, size_t* distinct_keys = nullptr,
                           const std::function<uint32_t(uint64_t)>& keep_from = {});

// Replaces trainer.stats with a fresh count and rebuilds (use_heap) or
// clears the heap. The map keeps the keys at or above the floor that
// train_single would start from (start_floor), and trainer.stats_floor
// says which. Keys seen once are not stored: no selection can take
// them, and a later merge adds only windows that hold its merged token, so
// such a key can only grow again when a merge re-creates an existing token;
// apply_merge recounts those keys exactly. Storing them would cost most of
// the memory and scan time of the map.
void rebuild_global_stats(Trainer& trainer);

// "[2, 3, 4]".
std::string format_list(const std::vector<size_t>& values);

// Runs fn(pool) on a pool of num_workers threads built for the call, or on
// the process-wide pool when num_workers is 0.
template <typename Fn>
void with_pool(size_t num_workers, Fn&& fn);

}  // namespace tarvex

#include "util/thread_pool.hpp"

namespace tarvex {
template <typename Fn>
void with_pool(size_t num_workers, Fn&& fn) {
  if (num_workers > 0) {
    std::unique_ptr<ThreadPool> pool = build_pool(num_workers, "build pool");
    fn(*pool);
  } else {
    fn(ThreadPool::global());
  }
}
}  // namespace tarvex
