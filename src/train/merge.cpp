#include "train/merge.hpp"

#include <algorithm>
#include <atomic>
#include <tuple>

#include "text/admissible.hpp"
#include "train/heap.hpp"
#include "train/preprocess.hpp"
#include "train/trainer.hpp"

namespace tarvex {

namespace {

using merge_detail::find_occurrences;
using merge_detail::for_window_starts;
using merge_detail::landed;
using merge_detail::rewrite;

void add_weighted(StatsMap& m, std::span<const TokenId> w, uint64_t h, uint32_t f) {
  Stat& st = *m.find_or_insert_hashed(w, h, [] { return Stat{}; }).first;
  st.freq = sat_add_u32(st.freq, f);
  st.score = sat_add_u64(st.score, sat_mul_u64(w.size() - 1, f));
}

// Visits m's pairs in slot order as fn(key, value, hash). The hashes of a
// batch are computed first and their first probe into `target` prefetched,
// so the batch's cache misses on the big map overlap instead of queueing.
// fn may change `target` (a prefetch is only a hint) but not m.
template <typename Fn>
void for_each_prefetched(const StatsMap& m, const StatsMap& target, Fn&& fn) {
  constexpr size_t kBatch = 16;
  size_t slot[kBatch];
  uint64_t hash[kBatch];
  size_t n = 0;
  auto flush = [&] {
    for (size_t j = 0; j < n; ++j) fn(m.key_at(slot[j]), m.value_at(slot[j]), hash[j]);
    n = 0;
  };
  for (size_t i = 0; i < m.capacity(); ++i) {
    if (!m.occupied(i)) continue;
    hash[n] = hash_ids(m.key_at(i).ids());
    target.prefetch(hash[n]);
    slot[n++] = i;
    if (n == kBatch) flush();
  }
  flush();
}

// Adds part into acc and empties part, keeping its table for the next step.
void sum_into(StatsMap& acc, StatsMap& part) {
  if (part.size() > acc.size()) acc.swap(part);
  acc.reserve(acc.size() + part.size());  // no growth while summing
  for_each_prefetched(part, acc, [&](const SeqKey& k, const Stat& v, uint64_t h) {
    Stat& st = *acc.find_or_insert_hashed(k.ids(), h, [] { return Stat{}; }).first;
    st.freq = sat_add_u32(st.freq, v.freq);
    st.score = sat_add_u64(st.score, v.score);
  });
  part.reset();
}

bool holds_pair(const std::vector<TokenId>& tokens, TokenId a, TokenId b) {
  for (size_t s = 0; s + 1 < tokens.size(); ++s)
    if (tokens[s] == a && tokens[s + 1] == b) return true;
  return false;
}

// What one task of a step produced from its range of candidate entries.
// Removed windows are subtracted from stats on the spot (subtract_window);
// added windows are summed into delta maps (weighted by entry freq)
// borrowed from the index's scratch. Each task splits its added windows
// into shards by hash (shard_of), so shard s of every task holds the same
// keys and the shards can be summed and applied side by side.
struct StepPart {
  StatsMap* added = nullptr;  // shards of this task's added windows
  std::vector<size_t> fallen;  // slots in stats of stored keys whose freq fell below the floor here
  std::vector<SeqKey> removed_holding_new;  // re-created token only: stored keys it lost windows of
  std::vector<uint32_t> rewritten;                                 // entries given a new sequence
  std::vector<uint32_t> still_holding;                             // entries that keep the scanned pair
  std::vector<std::pair<uint64_t, uint32_t>> new_pairs;             // pair code, entry: pairs holding the new id
};

// Takes f occurrences of one removed window (n - 1 tokens each) off its
// stored Stat, both floored at 0. Subtractions floored at 0 compose into the
// floored subtraction of their sum, so this gives what subtracting the
// step's summed removed map would. Stored keys hold exact counts, so the
// floor is a guard only. `shared`: other tasks may hit the same Stat, so
// the update is atomic (only values change while the tasks run; no slot
// moves). Returns whether this subtraction took freq from the floor or
// above to below it, which happens once per key and step, so each fallen key
// is listed by exactly one task.
bool subtract_window(Stat& st, uint32_t f, uint64_t d_score, bool shared, uint32_t floor) {
  if (!shared) {
    uint32_t old = st.freq;
    st.freq = old > f ? old - f : 0;
    st.score = st.score > d_score ? st.score - d_score : 0;
    return old >= floor && st.freq < floor;
  }
  std::atomic_ref<uint32_t> freq(st.freq);
  uint32_t old = freq.load(std::memory_order_relaxed), now;
  do {
    now = old > f ? old - f : 0;
  } while (!freq.compare_exchange_weak(old, now, std::memory_order_relaxed));
  std::atomic_ref<uint64_t> score(st.score);
  uint64_t old_score = score.load(std::memory_order_relaxed), new_score;
  do {
    new_score = old_score > d_score ? old_score - d_score : 0;
  } while (!score.compare_exchange_weak(old_score, new_score, std::memory_order_relaxed));
  return old >= floor && now < floor;
}

// Entries whose sequences are equal are combined into the one with the
// lowest index; the others are left dead (freq 0, no tokens). Sorting by
// (hash, sequence, index) makes the survivor independent of visiting order.
// `keyed` holds (hash of the entry's tokens, entry index) pairs.
void regroup(std::vector<SeqEntry>& entries, std::vector<std::pair<uint64_t, uint32_t>> keyed) {
  if (keyed.size() < 2) return;
  std::erase_if(keyed, [&](const auto& k) { return !entries[k.second].freq; });
  std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    const auto& ta = entries[a.second].tokens;
    const auto& tb = entries[b.second].tokens;
    if (ta != tb) return ta < tb;
    return a.second < b.second;
  });
  for (size_t i = 0; i < keyed.size();) {
    size_t j = i + 1;
    SeqEntry& keep = entries[keyed[i].second];
    while (j < keyed.size() && keyed[j].first == keyed[i].first && entries[keyed[j].second].tokens == keep.tokens) {
      SeqEntry& gone = entries[keyed[j].second];
      keep.freq = add_sat_u32(keep.freq, gone.freq);
      gone.freq = 0;
      std::vector<TokenId>().swap(gone.tokens);
      ++j;
    }
    i = j;
  }
}

