#include "train/text_collector.hpp"

#include <gtest/gtest.h>

#include <map>

#include "train/preprocess.hpp"

namespace tarvex {
namespace {

using Counts = std::map<std::string, uint32_t>;

Counts sorted(const FlatMap<std::string, uint32_t>& m) {
  Counts out;
  m.for_each([&](const std::string& k, const uint32_t& v) { out[k] = v; });
  return out;
}

struct Collected {
  Counts counts;
  uint64_t total_chars, accepted;
  size_t taken;  // texts handed to admit before it asked to stop
};

// Feeds texts the way the Python sources do: stop when admit says so, count
// a chunk whenever it is full, count the rest at the end.
Collected collect(const std::vector<std::string>& texts, uint64_t max_docs, size_t chunk_size,
                  size_t threads = 2) {
  ThreadPool pool(threads);
  TextCollector c(pool, max_docs, chunk_size, chunk_size);
  size_t taken = 0;
  for (const std::string& t : texts) {
    ++taken;
    if (!c.admit(t)) break;
    if (c.chunk_full()) c.flush_chunk();
    EXPECT_LT(c.pending(), chunk_size);
  }
  c.flush_chunk();
  EXPECT_EQ(c.pending(), 0u);
  return {sorted(c.word_counts()), c.total_chars(), c.accepted(), taken};
}

const std::string G = "\xC4\xA0";  // END_TOKEN

TEST(TextCollectorTest, CountsNormalizedForms) {
  struct Case {
    const char* name;
    std::vector<std::string> texts;
    Counts counts;
    uint64_t total_chars;
  };
  const std::vector<Case> cases = {
      {"repeats share one entry", {"ab", "ab", "ab"}, {{"ab" + G, 3}}, 6},
      {"white space variants share one entry", {"a b", "a  b", " a\tb\n"}, {{"a" + G + "b" + G, 3}}, 3 + 4 + 5},
      {"blank texts count nothing", {"", " ", "\t\n", "\xE3\x80\x80", "x"}, {{"x" + G, 1}}, 1},
      {"surrounding space counts, untrimmed", {" abcd "}, {{"abcd" + G, 1}}, 6},
      {"characters, not bytes", {"ab \xC3\xA7"}, {{"ab" + G + "\xC3\xA7" + G, 1}}, 4},
      {"nothing kept", {" ", ""}, {}, 0},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{4096}}) {
      SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
      Collected got = collect(c.texts, 0, chunk);
      EXPECT_EQ(got.counts, c.counts);
      EXPECT_EQ(got.total_chars, c.total_chars);
      EXPECT_EQ(got.taken, c.texts.size());
    }
  }
}

TEST(TextCollectorTest, SameCountsForEveryChunkSizeAndThreadCount) {
  std::vector<std::string> texts;
  for (int i = 0; i < 500; ++i) texts.push_back("text " + std::to_string(i % 37) + (i % 3 ? " tail" : ""));
  Collected base = collect(texts, 0, 4096, 1);
  EXPECT_EQ(base.accepted, 500u);
  for (size_t chunk : {1, 7, 64, 499, 500, 501})
    for (size_t threads : {1, 2, 5}) {
      SCOPED_TRACE("chunk " + std::to_string(chunk) + ", threads " + std::to_string(threads));
      Collected got = collect(texts, 0, chunk, threads);
      EXPECT_EQ(got.counts, base.counts);
      EXPECT_EQ(got.total_chars, base.total_chars);
    }
}

TEST(TextCollectorTest, MaxDocsStopsAtTheLimitIgnoringBlanks) {
  const std::vector<std::string> texts = {" ", "a", "", "b", "c", "d"};
  struct Case {
    uint64_t max_docs;
    size_t taken;
    Counts counts;
  };
  const std::vector<Case> cases = {
      {1, 2, {{"a" + G, 1}}},
      {2, 4, {{"a" + G, 1}, {"b" + G, 1}}},
      {4, 6, {{"a" + G, 1}, {"b" + G, 1}, {"c" + G, 1}, {"d" + G, 1}}},
      {5, 6, {{"a" + G, 1}, {"b" + G, 1}, {"c" + G, 1}, {"d" + G, 1}}},
  };
  for (const Case& c : cases)
    for (size_t chunk : {size_t{1}, size_t{3}}) {
      SCOPED_TRACE("max_docs " + std::to_string(c.max_docs) + ", chunk " + std::to_string(chunk));
      Collected got = collect(texts, c.max_docs, chunk);
      EXPECT_EQ(got.taken, c.taken);
      EXPECT_EQ(got.counts, c.counts);
      EXPECT_EQ(got.accepted, std::min<uint64_t>(c.max_docs, 4));
    }
}

TEST(TextCollectorTest, CountsSaturate) {
  EXPECT_EQ(add_sat_u64(UINT64_MAX - 1, 1), UINT64_MAX);
  EXPECT_EQ(add_sat_u64(UINT64_MAX - 1, 5), UINT64_MAX);
  EXPECT_EQ(add_sat_u64(3, 4), 7u);

  FlatMap<std::string, uint32_t> into, from;
  into[std::string("a")] = UINT32_MAX - 1;
  into[std::string("b")] = 1;
  from[std::string("a")] = 5;
  from[std::string("c")] = 2;
  merge_counts(into, from);
  EXPECT_EQ(sorted(into), (Counts{{"a", UINT32_MAX}, {"b", 1}, {"c", 2}}));
  EXPECT_EQ(from.size(), 0u);
}

}  // namespace
}  // namespace tarvex
