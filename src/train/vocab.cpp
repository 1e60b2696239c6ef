#include "train/vocab.hpp"

#include "text/normalize.hpp"
#include "util/utf8.hpp"

namespace tarvex {

namespace {

struct Derived {
  uint32_t chars = 0;
  uint8_t shape = 0;
  uint8_t word_ends = 0;
};

Derived derive(std::string_view text) {
  Derived d;
  size_t i = 0;
  while (i < text.size()) {
    uint32_t c = utf8_next(text, i);
    ++d.chars;
    if (c == kEndChar) {
      d.shape |= HAS_END;
      if (d.word_ends < 255) ++d.word_ends;
    } else if (is_alnum_char(c)) {
      d.shape |= HAS_ALNUM;
    } else {
      d.shape |= HAS_OTHER;
    }
  }
  if (ends_with_end(text)) d.shape |= ENDS_WITH_END;
  return d;
}

}  // namespace

uint8_t shape_of(std::string_view text) { return derive(text).shape; }

TokenId Vocab::intern(std::string_view text) {
  auto [id, inserted] = token_to_id.find_or_insert(text, [&] { return static_cast<TokenId>(id_to_token.size()); });
  if (inserted) {
    Derived d = derive(text);
    id_to_token.emplace_back(text);
    token_chars.push_back(d.chars);
    token_shape.push_back(d.shape);
    token_word_ends.push_back(d.word_ends);
  }
  return *id;
}

void Vocab::refresh_all() {
  size_t n = id_to_token.size();
  token_chars.assign(n, 0);
  token_shape.assign(n, 0);
  token_word_ends.assign(n, 0);
  token_to_id.clear();
  token_to_id.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    Derived d = derive(id_to_token[i]);
    token_chars[i] = d.chars;
    token_shape[i] = d.shape;
    token_word_ends[i] = d.word_ends;
    token_to_id[id_to_token[i]] = static_cast<TokenId>(i);
  }
}

size_t effective_vocab_size(const Vocab& vocab) {
  size_t n = vocab.size();
  for (std::string_view s : kSpecialTokens)
    if (!vocab.find(s)) ++n;
  return n;
}

uint64_t total_tokens(const std::vector<SeqEntry>& entries) {
  uint64_t t = 0;
  for (const auto& e : entries) t += static_cast<uint64_t>(e.tokens.size()) * e.freq;
  return t;
}

}  // namespace tarvex
