#include "train/stats.hpp"

#include <algorithm>
#include <chrono>

#include "log/logger.hpp"
#include "train/heap.hpp"
#include "train/trainer.hpp"

namespace tarvex {

namespace {

// Adds every window of length n of one entry into m.
void count_entry(const SeqEntry& e, size_t n, StatsMap& m) {
  const size_t len = e.tokens.size();
  if (e.freq == 0 || len < n) return;
  const uint64_t score = static_cast<uint64_t>(n - 1) * e.freq;
  for (size_t s = 0; s + n <= len; ++s) {
    Stat& st = m[std::span<const TokenId>(e.tokens.data() + s, n)];
    st.freq = sat_add_u32(st.freq, e.freq);
    st.score = sat_add_u64(st.score, score);
  }
}

void add_into(StatsMap& acc, StatsMap& part) {
  if (acc.empty()) {
    acc.swap(part);
    return;
  }
  if (part.size() > acc.size()) acc.swap(part);  // fold the smaller map into the larger
  // Room for every key up front: inserting one map's keys in its slot
  // order into a smaller table of the same hash piles them into long
  // probe runs.
  acc.reserve(acc.size() + part.size());
  part.drain([&](SeqKey&& k, Stat&& v) {
    auto [st, inserted] = acc.find_or_insert(k.ids(), [] { return Stat{}; });
    st->freq = sat_add_u32(st->freq, v.freq);
    st->score = sat_add_u64(st->score, v.score);
    (void)inserted;
  });
}

// Counts the lengths in `lengths` over all entries on `pool`. Each task owns
// its map; maps are added together in range order after the join, and the
// sum does not depend on the split.
StatsMap count_lengths(ThreadPool& pool, const std::vector<SeqEntry>& entries, const std::vector<size_t>& lengths) {
  size_t parts = pool.size() > 1 ? pool.size() * 2 : 1;
  return map_reduce<StatsMap>(
      pool, entries.size(), parts,
      [&](size_t b, size_t e) {
        StatsMap m;
        for (size_t i = b; i < e; ++i)
          for (size_t n : lengths) count_entry(entries[i], n, m);
        return m;
      },
      [](StatsMap& acc, StatsMap& part) { add_into(acc, part); });
}

}  // namespace

std::string format_list(const std::vector<size_t>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(values[i]);
  }
  return out + "]";
}

StatsMap count_stats(const std::vector<SeqEntry>& entries, const std::vector<size_t>& n_values,
                     size_t num_workers) {
  StatsMap out;
  with_pool(num_workers, [&](ThreadPool& pool) { out = count_lengths(pool, entries, n_values); });
  return out;
}

