// Encoder: vocab.json reading, trie filters, the minimum-token DP (checked
// against a brute-force search) and the emitted module text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "encode/dp.hpp"
#include "encode/dp_tokenizer.hpp"
#include "encode/token_trie.hpp"
#include "encode/vocab_json.hpp"
#include "export/module_text.hpp"
#include "text/normalize.hpp"
#include "util/thread_pool.hpp"
#include "util/utf8.hpp"

namespace tarvex {
namespace {

const std::string kG = "\xC4\xA0";  // END_TOKEN

std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/tarvex_encode_test_" + std::to_string(::getpid()) + "_" + name;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

// Restores an environment variable on scope exit.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~EnvVar() {
    if (had_)
      ::setenv(name_, old_.c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// ---- vocab.json --------------------------------------------------------

TEST(EncodeVocabJson, AcceptsObjectsOfIds) {
  struct Case {
    const char* name;
    std::string text;
    VocabEntries want;
  };
  const std::vector<Case> cases = {
      {"empty object", "{}", {}},
      {"whitespace around", " \n\t{ \"a\" : 1 }\r\n  ", {{"a", 1}}},
      {"max id", "{\"a\":4294967295,\"b\":0}", {{"a", 4294967295u}, {"b", 0}}},
      {"later duplicate wins", "{\"a\":1,\"b\":2,\"a\":3}", {{"a", 3}, {"b", 2}}},
      {"escapes", R"({"\"\\\/\b\f\n\r\t":1,"\u00e9\u4e2d":2,"\ud83d\ude00":3,"":4})",
       {{"\"\\/\b\f\n\r\t", 1}, {"\xC3\xA9\xE4\xB8\xAD", 2}, {"\xF0\x9F\x98\x80", 3}, {"", 4}}},
      {"raw utf-8 and END_TOKEN", "{\"a" + kG + "\":7,\"\xE2\x98\x83\":8}", {{"a" + kG, 7}, {"\xE2\x98\x83", 8}}},
  };
  for (const auto& c : cases) {
    auto got = parse_vocab_json_text(c.text);
    ASSERT_TRUE(got.is_ok()) << c.name << ": " << got.error().joined();
    EXPECT_EQ(*got, c.want) << c.name;
  }
}

TEST(EncodeVocabJson, RejectsMalformedInputWithPosition) {
  struct Case {
    const char* name;
    std::string text;
    const char* want;  // a substring of the message
  };
  const std::vector<Case> cases = {
      {"byte order mark", "\xEF\xBB\xBF{}", "expected a JSON object at line 1 column 1"},
      {"array", "[1, 2]", "expected a JSON object at line 1 column 1"},
      {"empty file", "", "EOF while parsing a value at line 1 column 0"},
      {"fraction", "{\"a\": 1.5}", "floating point"},
      {"exponent", "{\"a\": 1e3}", "floating point"},
      {"negative", "{\n  \"a\": -1\n}", "negative number, expected an unsigned 32-bit id at line 2 column 8"},
      {"too large", "{\"a\": 4294967296}", "out of range"},
      {"leading zero", "{\"a\": 01}", "leading zero"},
      {"string value", "{\"a\": \"1\"}", "invalid type"},
      {"null value", "{\"a\": null}", "invalid type"},
      {"missing value", "{\"a\": }", "expected value"},
      {"trailing text", "{\"a\": 1} x", "trailing characters at line 1 column 10"},
      {"second object", "{}{}", "trailing characters"},
      {"missing colon", "{\"a\" 1}", "expected `:`"},
      {"missing comma", "{\"a\": 1 \"b\": 2}", "expected `,` or `}`"},
      {"trailing comma", "{\"a\": 1,}", "expected a string key"},
      {"unquoted key", "{a: 1}", "expected a string key"},
      {"unterminated object", "{\"a\": 1", "EOF while parsing an object"},
      {"unterminated string", "{\"a", "EOF while parsing a string"},
      {"raw control character", "{\"a\tb\": 1}", "control character"},
      {"bad escape", "{\"\\x\": 1}", "invalid escape"},
      {"bad hex escape", "{\"\\u12g4\": 1}", "invalid escape"},
      {"lone trailing surrogate", "{\"\\udc00\": 1}", "lone trailing surrogate"},
      {"lone leading surrogate", "{\"\\ud800x\": 1}", "unexpected end of hex escape"},
      {"leading surrogate without pair", "{\"\\ud800\\u0041\": 1}", "lone leading surrogate"},
      {"invalid utf-8 continuation", "{\"\xC3(\": 1}", "invalid UTF-8"},
      {"overlong utf-8", "{\"\xC0\xAF\": 1}", "invalid UTF-8"},
      {"encoded surrogate", "{\"\xED\xA0\x80\": 1}", "invalid UTF-8"},
      {"stray continuation byte", "{\"\x80\": 1}", "invalid UTF-8"},
  };
  for (const auto& c : cases) {
    auto got = parse_vocab_json_text(c.text);
    ASSERT_FALSE(got.is_ok()) << c.name;
    EXPECT_NE(got.error().joined().find(c.want), std::string::npos) << c.name << ": " << got.error().joined();
  }
}

TEST(EncodeVocabJson, FileErrorsAndBufferBoundaries) {
  auto missing = read_vocab_file(temp_path("does_not_exist.json"));
  ASSERT_FALSE(missing.is_ok());
  EXPECT_EQ(missing.error().joined(), "open vocab failed: No such file or directory (os error 2)");

  std::string bad = temp_path("bad.json");
  write_file(bad, "{\"a\": 1,\n \"b\": x}");
  auto parsed = read_vocab_file(bad);
  ASSERT_FALSE(parsed.is_ok());
  EXPECT_EQ(parsed.error().joined(), "parse vocab.json failed: expected value at line 2 column 7");
  std::remove(bad.c_str());

  // Many entries with multi-byte characters, so that names, escapes and
  // numbers straddle the 8192-byte read buffer.
  std::string big = temp_path("big.json");
  std::string text = "{\n";
  VocabEntries want;
  for (uint32_t i = 0; i < 5000; ++i) {
    std::string name = "t\xE4\xB8\xAD" + std::to_string(i) + kG;
    text += "  \"" + name + "\\n\": " + std::to_string(i * 7919u) + (i + 1 < 5000 ? ",\n" : "\n");
    want.emplace_back(name + "\n", i * 7919u);
  }
  text += "}\n";
  write_file(big, text);
  auto loaded = read_vocab_file(big);
  ASSERT_TRUE(loaded.is_ok()) << loaded.error().joined();
  EXPECT_EQ(*loaded, want);
  std::remove(big.c_str());

  // A directory opens but cannot be read.
  auto dir = read_vocab_file("/");
  ASSERT_FALSE(dir.is_ok());
  EXPECT_EQ(dir.error().chain().front(), "parse vocab.json failed");
}

// ---- tokenizer construction -------------------------------------------

TEST(EncodeTokenizer, UnknownTokenResolution) {
  VocabEntries vocab = {{"<unk>", 0}, {"<pad>", 1}, {"a", 5}};
  TrieFilter none;
  auto t = DpTokenizer::from_entries(vocab, "<unk>", none);
  ASSERT_TRUE(t.is_ok());
  EXPECT_EQ(t->unk_id(), 0u);
  auto p = DpTokenizer::from_entries(vocab, "<pad>", none);
  ASSERT_TRUE(p.is_ok());
  EXPECT_EQ(p->unk_id(), 1u);

  auto missing = DpTokenizer::from_entries({{"a", 0}}, "<unk>", none);
  ASSERT_FALSE(missing.is_ok());
  EXPECT_EQ(missing.error().joined(), "unk_token \"<unk>\" not found in vocab");
  auto empty = DpTokenizer::from_entries({}, "<unk>", none);
  ASSERT_FALSE(empty.is_ok());

  // The unknown token is resolved before filtering: a token the punctuation
  // rule drops still serves as the unknown id.
  TrieFilter punct;
  punct.forbid_punct_tokens = true;
  auto filtered = DpTokenizer::from_entries(vocab, "<unk>", punct);
  ASSERT_TRUE(filtered.is_ok());
  EXPECT_EQ(filtered->trie().find(U"<unk>"), kNoNode);
  EXPECT_EQ(filtered->encode("a"), (std::vector<uint32_t>{5, 0}));
}

TEST(EncodeTokenizer, QuotedTokenForMessages) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<unk>", "\"<unk>\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\t\r\n", "\"\\t\\r\\n\""},
      {std::string("\x00\x1f", 2), "\"\\u{0}\\u{1f}\""},
      {"\xE2\x80\x8B", "\"\\u{200b}\""},
      {"\xC3\xA9" + kG, "\"\xC3\xA9" + kG + "\""},
  };
  for (const auto& [token, want] : cases) EXPECT_EQ(quoted_token(token), want);
  auto e = DpTokenizer::from_entries({{"a", 0}}, "x\"y", TrieFilter{});
  ASSERT_FALSE(e.is_ok());
  EXPECT_EQ(e.error().joined(), "unk_token \"x\\\"y\" not found in vocab");
}

