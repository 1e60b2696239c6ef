#include <gtest/gtest.h>

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
