#include "encode/token_trie.hpp"

#include <algorithm>

#include "text/normalize.hpp"
#include "util/env.hpp"
#include "util/flat_map.hpp"
#include "util/utf8.hpp"

namespace tarvex {

TrieFilter TrieFilter::from_env() {
  TrieFilter f;
  f.forbid_end_inner = env_flag("TARVEX_FORBID_END_INNER");
  // Forbidding end-inner tokens outright makes the cross-word rule moot, so
  // the variable is not even read then.
  if (!f.forbid_end_inner) f.cross_word_whole_only = env_flag("TARVEX_CROSS_WORD_WHOLE_ONLY");
  f.forbid_punct_tokens = env_flag("TARVEX_FORBID_PUNCT_TOKENS");
  return f;
}

TokenDecision decide_token(const std::u32string& chars, const TrieFilter& filter) {
  TokenDecision d;
  if (filter.forbid_punct_tokens && chars.size() >= 2) {
    for (uint32_t c : chars)
      if (c != kEndChar && !is_alnum_char(c)) return d;  // has hard punctuation
  }
  d.insert = true;
  if (chars.empty()) return d;
  bool end_inner = std::find(chars.begin(), chars.end() - 1, kEndChar) != chars.end() - 1;
  if (end_inner) {
    if (filter.forbid_end_inner) {
      d.insert = false;
    } else if (filter.cross_word_whole_only) {
      // Only whole words may be glued across a boundary, and only where a
      // word begins.
      if (chars.back() != kEndChar || chars.front() == kEndChar)
        d.insert = false;
      else
        d.word_start_only = true;
    }
  }
  return d;
}

namespace {

std::u32string decode(const std::string& s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(utf8_next(s, i));
  return out;
}

struct Edge {
  uint32_t parent, c, child;
};

}  // namespace

TokenTrie TokenTrie::build(const VocabEntries& vocab, const TrieFilter& filter) {
  // Phase 1: insert into a scratch trie keyed by (parent, character).
  struct Scratch {
    bool has_term = false;
    uint32_t term_id = 0;
  };
  std::vector<Scratch> scratch(1);
  std::vector<Edge> edges;
  FlatMap<uint64_t, uint32_t> child_of;
  std::vector<uint32_t> word_start_ids;
  for (const auto& [text, id] : vocab) {
    std::u32string chars = decode(text);
    TokenDecision d = decide_token(chars, filter);
    if (!d.insert) continue;
    if (d.word_start_only) word_start_ids.push_back(id);
    uint32_t at = 0;
    for (uint32_t c : chars) {
      uint64_t key = (static_cast<uint64_t>(at) << 32) | c;
      auto [slot, inserted] = child_of.find_or_insert(key, [&] { return static_cast<uint32_t>(scratch.size()); });
      if (inserted) {
        edges.push_back({at, c, *slot});
        scratch.emplace_back();
      }
      at = *slot;
    }
    scratch[at].has_term = true;
    scratch[at].term_id = id;
  }
  std::sort(word_start_ids.begin(), word_start_ids.end());

  // Phase 2: renumber breadth-first, siblings in character order, so every
  // node's children are contiguous.
  std::sort(edges.begin(), edges.end(),
            [](const Edge& a, const Edge& b) { return a.parent != b.parent ? a.parent < b.parent : a.c < b.c; });
  std::vector<size_t> first_edge(scratch.size() + 1, edges.size());
  for (size_t k = edges.size(); k-- > 0;) first_edge[edges[k].parent] = k;
  std::vector<uint32_t> order;  // new index -> scratch index
  order.reserve(scratch.size());
  order.push_back(0);
  TokenTrie t;
  t.nodes_.resize(scratch.size());
  t.edge_char_.assign(scratch.size(), 0);
  for (size_t at = 0; at < order.size(); ++at) {
    uint32_t old = order[at];
    Node& n = t.nodes_[at];
    n.first_child_ = static_cast<uint32_t>(order.size());
    uint32_t count = 0;
    for (size_t k = first_edge[old]; k < edges.size() && edges[k].parent == old; ++k) {
      t.edge_char_[order.size()] = edges[k].c;
      order.push_back(edges[k].child);
      ++count;
    }
    n.bits_ |= count;
    if (scratch[old].has_term) {
      n.bits_ |= Node::kHasTerm;
      n.term_id_ = scratch[old].term_id;
      if (std::binary_search(word_start_ids.begin(), word_start_ids.end(), n.term_id_))
        n.bits_ |= Node::kWordStartOnly;
    }
  }
  t.root_direct_.assign(kRootDirect, kNoNode);
  const Node& root = t.nodes_[0];
  for (uint32_t k = 0; k < root.edge_count(); ++k) {
    uint32_t c = t.edge_char_[root.first_child_ + k];
    if (c < kRootDirect) t.root_direct_[c] = root.first_child_ + k;
  }
  return t;
}

uint32_t TokenTrie::find(const std::u32string& chars) const {
  uint32_t at = 0;
  for (uint32_t c : chars) {
    at = child(at, c);
    if (at == kNoNode) return kNoNode;
  }
  return at;
}

}  // namespace tarvex
