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

void build_from_counted(Trainer& trainer, CountMap&& counts) {
  // Collect the distinct characters; byte order of UTF-8 texts is code point
  // order, so sorting code points numbers the tokens in byte order.
  std::vector<std::pair<std::string, uint32_t>> texts;
  texts.reserve(counts.size());
  std::vector<uint8_t> seen_small(0x10000, 0);
  FlatMap<uint32_t, uint8_t> seen_large;
  std::vector<uint32_t> chars;
  counts.drain([&](std::string&& k, uint32_t&& v) {
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
    texts.emplace_back(std::move(k), v);
  });
  std::sort(chars.begin(), chars.end());

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

  std::vector<SeqEntry> entries;
  entries.reserve(texts.size());
  for (auto& [text, count] : texts) {
    SeqEntry e;
    e.freq = count;
    e.tokens.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
      uint32_t c = utf8_next(text, i);
      e.tokens.push_back(c < 0x10000 ? small_id[c] : *large_id.find(c));
    }
    std::string().swap(text);
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const SeqEntry& a, const SeqEntry& b) { return a.tokens < b.tokens; });

  trainer.vocab = std::move(vocab);
  trainer.entries = std::move(entries);
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

  build_from_counted(trainer, count_texts(*pool, lines));
  return Status::ok();
}

}  // namespace tarvex
