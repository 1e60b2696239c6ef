#include "train/preprocess.hpp"

#include <algorithm>
#include <memory>

#include "text/normalize.hpp"
#include "util/thread_pool.hpp"
#include "util/utf8.hpp"

namespace tarvex {

namespace {
using CountMap = FlatMap<std::string, uint32_t>;
}  // namespace

// Two texts have equal symbol lists exactly when their normalized forms are
// equal, because every symbol is one whole UTF-8 character.
void normalized_form(std::string_view text, std::string& out) {
  out.clear();
  for_each_symbol(text, [&](std::string_view s) { out.append(s); });
}

void merge_counts(CountMap& into, CountMap& from) {
  if (into.size() < from.size()) into.swap(from);
  // Room for both first. Slots are visited in order, and into's home slots
  // follow the same hash: while into still had from's capacity, each
  // stretch of it would take from's keys on top of its own and fill into
  // runs that every later insert there has to walk to the end of.
  into.reserve(into.size() + from.size());
  from.drain([&](std::string&& k, uint32_t&& v) {
    uint32_t& slot = into[k];
    slot = add_sat_u32(slot, v);
  });
}

void build_from_counted(ThreadPool& pool, Trainer& trainer, CountMap&& counts) {
  std::vector<std::pair<std::string, uint32_t>> texts;
  texts.reserve(counts.size());
  counts.drain([&](std::string&& k, uint32_t&& v) { texts.emplace_back(std::move(k), v); });  // frees the map
  // Entries are ordered by their token ids. Ids follow code point order,
  // and so does the byte order of UTF-8 texts (a prefix first in both), so
  // sorting the texts gives that order before any id exists. Each range is
  // sorted on its own thread, then the sorted runs are merged.
  auto by_text = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::vector<Range> runs = split_range(texts.size(), texts.size() < 4096 ? 1 : pool.size());
  pool.parallel_for(runs.size(), [&](size_t r) {
    std::sort(texts.begin() + static_cast<ptrdiff_t>(runs[r].begin), texts.begin() + static_cast<ptrdiff_t>(runs[r].end),
              by_text);
  });
  for (size_t r = 1; r < runs.size(); ++r)
    std::inplace_merge(texts.begin(), texts.begin() + static_cast<ptrdiff_t>(runs[r].begin),
                       texts.begin() + static_cast<ptrdiff_t>(runs[r].end), by_text);

  // The distinct characters, per range and then together; sorted code
  // points number the tokens in byte order.
  std::vector<Range> ranges = split_range(texts.size(), texts.size() < 4096 ? 1 : pool.size() * 4);
  std::vector<std::vector<uint32_t>> seen_in(ranges.size());
  pool.parallel_for(ranges.size(), [&](size_t r) {
    std::vector<uint8_t> seen_small(0x10000, 0);
    FlatMap<uint32_t, uint8_t> seen_large;
    std::vector<uint32_t>& chars = seen_in[r];
    for (size_t t = ranges[r].begin; t < ranges[r].end; ++t) {
      const std::string& k = texts[t].first;
      size_t i = 0;
      while (i < k.size()) {
        uint32_t c = utf8_next(k, i);
        if (c < 0x10000) {
          if (!seen_small[c]) {
            seen_small[c] = 1;
            chars.push_back(c);
          }
        } else if (seen_large.find_or_insert(c, [] { return uint8_t{1}; }).second) {
          chars.push_back(c);
        }
      }
    }
  });
  std::vector<uint32_t> chars;
  for (const auto& part : seen_in) chars.insert(chars.end(), part.begin(), part.end());
  std::sort(chars.begin(), chars.end());
  chars.erase(std::unique(chars.begin(), chars.end()), chars.end());

  Vocab vocab;
  std::vector<TokenId> small_id(0x10000, 0);
  FlatMap<uint32_t, TokenId> large_id;
  for (uint32_t c : chars) {
    std::string s;
    utf8_append(s, c);
    TokenId id = vocab.intern(s);
    if (c < 0x10000)
      small_id[c] = id;
    else
      large_id[c] = id;
  }

  std::vector<SeqEntry> entries(texts.size());
  pool.parallel_for(ranges.size(), [&](size_t r) {
    for (size_t t = ranges[r].begin; t < ranges[r].end; ++t) {
      std::string& text = texts[t].first;
      SeqEntry& e = entries[t];
      e.freq = texts[t].second;
      e.tokens.reserve(text.size());
      size_t i = 0;
      while (i < text.size()) {
        uint32_t c = utf8_next(text, i);
        e.tokens.push_back(c < 0x10000 ? small_id[c] : *large_id.find(c));
      }
      std::string().swap(text);
    }
  });

  trainer.vocab = std::move(vocab);
  trainer.entries = std::move(entries);
}

void build_from_counted(Trainer& trainer, CountMap&& counts) {
  with_pool(trainer.config.num_workers, [&](ThreadPool& pool) { build_from_counted(pool, trainer, std::move(counts)); });
}

CountMap count_texts(ThreadPool& pool, const std::vector<std::string>& texts) {
  // Each task counts its own range into its own map; the maps are merged
  // after the join. The sums do not depend on how the ranges were split.
  size_t parts = std::min(texts.size(), pool.size() * 4);
  return map_reduce<CountMap>(
      pool, texts.size(), parts,
      [&](size_t begin, size_t end) {
        CountMap m;
        std::string form;
        for (size_t i = begin; i < end; ++i) {
          normalized_form(texts[i], form);
          uint32_t& slot = m[form];
          slot = add_sat_u32(slot, 1);
        }
        return m;
      },
      merge_counts);
}

Status build_vocab_mp(Trainer& trainer, const std::vector<std::string>& lines) {
  // Worker-process preprocessing gives the same entries and byte-order ids;
  // until it exists, both modes take the in-process path.
  size_t workers = resolve_threads(trainer.config.num_workers);
  std::unique_ptr<ThreadPool> pool = build_pool(workers, "build rayon pool for vocab");

  build_from_counted(*pool, trainer, count_texts(*pool, lines));
  return Status::ok();
}

}  // namespace tarvex
