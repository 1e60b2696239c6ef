#include "train/stats.hpp"

#include <algorithm>
#include <chrono>

#include "log/logger.hpp"
#include "train/heap.hpp"
#include "train/train_single.hpp"
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

void rebuild_global_stats(Trainer& trainer) {
  auto start = std::chrono::steady_clock::now();
  const TrainConfig& cfg = trainer.config;
  log_info("stats", "rebuild_global_stats start entries=" + std::to_string(trainer.entries.size()) +
                        " n_values=" + format_list(cfg.n_values) + " num_workers=" + std::to_string(cfg.num_workers));
  trainer.stats.clear();
  size_t distinct = 0;
  uint32_t keep = 2;
  trainer.stats = count_stats_floor(trainer.entries, cfg.n_values, cfg.num_workers, 2, &distinct,
                                    [&](uint64_t best) { return keep = start_floor(trainer, best); });
  trainer.stats_floor = std::max<uint32_t>(2, keep);
  log_info("stats", "rebuild_global_stats done keys=" + std::to_string(distinct) +
                        " elapsed=" + fmt_secs(secs_since(start), 2) + "s");
  if (cfg.use_heap)
    build_heap(trainer);
  else
    std::vector<HeapEntry>().swap(trainer.heap);
}

}  // namespace tarvex
