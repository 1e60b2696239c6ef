#include "train/train_single.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "log/logger.hpp"
#include "text/admissible.hpp"
#include "train/heap.hpp"
#include "train/merge.hpp"
#include "train/trainer.hpp"
#include "util/env.hpp"

namespace tarvex {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kNoSlot = SIZE_MAX;

std::string fmt_fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string bool_str(bool b) { return b ? "true" : "false"; }

// The pair followed by DEBUG_PAIR in this step, when set.
struct DebugPair {
  TokenId a, b;
};

std::optional<DebugPair> read_debug_pair(Trainer& trainer, size_t step) {
  std::optional<std::string> v = env_string("DEBUG_PAIR");
  if (!v) return std::nullopt;
  size_t comma = v->find(',');
  if (comma == std::string::npos) return std::nullopt;
  size_t end = v->find(',', comma + 1);
  std::string first = v->substr(0, comma);
  std::string second = v->substr(comma + 1, end == std::string::npos ? std::string::npos : end - comma - 1);
  DebugPair p{trainer.vocab.intern(first), trainer.vocab.intern(second)};
  log_debug("train_single", "[debug-pair-ids] step " + std::to_string(step) + " ids=(" + std::to_string(p.a) + ", " +
                                std::to_string(p.b) + ")");
  return p;
}

void verify(const Trainer& trainer, const char* tag, size_t step) {
  StatsMap full = count_stats(trainer.entries, trainer.config.n_values, trainer.config.num_workers);
  StatsDiff d = compare_stats(full, trainer.stats, trainer.stats_floor);
  if (d.any())
    log_debug("train_single", std::string(tag) + " step " + std::to_string(step) + " diff=" + std::to_string(d.diff) +
                                  ", missing=" + std::to_string(d.missing) + ", extra=" + std::to_string(d.extra));
}

std::string key_text(const Vocab& vocab, std::span<const TokenId> key) {
  std::string s;
  for (TokenId t : key) s += vocab.id_to_token[t];
  return s;
}

// The stored statistics leave out keys seen once. The loop's "stats empty"
// stop means that no key at all is counted, once-seen ones included, so an
// empty map alone is not enough: a window that no merge of this run has
// touched (all its ids predate the run) still holds a once-seen key, and
// then the loop ends at selection, silently, instead.
bool holds_unseen_singles(const std::vector<SeqEntry>& entries, size_t start_vocab,
                          const std::vector<size_t>& n_values) {
  if (n_values.empty()) return false;
  const size_t n_min = *std::min_element(n_values.begin(), n_values.end());
  for (const SeqEntry& e : entries) {
    if (!e.freq) continue;
    size_t run = 0;
    for (TokenId t : e.tokens) {
      run = t < start_vocab ? run + 1 : 0;
      if (run >= n_min) return true;
    }
  }
  return false;
}

}  // namespace

StatsDiff compare_stats(const StatsMap& full, const StatsMap& kept, uint32_t floor) {
  StatsDiff d;
  full.for_each([&](const SeqKey& k, const Stat& f) {
    const Stat* s = kept.find(k.ids());
    if (s) {
      if (!(*s == f) && (s->freq >= 2 || f.freq >= 2)) ++d.diff;
    } else if (f.freq >= std::max<uint32_t>(floor, 2)) {
      ++d.missing;
    }
  });
  kept.for_each([&](const SeqKey& k, const Stat& s) {
    if (s.freq >= 2 && !full.contains(k.ids())) ++d.extra;
  });
  return d;
}