TEST(EncodeTokenizer, LoadsFromFile) {
  std::string path = temp_path("vocab.json");
  write_file(path, "{\n  \"</s>\": 3,\n  \"<mask>\": 4,\n  \"<pad>\": 1,\n  \"<s>\": 2,\n  \"<unk>\": 0,\n  \"a\": 5,\n  \"a" +
                       kG + "\": 6\n}\n");
  auto t = DpTokenizer::load(path, "<unk>");
  ASSERT_TRUE(t.is_ok()) << t.error().joined();
  EXPECT_EQ(t->unk_id(), 0u);
  EXPECT_EQ(t->encode("a a"), (std::vector<uint32_t>{6, 6}));
  auto bad_unk = DpTokenizer::load(path, "<nope>");
  ASSERT_FALSE(bad_unk.is_ok());
  EXPECT_EQ(bad_unk.error().joined(), "unk_token \"<nope>\" not found in vocab");
  std::remove(path.c_str());
}

// ---- filters and switches ----------------------------------------------

std::u32string u32(const std::string& s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) out.push_back(utf8_next(s, i));
  return out;
}

TEST(EncodeFilter, DecisionsPerSwitch) {
  TrieFilter none, end_inner, cross, punct;
  end_inner.forbid_end_inner = true;
  cross.cross_word_whole_only = true;
  punct.forbid_punct_tokens = true;
  struct Case {
    const char* name;
    TrieFilter filter;
    std::string token;
    bool insert, word_start_only;
  };
  const std::vector<Case> cases = {
      {"no switch keeps end-inner", none, "a" + kG + "b", true, false},
      {"end-inner forbidden", end_inner, "a" + kG + "b", false, false},
      {"word end is not inner", end_inner, "ab" + kG, true, false},
      {"lone END_TOKEN", end_inner, kG, true, false},
      {"cross-word whole words", cross, "a" + kG + "b" + kG, true, true},
      {"cross-word not ending a word", cross, "a" + kG + "b", false, false},
      {"cross-word starting with END_TOKEN", cross, kG + "a" + kG, false, false},
      {"cross-word plain word", cross, "ab" + kG, true, false},
      {"single punctuation kept", punct, ",", true, false},
      {"punctuation in a longer token", punct, "a,", false, false},
      {"END_TOKEN is not punctuation", punct, "ab" + kG, true, false},
      {"non-ASCII letters", punct, "\xC3\xA9" + kG, true, false},
      {"Devanagari vowel sign is alphabetic", punct, "\xE0\xA4\x95\xE0\xA4\x83", true, false},
      {"empty token", punct, "", true, false},
  };
  for (const auto& c : cases) {
    TokenDecision d = decide_token(u32(c.token), c.filter);
    EXPECT_EQ(d.insert, c.insert) << c.name;
    EXPECT_EQ(d.word_start_only, c.word_start_only) << c.name;
  }
}