void list_if_high(ScanPool* pool, const SeqKey& k, const Stat& s) {
  if (!pool || !pool->active || s.score < pool->floor) return;
  pool->listed.push_back(HeapEntry{s.score, k.size(), k});
  std::push_heap(pool->listed.begin(), pool->listed.end(), heap_below);
}

size_t shard_of(uint64_t h, size_t shards) { return static_cast<size_t>(((h >> 32) * shards) >> 32); }

// What applying one shard's added deltas leaves for the sequential pass.
struct ShardEdits {
  std::vector<std::tuple<const SeqKey*, uint64_t, Stat>> insert;  // key, hash, value
  std::vector<std::pair<const SeqKey*, Stat>> listed;      // keys kept or inserted, with their new value
  std::vector<HeapEntry> offers;
};

// Adds one shard's summed added windows to stats. Every added window holds
// the new token, so unless that token was already in use (`reused`) no added
// key is stored yet and the lookup is skipped: a key enters with a total at
// the floor or above and is otherwise left out (its total is then its whole
// count). A stored key (reused case) gets its total whatever its size; if it
// fell below the floor in this step it is on the
// step's list of fallen keys, which settles it after all additions, so a
// key that loses and regains occurrences in one step keeps its exact net
// count.
//
// Runs for all shards at once while nothing inserts into or erases from
// stats: a key lives in exactly one shard, so each stored value is written
// by one thread only, and the other threads' probes read control bytes and
// keys, never values. Inserts, which move slots, are left in `edits` for
// apply_edits.
void apply_added(const Trainer& trainer, StatsMap& stats, const StatsMap& added, bool reused, bool offer,
                 size_t eff, ShardEdits& edits) {
  const uint32_t floor = trainer.stats_floor;
  auto settle = [&](const SeqKey& k, const Stat& d, uint64_t h) {
    Stat now;
    if (Stat* s = reused ? stats.find_hashed(k.ids(), h) : nullptr) {
      s->freq = sat_add_u32(s->freq, d.freq);
      s->score = sat_add_u64(s->score, d.score);
      if (s->freq < floor) return;
      now = *s;
    } else {
      if (d.freq < floor) return;
      now = d;
      edits.insert.emplace_back(&k, h, now);
    }
    edits.listed.emplace_back(&k, now);
    // Offered after the addition, so keys new in this step reach the heap.
    if (offer && is_admissible(k.ids(), trainer.vocab, trainer.config, eff))
      edits.offers.push_back(HeapEntry{now.score, k.size(), k});
  };
  if (reused) {
    for_each_prefetched(added, stats, settle);
  } else {
    added.for_each([&](const SeqKey& k, const Stat& d) {
      if (d.freq >= floor) settle(k, d, hash_ids(k.ids()));
    });
  }
}

