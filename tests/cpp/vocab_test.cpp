#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

#include "train/corpus_reader.hpp"
#include "train/preprocess.hpp"
#include "train/vocab.hpp"

using namespace tarvex;

namespace {
const std::string G = "\xC4\xA0";

std::vector<std::string> texts_of(const Vocab& v, const std::vector<TokenId>& ids) {
  std::vector<std::string> out;
  for (TokenId id : ids) out.push_back(v.id_to_token[id]);
  return out;
}

struct TempFile {
  std::string path;
  explicit TempFile(const std::string& content) {
    char tmpl[] = "/tmp/tarvex_corpus_XXXXXX";
    int fd = mkstemp(tmpl);
    path = tmpl;
    FILE* f = fdopen(fd, "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
  ~TempFile() { std::remove(path.c_str()); }
};
}  // namespace

TEST(Vocab, ShapesAndDerivedFacts) {
  struct Case {
    std::string text;
    uint8_t shape;
    uint32_t chars;
  } cases[] = {
      // "Ġ" alone ends with the marker too; the word-end rules depend on it.
      {G, HAS_END | ENDS_WITH_END, 1},
      {"a" + G, HAS_ALNUM | HAS_END | ENDS_WITH_END, 2},
      {"a.", HAS_ALNUM | HAS_OTHER, 2},
      {"", 0, 0},
      {"." + G + "b", HAS_ALNUM | HAS_OTHER | HAS_END, 3},
      {"\xE4\xB8\xAD", HAS_ALNUM, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shape_of(c.text), c.shape) << c.text;
    Vocab v;
    TokenId id = v.intern(c.text);
    EXPECT_EQ(v.token_shape[id], c.shape);
    EXPECT_EQ(v.token_chars[id], c.chars);
  }
  std::string many;
  for (int i = 0; i < 300; ++i) many += G;
  Vocab v;
  EXPECT_EQ(v.token_word_ends[v.intern(many)], 255);
}

TEST(Vocab, InternIsGetOrAddAndEffectiveSizeCountsMissingSpecials) {
  Vocab v;
  EXPECT_EQ(v.intern("a"), 0u);
  EXPECT_EQ(v.intern("b"), 1u);
  EXPECT_EQ(v.intern("a"), 0u);
  EXPECT_EQ(v.size(), 2u);
  EXPECT_EQ(v.token_chars.size(), 2u);
  EXPECT_EQ(effective_vocab_size(v), 7u);
  v.intern("<unk>");
  EXPECT_EQ(effective_vocab_size(v), 3u + 4u);
  for (auto s : kSpecialTokens) v.intern(s);
  EXPECT_EQ(effective_vocab_size(v), 7u);
  EXPECT_EQ(total_tokens({{{0, 1, 2}, 3}, {{1}, 2}}), 11u);
}

TEST(Preprocess, DeduplicatesAndNumbersInByteOrder) {
  for (size_t workers : {0, 1, 2, 7}) {
    Trainer t;
    t.config.num_workers = workers;
    ASSERT_TRUE(build_vocab_mp(t, {"x", "x", "x"}));
    // x (0x78) sorts before "Ġ" (U+0120).
    ASSERT_EQ(t.vocab.id_to_token, (std::vector<std::string>{"x", G}));
    ASSERT_EQ(t.entries.size(), 1u);
    EXPECT_EQ(t.entries[0].tokens, (std::vector<TokenId>{0, 1}));
    EXPECT_EQ(t.entries[0].freq, 3u);
  }
  Trainer t;
  ASSERT_TRUE(build_vocab_mp(t, {"a  b", "a b", "b a", "\xE4\xB8\xAD c"}));
  EXPECT_EQ(t.vocab.id_to_token, (std::vector<std::string>{"a", "b", "c", G, "\xE4\xB8\xAD"}));
  ASSERT_EQ(t.entries.size(), 3u);
  EXPECT_EQ(texts_of(t.vocab, t.entries[0].tokens), (std::vector<std::string>{"a", G, "b", G}));
  EXPECT_EQ(t.entries[0].freq, 2u);
}

TEST(Preprocess, SameResultForEveryThreadCount) {
  std::vector<std::string> lines;
  for (int i = 0; i < 3000; ++i) lines.push_back("w" + std::to_string(i % 211) + " \xC3\xA7" + std::to_string(i % 7));
  Trainer ref;
  ref.config.num_workers = 1;
  ASSERT_TRUE(build_vocab_mp(ref, lines));
  for (size_t workers : {0, 2, 5}) {
    Trainer t;
    t.config.num_workers = workers;
    ASSERT_TRUE(build_vocab_mp(t, lines));
    EXPECT_EQ(t.vocab.id_to_token, ref.vocab.id_to_token);
    EXPECT_EQ(t.entries, ref.entries);
  }
}

// Entries are ordered by their token ids for every thread count: the
// texts are put in order as bytes, before ids exist, which only agrees when
// ids follow code point order and bytes compare unsigned. Characters of
// one to four bytes, texts that are prefixes of others, and enough of them
// for the order to be built in parallel runs.
TEST(Preprocess, EntriesInTokenOrderWithCharactersOfEveryWidth) {
  const std::vector<std::string> chars = {"a", "z", "\xC3\xA9", "\xC2\x80", "\xE4\xB8\xAD", "\xEF\xBF\xBD",
                                          "\xF0\x9F\x98\x80", "~"};
  std::mt19937 rng(7);
  std::vector<std::string> lines;
  for (int i = 0; i < 6000; ++i) {
    std::string line;
    for (size_t n = 1 + rng() % 6; n > 0; --n) line += chars[rng() % chars.size()];
    lines.push_back(line);
    if (i % 5 == 0) lines.push_back(line + chars[rng() % chars.size()]);
  }
  for (size_t workers : {1, 2, 0}) {
    Trainer t;
    t.config.num_workers = workers;
    ASSERT_TRUE(build_vocab_mp(t, lines));
    ASSERT_GT(t.entries.size(), 4096u);
    for (size_t i = 1; i < t.entries.size(); ++i)
      ASSERT_LT(t.entries[i - 1].tokens, t.entries[i].tokens) << "entries " << i - 1 << " and " << i << ", workers " << workers;
    ASSERT_TRUE(std::is_sorted(t.vocab.id_to_token.begin(), t.vocab.id_to_token.end()));
  }
}

TEST(CorpusReader, LinesKeptAndCounted) {
  struct Case {
    std::string content;
    std::vector<std::string> lines;
    size_t chars;
  } cases[] = {
      {"a\nb\n", {"a", "b"}, 2},
      {"a\r\nb\r\n", {"a", "b"}, 2},
      {"a\n\n \t\n\xE3\x80\x80\nlast", {"a", "last"}, 5},
      {" ab \xC3\xA7\n", {" ab \xC3\xA7"}, 5},  // kept text is not trimmed; counts characters
      {"x\r", {"x\r"}, 2},                     // a CR without LF stays
  };
  for (const auto& c : cases) {
    TempFile f(c.content);
    auto r = read_corpus_file(f.path);
    ASSERT_TRUE(r) << r.error().joined();
    EXPECT_EQ(r->lines, c.lines);
    EXPECT_EQ(r->total_chars, c.chars);
  }
  // Lines longer than the read buffer survive intact.
  std::string long_line(20000, 'q');
  TempFile f(long_line + "\n" + long_line);
  auto r = read_corpus_file(f.path);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->lines.size(), 2u);
  EXPECT_EQ(r->lines[1], long_line);
}

TEST(CorpusReader, Errors) {
  {
    TempFile f(" \n\t\n");
    auto r = read_corpus_file(f.path);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().joined(), "corpus is empty: " + f.path);
  }
  {
    TempFile f("ok\nstill ok\nbad \xC3\x28 byte\n");
    auto r = read_corpus_file(f.path);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().joined(), "read corpus file " + f.path + ": line 3: stream did not contain valid UTF-8");
  }
  auto r = read_corpus_file("/nonexistent/dir/corpus.txt");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().joined(), "open corpus file /nonexistent/dir/corpus.txt: No such file or directory (os error 2)");
  auto d = read_corpus_file("/tmp");
  ASSERT_FALSE(d);
  EXPECT_NE(d.error().joined().find("Is a directory"), std::string::npos);
}
