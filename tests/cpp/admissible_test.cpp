#include "text/admissible.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "text/normalize.hpp"
#include "util/utf8.hpp"

namespace tarvex {
namespace {

// A candidate written as its tokens' texts; ids come from one shared Vocab.
struct Case {
  std::vector<std::string> tokens;
  bool admissible;
};

std::vector<TokenId> key_of(Vocab& vocab, const std::vector<std::string>& tokens) {
  std::vector<TokenId> key;
  for (const auto& t : tokens) key.push_back(vocab.intern(t));
  return key;
}

std::string describe(const std::vector<std::string>& tokens) {
  std::string out = "[";
  for (size_t i = 0; i < tokens.size(); ++i) out += (i ? "|" : "") + tokens[i];
  return out + "]";
}

void expect_cases(const TrainConfig& config, const std::vector<Case>& cases, size_t effective = 20000) {
  Vocab vocab;
  for (const auto& c : cases) {
    auto key = key_of(vocab, c.tokens);
    EXPECT_EQ(is_admissible(key, vocab, config, effective), c.admissible) << describe(c.tokens);
  }
}

TrainConfig with(const std::function<void(TrainConfig&)>& set) {
  TrainConfig c;
  c.n_values = make_n_values(2, 6);
  set(c);
  return c;
}

TrainConfig punct_with(const std::function<void(TrainConfig&)>& set) {
  return with([&](TrainConfig& c) {
    c.forbid_punct_tokens = true;
    set(c);
  });
}

std::string repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(AdmissibleTest, DefaultsAdmitEverything) {
  expect_cases(with([](TrainConfig&) {}), {
      {{"a", "Ġ", "b", "Ġ"}, true},
      {{".", ","}, true},
      {{"a", "."}, true},
      {{"Ġ", "Ġ", "Ġ"}, true},
      {{repeat("x", 100), repeat("y", 100)}, true},
  });
}

TEST(AdmissibleTest, MaxTokenCharsCountsCharactersNotBytes) {
  expect_cases(with([](TrainConfig& c) { c.max_token_chars = 3; }), {
      {{"a", "b", "Ġ"}, true},
      {{"a", "b", "c", "Ġ"}, false},
      {{"ab", "c"}, true},
      {{"ab", "cd"}, false},
      {{"é", "ü", "Ġ"}, true},  // 3 characters in 6 bytes
  });
}

TEST(AdmissibleTest, ForbidPunctWordMix) {
  expect_cases(with([](TrainConfig& c) { c.forbid_punct_word_mix = true; }), {
      {{"a", "."}, false},
      {{".", "Ġ"}, true},
      {{"a", "Ġ"}, true},
      {{"a.", "b"}, false},
      {{"a", "Ġ", "b", "Ġ"}, true},
  });
}

TEST(AdmissibleTest, ForbidPunctTokensAlone) {
  expect_cases(punct_with([](TrainConfig&) {}), {
      {{".", "Ġ"}, false},
      {{".", ","}, false},
      {{"a", "Ġ"}, true},                  // "Ġ" is not punctuation
      {{"of", "Ġ", "the", "Ġ"}, true},     // nothing non-alphanumeric besides "Ġ"
      {{"end", ".", "Ġ"}, false},
      {{"don't", "Ġ"}, false},
  });
}

TEST(AdmissibleTest, AllowSpacePunct) {
  expect_cases(punct_with([](TrainConfig& c) { c.allow_space_punct_tokens = true; }), {
      {{".", "Ġ"}, true},
      {{",", "Ġ"}, true},
      {{"?", "!", "Ġ"}, true},
      {{".", ","}, false},              // does not end a word
      {{"a", ".", "Ġ"}, false},         // holds an alphanumeric
      {{".", "Ġ", ",", "Ġ"}, false},    // two word ends
      {{"Ġ", ".", "Ġ"}, false},         // "Ġ" not only at the end
  });
}

TEST(AdmissibleTest, AllowAbbrev) {
  std::string body24 = repeat("a.", 12);          // 24 characters
  std::string body25 = repeat("a.", 12) + "a";    // 25 characters
  expect_cases(punct_with([](TrainConfig& c) { c.allow_abbrev_tokens = true; }), {
      {{"e.g.", "Ġ"}, true},
      {{"e", ".", "g", ".", "Ġ"}, true},
      {{"e.g..", "Ġ"}, true},           // dots only need to be present
      {{"U.S", "Ġ"}, true},
      {{"3.14", "Ġ"}, true},
      {{body24, "Ġ"}, true},
      {{body25, "Ġ"}, false},
      {{"...", "Ġ"}, false},            // no alphanumeric
      {{"e.g", "Ġ", "x"}, false},       // does not end at its only word end
      {{"e-g", "Ġ"}, false},
      {{"e.g.", "Ġ", "x.", "Ġ"}, false},
  });
}

TEST(AdmissibleTest, AllowHyphen) {
  std::string body32 = repeat("a", 15) + "-" + repeat("b", 16);
  std::string body33 = body32 + "c";
  expect_cases(punct_with([](TrainConfig& c) { c.allow_hyphen_tokens = true; }), {
      {{"-", "a", "b", "Ġ"}, false},    // starts with the hyphen
      {{"a", "-", "b", "Ġ"}, true},
      {{"well-known", "Ġ"}, true},
      {{"a--b", "Ġ"}, true},
      {{"ab-", "Ġ"}, false},            // ends with the hyphen
      {{"-", "Ġ"}, false},
      {{body32, "Ġ"}, true},
      {{body33, "Ġ"}, false},
      {{"a-b.", "Ġ"}, false},
  });
}

TEST(AdmissibleTest, AllowApostrophe) {
  expect_cases(punct_with([](TrainConfig& c) { c.allow_apostrophe_tokens = true; }), {
      {{"don't", "Ġ"}, true},
      {{"'s", "Ġ"}, true},
      {{"'", "s", "Ġ"}, true},
      {{"''", "Ġ"}, false},
      {{"don\u2019t", "Ġ"}, false},     // only the ASCII apostrophe counts
      {{"don't"}, false},
      {{repeat("a", 31) + "'", "Ġ"}, true},
      {{repeat("a", 32) + "'", "Ġ"}, false},
  });
}

TEST(AdmissibleTest, AllowWordFinalPunct) {
  expect_cases(punct_with([](TrainConfig& c) { c.allow_word_final_punct_tokens = true; }), {
      {{"end", ".", "Ġ"}, true},
      {{"end", ".)\"", "Ġ"}, true},
      {{"yes", "!?", "Ġ"}, true},
      {{"end", "....", "Ġ"}, false},    // a fourth closing character
      {{".", "Ġ"}, false},              // empty prefix
      {{"a.b.", "Ġ"}, false},           // prefix not alphanumeric
      {{"e.g.", "Ġ"}, false},
      {{"end", "-", "Ġ"}, false},       // "-" is not closing punctuation
      {{"end", "."}, false},
      {{repeat("a", 31) + ".", "Ġ"}, true},
      {{repeat("a", 32) + ".", "Ġ"}, false},
  });
}

TEST(AdmissibleTest, AllowCrossWordPunctWordMix) {
  std::string word48 = repeat("w", 48), word49 = repeat("w", 49);
  expect_cases(punct_with([](TrainConfig& c) { c.allow_cross_word_punct_word_mix_tokens = true; }), {
      {{"of", "Ġ", "the", ",", "Ġ"}, true},
      {{"of", ",", "Ġ"}, false},                 // one word only
      {{"of", "Ġ", "th", ","}, false},           // ends inside a word
      {{"Ġ", "of", ",", "Ġ"}, false},            // empty first word
      {{"a,", "Ġ", "Ġ", "b", "Ġ"}, false},       // empty word in the middle
      {{"...", "Ġ", "a,", "Ġ"}, true},           // short word without alphanumerics
      {{"e.g.", "Ġ", "x", "Ġ"}, true},           // abbreviation
      {{"well-known", "Ġ", "x", "Ġ"}, true},     // hyphen
      {{"don't", "Ġ", "x", "Ġ"}, true},          // apostrophe
      {{"end.)\"", "Ġ", "x", "Ġ"}, true},        // word-final
      {{"end....", "Ġ", "x", "Ġ"}, true},        // passes as an abbreviation
      {{"end!!!!", "Ġ", "x", "Ġ"}, false},       // a fourth closing character
      {{"-x", "Ġ", "y", "Ġ"}, false},
      {{"a,b", "Ġ", "c", "Ġ"}, false},
      {{"......", "Ġ", "a", "Ġ"}, true},         // six characters, none alphanumeric
      {{".......", "Ġ", "a", "Ġ"}, false},       // seven
      {{word48 + "Ġ", "a,", "Ġ"}, true},
      {{word49 + "Ġ", "a,", "Ġ"}, false},        // word beyond 48 characters
  });
}

TEST(AdmissibleTest, ExceptionsCombine) {
  expect_cases(punct_with([](TrainConfig& c) {
                 c.allow_space_punct_tokens = c.allow_abbrev_tokens = c.allow_hyphen_tokens = true;
                 c.allow_apostrophe_tokens = c.allow_word_final_punct_tokens = true;
                 c.allow_cross_word_punct_word_mix_tokens = true;
               }),
               {
                   {{".", "Ġ"}, true},
                   {{"e.g.", "Ġ"}, true},
                   {{"a-b", "Ġ"}, true},
                   {{"'s", "Ġ"}, true},
                   {{"end", ".", "Ġ"}, true},
                   {{"of", "Ġ", "the", ",", "Ġ"}, true},
                   {{"a", ",", "b", "Ġ"}, false},
                   {{".", ","}, false},
               });
}

TEST(AdmissibleTest, MaxTokenWords) {
  expect_cases(with([](TrainConfig& c) { c.max_token_words = 1; }), {
      {{"a", "Ġ", "b", "Ġ"}, false},
      {{"aĠbĠ"}, false},
      {{"a", "Ġ"}, true},
      {{"a", "b"}, true},
  });
  // The word-end count saturates at 255, like token_word_ends.
  std::string ends200 = repeat("Ġ", 200);
  expect_cases(with([](TrainConfig& c) { c.max_token_words = 255; }), {{{ends200, ends200}, true}});
  expect_cases(with([](TrainConfig& c) { c.max_token_words = 254; }), {{{ends200, ends200}, false}});
}

TEST(AdmissibleTest, CrossWordStartVocab) {
  auto config = with([](TrainConfig& c) { c.cross_word_start_vocab = 1000; });
  std::vector<Case> held = {
      {{"a", "Ġ", "b", "Ġ"}, false},
      {{"a", "Ġ", "b"}, true},
      {{"ab"}, true},
  };
  expect_cases(config, held, 999);
  expect_cases(config, {{{"a", "Ġ", "b", "Ġ"}, true}}, 1000);
}

TEST(AdmissibleTest, ForbidIncompleteCrossWord) {
  expect_cases(with([](TrainConfig& c) { c.forbid_incomplete_cross_word = true; }), {
      {{"a", "Ġ", "b"}, false},
      {{"aĠb"}, false},
      {{"a", "Ġ", "b", "Ġ"}, true},
      {{"a", "b"}, true},
      {{"Ġ", "a"}, false},
  });
}

TEST(AdmissibleTest, EndsWordOnce) {
  struct C {
    std::vector<std::string> tokens;
    bool expected;
  };
  const std::vector<C> cases = {
      {{"a", "Ġ"}, true},   {{"aĠ"}, true},         {{"Ġ"}, true},
      {{"a", "Ġ", "b", "Ġ"}, false},                 {{"aĠĠ"}, false},
      {{"Ġ", "aĠ"}, false}, {{"a"}, false},          {{"aĠ", "b"}, false},
      {{}, false},
  };
  Vocab vocab;
  for (const auto& c : cases) {
    auto key = key_of(vocab, c.tokens);
    EXPECT_EQ(ends_word_once(key, vocab), c.expected) << describe(c.tokens);
  }
}

TEST(AdmissibleTest, PunctRuleRejectsOnItsOwn) {
  auto config = punct_with([](TrainConfig& c) { c.allow_space_punct_tokens = true; });
  Vocab vocab;
  EXPECT_FALSE(punct_rule_rejects(key_of(vocab, {"a", "b", "Ġ"}), vocab, config));
  EXPECT_FALSE(punct_rule_rejects(key_of(vocab, {".", "Ġ"}), vocab, config));
  EXPECT_TRUE(punct_rule_rejects(key_of(vocab, {"a", ".", "Ġ"}), vocab, config));
  EXPECT_FALSE(punct_rule_rejects({}, vocab, config));
}

// A slow, text-level statement of the punctuation rule, to check the
// token-fact shortcuts of the real one against random candidates.
namespace reference {

using U32 = std::u32string;

bool al(char32_t c) { return c != kEndChar && is_alnum_char(c); }
bool all_of(const U32& w, const std::function<bool(char32_t)>& f) {
  for (char32_t c : w)
    if (!f(c)) return false;
  return true;
}
bool any_al(const U32& w) { return !all_of(w, [](char32_t c) { return !al(c); }); }
bool has(const U32& w, char32_t x) { return w.find(x) != U32::npos; }
bool pattern(const U32& w, size_t limit, char32_t extra) {
  return !w.empty() && w.size() <= limit && all_of(w, [&](char32_t c) { return al(c) || c == extra; }) &&
         has(w, extra) && any_al(w);
}
bool abbrev(const U32& w, size_t limit) { return pattern(w, limit, U'.'); }
bool hyphen(const U32& w, size_t limit) { return pattern(w, limit, U'-') && al(w.front()) && al(w.back()); }
bool apostrophe(const U32& w, size_t limit) { return pattern(w, limit, U'\''); }
bool word_final(const U32& w, size_t limit) {
  const U32 close = U"!\"'),.:;?]}";
  if (w.size() > limit) return false;
  size_t t = 0;
  while (t < w.size() && close.find(w[w.size() - 1 - t]) != U32::npos) ++t;
  U32 prefix = w.substr(0, w.size() - t);
  return t >= 1 && t <= 3 && !prefix.empty() && all_of(prefix, al);
}

bool punct_rejects(const std::string& utf8, const TrainConfig& c) {
  U32 text;
  for (size_t i = 0; i < utf8.size();) text += static_cast<char32_t>(utf8_next(utf8, i));
  if (all_of(text, [](char32_t ch) { return ch == kEndChar || al(ch); })) return false;
  size_t ends = 0;
  for (char32_t ch : text) ends += ch == kEndChar;
  if (ends == 1 && text.back() == kEndChar) {
    U32 body = text.substr(0, text.size() - 1);
    if (c.allow_space_punct_tokens && !any_al(body)) return false;
    if (c.allow_abbrev_tokens && abbrev(body, 24)) return false;
    if (c.allow_hyphen_tokens && hyphen(body, 32)) return false;
    if (c.allow_apostrophe_tokens && apostrophe(body, 32)) return false;
    if (c.allow_word_final_punct_tokens && word_final(body, 32)) return false;
  }
  if (c.allow_cross_word_punct_word_mix_tokens && ends >= 2 && text.back() == kEndChar) {
    bool ok = true;
    U32 word;
    for (char32_t ch : text) {
      if (ch != kEndChar) {
        word += ch;
        continue;
      }
      bool valid = !word.empty() && word.size() <= 48 &&
                   (all_of(word, al) || (word.size() <= 6 && !any_al(word)) || abbrev(word, 24) ||
                    hyphen(word, 32) || apostrophe(word, 32) || word_final(word, 48));
      ok = ok && valid;
      word.clear();
    }
    if (ok) return false;
  }
  return true;
}

}  // namespace reference

TEST(AdmissibleTest, PunctRuleAgreesWithTextReference) {
  const std::vector<std::string> pool = {"a", "b", "é", "7", ".", "-", "'", ",", "!", ")", "#", "Ġ",
                                         "aĠ", ".Ġ", "a.", "b-", "'s", "ofĠ", "Ġa", "x,Ġ", "\u2019"};
  std::vector<TrainConfig> configs;
  for (int option = 0; option < 7; ++option) {
    configs.push_back(punct_with([&](TrainConfig& c) {
      bool all = option == 6;
      c.allow_space_punct_tokens = all || option == 0;
      c.allow_abbrev_tokens = all || option == 1;
      c.allow_hyphen_tokens = all || option == 2;
      c.allow_apostrophe_tokens = all || option == 3;
      c.allow_word_final_punct_tokens = all || option == 4;
      c.allow_cross_word_punct_word_mix_tokens = all || option == 5;
    }));
  }
  Vocab vocab;
  std::mt19937 rng(12345);
  for (int trial = 0; trial < 20000; ++trial) {
    std::vector<std::string> tokens(1 + rng() % 6);
    std::string text;
    for (auto& t : tokens) text += t = pool[rng() % pool.size()];
    auto key = key_of(vocab, tokens);
    for (size_t ci = 0; ci < configs.size(); ++ci)
      ASSERT_EQ(punct_rule_rejects(key, vocab, configs[ci]), reference::punct_rejects(text, configs[ci]))
          << describe(tokens) << " option set " << ci;
  }
}

}  // namespace
}  // namespace tarvex