// Orders key edits of stats by home slot (the table's multiplicative hash
// before its shift), then by ids: the table is then walked front to back
// instead of at random, and the order, hence the table's layout, does not
// depend on which task produced which edit.
uint64_t home_order(uint64_t h) { return h * 0x9E3779B97F4A7C15ULL; }
bool ids_less(std::span<const TokenId> a, std::span<const TokenId> b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

// Removes the fallen keys that ended below the floor. They are buried, not
// erased: nothing moves, so the slots the tasks listed stay valid, and no
// run of the table is shifted per key (sweeping the buried slots out now
// and then costs far less).
void drop_fallen(StatsMap& stats, uint32_t floor, const std::vector<StepPart>& parts) {
  for (const StepPart& p : parts)
    for (size_t at : p.fallen)
      if (stats.value_at(at).freq < floor) stats.bury_at(at);
}

// The sequential rest of the update, shard by shard.
void apply_edits(Trainer& trainer, std::vector<ShardEdits>& edits, ScanPool* pool) {
  for (size_t s = 0; s < edits.size(); ++s) {
    ShardEdits& e = edits[s];
    std::sort(e.insert.begin(), e.insert.end(), [](const auto& a, const auto& b) {
      uint64_t ha = home_order(std::get<1>(a)), hb = home_order(std::get<1>(b));
      if (ha != hb) return ha < hb;
      return ids_less(std::get<0>(a)->ids(), std::get<0>(b)->ids());
    });
    for (const auto& [k, h, v] : e.insert) *trainer.stats.find_or_insert_hashed(k->ids(), h, [] { return Stat{}; }).first = v;
    for (const auto& [k, v] : e.listed) list_if_high(pool, *k, v);
    for (HeapEntry& he : e.offers) {
      trainer.heap.push_back(std::move(he));
      std::push_heap(trainer.heap.begin(), trainer.heap.end(), heap_below);
    }
  }
}

// When the merged text was already a token, windows holding it existed
// before this step, and a key that was below the floor (so not stored) can
// have grown past it. Every occurrence of such a key lies in an entry holding
// the token, so recounting those entries gives the exact value.
// `removed` lists the stored keys holding the token that lost windows in
// this step; `added` are the step's added shards.
void recount_reused(Trainer& trainer, const std::vector<uint32_t>& holders, TokenId id, std::span<const SeqKey> removed,
                    std::span<const StatsMap> added, ScanPool* pool) {
  StatsMap exact;
  // Room for every key up front: the added shards are visited in slot
  // order, which would pile their keys into long probe runs of a table
  // growing as they come.
  size_t most = removed.size();
  for (const StatsMap& m : added) most += m.size();
  exact.reserve(most);
  auto want = [&](const SeqKey& k, const Stat&) {
    if (std::find(k.ids().begin(), k.ids().end(), id) != k.ids().end()) exact[k.ids()];
  };
  for (const SeqKey& k : removed) exact[k.ids()];
  for (const StatsMap& m : added) m.for_each(want);
  if (exact.empty()) return;
  // Every key recounted holds the token, so only the windows over one of
  // its positions are looked up, each window once however many of the
  // token it holds.
  std::vector<size_t> at;
  for (uint32_t i : holders) {
    const SeqEntry& e = trainer.entries[i];
    if (!e.freq) continue;
    const size_t L = e.tokens.size();
    at.clear();
    for (size_t x = 0; x < L; ++x)
      if (e.tokens[x] == id) at.push_back(x);
    for (size_t n : trainer.config.n_values) {
      if (n > L) continue;
      size_t next = 0;  // first start not yet looked up
      for (size_t x : at) {
        size_t lo = std::max(x + 1 >= n ? x + 1 - n : 0, next), hi = std::min(x, L - n);
        for (size_t s = lo; s <= hi; ++s)
          if (Stat* st = exact.find(std::span<const TokenId>(e.tokens.data() + s, n))) {
            st->freq = sat_add_u32(st->freq, e.freq);
            st->score = sat_add_u64(st->score, sat_mul_u64(n - 1, e.freq));
          }
        next = std::max(next, hi + 1);
      }
    }
  }
  exact.for_each([&](const SeqKey& k, const Stat& v) {
    if (v.freq >= trainer.stats_floor) {
      trainer.stats[k.ids()] = v;
      list_if_high(pool, k, v);
    } else {
      trainer.stats.erase(k.ids());
    }
  });
}

std::vector<uint32_t> sorted_unique(std::vector<uint32_t> v) {
  // Lists are mostly still in the entry order the index was built in (the
  // big ones of the first steps always are): checking is far cheaper than
  // sorting them again.
  if (!std::is_sorted(v.begin(), v.end())) std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

}  // namespace

EntryMergeResult merge_entry(std::span<const TokenId> tokens, std::span<const TokenId> key, TokenId new_id,
                             const std::vector<size_t>& n_values) {
  EntryMergeResult r;
  auto count = [](StatsMap& m, std::span<const TokenId> w) {
    Stat& st = m[w];
    st.freq += 1;
    st.score += w.size() - 1;
  };
  bool hit = merge_windows(
      tokens, key, new_id, n_values, r.tokens, [&](std::span<const TokenId> w) { count(r.removed, w); },
      [&](std::span<const TokenId> w, size_t, size_t) { count(r.added, w); });
  if (!hit) r.tokens.assign(tokens.begin(), tokens.end());
  return r;
}

uint32_t EntryIndex::pair_list(uint64_t code) {
  const size_t owner = pair_owner(code);
  if (owner >= pair_slots.size()) pair_slots.resize(owner + 1);
  auto [slot, made] = pair_slots[owner].find_or_insert(code, [&] { return static_cast<uint32_t>(pair_lists.size()); });
  if (made) pair_lists.emplace_back();
  return *slot;
}

const SmallList* EntryIndex::find_pair(uint64_t code) const {
  const size_t owner = pair_owner(code);
  if (owner >= pair_slots.size()) return nullptr;
  const uint32_t* slot = pair_slots[owner].find(code);
  return slot ? &pair_lists[*slot] : nullptr;
}

void EntryIndex::list_pair(uint64_t code, uint32_t i) {
  SmallList& list = pair_lists[pair_list(code)];
  if (list.empty() || list.back() != i) list.push_back(i);
}

EntryIndex EntryIndex::build(const std::vector<SeqEntry>& entries, size_t vocab_size, size_t num_workers) {
  EntryIndex ix;
  TokenId top = 0;
  for (const SeqEntry& e : entries)
    for (TokenId t : e.tokens) top = std::max(top, t);
  ix.postings.resize(std::max<size_t>(vocab_size, entries.empty() ? 0 : size_t{top} + 1));
  if (entries.empty()) return ix;
  // Each task takes a contiguous range of entries. It first counts, per
  // pair and per token, the entries of its range that hold it; the counts
  // give every task its place in each list (tasks in range order, so every
  // list comes out in entry order, as one pass over all entries would make
  // it); then each task writes its entries there.
  struct Seen {
    uint32_t count = 0;
    uint32_t last = UINT32_MAX;  // the last entry that counted (then: that was written)
    uint32_t list = 0;
    uint32_t at = 0;             // where the task writes next
  };
  const size_t n_tok = ix.postings.size();
  with_pool(num_workers, [&](ThreadPool& pool) {
    std::vector<Range> ranges = split_range(entries.size(), entries.size() < 4096 ? 1 : pool.size());
    std::vector<FlatMap<uint64_t, Seen>> pairs(ranges.size());
    std::vector<std::vector<Seen>> toks(ranges.size());
    pool.parallel_for(ranges.size(), [&](size_t r) {
      FlatMap<uint64_t, Seen>& mine = pairs[r];
      std::vector<Seen>& tk = toks[r];
      tk.resize(n_tok);
      for (size_t i = ranges[r].begin; i < ranges[r].end; ++i) {
        if (!entries[i].freq) continue;
        const std::vector<TokenId>& t = entries[i].tokens;
        const uint32_t me = static_cast<uint32_t>(i);
        for (size_t s = 0; s + 1 < t.size(); ++s) {
          Seen& x = mine[pair_code(t[s], t[s + 1])];
          if (x.last != me) x.last = me, ++x.count;
        }
        for (TokenId id : t)
          if (tk[id].last != me) tk[id].last = me, ++tk[id].count;
      }
    });
    // Lists and places, in range order.
    std::vector<uint32_t> filled;  // per list: entries placed so far
    ix.pair_slots.resize(n_tok);
    for (size_t r = 0; r < ranges.size(); ++r)
      pairs[r].for_each([&](const uint64_t& code, Seen& x) {
        x.list = ix.pair_list(code);
        if (x.list >= filled.size()) filled.resize(x.list + 1, 0);
        x.at = filled[x.list];
        filled[x.list] += x.count;
        x.last = UINT32_MAX;
      });
    for (size_t l = 0; l < filled.size(); ++l) ix.pair_lists[l].resize(filled[l]);
    std::vector<uint32_t> tok_filled(n_tok, 0);
    for (size_t r = 0; r < ranges.size(); ++r)
      for (size_t id = 0; id < n_tok; ++id) {
        Seen& x = toks[r][id];
        x.at = tok_filled[id];
        tok_filled[id] += x.count;
        x.last = UINT32_MAX;
      }
    for (size_t id = 0; id < n_tok; ++id) ix.postings[id].resize(tok_filled[id]);
    // Each task writes only its own places.
    pool.parallel_for(ranges.size(), [&](size_t r) {
      FlatMap<uint64_t, Seen>& mine = pairs[r];
      std::vector<Seen>& tk = toks[r];
      for (size_t i = ranges[r].begin; i < ranges[r].end; ++i) {
        if (!entries[i].freq) continue;
        const std::vector<TokenId>& t = entries[i].tokens;
        const uint32_t me = static_cast<uint32_t>(i);
        for (size_t s = 0; s + 1 < t.size(); ++s) {
          Seen& x = *mine.find(pair_code(t[s], t[s + 1]));
          if (x.last != me) x.last = me, ix.pair_lists[x.list][x.at++] = me;
        }
        for (TokenId id : t)
          if (tk[id].last != me) tk[id].last = me, ix.postings[id][tk[id].at++] = me;
      }
    });
  });
  return ix;
}

void apply_merge(Trainer& trainer, EntryIndex& index, std::span<const TokenId> key, TokenId new_id) {
  if (key.size() < 2) return;  // the trainer's keys have two ids or more
  std::vector<SeqEntry>& entries = trainer.entries;
  auto& postings = index.postings;
  size_t need = std::max<size_t>(trainer.vocab.size(), new_id + 1);
  for (TokenId t : key) need = std::max<size_t>(need, t + 1);
  if (postings.size() < need) postings.resize(need);

  // 1. The candidates: entries listed for the key's least listed pair
  // (the first such pair on a tie).
  size_t at = 0;
  uint32_t scan_list = index.pair_list(EntryIndex::pair_code(key[0], key[1]));
  for (size_t j = 1; j + 1 < key.size(); ++j) {
    uint32_t l = index.pair_list(EntryIndex::pair_code(key[j], key[j + 1]));
    if (index.pair_lists[l].size() < index.pair_lists[scan_list].size()) scan_list = l, at = j;
  }
  const TokenId scan_a = key[at], scan_b = key[at + 1];
  const SmallList& listed = index.pair_lists[scan_list];
  std::vector<uint32_t> candidates = sorted_unique(std::vector<uint32_t>(listed.begin(), listed.end()));
  index.pair_lists[scan_list].clear();
  const bool reused = !postings[new_id].empty();

  // 2. Rewrite in parallel. Each task owns its StepPart; removed windows are
  // taken off stats as they are found (only values change, see
  // subtract_window), added shards are summed and applied after the join,
  // and none of it depends on the split.
  const std::vector<size_t>& n_values = trainer.config.n_values;
  const bool offer = trainer.config.use_heap;
  std::vector<StepPart> out;
  std::vector<ShardEdits> edits;
  size_t shards = 1;
  with_pool(trainer.config.num_workers, [&](ThreadPool& pool) {
    StatsMap& stats = trainer.stats;  // no slot moves until the join
    size_t parts = candidates.size() < 256 ? 1 : pool.size();
    std::vector<Range> ranges = split_range(candidates.size(), parts);
    out.resize(std::max<size_t>(ranges.size(), 1));
    shards = out.size();
    const bool shared = out.size() > 1;
    const uint32_t floor = trainer.stats_floor;
    // Task r's added shards at scratch[S*r ..].
    if (index.scratch.size() < shards * out.size()) index.scratch.resize(shards * out.size());
    for (size_t r = 0; r < out.size(); ++r) out[r].added = &index.scratch[shards * r];
    pool.parallel_for(ranges.size(), [&](size_t r) {
      StepPart& part = out[r];
      const size_t k = key.size();
      // Where the key occurs in the entry being gathered (old starts, left
      // to right, never overlapping) and its new sequence; the prev_*
      // buffers hold the same for the entry whose windows wait. The buffers
      // take turns, so a step allocates nothing per entry.
      std::vector<size_t> occ, prev_occ;
      std::vector<TokenId> fresh, prev_fresh;
      uint32_t prev_i = 0;
      bool pending = false;  // prev_fresh holds a sequence for entry prev_i
      // Once its windows are settled, an entry's new sequence replaces the
      // old one in place (it is never longer). The task touches only the
      // entries of its own range.
      auto write_back_prev = [&] {
        if (!pending) return;
        // Nothing before the first occurrence changed: leaving it unwritten
        // spares writing its cache lines back to memory.
        std::vector<TokenId>& tokens = entries[prev_i].tokens;
        const auto from = static_cast<ptrdiff_t>(prev_occ.front());
        std::copy(prev_fresh.begin() + from, prev_fresh.end(), tokens.begin() + from);
        tokens.resize(prev_fresh.size());
        part.rewritten.push_back(prev_i);
        pending = false;
      };
      // Built in place through the constructor: a braced temporary is
      // assembled on the stack with stores of mixed widths and then copied
      // with wide loads that cannot be forwarded from them, which stalls
      // the hottest loop of a step.
      struct Window {
        std::span<const TokenId> ids;
        uint64_t hash;
        size_t a;
        Window(std::span<const TokenId> w, uint64_t h, size_t a_) : ids(w), hash(h), a(a_) {}
      };
      // The shortest removed windows of an entry are gathered with their
      // hashes and the first probe of each prefetched; they are looked up
      // when the next entry has been gathered, so the probes have time to
      // arrive and their cache misses overlap. The spans point into the
      // entry's old tokens, which stay put until write_back_prev.
      std::vector<Window> gone, prev_gone, longer, keep;
      uint32_t prev_f = 0;
      const TokenId* prev_old = nullptr;  // old tokens of the entry whose windows wait
      size_t prev_len = 0;                // and their number
      // What is known of the removed window of length n at old start x of
      // that entry: mark[(n - n_min) * prev_len + x]. A window that was not
      // removed proves nothing, so it counts as stored. Marks are cleared
      // after each entry.
      // A type of its own rather than uint8_t: a store through an unsigned
      // char may alias anything, so the compiler would reload every
      // captured variable after each mark written.
      enum class Mark : uint8_t { kUnknown = 0, kStored = 1, kUnstored = 2 };
      using enum Mark;
      const size_t n_min = n_values.front(), n_top = n_values.back();
      std::vector<Mark> mark;
      auto mark_of = [&](size_t n, size_t x) -> Mark& { return mark[(n - n_min) * prev_len + x]; };
      auto stored = [&](size_t m, size_t x) { return mark_of(m, x) != kUnstored; };
      // With several tasks, removals are held back a while in a small
      // table by slot and summed there: the keys of a frequent merge's
      // context (the same few windows over and over) would otherwise have
      // their Stat written by both threads in turn, and the cache line
      // would bounce between cores on every window. Held-back sums are
      // subtracted when evicted and at the task's end; a floored
      // subtraction of a sum equals the floored subtractions one by one.
      struct Held {
        size_t at = StatsMap::npos;
        uint32_t f = 0;
        uint64_t score = 0;
      };
      constexpr size_t kHeldBits = 10;
      std::vector<Held> held(shared ? size_t{1} << kHeldBits : 0);
      auto settle = [&](const Held& h) {
        if (subtract_window(stats.value_at(h.at), h.f, h.score, shared, floor)) part.fallen.push_back(h.at);
      };
      auto take = [&](size_t at, uint32_t f, uint64_t score) {
        if (!shared) return settle(Held{at, f, score});
        Held& h = held[static_cast<size_t>((at * 0x9E3779B97F4A7C15ULL) >> (64 - kHeldBits))];
        if (h.at == at) {
          h.f = sat_add_u32(h.f, f);
          h.score = sat_add_u64(h.score, score);
          return;
        }
        if (h.at != StatsMap::npos) settle(h);
        h = Held{at, f, score};
      };
      auto look_up = [&](const Window& w) {
        const size_t n = w.ids.size();
        size_t at = stats.find_index_hashed(w.ids, w.hash);
        Mark& m = mark_of(n, w.a);
        m = at == StatsMap::npos ? kUnstored : kStored;
        if (m == kUnstored) return;
        take(at, prev_f, sat_mul_u64(n - 1, prev_f));
        if (reused && std::find(w.ids.begin(), w.ids.end(), new_id) != w.ids.end())
          part.removed_holding_new.emplace_back(w.ids);
      };
      // Removed windows, one length at a time (n_values is ascending and
      // unbroken, as make_n_values builds it). A window one of whose
      // windows one shorter is not stored has a smaller count, so it is not
      // stored either: it is marked so without being built or looked up,
      // which with a high floor spares most of the longer ones. The
      // shortest were hashed and prefetched when gathered; the others are
      // built, hashed and prefetched here, a length at a time, before their
      // lookups.
      auto take_removed = [&] {
        if (mark.size() < (n_top - n_min + 1) * prev_len) mark.resize((n_top - n_min + 1) * prev_len);
        for (const Window& w : prev_gone) look_up(w);
        for (size_t n = n_min + 1; n <= n_top; ++n) {
          longer.clear();
          for_window_starts(prev_occ, k, n, prev_len, [&](size_t s) {
            if (mark_of(n - 1, s) == kUnstored || mark_of(n - 1, s + 1) == kUnstored) {
              mark_of(n, s) = kUnstored;
              return;
            }
            std::span<const TokenId> ids(prev_old + s, n);
            const uint64_t h = hash_ids(ids);
            stats.prefetch(h);
            longer.emplace_back(ids, h, s);
          });
          for (const Window& w : longer) look_up(w);
        }
      };
      // Added windows: those of the new sequence that hold an occurrence of
      // the new token, each with the span [a, b] of the old sequence it was
      // made from. Unless the token was in use before (`reused`), every
      // occurrence of such a window expands back to an occurrence of that
      // span, so a window whose span holds a removed window whose key is
      // not stored occurs fewer times than the floor: its step total stays
      // below the floor and never enters stats, and it is left out. Checked
      // are the longest windows at both ends of the span (both touch an
      // occurrence of the key, so they were settled above), and, one length
      // down, the added windows inside: a window holding a left-out one
      // occurs no more often than it does.
      const bool prune = !reused;
      std::vector<size_t> q;  // where the occurrences landed in the new sequence
      enum class Out : uint8_t { kKept = 0, kLeftOut = 1 };  // not uint8_t, as Mark
      std::vector<Out> left_out;  // (n - n_min) * new length + start
      auto take_added = [&] {
        const size_t L2 = prev_fresh.size();
        landed(prev_occ, k, q);
        if (prune && left_out.size() < (n_top - n_min + 1) * L2) left_out.resize((n_top - n_min + 1) * L2);
        auto out_of = [&](size_t n, size_t s) -> Out& { return left_out[(n - n_min) * L2 + s]; };
        keep.clear();
        for (size_t n : n_values) {
          size_t before = 0, upto = 0;  // occurrences with q < s, with q <= s + n - 1
          for_window_starts(q, 1, n, L2, [&](size_t s) {
            while (before < q.size() && q[before] < s) ++before;
            while (upto < q.size() && q[upto] <= s + n - 1) ++upto;
            const size_t a = s + before * (k - 1), b = s + n - 1 + upto * (k - 1);
            if (prune) {
              const size_t m = std::min(n_top, b - a + 1);
              if ((n > n_min && (out_of(n - 1, s) == Out::kLeftOut || out_of(n - 1, s + 1) == Out::kLeftOut)) ||
                  !stored(m, a) || !stored(m, b + 1 - m)) {
                out_of(n, s) = Out::kLeftOut;
                return;
              }
            }
            std::span<const TokenId> ids(prev_fresh.data() + s, n);
            const uint64_t h = hash_ids(ids);
            part.added[shard_of(h, shards)].prefetch(h);
            keep.emplace_back(ids, h, s);
          });
        }
        for (const Window& w : keep) add_weighted(part.added[shard_of(w.hash, shards)], w.ids, w.hash, prev_f);
        if (prune)
          for (size_t n : n_values) for_window_starts(q, 1, n, L2, [&](size_t s) { out_of(n, s) = Out::kKept; });
      };
      auto flush_prev = [&] {
        if (prev_occ.empty()) return;
        take_removed();
        take_added();
        for (size_t n : n_values) for_window_starts(prev_occ, k, n, prev_len, [&](size_t s) { mark_of(n, s) = kUnknown; });
      };
      constexpr size_t kAhead = 8;  // entries whose memory is requested ahead
      for (size_t c = ranges[r].begin; c < ranges[r].end; ++c) {
        if (c + 2 * kAhead < ranges[r].end) __builtin_prefetch(&entries[candidates[c + 2 * kAhead]]);
        if (c + kAhead < ranges[r].end) __builtin_prefetch(entries[candidates[c + kAhead]].tokens.data());
        uint32_t i = candidates[c];
        const SeqEntry& e = entries[i];
        if (!e.freq) continue;
        const TokenId* t = e.tokens.data();
        const size_t L = e.tokens.size();
        find_occurrences(t, L, key, occ);
        gone.clear();
        if (!occ.empty()) {
          rewrite(t, L, occ, k, new_id, fresh);
          for_window_starts(occ, k, n_min, L, [&](size_t s) {
            std::span<const TokenId> ids(t + s, n_min);
            const uint64_t h = hash_ids(ids);
            stats.prefetch(h);
            gone.emplace_back(ids, h, s);
          });
        }
        flush_prev();
        write_back_prev();
        prev_gone.swap(gone);
        prev_occ.swap(occ);
        prev_f = e.freq;
        prev_old = t;
        prev_len = L;
        if (!prev_occ.empty()) {
          // The pairs that hold the new token sit next to where it landed,
          // each listed once, left to right.
          const size_t L2 = fresh.size();
          size_t listed_to = 0;  // pairs starting below this are listed
          for (size_t j = 0; j < prev_occ.size(); ++j) {
            const size_t at = prev_occ[j] - j * (k - 1);
            for (size_t s = at ? at - 1 : 0; s <= at && s + 1 < L2; ++s)
              if (s >= listed_to) {
                part.new_pairs.emplace_back(EntryIndex::pair_code(fresh[s], fresh[s + 1]), i);
                listed_to = s + 1;
              }
          }
          // A two-id key leaves no pair of it behind: two such ids side by
          // side outside an occurrence would have been taken by the
          // left-to-right search (which, finding nothing, also showed that
          // the pair is gone; see below). Longer keys can leave their
          // scanned pair.
          if (k > 2 && holds_pair(fresh, scan_a, scan_b)) part.still_holding.push_back(i);
          prev_fresh.swap(fresh);  // the buffer, and the spans into it, stay put
          prev_i = i;
          pending = true;
        } else if (k > 2 && holds_pair(e.tokens, scan_a, scan_b)) {  // a two-id key is its scanned pair
          part.still_holding.push_back(i);
        }
      }
      flush_prev();
      write_back_prev();
      for (const Held& h : held)
        if (h.at != StatsMap::npos) settle(h);
    });

    // Shard s of every task into task 0's shard s, then the shard's added
    // deltas into stats, each shard on its own thread (see apply_added for
    // why the writes do not collide).
    const size_t eff = offer ? effective_vocab_size(trainer.vocab) : 0;
    edits.resize(shards);
    pool.parallel_for(shards, [&](size_t sh) {
      for (size_t r = 1; r < out.size(); ++r) sum_into(out[0].added[sh], out[r].added[sh]);
      apply_added(trainer, trainer.stats, out[0].added[sh], reused, offer, eff, edits[sh]);
    });
  });
  drop_fallen(trainer.stats, trainer.stats_floor, out);
  apply_edits(trainer, edits, index.scan_pool);
  std::vector<ShardEdits>().swap(edits);  // holds pointers into the scratch maps

  StepPart& total = out[0];
  for (size_t r = 0; r < out.size(); ++r) {
    if (r) total.rewritten.insert(total.rewritten.end(), out[r].rewritten.begin(), out[r].rewritten.end());
    index.pair_lists[scan_list].append(out[r].still_holding.begin(), out[r].still_holding.end());
  }
  // Tasks hold contiguous ranges of the sorted candidates, so this is
  // candidate order whatever the split.
  for (StepPart& p : out)
    for (auto [code, i] : p.new_pairs) index.list_pair(code, i);

  // 3. List the rewritten entries under the new token.
  postings[new_id].insert(postings[new_id].end(), total.rewritten.begin(), total.rewritten.end());

  // 4. Regroup. With a brand-new token nothing can have become equal: no
  // entry held the token, so expanding each occurrence of it back into the
  // key undoes the rewrite, and distinct entries (they are kept distinct)
  // stay distinct. A re-created token can make an entry equal to one that
  // already held it.
  if (reused) {
    std::vector<uint32_t> holding = sorted_unique(std::move(postings[new_id]));
    std::erase_if(holding, [&](uint32_t i) {
      return !entries[i].freq || std::find(entries[i].tokens.begin(), entries[i].tokens.end(), new_id) ==
                                     entries[i].tokens.end();
    });
    postings[new_id] = std::move(holding);
    std::vector<std::pair<uint64_t, uint32_t>> keyed;
    keyed.reserve(postings[new_id].size());
    for (uint32_t i : postings[new_id]) keyed.emplace_back(hash_ids(entries[i].tokens), i);
    regroup(entries, std::move(keyed));
  }

  // 5. Re-created tokens: the keys the deltas cannot settle alone.
  if (reused) {
    std::vector<SeqKey> removed_holding;
    for (StepPart& p : out)
      for (SeqKey& k : p.removed_holding_new) removed_holding.push_back(std::move(k));
    std::sort(removed_holding.begin(), removed_holding.end(),
              [](const SeqKey& a, const SeqKey& b) { return ids_less(a.ids(), b.ids()); });
    removed_holding.erase(std::unique(removed_holding.begin(), removed_holding.end()), removed_holding.end());
    recount_reused(trainer, postings[new_id], new_id, removed_holding, {total.added, shards}, index.scan_pool);
    if (offer) {
      const size_t eff = effective_vocab_size(trainer.vocab);
      auto offer_holding = [&](const SeqKey& k, const Stat&) {
        if (std::find(k.ids().begin(), k.ids().end(), new_id) != k.ids().end()) push_candidate(trainer, k.ids(), eff);
      };
      for (size_t sh = 0; sh < shards; ++sh) total.added[sh].for_each(offer_holding);
      for (const SeqKey& k : removed_holding) offer_holding(k, Stat{});
    }
  }
  for (StatsMap& m : index.scratch) m.reset();
}

void apply_merge(Trainer& trainer, std::span<const TokenId> key, TokenId new_id) {
  EntryIndex index = EntryIndex::build(trainer.entries, trainer.vocab.size(), trainer.config.num_workers);
  apply_merge(trainer, index, key, new_id);
  compact_entries(trainer.entries);
}

void lay_out_in_order(std::vector<SeqEntry>& entries) {
  // Every copy is made before any old sequence is freed, so the allocator
  // hands out fresh memory one block after the other instead of refilling
  // the holes the old ones leave.
  std::vector<std::vector<TokenId>> fresh(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) fresh[i].assign(entries[i].tokens.begin(), entries[i].tokens.end());
  for (size_t i = 0; i < entries.size(); ++i) entries[i].tokens.swap(fresh[i]);
}

void compact_entries(std::vector<SeqEntry>& entries) {
  entries.erase(std::remove_if(entries.begin(), entries.end(), [](const SeqEntry& e) { return e.freq == 0; }),
                entries.end());
}

}  // namespace tarvex
