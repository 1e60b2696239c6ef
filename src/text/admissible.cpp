#include "text/admissible.hpp"

#include <array>
#include <cstdint>
#include <string_view>

#include "text/normalize.hpp"
#include "util/utf8.hpp"

namespace tarvex {

namespace {

// Facts of a candidate summed over its tokens; read from the per-token lists
// only, never from the texts.
struct KeyFacts {
  uint8_t shape_or = 0;
  uint64_t char_sum = 0;
  uint32_t word_end_sum = 0;  // saturates at 255, like token_word_ends
};

KeyFacts key_facts(std::span<const TokenId> key, const Vocab& vocab) {
  KeyFacts f;
  for (TokenId id : key) {
    f.shape_or |= vocab.token_shape[id];
    f.char_sum += vocab.token_chars[id];
    f.word_end_sum += vocab.token_word_ends[id];
  }
  if (f.word_end_sum > 255) f.word_end_sum = 255;
  return f;
}

// Character classes of the punctuation exceptions, as bits: "." and "'" are
// both pattern characters and closing punctuation.
enum : uint8_t {
  C_ALNUM = 1,
  C_DOT = 2,
  C_HYPHEN = 4,
  C_APOS = 8,
  C_CLOSE = 16,  // ! " ' ) , . : ; ? ] }
};

constexpr std::array<uint8_t, 128> make_ascii_classes() {
  std::array<uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c)
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) t[c] = C_ALNUM;
  for (char c : {'!', '"', '\'', ')', ',', '.', ':', ';', '?', ']', '}'}) t[static_cast<unsigned char>(c)] |= C_CLOSE;
  t['.'] |= C_DOT;
  t['\''] |= C_APOS;
  t['-'] |= C_HYPHEN;
  return t;
}

// Corpus text is mostly ASCII: a table lookup, no call.
constexpr std::array<uint8_t, 128> kAsciiClasses = make_ascii_classes();

uint8_t char_class(uint32_t c) { return c < 0x80 ? kAsciiClasses[c] : is_alnum_char(c) ? C_ALNUM : 0; }

// The longest word any rule accepts; a longer word fails every rule.
constexpr size_t kMaxWordChars = 48;

// One word of a candidate as a list of character classes. Never holds "Ġ".
struct Word {
  std::array<uint8_t, kMaxWordChars> cls{};
  size_t len = 0;
  uint8_t any = 0;  // OR of the classes
  bool all_alnum = true;
  bool all_abbrev = true;      // every character alphanumeric or "."
  bool all_hyphen = true;      // every character alphanumeric or "-"
  bool all_apostrophe = true;  // every character alphanumeric or "'"

  void clear() { *this = Word(); }

  // False once the word would exceed kMaxWordChars.
  bool push(uint8_t c) {
    if (len == kMaxWordChars) return false;
    cls[len++] = c;
    any |= c;
    bool alnum = c & C_ALNUM;
    all_alnum &= alnum;
    all_abbrev &= alnum || (c & C_DOT);
    all_hyphen &= alnum || (c & C_HYPHEN);
    all_apostrophe &= alnum || (c & C_APOS);
    return true;
  }
};

// The patterns below take the word's length limit from the rule that uses them.
bool abbrev_pattern(const Word& w, size_t limit) {
  return w.len >= 1 && w.len <= limit && w.all_abbrev && (w.any & C_DOT) && (w.any & C_ALNUM);
}

bool hyphen_pattern(const Word& w, size_t limit) {
  return w.len >= 1 && w.len <= limit && w.all_hyphen && (w.any & C_HYPHEN) && (w.any & C_ALNUM) &&
         (w.cls[0] & C_ALNUM) && (w.cls[w.len - 1] & C_ALNUM);
}

bool apostrophe_pattern(const Word& w, size_t limit) {
  return w.len >= 1 && w.len <= limit && w.all_apostrophe && (w.any & C_APOS) && (w.any & C_ALNUM);
}

// 1 to 3 trailing closing punctuation characters after a non-empty,
// entirely alphanumeric prefix.
bool word_final_pattern(const Word& w, size_t limit) {
  if (w.len < 2 || w.len > limit) return false;
  size_t tail = 0;
  while (tail < w.len && (w.cls[w.len - 1 - tail] & C_CLOSE)) ++tail;
  if (tail < 1 || tail > 3 || tail == w.len) return false;
  for (size_t i = 0; i + tail < w.len; ++i)
    if (!(w.cls[i] & C_ALNUM)) return false;
  return true;
}

// Reads the candidate's body (its text without the final "Ġ") into `w`.
// Only called when ends_word_once holds, so the body has no "Ġ"; false when
// the body is longer than the word can hold.
bool read_body(std::span<const TokenId> key, const Vocab& vocab, Word& w) {
  for (size_t k = 0; k < key.size(); ++k) {
    std::string_view text = vocab.id_to_token[key[k]];
    if (k + 1 == key.size()) text.remove_suffix(kEndToken.size());
    size_t i = 0;
    while (i < text.size())
      if (!w.push(char_class(utf8_next(text, i)))) return false;
  }
  return true;
}