TEST(EncodeFilter, SwitchesArePresenceBased) {
  struct Case {
    const char* end_inner;
    const char* cross;
    const char* punct;
    TrieFilter want;
  };
  const std::vector<Case> cases = {
      {nullptr, nullptr, nullptr, {false, false, false}},
      {"0", nullptr, nullptr, {true, false, false}},
      {nullptr, "", nullptr, {false, true, false}},
      {"1", "1", nullptr, {true, false, false}},  // cross-word ignored under end-inner
      {nullptr, nullptr, "false", {false, false, true}},
      {"\xFF", "x", nullptr, {false, true, false}},  // a non-UTF-8 value counts as absent
  };
  for (const auto& c : cases) {
    EnvVar a("TARVEX_FORBID_END_INNER", c.end_inner);
    EnvVar b("TARVEX_CROSS_WORD_WHOLE_ONLY", c.cross);
    EnvVar p("TARVEX_FORBID_PUNCT_TOKENS", c.punct);
    TrieFilter f = TrieFilter::from_env();
    EXPECT_EQ(f.forbid_end_inner, c.want.forbid_end_inner);
    EXPECT_EQ(f.cross_word_whole_only, c.want.cross_word_whole_only);
    EXPECT_EQ(f.forbid_punct_tokens, c.want.forbid_punct_tokens);
  }
}

