#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <string>

#include "util/env.hpp"
#include "util/flat_map.hpp"
#include "util/small_list.hpp"
#include "util/status.hpp"
#include "util/thread_pool.hpp"
#include "util/utf8.hpp"

using namespace tarvex;

TEST(Status, ChainIsOutermostFirst) {
  Error e = Error("No such file or directory (os error 2)").wrap("open corpus file x.txt").wrap("train");
  EXPECT_EQ(e.joined(), "train: open corpus file x.txt: No such file or directory (os error 2)");
  Result<int> r = e;
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().chain().size(), 3u);
  Result<int> ok = 5;
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, 5);
}

TEST(ThreadPool, RunsEveryIndexOnceForManySizes) {
  for (size_t threads : {1, 2, 3, 8}) {
    ThreadPool pool(threads);
    for (size_t n : {0, 1, 2, 7, 1000}) {
      std::vector<std::atomic<int>> hits(n);
      pool.parallel_for(n, [&](size_t i) { hits[i]++; });
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(hits[i].load(), 1) << threads << " " << n << " " << i;
    }
  }
}

TEST(ThreadPool, NestedCallsRunInlineAndExceptionsPropagate) {
  ThreadPool pool(4);
  std::atomic<int> total{0};
  pool.parallel_for(8, [&](size_t) { pool.parallel_for(8, [&](size_t) { total++; }); });
  EXPECT_EQ(total.load(), 64);
  auto failing = [](size_t i) {
    if (i == 5) throw std::runtime_error("boom");
  };
  EXPECT_THROW(pool.parallel_for(16, failing), std::runtime_error);
  // The pool stays usable after a failed job.
  total = 0;
  pool.parallel_for(10, [&](size_t) { total++; });
  EXPECT_EQ(total.load(), 10);
}

TEST(ThreadPool, MapReduceIsIndependentOfSplitAndThreads) {
  std::vector<uint64_t> data(10007);
  for (size_t i = 0; i < data.size(); ++i) data[i] = i * i % 97;
  uint64_t want = 0;
  for (auto v : data) want += v;
  for (size_t threads : {1, 2, 5}) {
    ThreadPool pool(threads);
    for (size_t parts : {1, 3, 64}) {
      uint64_t got = map_reduce<uint64_t>(
          pool, data.size(), parts,
          [&](size_t b, size_t e) {
            uint64_t s = 0;
            for (size_t i = b; i < e; ++i) s += data[i];
            return s;
          },
          [](uint64_t& a, uint64_t& b) { a += b; });
      EXPECT_EQ(got, want);
    }
  }
  auto r = split_range(10, 3);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].begin, 0u);
  EXPECT_EQ(r[2].end, 10u);
  EXPECT_TRUE(split_range(0, 4).empty());
  EXPECT_EQ(split_range(2, 8).size(), 2u);
}

// Erasing and burying mixed: buried slots stay in the probe runs, are
// reused by inserts, moved by erases and swept out instead of growing.
TEST(FlatMap, MatchesStdMapUnderRandomInsertEraseBuryFind) {
  FlatMap<uint64_t, uint64_t> m;
  std::map<uint64_t, uint64_t> ref;
  std::mt19937_64 rng(7);
  size_t swept = 0;
  for (int step = 0; step < 200000; ++step) {
    uint64_t k = rng() % 5000;
    const size_t cap = m.capacity(), buried = m.buried();
    switch (rng() % 4) {
      case 0:
        m[k] += step;
        ref[k] += step;
        swept += m.capacity() == cap && m.buried() + 1 < buried;
        break;
      case 1:
        EXPECT_EQ(m.erase(k), ref.erase(k) == 1);
        break;
      case 2: {
        size_t at = m.find_index_hashed(k, DefaultHash<uint64_t>{}(k));
        ASSERT_EQ(at != m.npos, ref.count(k) == 1);
        if (at != m.npos) {
          m.bury_at(at);
          ref.erase(k);
        }
        break;
      }
      default: {
        const uint64_t* v = m.find(k);
        auto it = ref.find(k);
        ASSERT_EQ(v != nullptr, it != ref.end());
        if (v) {
          EXPECT_EQ(*v, it->second);
        }
      }
    }
  }
  EXPECT_EQ(m.size(), ref.size());
  EXPECT_GT(swept, 0u);
  EXPECT_LE((m.size() + m.buried()) * 8, m.capacity() * 7);
  size_t seen = 0;
  m.for_each([&](uint64_t k, uint64_t v) {
    ++seen;
    EXPECT_EQ(ref.at(k), v);
  });
  EXPECT_EQ(seen, ref.size());
}