std::optional<std::pair<SeqKey, Stat>> scan_best(const Trainer& trainer, size_t effective_size) {
  const StatsMap& stats = trainer.stats;
  ThreadPool& pool = ThreadPool::global();
  const size_t cap = stats.capacity();
  auto beats = [&](size_t a, size_t b) {  // slot a better than slot b
    return b == kNoSlot ||
           better(stats.key_at(a).ids(), stats.value_at(a).score, stats.key_at(b).ids(), stats.value_at(b).score);
  };
  // Each task keeps its own best slot; the partial bests are reduced with
  // the same total order, so the result is the unique best.
  size_t best = map_reduce<size_t>(
      pool, cap, cap < 4096 ? 1 : pool.size() * 4,
      [&](size_t b, size_t e) {
        size_t top = kNoSlot;
        for (size_t i = b; i < e; ++i) {
          if (!stats.occupied(i)) continue;
          const Stat& s = stats.value_at(i);
          if (s.freq < 2) continue;
          if (top != kNoSlot && s.score < stats.value_at(top).score) continue;
          // Admissibility is the costly test: only for keys that would win.
          if (!beats(i, top)) continue;
          if (!is_admissible(stats.key_at(i).ids(), trainer.vocab, trainer.config, effective_size)) continue;
          top = i;
        }
        return top;
      },
      [&](size_t& acc, size_t& part) {
        if (part != kNoSlot && beats(part, acc)) acc = part;
      });
  if (cap == 0 || best == kNoSlot) return std::nullopt;
  return std::make_pair(stats.key_at(best), stats.value_at(best));
}

namespace {

// Fills the pool with every key of freq >= 2 whose score is at least a
// power of two chosen so that about pool.target keys qualify, and below
// `below` (the floor that just failed).
void refill_pool(const StatsMap& stats, ScanPool& pool, uint64_t below) {
  size_t at_least[66] = {};  // at_least[b]: keys with score >= 2^b (b = 0..64; [65] = 0)
  stats.for_each([&](const SeqKey&, const Stat& s) {
    if (s.freq >= 2) ++at_least[std::bit_width(s.score)];  // bit_width: 0 for score 0
  });
  for (int b = 64; b >= 0; --b) at_least[b] += at_least[b + 1];
  // at_least[b] now counts keys with bit_width >= b, i.e. score >= 2^(b-1).
  uint64_t floor = 0;
  for (int b = 64; b >= 1; --b) {
    uint64_t t = uint64_t{1} << (b - 1);
    if (t >= below) continue;
    if (at_least[b] >= pool.target) {
      floor = t;
      break;
    }
  }
  pool.listed.clear();
  stats.for_each([&](const SeqKey& k, const Stat& s) {
    if (s.freq >= 2 && s.score >= floor) pool.listed.push_back(HeapEntry{s.score, k.size(), k});
  });
  std::make_heap(pool.listed.begin(), pool.listed.end(), heap_below);
  pool.floor = floor;
  pool.active = true;
  pool.distinct = pool.listed.size();
}

}  // namespace

std::optional<std::pair<SeqKey, Stat>> pool_best(const Trainer& trainer, ScanPool& pool, size_t effective_size) {
  // Repeats pile up as scores rise step after step; a refill sheds them.
  if (!pool.active || pool.listed.size() > 2 * pool.distinct + 4096) refill_pool(trainer.stats, pool, UINT64_MAX);
  std::vector<HeapEntry>& heap = pool.listed;
  auto push = [&](HeapEntry&& e) {
    heap.push_back(std::move(e));
    std::push_heap(heap.begin(), heap.end(), heap_below);
  };
  for (;;) {
    // Keys whose listed score is their current one but which are not
    // admissible now stay listed: the vocabulary may grow into them.
    std::vector<HeapEntry> waiting;
    std::optional<std::pair<SeqKey, Stat>> best;
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), heap_below);
      HeapEntry e = std::move(heap.back());
      heap.pop_back();
      const Stat* s = trainer.stats.find(e.key.ids());
      // Gone or below the floor: listed again if it rises to the floor.
      if (!s || s->freq < 2 || s->score < pool.floor) continue;
      if (s->score != e.score) {
        e.score = s->score;
        push(std::move(e));
        continue;
      }
      // Every key listed above this one scores less than it is listed
      // at, so this is the best key whose listed score is current: the best
      // admissible one if it is admissible.
      const bool ok = is_admissible(e.key.ids(), trainer.vocab, trainer.config, effective_size);
      if (ok) best = std::make_pair(e.key, *s);
      waiting.push_back(std::move(e));
      if (ok) break;
    }
    for (HeapEntry& e : waiting) push(std::move(e));
    // Every key outside the pool scores below the floor, so a best at or
    // above it is the best of the whole map.
    if (best) return best;
    if (pool.floor == 0) return std::nullopt;  // the pool held every key
    refill_pool(trainer.stats, pool, pool.floor);
  }
}

