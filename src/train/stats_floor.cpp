// The floored count: the keys of freq >= floor and only those.
//
// A window can only reach the floor if both of its windows one shorter do,
// so the count climbs one length at a time from pairs: a window of length n
// is counted only where two kept windows of length n - 1 sit side by side.
// Kept windows of each length get dense ids, so a window of length n is
// named exactly by one 64-bit code, (id of its first n - 1 ids, last id);
// pairs are (first id, second id). Counting codes in tables of 16-byte
// slots instead of whole keys in 56-byte slots is what makes a recount of
// a corpus cheap enough to lower the floor step by step.
#include <algorithm>

#include "train/stats.hpp"
#include "util/big_array.hpp"
#include "util/thread_pool.hpp"

namespace tarvex {

namespace {

constexpr uint64_t kEmpty = UINT64_MAX;  // no code: an id of UINT32_MAX is never kept
constexpr uint32_t kNone = UINT32_MAX;   // position without a kept window

// Open addressing over codes with linear probing; kEmpty marks a free slot.
// `value` is an occurrence count while counting, an id in the tables of
// kept codes.
class CodeTable {
 public:
  struct Slot {
    uint64_t code;
    uint64_t value;
  };

  size_t size() const { return size_; }
  size_t capacity() const { return mask_ ? mask_ + 1 : 0; }
  const Slot& slot(size_t i) const { return slots_[i]; }

  void reserve(size_t n) {
    size_t need = 16;
    while (need < 2 * n) need <<= 1;  // at most half full
    if (need > capacity()) rehash(need);
  }

  void prefetch(uint64_t h) const {
    if (mask_) __builtin_prefetch(&slots_[home(h)]);
  }

  void add(uint64_t code, uint64_t h, uint64_t w) {
    if (2 * (size_ + 1) > capacity()) rehash(capacity() ? 2 * capacity() : 64);
    for (size_t i = home(h);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.code == code) {
        s.value += w;
        return;
      }
      if (s.code == kEmpty) {
        s = Slot{code, w};
        ++size_;
        return;
      }
    }
  }

  const Slot* find(uint64_t code, uint64_t h) const {
    if (!mask_) return nullptr;
    for (size_t i = home(h);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.code == code) return &s;
      if (s.code == kEmpty) return nullptr;
    }
  }

  // Adds every pair of o into this table and frees o.
  void absorb(CodeTable& o) {
    if (o.size_ > size_) std::swap(*this, o);
    reserve(size_ + o.size_);
    for (size_t i = 0; i < o.capacity(); ++i)
      if (o.slots_[i].code != kEmpty) add(o.slots_[i].code, hash(o.slots_[i].code), o.slots_[i].value);
    o = CodeTable();
  }

  static uint64_t hash(uint64_t code) { return mix64(code); }

 private:
  size_t home(uint64_t h) const { return static_cast<size_t>(h & mask_); }

  void rehash(size_t cap) {
    BigArray<Slot> old = std::move(slots_);
    const size_t old_cap = capacity();
    slots_ = BigArray<Slot>(cap, Slot{kEmpty, 0});
    mask_ = cap - 1;
    for (size_t i = 0; i < old_cap; ++i)
      if (old[i].code != kEmpty)
        for (size_t j = home(hash(old[i].code));; j = (j + 1) & mask_)
          if (slots_[j].code == kEmpty) {
            slots_[j] = old[i];
            break;
          }
  }