// ---- the DP --------------------------------------------------------------

// Builds a tokenizer whose ids are the positions in `tokens`; "<unk>" is 0.
DpTokenizer make(const std::vector<std::string>& tokens, TrieFilter filter = {}) {
  VocabEntries v = {{"<unk>", 0}};
  for (size_t i = 0; i < tokens.size(); ++i) v.emplace_back(tokens[i], static_cast<uint32_t>(i + 1));
  auto t = DpTokenizer::from_entries(v, "<unk>", filter);
  EXPECT_TRUE(t.is_ok());
  return std::move(t).value();
}

TEST(EncodeDp, DocumentedSegmentations) {
  TrieFilter cross;
  cross.cross_word_whole_only = true;
  struct Case {
    const char* name;
    std::vector<std::string> vocab;  // id = position + 1
    TrieFilter filter;
    std::string text;
    std::vector<uint32_t> want;
  };
  const std::vector<Case> cases = {
      {"empty text", {"a", kG}, {}, "", {}},
      {"whitespace only", {"a", kG}, {}, " \t\r\n ", {}},
      {"longest first token on a tie", {"a", "b", "c", "ab", "bc", kG}, {}, "abc", {4, 3, 6}},
      {"word end inside a token", {"a", "b", kG, "ab" + kG}, {}, "ab", {4}},
      {"unknown characters one each", {"a", kG}, {}, "a\xE2\x98\x83\xE2\x98\x83", {1, 0, 0, 2}},
      {"unknown word ends", {"x"}, {}, "x y", {1, 0, 0, 0}},
      {"a match excludes the fallback", {"ab", "b", "c", "d", kG, "bcd" + kG}, {}, "abcd", {1, 3, 4, 5}},
      {"cross-word token at a word start", {"x", "y", "a", kG, "x" + kG + "y" + kG}, cross, "x y", {5}},
      {"cross-word token not mid-word", {"x", "y", "a", kG, "x" + kG + "y" + kG}, cross, "ax y", {3, 1, 4, 2, 4}},
      {"cross-word token after a word", {"x", "y", "a", kG, "x" + kG + "y" + kG}, cross, "a x y", {3, 4, 5}},
      {"END_TOKEN in the input", {"a", "b", "c", kG}, {}, "a" + kG + "b c", {1, 4, 2, 4, 3, 4}},
  };
  for (const auto& c : cases) {
    DpTokenizer t = make(c.vocab, c.filter);
    EXPECT_EQ(t.encode(c.text), c.want) << c.name;
  }
}

TEST(EncodeDp, SharedIdCarriesTheWordStartMark) {
  // Two tokens with one id: the cross-word one marks the id, so the plain
  // word token with the same id is also held to word starts.
  TrieFilter cross;
  cross.cross_word_whole_only = true;
  VocabEntries v = {{"<unk>", 0}, {"a", 1}, {"b", 2}, {kG, 3}, {"a" + kG + "b" + kG, 9}, {"b" + kG, 9}};
  auto t = DpTokenizer::from_entries(v, "<unk>", cross);
  ASSERT_TRUE(t.is_ok());
  EXPECT_EQ(t->encode("b"), (std::vector<uint32_t>{9}));
  EXPECT_EQ(t->encode("ab"), (std::vector<uint32_t>{1, 2, 3}));
}

// Brute force: every segmentation (a matched token at each position, or
// one unknown character where nothing matches), the fewest tokens, then the
// lexicographically greatest sequence of token lengths.
struct Brute {
  std::map<std::u32string, uint32_t> tokens;  // inserted tokens
  std::map<std::u32string, bool> word_start_only;
  uint32_t unk = 0;

  std::vector<uint32_t> best(const std::u32string& s) const {
    std::vector<uint32_t> best_ids;
    std::vector<size_t> best_lens;
    bool have = false;
    std::vector<uint32_t> ids;
    std::vector<size_t> lens;
    std::function<void(size_t)> go = [&](size_t i) {
      if (i == s.size()) {
        bool better = !have || ids.size() < best_ids.size() || (ids.size() == best_ids.size() && lens > best_lens);
        if (better) best_ids = ids, best_lens = lens, have = true;
        return;
      }
      bool matched = false;
      for (size_t len = 1; i + len <= s.size(); ++len) {
        auto it = tokens.find(s.substr(i, len));
        if (it == tokens.end()) continue;
        bool at_start = i == 0 || s[i - 1] == kEndChar;
        if (!at_start && word_start_only.at(it->first)) continue;
        matched = true;
        ids.push_back(it->second), lens.push_back(len);
        go(i + len);
        ids.pop_back(), lens.pop_back();
      }
      if (!matched) {
        ids.push_back(unk), lens.push_back(1);
        go(i + 1);
        ids.pop_back(), lens.pop_back();
      }
    };
    go(0);
    return best_ids;
  }
};

