#include "text/admissible.hpp"

namespace tarvex {

// Placeholder until the rules land: with every option at its default every
// candidate is admissible.
bool is_admissible(std::span<const TokenId>, const Vocab&, const TrainConfig&, size_t) { return true; }
bool punct_rule_rejects(std::span<const TokenId>, const Vocab&, const TrainConfig&) { return false; }
bool ends_word_once(std::span<const TokenId>, const Vocab&) { return false; }

}  // namespace tarvex
