#include "encode/dp.hpp"

#include "text/normalize.hpp"

namespace tarvex {

namespace {

// The initial count of every position; any real count is far below it.
constexpr uint32_t kSentinel = 0x1FFFFFFFu;

inline uint32_t plus_one(uint32_t v) { return v == 0xFFFFFFFFu ? v : v + 1; }

// Per-thread scratch, reused across texts so a batch of short lines does
// not allocate three arrays per line.
struct Scratch {
  std::vector<uint32_t> dp;
  std::vector<uint32_t> next;  // back step: next position (0 = no step yet; a step always advances)
  std::vector<uint32_t> id;    // back step: token id

  // One very long text must not pin its buffers for the thread's lifetime.
  void trim() {
    if (dp.capacity() <= kKeep) return;
    std::vector<uint32_t>().swap(dp);
    std::vector<uint32_t>().swap(next);
    std::vector<uint32_t>().swap(id);
  }
  static constexpr size_t kKeep = size_t{1} << 20;
};

template <bool kWordStart>
void run(const TokenTrie& trie, std::span<const uint32_t> s, uint32_t unk_id, std::vector<uint32_t>& out) {
  const size_t n = s.size();
  thread_local Scratch sc;
  sc.dp.assign(n + 1, kSentinel);
  sc.next.assign(n + 1, 0);
  sc.id.resize(n + 1);
  uint32_t* dp = sc.dp.data();
  uint32_t* next = sc.next.data();
  uint32_t* id = sc.id.data();
  dp[n] = 0;
  for (size_t i = n; i-- > 0;) {
    const bool word_start = !kWordStart || i == 0 || s[i - 1] == kEndChar;
    uint32_t best = dp[i];
    uint32_t best_next = 0, best_id = 0;
    uint32_t at = 0;
    for (size_t j = i; j < n; ++j) {
      if (trie.node(at).edge_count() == 0) break;
      at = trie.child(at, s[j]);
      if (at == kNoNode) break;
      const TokenTrie::Node& node = trie.node(at);
      if (!node.has_term()) continue;
      if (kWordStart && node.word_start_only() && !word_start) continue;
      uint32_t c = plus_one(dp[j + 1]);
      // Lengths grow along the walk, so an equal count from a later terminal
      // is a strictly longer first token and wins the tie.
      if (c < best || (c == best && (best_next == 0 || j + 1 > best_next))) {
        best = c;
        best_next = static_cast<uint32_t>(j + 1);
        best_id = node.term_id();
      }
    }
    if (best_next == 0) {
      best = plus_one(dp[i + 1]);
      best_next = static_cast<uint32_t>(i + 1);
      best_id = unk_id;
    }
    dp[i] = best;
    next[i] = best_next;
    id[i] = best_id;
  }
  out.reserve(dp[0]);
  for (size_t at = 0; at < n;) {
    out.push_back(id[at]);
    at = next[at];
  }
  sc.trim();
}

}  // namespace

void dp_min_ids(const TokenTrie& trie, std::span<const uint32_t> s, uint32_t unk_id, bool word_start_variant,
                std::vector<uint32_t>& out) {
  out.clear();
  if (s.empty()) return;
  if (word_start_variant)
    run<true>(trie, s, unk_id, out);
  else
    run<false>(trie, s, unk_id, out);
}

}  // namespace tarvex