TEST(EncodeDp, MatchesBruteForceOnRandomVocabularies) {
  std::mt19937 rng(12345);
  const std::vector<std::string> alphabet = {"a", "b", "c", kG, "\xC3\xA9", "\xF0\x9F\x98\x80"};
  const std::vector<std::string> text_alphabet = {"a", "b", "c", " ", "\xC3\xA9", "\xF0\x9F\x98\x80", "d"};
  for (int round = 0; round < 300; ++round) {
    TrieFilter filter;
    filter.cross_word_whole_only = round % 3 == 0;
    VocabEntries v = {{"<unk>", 0}};
    size_t count = 2 + rng() % 14;
    for (size_t k = 0; k < count; ++k) {
      std::string tok;
      size_t len = 1 + rng() % 4;
      for (size_t c = 0; c < len; ++c) tok += alphabet[rng() % alphabet.size()];
      v.emplace_back(tok, static_cast<uint32_t>(1 + rng() % 20));  // ids may repeat
    }
    auto t = DpTokenizer::from_entries(v, "<unk>", filter);
    ASSERT_TRUE(t.is_ok());

    // The reference sees the same dedup (later value wins) and filter.
    Brute brute;
    std::map<std::u32string, uint32_t> last;
    for (const auto& [tok, id] : v) last[u32(tok)] = id;
    std::vector<uint32_t> marked;
    for (const auto& [tok, id] : last) {
      TokenDecision d = decide_token(tok, filter);
      if (!d.insert || tok.empty()) continue;
      brute.tokens[tok] = id;
      if (d.word_start_only) marked.push_back(id);
    }
    for (const auto& [tok, id] : brute.tokens)
      brute.word_start_only[tok] = std::find(marked.begin(), marked.end(), id) != marked.end();

    for (int k = 0; k < 20; ++k) {
      std::string text;
      size_t len = rng() % 9;
      for (size_t c = 0; c < len; ++c) text += text_alphabet[rng() % text_alphabet.size()];
      std::vector<uint32_t> chars = normalize_chars(text);
      std::u32string s(chars.begin(), chars.end());
      ASSERT_EQ(t->encode(text), brute.best(s)) << "round " << round << " text '" << text << "'";
    }
  }
}

TEST(EncodeDp, BatchEqualsEncodeForAnyThreadCount) {
  DpTokenizer t = make({"a", "b", "ab", "ba", kG, "a" + kG, "b" + kG + "a"});
  std::mt19937 rng(7);
  std::vector<std::string> texts;
  for (int i = 0; i < 500; ++i) {
    std::string s;
    size_t len = rng() % 40;
    for (size_t c = 0; c < len; ++c) s += "ab x"[rng() % 4];
    texts.push_back(s);
  }
  ThreadPool one(1), two(2), four(4);
  auto a = t.encode_batch(texts, one);
  EXPECT_EQ(a, t.encode_batch(texts, two));
  EXPECT_EQ(a, t.encode_batch(texts, four));
  ASSERT_EQ(a.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(a[i], t.encode(texts[i]));
  EXPECT_TRUE(t.encode_batch({}, two).empty());
}

// ---- the emitted module --------------------------------------------------

TEST(EncodeModuleText, IsTheTreeFileWithCrLf) {
  std::ifstream f(std::string(TARVEX_SOURCE_DIR) + "/src/export/tokenization_tarvex.py", std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  std::string want;
  for (char c : ss.str()) {
    if (c == '\n') want += '\r';
    want += c;
  }
  std::string_view text = tokenizer_module_text();
  EXPECT_EQ(text, want);
  EXPECT_EQ(text.substr(0, 3), "\"\"\"");
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at byte " << i;
    }
  }
  EXPECT_NE(text.find("class Tarvex(PreTrainedTokenizer):"), std::string_view::npos);
}

}  // namespace
}  // namespace tarvex
