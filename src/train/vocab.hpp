// The corpus and vocabulary model every trainer works on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/flat_map.hpp"

namespace tarvex {

using TokenId = uint32_t;

// TokenShape bits.
enum : uint8_t {
  HAS_ALNUM = 1,      // some character other than "Ġ" is alphanumeric
  HAS_OTHER = 2,      // some character is neither alphanumeric nor "Ġ"
  HAS_END = 4,        // some character is "Ġ"
  ENDS_WITH_END = 8,  // the text ends with "Ġ"
};

uint8_t shape_of(std::string_view text);

// Specials the exporter adds; training never interns them itself.
inline constexpr std::string_view kSpecialTokens[5] = {"<unk>", "<pad>", "<s>", "</s>", "<mask>"};

// One distinct corpus sequence and how many texts have it.
struct SeqEntry {
  std::vector<TokenId> tokens;
  uint32_t freq = 0;

  bool operator==(const SeqEntry&) const = default;
};

// One performed merge, in step order.
struct MergeRecord {
  std::vector<std::string> key;
  std::string token;
  uint64_t score = 0;
  uint32_t freq = 0;
};

// The token table: parallel lists indexed by id plus the inverse map.
// Invariant: entry i of every list is derived from id_to_token[i] alone.
struct Vocab {
  std::vector<std::string> id_to_token;
  std::vector<uint32_t> token_chars;
  std::vector<uint8_t> token_shape;
  std::vector<uint8_t> token_word_ends;  // "Ġ" count, saturating at 255
  FlatMap<std::string, TokenId> token_to_id;

  size_t size() const { return id_to_token.size(); }

  // Get or add.
  TokenId intern(std::string_view text);

  const TokenId* find(std::string_view text) const { return token_to_id.find(text); }

  // Recomputes the derived lists from id_to_token (after bulk id assignment)
  // and rebuilds token_to_id.
  void refresh_all();
};

// Size with the special tokens the export will add.
size_t effective_vocab_size(const Vocab& vocab);

// Sum over entries of len(tokens) * freq.
uint64_t total_tokens(const std::vector<SeqEntry>& entries);

}  // namespace tarvex
