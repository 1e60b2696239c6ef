// The token trie the encoder walks. Built once from the vocabulary, then
// read-only and shared by every encoding thread.
//
// Layout: nodes addressed by index (0 is the root) in breadth-first order,
// so the children of a node are one contiguous, character-sorted run of the
// node array, and a parallel array holds the character of the edge into
// each node. Looking a child up scans (or bisects) a run of that compact
// character array; only the matching node is then read, for its terminal id
// and its own children's range. The root also has a direct table for the Basic
// Multilingual Plane, since every position's walk starts there. This returns
// exactly what one hash map per node would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encode/vocab_json.hpp"

namespace tarvex {

inline constexpr uint32_t kNoNode = 0xFFFFFFFFu;

// Which vocabulary entries may be matched; read from the environment by
// `TrieFilter::from_env`.
struct TrieFilter {
  bool forbid_end_inner = false;
  bool cross_word_whole_only = false;
  bool forbid_punct_tokens = false;

  // TARVEX_FORBID_END_INNER, then (only when that is off)
  // TARVEX_CROSS_WORD_WHOLE_ONLY, then TARVEX_FORBID_PUNCT_TOKENS; each is on
  // when present with a valid UTF-8 value, whatever the value.
  static TrieFilter from_env();
};

class TokenTrie {
 public:
  class Node {
   public:
    uint32_t edge_count() const { return bits_ & kCountMask; }
    bool has_term() const { return (bits_ & kHasTerm) != 0; }
    uint32_t term_id() const { return term_id_; }
    // The terminal's id is marked "word start only" (cross-word tokens
    // under TARVEX_CROSS_WORD_WHOLE_ONLY). The mark belongs to the id, so
    // every token sharing that id carries it.
    bool word_start_only() const { return (bits_ & kWordStartOnly) != 0; }

   private:
    friend class TokenTrie;
    static constexpr uint32_t kCountMask = 0x00FFFFFFu;  // > every possible fan-out (2^21 code points)
    static constexpr uint32_t kHasTerm = 1u << 24;
    static constexpr uint32_t kWordStartOnly = 1u << 25;

    uint32_t first_child_ = 0;  // index of the first child; children are contiguous
    uint32_t term_id_ = 0;
    uint32_t bits_ = 0;         // child count and the two flags
  };

  // Builds the trie over the entries the filter keeps.
  static TokenTrie build(const VocabEntries& vocab, const TrieFilter& filter);

  // Index of the child of `node` for character `c`, or kNoNode.
  uint32_t child(uint32_t node, uint32_t c) const {
    if (node == 0 && c < kRootDirect) return root_direct_[c];
    const Node& n = nodes_[node];
    const uint32_t count = n.edge_count();
    const uint32_t* kids = edge_char_.data() + n.first_child_;
    if (count <= 8) {
      for (uint32_t k = 0; k < count; ++k)
        if (kids[k] == c) return n.first_child_ + k;
      return kNoNode;
    }
    // Branch-free lower bound: the halving steps compile to conditional
    // moves, so wide nodes (the first levels) cost no mispredictions.
    const uint32_t* base = kids;
    for (uint32_t len = count; len > 1;) {
      uint32_t half = len / 2;
      base = base[half - 1] < c ? base + half : base;
      len -= half;
    }
    return *base == c ? n.first_child_ + static_cast<uint32_t>(base - kids) : kNoNode;
  }

  const Node& node(uint32_t i) const { return nodes_[i]; }
  size_t node_count() const { return nodes_.size(); }

  // Looks a whole token up; the terminal node or kNoNode (for tests).
  uint32_t find(const std::u32string& chars) const;

 private:
  static constexpr uint32_t kRootDirect = 0x10000;

  std::vector<Node> nodes_;
  std::vector<uint32_t> edge_char_;    // per node: the character of the edge from its parent
  std::vector<uint32_t> root_direct_;  // kRootDirect entries, kNoNode when absent
};

// The filter's decision for one token: whether to insert it and whether its
// id becomes "word start only".
struct TokenDecision {
  bool insert = false;
  bool word_start_only = false;
};
TokenDecision decide_token(const std::u32string& chars, const TrieFilter& filter);

}  // namespace tarvex