// Bulk removal at full load: small tables, so runs wrap around the end and
// survivors have to move back over freed slots on both sides of it.
TEST(FlatMap, EraseWhereKeepsEverySurvivorFindable) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 300; ++round) {
    FlatMap<uint64_t, uint64_t> m;
    std::map<uint64_t, uint64_t> ref;
    const size_t n = 8 + rng() % 100;
    m.reserve(n);
    while (ref.size() < n) {
      uint64_t k = rng() % 100000;
      m[k] = k * 3;
      ref[k] = k * 3;
    }
    // Some keys buried first: the sweep clears their slots too.
    for (int b = 0; b < 5; ++b) {
      uint64_t k = std::next(ref.begin(), rng() % ref.size())->first;
      m.bury_at(m.find_index_hashed(k, DefaultHash<uint64_t>{}(k)));
      ref.erase(k);
    }
    const uint64_t mod = 2 + round % 5;
    size_t want = std::erase_if(ref, [&](const auto& kv) { return kv.first % mod == 0; });
    EXPECT_EQ(m.erase_where([&](uint64_t k, uint64_t) { return k % mod == 0; }), want);
    ASSERT_EQ(m.size(), ref.size());
    EXPECT_EQ(m.buried(), 0u);
    for (uint64_t k = 0; k < 100000; k += 1 + rng() % 50) ASSERT_EQ(m.contains(k), ref.count(k) == 1) << k;
    for (const auto& [k, v] : ref) {
      const uint64_t* got = m.find(k);
      ASSERT_NE(got, nullptr) << "round " << round << " key " << k;
      EXPECT_EQ(*got, v);
    }
    // Erasing and inserting after the sweep still works.
    for (const auto& [k, v] : ref) EXPECT_TRUE(m.erase(k));
    EXPECT_TRUE(m.empty());
  }
}

TEST(FlatMap, StringKeysFindByViewCopyAndMove) {
  FlatMap<std::string, uint32_t> m;
  for (uint32_t i = 0; i < 1000; ++i) m[std::to_string(i)] = i;
  EXPECT_EQ(*m.find(std::string_view("417")), 417u);
  EXPECT_EQ(m.find(std::string_view("1000")), nullptr);
  FlatMap<std::string, uint32_t> copy = m;
  FlatMap<std::string, uint32_t> moved = std::move(m);
  EXPECT_EQ(copy.size(), 1000u);
  EXPECT_EQ(moved.size(), 1000u);
  EXPECT_TRUE(m.empty());
  m.reserve(100);
  EXPECT_GE(m.capacity(), 100u);
  auto [v, inserted] = copy.find_or_insert(std::string_view("5"), [] { return 99u; });
  EXPECT_FALSE(inserted);
  EXPECT_EQ(*v, 5u);
}