namespace {

// The most any key left out of stats can score: freq below the floor, at
// the longest length.
uint64_t unstored_bound(const Trainer& trainer) {
  return sat_mul_u64(trainer.config.n_values.back() - 1, trainer.stats_floor - 1);
}

// The floor for a best score: what is left out scores at most a
// stats_floor_span-th of it. A larger span means fewer recounts and a
// fuller map while the floor lasts.
uint32_t floor_for(const Trainer& trainer, uint64_t best_score) {
  const uint64_t longest = trainer.config.n_values.back() - 1;
  const uint64_t per = std::max<uint64_t>(1, sat_mul_u64(longest, trainer.config.stats_floor_span));
  return static_cast<uint32_t>(std::clamp<uint64_t>(best_score / per + 1, 2, UINT32_MAX));
}

// The floor to come down to when the best stored score no longer clears
// the bound. floor_for leaves room for the best score to fall to a
// stats_floor_span-th of it, which near the end of a run is far more than
// the run will use: the `left` merges still to make take roughly the best
// `left` keys of now, so the left-th best stored score tells about where
// the run ends. The floor then goes no lower than what a best score of half
// that needs (merges also wear down the keys they overlap), and no lower
// than what this step's best needs with the same room. That spares
// counting, storing and updating the many keys of the lowest counts. A
// wrong guess costs one more recount, never a different choice.
uint32_t lowered_floor(const Trainer& trainer, uint64_t best_score, size_t left) {
  const uint32_t floor = floor_for(trainer, best_score);
  if (left == 0 || trainer.stats.size() <= left) return floor;
  std::vector<uint64_t> scores;
  scores.reserve(trainer.stats.size());
  trainer.stats.for_each([&](const SeqKey&, const Stat& s) {
    if (s.freq >= 2) scores.push_back(s.score);
  });
  if (scores.size() <= left) return floor;
  std::nth_element(scores.begin(), scores.begin() + static_cast<ptrdiff_t>(left), scores.end(), std::greater<>());
  const uint64_t room = 2 * std::max<uint64_t>(1, trainer.config.n_values.back() - 1);
  const uint64_t guess = std::min(scores[left], best_score) / room + 1;
  return static_cast<uint32_t>(std::clamp<uint64_t>(guess, floor, UINT32_MAX));
}

// Merges still to make: to the aim, when one is set, and to num_merges.
size_t merges_left(const Trainer& trainer, size_t step) {
  size_t left = trainer.config.num_merges - std::min(trainer.config.num_merges, step);
  if (trainer.config.aim_token_num) {
    const size_t eff = effective_vocab_size(trainer.vocab);
    left = std::min(left, trainer.config.aim_token_num - std::min(trainer.config.aim_token_num, eff));
  }
  return left;
}

bool keeps_every_key(const Trainer& trainer) {
  return env_string("DEBUG_PAIR").has_value() || trainer.config.n_values.empty() || trainer.config.stats_floor_span == 0;
}

}  // namespace

uint32_t start_floor(const Trainer& trainer, uint64_t best_score) {
  return keeps_every_key(trainer) ? 2 : floor_for(trainer, best_score);
}