  BigArray<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

// The shard of a hash: its top bits, so that shards in order are in hash
// order, whatever their number.
size_t shard_of(uint64_t h, unsigned shard_bits) { return shard_bits ? static_cast<size_t>(h >> (64 - shard_bits)) : 0; }

// The kept windows of one length, in (hash, code) order: an order of the
// keys themselves, so ids do not depend on the number of threads or shards.
struct Level {
  size_t n = 0;
  std::vector<uint64_t> code;   // id -> code
  std::vector<uint64_t> count;  // id -> occurrences
  std::vector<CodeTable> find;  // per shard: code -> id (only while a longer length is counted)
};

// The ids of the window with id `id` of length n: those of its first n - 1
// ids' window (by id, one length down), then its last.
void key_ids(const std::vector<Level>& levels, size_t n, uint64_t id, TokenId* ids) {
  uint64_t c = levels[n - 2].code[id];
  for (; n > 2; --n) {
    ids[n - 1] = static_cast<TokenId>(c);
    c = levels[n - 3].code[c >> 32];
  }
  ids[0] = static_cast<TokenId>(c >> 32);
  ids[1] = static_cast<TokenId>(c);
}

// Puts the kept keys (count not 0) of the wanted lengths into out. They go
// in by the top bits of their home slots (the table's multiplicative hash),
// so the table fills front to back instead of at random; keys that share
// those bits keep (length, id) order, so the layout is the same for every
// number of threads.
template <typename Wanted>
void emit(const std::vector<Level>& levels, Wanted&& wanted, size_t n_top, ThreadPool& pool, StatsMap& out) {
  struct Key {
    uint32_t level, id;
    uint64_t hash;
  };
  std::vector<Key> keys;
  for (size_t l = 0; l < levels.size(); ++l)
    if (wanted(levels[l].n))
      for (size_t id = 0; id < levels[l].code.size(); ++id)
        if (levels[l].count[id]) keys.push_back(Key{static_cast<uint32_t>(l), static_cast<uint32_t>(id), 0});
  if (keys.empty()) return;
  std::vector<Range> ranges = split_range(keys.size(), pool.size() * 4);
  pool.parallel_for(ranges.size(), [&](size_t r) {
    std::vector<TokenId> ids(n_top);
    for (size_t k = ranges[r].begin; k < ranges[r].end; ++k) {
      const size_t n = levels[keys[k].level].n;
      key_ids(levels, n, keys[k].id, ids.data());
      keys[k].hash = hash_ids(std::span<const TokenId>(ids.data(), n));
    }
  });
  constexpr unsigned kBits = 16;
  auto bucket = [](uint64_t h) { return static_cast<size_t>((h * 0x9E3779B97F4A7C15ULL) >> (64 - kBits)); };
  std::vector<size_t> start((size_t{1} << kBits) + 1, 0);
  for (const Key& k : keys) ++start[bucket(k.hash) + 1];
  for (size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
  std::vector<Key> sorted(keys.size());
  for (const Key& k : keys) sorted[start[bucket(k.hash)]++] = k;
  std::vector<Key>().swap(keys);
  out.reserve(sorted.size());
  std::vector<TokenId> ids(n_top);
  for (const Key& k : sorted) {
    const Level& lv = levels[k.level];
    key_ids(levels, lv.n, k.id, ids.data());
    const uint64_t count = lv.count[k.id];
    out.find_or_insert_hashed(std::span<const TokenId>(ids.data(), lv.n), k.hash, [&] {
      return Stat{static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX)), sat_mul_u64(lv.n - 1, count)};
    });
  }
}

}  // namespace