TEST(SmallList, MatchesVectorAcrossTheInlineLimit) {
  // Random pushes, appends, resizes, moves and clears on both sides of the
  // four inline values, checked against a std::vector after every step.
  std::mt19937 rng(7);
  SmallList l;
  std::vector<uint32_t> want;
  auto same = [&](const SmallList& got) { return std::vector<uint32_t>(got.begin(), got.end()) == want; };
  for (int step = 0; step < 4000; ++step) {
    switch (rng() % 10) {
      case 0:
        if (rng() % 4 == 0) l.clear(), want.clear();
        break;
      case 1: {
        const size_t n = rng() % 12;
        l.resize(n);
        want.resize(n, 0);
        break;
      }
      case 2: {
        std::vector<uint32_t> more(rng() % 9);
        for (uint32_t& v : more) v = static_cast<uint32_t>(rng());
        l.append(more.begin(), more.end());
        want.insert(want.end(), more.begin(), more.end());
        break;
      }
      case 3: {
        SmallList moved(std::move(l));
        ASSERT_TRUE(l.empty());
        ASSERT_TRUE(same(moved));
        l = std::move(moved);
        break;
      }
      default: {
        const uint32_t v = static_cast<uint32_t>(rng());
        l.push_back(v);
        want.push_back(v);
      }
    }
    ASSERT_EQ(l.size(), want.size()) << step;
    ASSERT_TRUE(same(l)) << step;
    if (!want.empty()) {
      ASSERT_EQ(l.back(), want.back()) << step;
    }
  }
  // Lists stay valid while the vector holding them grows.
  std::vector<SmallList> many;
  for (uint32_t i = 0; i < 300; ++i) {
    many.emplace_back();
    for (uint32_t j = 0; j <= i % 9; ++j) many.back().push_back(i * 16 + j);
  }
  for (uint32_t i = 0; i < 300; ++i) {
    ASSERT_EQ(many[i].size(), i % 9 + 1);
    for (uint32_t j = 0; j <= i % 9; ++j) ASSERT_EQ(many[i][j], i * 16 + j);
  }
}

TEST(Utf8, ValidationTable) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"abc", true},
      {"\xC3\xA7", true},              // c-cedilla
      {"\xF0\x9F\x98\x80", true},      // U+1F600
      {"\xC0\xAF", false},             // overlong
      {"\xE0\x80\xAF", false},         // overlong
      {"\xED\xA0\x80", false},         // surrogate
      {"\xF4\x90\x80\x80", false},     // above U+10FFFF
      {"\xC3", false},                 // truncated
      {"\x80", false},                 // stray continuation
      {"\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_valid(c.text), c.valid) << testing::PrintToString(c.text);
  std::string s;
  for (uint32_t cp : {0x41u, 0xE7u, 0x4E2Du, 0x1F600u}) utf8_append(s, cp);
  size_t i = 0;
  EXPECT_EQ(utf8_next(s, i), 0x41u);
  EXPECT_EQ(utf8_next(s, i), 0xE7u);
  EXPECT_EQ(utf8_next(s, i), 0x4E2Du);
  EXPECT_EQ(utf8_next(s, i), 0x1F600u);
  EXPECT_EQ(i, s.size());
  EXPECT_EQ(utf8_count(s), 4u);
}

TEST(Env, UnsignedParsing) {
  struct Case {
    const char* text;
    std::optional<uint64_t> want;
  } cases[] = {{"0", 0}, {"+17", 17}, {"18446744073709551615", UINT64_MAX}, {"18446744073709551616", std::nullopt},
               {"", std::nullopt}, {"+", std::nullopt}, {"-1", std::nullopt}, {" 1", std::nullopt},
               {"1x", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(parse_unsigned(c.text), c.want) << c.text;
  ::setenv("TARVEX_TEST_SWITCH", "", 1);
  EXPECT_TRUE(env_flag("TARVEX_TEST_SWITCH"));  // present, even if empty
  ::setenv("TARVEX_TEST_SWITCH", "\xFF", 1);
  EXPECT_FALSE(env_flag("TARVEX_TEST_SWITCH"));  // not valid UTF-8 counts as absent
  ::unsetenv("TARVEX_TEST_SWITCH");
  EXPECT_FALSE(env_flag("TARVEX_TEST_SWITCH"));
}

TEST(ThreadPool, GlobalPoolWorksInForkedChild) {
  std::atomic<int> n{0};
  ThreadPool::global().parallel_for(64, [&](size_t) { n++; });
  ASSERT_EQ(n.load(), 64);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a hang here would otherwise hang the suite
    std::atomic<int> m{0};
    ThreadPool::global().parallel_for(64, [&](size_t) { m++; });
    _exit(m.load() == 64 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