namespace {

// Stats and the selection structures at a new floor. A floor that comes
// down needs a recount: the keys between the two floors were not kept.
void set_floor(Trainer& trainer, uint32_t floor, ScanPool& pool) {
  const auto start = Clock::now();
  const uint32_t was = trainer.stats_floor;
  if (floor < trainer.stats_floor) {
    StatsMap().swap(trainer.stats);
    trainer.stats = count_stats_floor(trainer.entries, trainer.config.n_values, trainer.config.num_workers, floor);
  } else if (floor > trainer.stats_floor) {
    // Copied into a map of their own size: the point of the floor is a
    // table small enough to stay in cache, which a sparse big one is not.
    StatsMap kept;
    size_t n = 0;
    trainer.stats.for_each([&](const SeqKey&, const Stat& s) { n += s.freq >= floor; });
    kept.reserve(n);
    trainer.stats.for_each([&](const SeqKey& k, const Stat& s) {
      if (s.freq >= floor) kept.find_or_insert(k.ids(), [&] { return s; });
    });
    trainer.stats.swap(kept);
  }
  trainer.stats_floor = floor;
  if (trainer.config.use_heap) build_heap(trainer);
  pool.listed.clear();
  pool.active = false;
  log_debug("train_single", "stats floor " + std::to_string(was) + " -> " + std::to_string(floor) +
                                " keys=" + std::to_string(trainer.stats.size()) +
                                " elapsed=" + fmt_secs(secs_since(start), 3) + "s");
}

}  // namespace