StatsMap count_stats_floor(const std::vector<SeqEntry>& entries, const std::vector<size_t>& n_values,
                           size_t num_workers, uint32_t floor, size_t* distinct_keys,
                           const std::function<uint32_t(uint64_t)>& keep_from) {
  StatsMap out;
  if (distinct_keys) *distinct_keys = 0;
  if (n_values.empty() || entries.empty()) return out;
  const size_t n_top = *std::max_element(n_values.begin(), n_values.end());
  auto wanted = [&](size_t n) { return std::find(n_values.begin(), n_values.end(), n) != n_values.end(); };

  // Positions of the live entries, end to end: entry i starts at at[i].
  std::vector<size_t> at(entries.size() + 1, 0);
  for (size_t i = 0; i < entries.size(); ++i) at[i + 1] = at[i] + (entries[i].freq ? entries[i].tokens.size() : 0);

  // prev[at[i] + s]: the id of the kept window two lengths below the one
  // being counted at start s of entry i, or kNone; cur receives those one
  // length below, for the next length.
  std::vector<uint32_t> prev, cur;
  std::vector<Level> levels;
  size_t distinct = 0;

  // The floor of the result (keep_from), then the keys at or above it.
  auto keep_and_emit = [&](ThreadPool& pool) {
    if (keep_from) {
      uint64_t best = 0;
      for (const Level& lv : levels)
        if (wanted(lv.n))
          for (uint64_t c : lv.count) best = std::max(best, sat_mul_u64(lv.n - 1, c));
      const uint32_t keep = std::max(floor, keep_from(best));
      if (keep > floor)
        for (Level& lv : levels) {
          if (!wanted(lv.n)) continue;
          // Ids stay put (longer windows name shorter ones by id), so the
          // keys left out are marked, not removed.
          for (uint64_t& c : lv.count)
            if (c < keep) c = 0;
        }
    }
    emit(levels, wanted, n_top, pool, out);
  };

  with_pool(num_workers, [&](ThreadPool& pool) {
    const size_t tasks = pool.size();
    unsigned shard_bits = 0;
    while (tasks > 1 && (size_t{1} << shard_bits) < 4 * tasks) ++shard_bits;
    const size_t shards = size_t{1} << shard_bits;
    // Ranges of entries of about equal numbers of positions.
    std::vector<size_t> cut(tasks + 1, entries.size());
    cut[0] = 0;
    for (size_t t = 1; t < tasks; ++t)
      cut[t] = static_cast<size_t>(std::lower_bound(at.begin(), at.end(), at.back() / tasks * t) - at.begin());
    for (size_t t = 1; t <= tasks; ++t) cut[t] = std::max(cut[t], cut[t - 1]);

    // Occurrences per token id: a pair reaches the floor only if each of
    // its ids does.
    std::vector<std::vector<uint64_t>> task_uses(tasks);
    pool.parallel_for(tasks, [&](size_t t) {
      std::vector<uint64_t>& u = task_uses[t];
      for (size_t i = cut[t]; i < cut[t + 1]; ++i)
        for (TokenId id : entries[i].tokens) {
          if (id >= u.size()) u.resize(std::max<size_t>(id + 1, 2 * u.size()), 0);
          u[id] += entries[i].freq;
        }
    });
    std::vector<uint64_t> uses = std::move(task_uses[0]);
    for (size_t t = 1; t < tasks; ++t) {
      if (task_uses[t].size() > uses.size()) uses.resize(task_uses[t].size(), 0);
      for (size_t id = 0; id < task_uses[t].size(); ++id) uses[id] += task_uses[t][id];
    }

    // Whether an entry had a window to count at the last length: one that
    // had none cannot have two kept windows side by side, so it is passed
    // over whole at every longer length. With a high floor that spares
    // most of the corpus.
    std::vector<uint8_t> active(entries.size(), 1);

    // One pass over the entries per length n. For n > 2 it first names the
    // kept windows of length n - 1 (their ids go to cur while a longer
    // length follows), then counts the windows of length n where two of
    // them sit side by side. Each task counts into shard tables of its own.
    for (size_t n = 2; n <= n_top; ++n) {
      const bool name_below = n > 2;
      const bool keep_below = name_below && n < n_top;
      if (keep_below) cur.resize(at.back());
      const Level* below = name_below ? &levels.back() : nullptr;
      std::vector<std::vector<CodeTable>> part(tasks);
      for (auto& p : part) p.resize(shards);
      std::vector<size_t> skipped(tasks, 0);
      pool.parallel_for(tasks, [&](size_t t) {
        CodeTable* mine = part[t].data();
        constexpr size_t kBatch = 16;
        uint64_t code[kBatch], hash[kBatch], weight[kBatch];
        size_t k = 0;
        auto flush = [&] {
          for (size_t j = 0; j < k; ++j) mine[shard_of(hash[j], shard_bits)].add(code[j], hash[j], weight[j]);
          k = 0;
        };
        auto count = [&](uint64_t c, uint64_t f) {
          code[k] = c;
          hash[k] = CodeTable::hash(c);
          weight[k] = f;
          mine[shard_of(hash[k], shard_bits)].prefetch(hash[k]);
          if (++k == kBatch) flush();
        };
        // The codes of one entry's windows of length n - 1 and their ids.
        std::vector<uint64_t> bcode, bhash;
        std::vector<uint32_t> bid;
        const uint64_t* u = uses.data();
        size_t passed = 0;
        for (size_t i = cut[t]; i < cut[t + 1]; ++i) {
          const SeqEntry& e = entries[i];
          const size_t L = e.tokens.size();
          if (!e.freq || L < n) continue;
          if (!active[i]) {
            passed += L - n + 1;
            continue;
          }
          const TokenId* tok = e.tokens.data();
          const uint64_t f = e.freq;
          const size_t passed_before = passed;
          if (!name_below) {
            for (size_t s = 0; s + 2 <= L; ++s) {
              if (u[tok[s]] < floor || u[tok[s + 1]] < floor) {
                ++passed;
                continue;
              }
              count(static_cast<uint64_t>(tok[s]) << 32 | tok[s + 1], f);
            }
            active[i] = passed - passed_before < L - 1;
            continue;
          }
          // Windows of length n - 1: starts 0 .. L - n + 1.
          const size_t m = n - 1, starts = L - m + 1;
          bcode.resize(starts);
          bhash.resize(starts);
          bid.resize(starts);
          const uint32_t* p = m > 2 ? prev.data() + at[i] : nullptr;
          for (size_t s = 0; s < starts; ++s) {
            uint64_t c = kEmpty;
            if (m == 2) {
              if (u[tok[s]] >= floor && u[tok[s + 1]] >= floor) c = static_cast<uint64_t>(tok[s]) << 32 | tok[s + 1];
            } else if (p[s] != kNone && p[s + 1] != kNone) {
              c = static_cast<uint64_t>(p[s]) << 32 | tok[s + m - 1];
            }
            bcode[s] = c;
            if (c != kEmpty) {
              bhash[s] = CodeTable::hash(c);
              below->find[shard_of(bhash[s], shard_bits)].prefetch(bhash[s]);
            }
          }
          for (size_t s = 0; s < starts; ++s) {
            bid[s] = kNone;
            if (bcode[s] == kEmpty) continue;
            if (const CodeTable::Slot* hit = below->find[shard_of(bhash[s], shard_bits)].find(bcode[s], bhash[s]))
              bid[s] = static_cast<uint32_t>(hit->value);
          }
          if (keep_below) std::copy(bid.begin(), bid.end(), cur.begin() + static_cast<ptrdiff_t>(at[i]));
          for (size_t s = 0; s + 1 < starts; ++s) {
            if (bid[s] == kNone || bid[s + 1] == kNone) {
              ++passed;
              continue;
            }
            count(static_cast<uint64_t>(bid[s]) << 32 | tok[s + n - 1], f);
          }
          active[i] = passed - passed_before < starts - 1;
        }
        flush();
        skipped[t] = passed;
      });
      if (keep_below) prev.swap(cur);
      if (name_below) std::vector<CodeTable>().swap(levels.back().find);

      // Per shard: sum the tasks' tables, keep the codes at the floor in
      // (hash, code) order.
      struct Kept {
        uint64_t hash, code, count;
      };
      std::vector<std::vector<Kept>> kept(shards);
      std::vector<size_t> counted(shards, 0);
      pool.parallel_for(shards, [&](size_t sh) {
        CodeTable sum;
        for (size_t t = 0; t < tasks; ++t) sum.absorb(part[t][sh]);
        counted[sh] = sum.size();
        for (size_t i = 0; i < sum.capacity(); ++i) {
          const CodeTable::Slot& s = sum.slot(i);
          if (s.code != kEmpty && s.value >= floor) kept[sh].push_back(Kept{CodeTable::hash(s.code), s.code, s.value});
        }
        std::sort(kept[sh].begin(), kept[sh].end(), [](const Kept& a, const Kept& b) {
          return a.hash != b.hash ? a.hash < b.hash : a.code < b.code;
        });
      });
      part.clear();

      Level lv;
      lv.n = n;
      std::vector<size_t> base(shards + 1, 0);
      for (size_t sh = 0; sh < shards; ++sh) base[sh + 1] = base[sh] + kept[sh].size();
      lv.code.resize(base[shards]);
      lv.count.resize(base[shards]);
      const bool longer = n < n_top && base[shards] > 0;
      if (longer) lv.find.resize(shards);
      pool.parallel_for(shards, [&](size_t sh) {
        if (longer) lv.find[sh].reserve(kept[sh].size());
        for (size_t j = 0; j < kept[sh].size(); ++j) {
          const size_t id = base[sh] + j;
          const Kept& k = kept[sh][j];
          lv.code[id] = k.code;
          lv.count[id] = k.count;
          if (longer) lv.find[sh].add(k.code, k.hash, id);
        }
        std::vector<Kept>().swap(kept[sh]);
      });
      if (wanted(n)) {
        // With floor 2 (or less) a window passed over holds a token or a
        // shorter window seen once, so it is seen once itself: a key of
        // its own.
        for (size_t sh = 0; sh < shards; ++sh) distinct += counted[sh];
        for (size_t t = 0; t < tasks; ++t) distinct += skipped[t];
      }
      levels.push_back(std::move(lv));
      if (!longer) {
        // Nothing longer can reach the floor. With floor 2 every longer
        // window is then seen once: a key of its own.
        for (size_t m = n + 1; m <= n_top; ++m)
          if (wanted(m))
            for (const SeqEntry& e : entries)
              if (e.freq && e.tokens.size() >= m) distinct += e.tokens.size() - m + 1;
        break;
      }
    }
    std::vector<uint32_t>().swap(prev);
    std::vector<uint32_t>().swap(cur);
    keep_and_emit(pool);
  });
  if (distinct_keys && floor <= 2) *distinct_keys = distinct;
  return out;
}

}  // namespace tarvex