// The word test of allow_cross_word_punct_word_mix_tokens: every "Ġ" closes
// a word that must be valid, the text must end with "Ġ" and hold at least
// two words.
bool cross_word_mix_accepts(std::span<const TokenId> key, const Vocab& vocab, const KeyFacts& facts) {
  // Cheap rejections from the per-token facts: fewer than two words, or the
  // text ends inside a word.
  if (facts.word_end_sum < 2 || !(vocab.token_shape[key.back()] & ENDS_WITH_END)) return false;
  Word w;
  size_t words = 0;
  for (TokenId id : key) {
    std::string_view text = vocab.id_to_token[id];
    size_t i = 0;
    while (i < text.size()) {
      uint32_t c = utf8_next(text, i);
      if (c != kEndChar) {
        if (!w.push(char_class(c))) return false;
        continue;
      }
      if (w.len == 0) return false;
      bool valid = w.all_alnum || (w.len <= 6 && !(w.any & C_ALNUM)) || abbrev_pattern(w, 24) ||
                   hyphen_pattern(w, 32) || apostrophe_pattern(w, 32) || word_final_pattern(w, 48);
      if (!valid) return false;
      ++words;
      w.clear();
    }
  }
  return w.len == 0 && words >= 2;
}

bool punct_rejects(std::span<const TokenId> key, const Vocab& vocab, const TrainConfig& config,
                   const KeyFacts& facts) {
  if (!(facts.shape_or & HAS_OTHER)) return false;

  bool needs_body = config.allow_abbrev_tokens || config.allow_hyphen_tokens || config.allow_apostrophe_tokens ||
                    config.allow_word_final_punct_tokens;
  if ((config.allow_space_punct_tokens || needs_body) && ends_word_once(key, vocab)) {
    if (config.allow_space_punct_tokens && !(facts.shape_or & HAS_ALNUM)) return false;
    // The body's length is known without reading it: every single-word rule
    // allows at most 32 characters, so longer bodies are never decoded.
    uint64_t body_chars = facts.char_sum - 1;
    Word body;
    if (needs_body && body_chars <= 32 && read_body(key, vocab, body)) {
      if (config.allow_abbrev_tokens && abbrev_pattern(body, 24)) return false;
      if (config.allow_hyphen_tokens && hyphen_pattern(body, 32)) return false;
      if (config.allow_apostrophe_tokens && apostrophe_pattern(body, 32)) return false;
      if (config.allow_word_final_punct_tokens && word_final_pattern(body, 32)) return false;
    }
  }
  if (config.allow_cross_word_punct_word_mix_tokens && cross_word_mix_accepts(key, vocab, facts)) return false;
  return true;
}

}  // namespace

bool ends_word_once(std::span<const TokenId> key, const Vocab& vocab) {
  if (key.empty()) return false;
  for (size_t k = 0; k + 1 < key.size(); ++k)
    if (vocab.token_shape[key[k]] & HAS_END) return false;
  TokenId last = key.back();
  // ENDS_WITH_END already means at least two bytes ending in C4 A0.
  return (vocab.token_shape[last] & ENDS_WITH_END) && vocab.token_word_ends[last] == 1;
}

bool punct_rule_rejects(std::span<const TokenId> key, const Vocab& vocab, const TrainConfig& config) {
  return punct_rejects(key, vocab, config, key_facts(key, vocab));
}

bool is_admissible(std::span<const TokenId> key, const Vocab& vocab, const TrainConfig& config,
                   size_t effective_vocab_size) {
  // With every rule off (the defaults) nothing needs to be looked at.
  bool cross_word_held = effective_vocab_size < config.cross_word_start_vocab;
  if (config.max_token_chars == 0 && !config.forbid_punct_word_mix && !config.forbid_punct_tokens &&
      config.max_token_words == 0 && !cross_word_held && !config.forbid_incomplete_cross_word)
    return true;

  KeyFacts facts = key_facts(key, vocab);
  if (config.max_token_chars != 0 && facts.char_sum > config.max_token_chars) return false;
  if (config.forbid_punct_word_mix && (facts.shape_or & HAS_ALNUM) && (facts.shape_or & HAS_OTHER)) return false;
  if (config.forbid_punct_tokens && punct_rejects(key, vocab, config, facts))
    return false;
  if (config.max_token_words != 0 && facts.word_end_sum > config.max_token_words) return false;
  if (facts.word_end_sum >= 2 && cross_word_held) return false;
  if (config.forbid_incomplete_cross_word && (facts.shape_or & HAS_END) && !key.empty() &&
      !(vocab.token_shape[key.back()] & ENDS_WITH_END))
    return false;
  return true;
}

}  // namespace tarvex
