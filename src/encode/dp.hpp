// Minimum-token segmentation of a normalized character sequence.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "encode/token_trie.hpp"

namespace tarvex {

// Fewest tokens over `s`; among equally short segmentations the longest
// first token wins at every position. A position where no inserted token
// starts becomes one `unk_id`; the fallback never competes with a match.
// With `word_start_variant`, terminals marked "word start only" are ignored
// at positions that do not begin a word (i > 0 and s[i-1] is not END_TOKEN).
// Appends the ids to `out` (which is cleared first).
void dp_min_ids(const TokenTrie& trie, std::span<const uint32_t> s, uint32_t unk_id, bool word_start_variant,
                std::vector<uint32_t>& out);

}  // namespace tarvex
