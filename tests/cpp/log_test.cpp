#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "log/logger.hpp"

using namespace tarvex;

TEST(Log, LevelParsing) {
  struct Case {
    const char* level;  // nullptr = LOG_LEVEL unset
    bool debug_set;
    uint8_t want;
  } cases[] = {
      {" DEBUG ", false, 3}, {"warning", false, 1}, {"verbose", false, 2}, {"error", true, 0}, {"e", false, 0},
      {"0", false, 0},       {"W", false, 1},       {"dbg", false, 3},     {"2", false, 2},    {"", true, 2},
      {nullptr, true, 3},    {nullptr, false, 2},
  };
  for (const auto& c : cases) {
    std::string s = c.level ? c.level : "";
    EXPECT_EQ(parse_log_level(c.level ? &s : nullptr, c.debug_set), c.want) << (c.level ? c.level : "(unset)");
  }
}

TEST(Log, LineFormat) {
  // 2025-01-31T23:59:59.123Z
  int64_t ns = 1738367999LL * 1000000000LL + 123456789LL;
  EXPECT_EQ(format_timestamp(ns), "2025-01-31T23:59:59.123Z");
  EXPECT_EQ(format_timestamp(ns).size(), 24u);
  EXPECT_EQ(format_log_line(ns, 42, "stats", "hello"), "[2025-01-31T23:59:59.123Z][pid=42][stats] hello");
  EXPECT_EQ(fmt_secs(1.005, 2), "1.00");
  EXPECT_EQ(fmt_secs(2.0, 3), "2.000");
}

TEST(Log, ResourceMessage) {
  char statm[] = "/tmp/tarvex_statm_XXXXXX";
  char load[] = "/tmp/tarvex_load_XXXXXX";
  int f1 = mkstemp(statm), f2 = mkstemp(load);
  ASSERT_GE(f1, 0);
  ASSERT_GE(f2, 0);
  std::string s1 = "1000 51200 300 1 0 700 0\n", s2 = "0.52 0.61 0.70 2/345 6789\n";
  ASSERT_EQ(write(f1, s1.data(), s1.size()), static_cast<ssize_t>(s1.size()));
  ASSERT_EQ(write(f2, s2.data(), s2.size()), static_cast<ssize_t>(s2.size()));
  close(f1);
  close(f2);
  EXPECT_EQ(resource_message("step 3", statm, load, 1.5f),
            "step 3 rss_mb=Some(200) loadavg=Some(\"0.52 0.61 0.70 2/345 6789\") elapsed=Some(1.5)");
  EXPECT_EQ(resource_message("x", "/nonexistent/statm", "/nonexistent/loadavg", 2.0f),
            "x rss_mb=None loadavg=None elapsed=Some(2.0)");
  std::remove(statm);
  std::remove(load);
}