void train_single(Trainer& trainer) {
  const auto start = Clock::now();
  const TrainConfig& cfg = trainer.config;
  log_info("train_single", "start merges=" + std::to_string(cfg.num_merges) + " n_values=" + format_list(cfg.n_values) +
                               " recompute_each_step=" + bool_str(cfg.recompute_each_step) +
                               " use_heap=" + bool_str(cfg.use_heap) + " num_workers=" + std::to_string(cfg.num_workers));
  const bool verify_stats = env_flag("VERIFY_STATS");
  const bool verify_pre = env_flag("VERIFY_PRE");
  ScanPool pool;
  // Keys far below the best score cannot be chosen for many steps, and
  // the first steps, which merge the most occurrences, then move far fewer
  // stored keys. The floor comes down (with a recount) whenever the best
  // stored key no longer provably beats every key left out, so every step
  // chooses what full statistics would. DEBUG_PAIR reports the stored
  // value of its pair, so it keeps every key.
  const bool keep_all = keeps_every_key(trainer);
  std::optional<std::pair<SeqKey, Stat>> first;
  if (!keep_all && !trainer.stats.empty()) first = scan_best(trainer, effective_vocab_size(trainer.vocab));
  // rebuild_global_stats usually kept the keys from the right floor already.
  uint32_t floor = trainer.stats_floor;
  if (keep_all)
    floor = 2;
  else if (first)
    floor = std::max(floor, floor_for(trainer, first->second.score));
  if (floor != trainer.stats_floor)
    set_floor(trainer, floor, pool);
  else if (cfg.use_heap)
    build_heap(trainer);
  else
    std::vector<HeapEntry>().swap(trainer.heap);

  EntryIndex index = EntryIndex::build(trainer.entries, trainer.vocab.size(), cfg.num_workers);
  if (!cfg.use_heap) index.scan_pool = &pool;
  const size_t start_vocab = trainer.vocab.size();

  for (size_t step = 0; step < cfg.num_merges; ++step) {
    const auto step_start = Clock::now();
    std::optional<DebugPair> dbg = read_debug_pair(trainer, step);
    if (verify_pre) verify(trainer, "[verify-pre]", step);
    if (trainer.stats.empty() && trainer.stats_floor > 2) set_floor(trainer, 2, pool);
    if (trainer.stats.empty() && !holds_unseen_singles(trainer.entries, start_vocab, cfg.n_values)) {
      log_info("train_single", "step " + std::to_string(step) + " stats empty, stop (elapsed_total=" +
                                   fmt_secs(secs_since(start), 2) + "s)");
      break;
    }

    const size_t eff = effective_vocab_size(trainer.vocab);
    std::optional<std::pair<SeqKey, Stat>> chosen;
    for (;;) {
      if (cfg.use_heap) {
        // Candidates spanning words were left out while the vocabulary was
        // below cross_word_start_vocab; once it is reached, build again so
        // they compete. Stale hints are also shed when they outgrow the map.
        bool held_back = cfg.cross_word_start_vocab > trainer.heap_built_vocab && eff >= cfg.cross_word_start_vocab;
        if (held_back || trainer.heap.size() > 2 * trainer.stats.size() + 4096) build_heap(trainer);
        chosen = pop_best(trainer);
      } else {
        chosen = pool_best(trainer, pool, eff);
      }
      // A key left out of stats could tie or beat a best at or below the
      // bound; a best above it is the best of full statistics.
      if (trainer.stats_floor <= 2 || (chosen && chosen->second.score > unstored_bound(trainer))) break;
      const uint64_t best = chosen ? chosen->second.score : 0;
      set_floor(trainer, std::min(trainer.stats_floor - 1, lowered_floor(trainer, best, merges_left(trainer, step))),
                pool);
    }
    if (cfg.use_heap && chosen && dbg && chosen->first.size() == 2 && chosen->first[0] == dbg->a &&
        chosen->first[1] == dbg->b)
      log_debug("train_single", "[debug-pair] step " + std::to_string(step) + " pair [" + std::to_string(dbg->a) +
                                    ", " + std::to_string(dbg->b) + "] freq=" + std::to_string(chosen->second.freq) +
                                    " score=" + std::to_string(chosen->second.score));
    if (!chosen) break;
    if (dbg) {
      const TokenId pair[2] = {dbg->a, dbg->b};
      const Stat* s = trainer.stats.find(std::span<const TokenId>(pair, 2));
      log_debug("train_single", "[debug-pair-lookup] step " + std::to_string(step) +
                                    (s ? " freq=" + std::to_string(s->freq) + " score=" + std::to_string(s->score)
                                       : std::string(" not found")));
    }
    const float select_secs = static_cast<float>(secs_since(step_start));
    const auto apply_start = Clock::now();

    const SeqKey key = std::move(chosen->first);
    const Stat stat = chosen->second;
    const TokenId new_id = trainer.vocab.intern(key_text(trainer.vocab, key.ids()));
    apply_merge(trainer, index, key.ids(), new_id);

    MergeRecord rec;
    for (TokenId t : key.ids()) rec.key.push_back(trainer.vocab.id_to_token[t]);
    rec.token = trainer.vocab.id_to_token[new_id];
    rec.score = stat.score;
    rec.freq = stat.freq;
    trainer.merges.push_back(std::move(rec));

    char step_field[32];
    std::snprintf(step_field, sizeof step_field, "%6zu", step);
    log_info("merge", std::string(step_field) + ": freq=" + std::to_string(stat.freq) +
                          " score=" + std::to_string(stat.score) + " stats=" + fmt_fixed(select_secs, 3) +
                          "s apply=" + fmt_secs(secs_since(apply_start), 3) +
                          "s total=" + fmt_secs(secs_since(start), 1) + "s [single]");

    const size_t eff_after = effective_vocab_size(trainer.vocab);
    if (cfg.aim_token_num != 0 && eff_after >= cfg.aim_token_num) {
      log_info("train_single", "reach aim_token_num=" + std::to_string(cfg.aim_token_num) +
                                   " (vocab_size=" + std::to_string(eff_after) + "), stop at step " +
                                   std::to_string(step + 1) + " (elapsed_total=" + fmt_secs(secs_since(start), 2) +
                                   "s)");
      break;
    }
    if (verify_stats) verify(trainer, "[verify]", step);
  }

  compact_entries(trainer.entries);
  const uint64_t tokens = total_tokens(trainer.entries);
  const float tpc = trainer.total_chars ? static_cast<float>(tokens) / static_cast<float>(trainer.total_chars) : 0.0f;
  log_info("tpc", "total_tokens=" + std::to_string(tokens) + " total_chars=" + std::to_string(trainer.total_chars) +
                      " tpc=" + fmt_fixed(tpc, 6) + " tok/char elapsed=" + fmt_secs(secs_since(start), 3) +
                      "s [single]");
}

}  // namespace tarvex