StatsMap count_stats_floor(const std::vector<SeqEntry>& entries, const std::vector<size_t>& n_values,
                           size_t num_workers, uint32_t floor, size_t* distinct_keys) {
  StatsMap out;
  size_t distinct = 0;
  if (distinct_keys) *distinct_keys = 0;
  if (n_values.empty() || entries.empty()) return out;
  // reach[at[i] + s]: the longest length counted so far whose window at
  // start s of entry i is kept (0: none).
  std::vector<size_t> at(entries.size() + 1, 0);
  for (size_t i = 0; i < entries.size(); ++i) at[i + 1] = at[i] + (entries[i].freq ? entries[i].tokens.size() : 0);
  std::vector<uint8_t> reach(at.back(), 0);
  // Occurrences per token id, for the shortest length.
  TokenId top = 0;
  for (const SeqEntry& e : entries)
    for (TokenId t : e.tokens) top = std::max(top, t);
  std::vector<uint64_t> uses(static_cast<size_t>(top) + 1, 0);
  for (const SeqEntry& e : entries)
    for (TokenId t : e.tokens) uses[t] += e.freq;

  with_pool(num_workers, [&](ThreadPool& pool) {
    const size_t parts = pool.size() > 1 ? pool.size() * 2 : 1;
    for (size_t li = 0; li < n_values.size(); ++li) {
      const size_t n = n_values[li];
      const bool chained = li > 0 && n_values[li - 1] + 1 == n;
      // Whether the window of length n at start s of entry i can reach the floor.
      auto candidate = [&](size_t i, size_t s) {
        const SeqEntry& e = entries[i];
        if (!chained) {
          for (size_t x = s; x < s + n; ++x)
            if (uses[e.tokens[x]] < floor) return false;
          return true;
        }
        const uint8_t* r = reach.data() + at[i] + s;
        return r[0] >= n - 1 && r[1] >= n - 1;
      };
      // Each task's map, and the windows it passed over.
      struct Part {
        StatsMap m;
        size_t skipped = 0;
      };
      Part counted = map_reduce<Part>(
          pool, entries.size(), parts,
          [&](size_t b, size_t end) {
            Part p;
            for (size_t i = b; i < end; ++i) {
              const SeqEntry& e = entries[i];
              if (!e.freq || e.tokens.size() < n) continue;
              const uint64_t score = static_cast<uint64_t>(n - 1) * e.freq;
              for (size_t s = 0; s + n <= e.tokens.size(); ++s) {
                if (!candidate(i, s)) {
                  ++p.skipped;
                  continue;
                }
                Stat& st = p.m[std::span<const TokenId>(e.tokens.data() + s, n)];
                st.freq = sat_add_u32(st.freq, e.freq);
                st.score = sat_add_u64(st.score, score);
              }
            }
            return p;
          },
          [](Part& acc, Part& part) {
            add_into(acc.m, part.m);
            acc.skipped += part.skipped;
          });
      // With floor 2 a window passed over holds a token or a shorter window
      // seen once in the corpus, so it is seen once itself: a key of its own.
      distinct += counted.m.size() + counted.skipped;
      size_t kept = 0;
      counted.m.for_each([&](const SeqKey&, const Stat& v) { kept += v.freq >= floor; });
      out.reserve(out.size() + kept);  // see add_into
      counted.m.drain([&](SeqKey&& k, Stat&& v) {
        if (v.freq >= floor) out.find_or_insert(k.ids(), [&] { return v; });
      });
      if (li + 1 == n_values.size()) break;
      // Mark the kept windows of this length for the next one. Each task
      // writes the marks of its own entries only.
      std::vector<Range> ranges = split_range(entries.size(), parts);
      pool.parallel_for(ranges.size(), [&](size_t r) {
        for (size_t i = ranges[r].begin; i < ranges[r].end; ++i) {
          const SeqEntry& e = entries[i];
          if (!e.freq || e.tokens.size() < n) continue;
          for (size_t s = 0; s + n <= e.tokens.size(); ++s)
            if (candidate(i, s) && out.contains(std::span<const TokenId>(e.tokens.data() + s, n)))
              reach[at[i] + s] = static_cast<uint8_t>(n);
        }
      });
    }
  });
  if (distinct_keys && floor <= 2) *distinct_keys = distinct;
  return out;
}

void rebuild_global_stats(Trainer& trainer) {
  auto start = std::chrono::steady_clock::now();
  const TrainConfig& cfg = trainer.config;
  log_info("stats", "rebuild_global_stats start entries=" + std::to_string(trainer.entries.size()) +
                        " n_values=" + format_list(cfg.n_values) + " num_workers=" + std::to_string(cfg.num_workers));
  trainer.stats.clear();
  size_t distinct = 0;
  trainer.stats = count_stats_floor(trainer.entries, cfg.n_values, cfg.num_workers, 2, &distinct);
  log_info("stats", "rebuild_global_stats done keys=" + std::to_string(distinct) +
                        " elapsed=" + fmt_secs(secs_since(start), 2) + "s");
  if (cfg.use_heap)
    build_heap(trainer);
  else
    std::vector<HeapEntry>().swap(trainer.heap);
}

}  // namespace tarvex
