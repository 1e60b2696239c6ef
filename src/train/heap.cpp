#include "train/heap.hpp"

#include <algorithm>

#include "text/admissible.hpp"
#include "train/trainer.hpp"

namespace tarvex {

void build_heap(Trainer& trainer) {
  std::vector<HeapEntry>& heap = trainer.heap;
  std::vector<HeapEntry>().swap(heap);
  const size_t eff = effective_vocab_size(trainer.vocab);
  trainer.heap_built_vocab = eff;
  // Room for the offers until the loop sheds stale hints (when the heap
  // outgrows twice the map, which itself grows early on), so the heap
  // rarely moves while it grows: moving millions of entries stalls a whole
  // step. Reserved pages cost nothing until they are written.
  heap.reserve(3 * trainer.stats.size() + 4096);
  trainer.stats.for_each([&](const SeqKey& k, const Stat& s) {
    if (s.freq >= 2 && is_admissible(k.ids(), trainer.vocab, trainer.config, eff))
      heap.push_back(HeapEntry{s.score, k.size(), k});
  });
  std::make_heap(heap.begin(), heap.end(), heap_below);
}

void push_candidate(Trainer& trainer, std::span<const TokenId> key, size_t effective_size) {
  if (!is_admissible(key, trainer.vocab, trainer.config, effective_size)) return;
  if (trainer.stats.empty()) return;
  const Stat* s = trainer.stats.find(key);
  if (!s || s->freq < 2) return;
  trainer.heap.push_back(HeapEntry{s->score, key.size(), SeqKey(key)});
  std::push_heap(trainer.heap.begin(), trainer.heap.end(), heap_below);
}

void push_candidate(Trainer& trainer, std::span<const TokenId> key) {
  push_candidate(trainer, key, effective_vocab_size(trainer.vocab));
}

std::optional<std::pair<SeqKey, Stat>> pop_best(Trainer& trainer) {
  std::vector<HeapEntry>& heap = trainer.heap;
  const size_t eff = effective_vocab_size(trainer.vocab);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), heap_below);
    HeapEntry top = std::move(heap.back());
    heap.pop_back();
    const Stat* s = trainer.stats.empty() ? nullptr : trainer.stats.find(top.key.ids());
    if (!s || s->freq < 2) continue;
    if (top.score != s->score || top.len != top.key.size()) {
      top.score = s->score;
      top.len = top.key.size();
      heap.push_back(std::move(top));
      std::push_heap(heap.begin(), heap.end(), heap_below);
      continue;
    }
    if (!is_admissible(top.key.ids(), trainer.vocab, trainer.config, eff)) continue;
    return std::make_pair(std::move(top.key), *s);
  }
  return std::nullopt;
}

}  // namespace tarvex
