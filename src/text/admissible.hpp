// Which candidate sequences may become vocabulary tokens. Every rule reads
// only per-token facts of the Vocab and the options, except the punctuation
// exceptions, which read token texts only for candidates holding punctuation.
#pragma once

#include <cstddef>
#include <span>

#include "train/config.hpp"
#include "train/vocab.hpp"

namespace tarvex {

// The full filter. `effective_vocab_size` is computed once per selection
// pass by the caller. The freq >= 2 requirement is the caller's.
bool is_admissible(std::span<const TokenId> key, const Vocab& vocab, const TrainConfig& config,
                   size_t effective_vocab_size);

// True means rejected by the punctuation rule (forbid_punct_tokens).
bool punct_rule_rejects(std::span<const TokenId> key, const Vocab& vocab, const TrainConfig& config);

// The candidate text holds exactly one "Ġ", as its last character.
bool ends_word_once(std::span<const TokenId> key, const Vocab& vocab);

}  // namespace tarvex
