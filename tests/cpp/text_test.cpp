#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "text/normalize.hpp"
#include "util/utf8.hpp"

using namespace tarvex;

namespace {

std::string utf8(std::initializer_list<uint32_t> cps) {
  std::string s;
  for (uint32_t c : cps) utf8_append(s, c);
  return s;
}

std::string join_chars(const std::vector<uint32_t>& v) {
  std::string s;
  for (uint32_t c : v) utf8_append(s, c);
  return s;
}

}  // namespace

TEST(Normalize, Table) {
  const std::string G = "\xC4\xA0";
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {" \t\r\n ", ""},
      {"hello world", "hello" + G + "world" + G},
      {"  a   b  ", "a" + G + "b" + G},
      {utf8({'a', 0xA0, 'b'}), "a" + G + "b" + G},
      {utf8({'a', 0x3000, 'b'}), "a" + G + "b" + G},
      {utf8({'a', 0x200B, 'b'}), utf8({'a', 0x200B, 'b'}) + G},  // zero width space is a word character
      {utf8({'a', 0x1F, 'b'}), utf8({'a', 0x1F, 'b'}) + G},
      {utf8({'a', 0xFEFF, 'b', 0x180E}), utf8({'a', 0xFEFF, 'b', 0x180E}) + G},
      {"a" + G + "b c", "a" + G + "b" + G + "c" + G},  // "Ġ" in the input is an ordinary character
      {G, G + G},
      {utf8({'x', 0x85, 'y', 0x2028, 'z', 0x205F, 'w', 0x1680, 'v'}),
       "x" + G + "y" + G + "z" + G + "w" + G + "v" + G},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(join_chars(normalize_chars(c.in)), c.out) << testing::PrintToString(c.in);
    std::string joined;
    for (const auto& s : normalize_symbols(c.in)) joined += s;
    EXPECT_EQ(joined, c.out);
  }
  EXPECT_EQ(normalize_chars("hello world").size(), 12u);
  auto syms = normalize_symbols(utf8({'a', 'b', ' ', 0x1F600}));
  ASSERT_EQ(syms.size(), 5u);
  EXPECT_EQ(syms[0], "a");
  EXPECT_EQ(syms[2], G);
  EXPECT_EQ(syms[3], "\xF0\x9F\x98\x80");
}

TEST(Normalize, SpaceSetIsExactlyWhiteSpace) {
  std::set<uint32_t> want = {0x9, 0xA, 0xB, 0xC, 0xD, 0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (uint32_t c = 0x2000; c <= 0x200A; ++c) want.insert(c);
  ASSERT_EQ(want.size(), 25u);
  for (uint32_t c = 0; c <= 0x10FFFF; ++c) ASSERT_EQ(is_space_char(c), want.count(c) == 1) << std::hex << c;
}

TEST(Normalize, AlnumTable) {
  struct Case {
    uint32_t c;
    bool alnum;
  } cases[] = {{'A', true}, {'z', true}, {'7', true}, {0xE9, true}, {0xDF, true}, {0x4E2D, true}, {0x663, true},
               {0xB2, true}, {0xAA, true}, {0x120, true}, {'_', false}, {'-', false}, {'\'', false}, {0xB7, false},
               {0xA6, false}, {0x80, false}, {0xA9, false}, {' ', false}, {0x1F600, false}};
  for (const auto& c : cases) EXPECT_EQ(is_alnum_char(c.c), c.alnum) << std::hex << c.c;
}

// Checks every code point against the Unicode Character Database when
// Debian's unicode-data is installed (the version the table was made from).
TEST(Normalize, AlnumMatchesUnicodeDataForEveryCodePoint) {
  std::ifstream dcp("/usr/share/unicode/DerivedCoreProperties.txt"), ud("/usr/share/unicode/UnicodeData.txt");
  if (!dcp || !ud) GTEST_SKIP() << "unicode-data not installed";
  std::string first;
  std::getline(dcp, first);
  if (first.find(std::string("DerivedCoreProperties-") + unicode_version()) == std::string::npos)
    GTEST_SKIP() << "installed Unicode data is another version than " << unicode_version();
  std::vector<bool> want(0x110000, false);
  std::string line;
  while (std::getline(dcp, line)) {
    auto hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    auto semi = line.find(';');
    if (semi == std::string::npos || line.find("Alphabetic", semi) == std::string::npos) continue;
    std::string prop = line.substr(semi + 1);
    prop.erase(0, prop.find_first_not_of(' '));
    prop.erase(prop.find_last_not_of(' ') + 1);
    if (prop != "Alphabetic") continue;
    std::string cps = line.substr(0, semi);
    auto dots = cps.find("..");
    uint32_t lo = std::stoul(cps.substr(0, dots), nullptr, 16);
    uint32_t hi = dots == std::string::npos ? lo : std::stoul(cps.substr(dots + 2), nullptr, 16);
    for (uint32_t c = lo; c <= hi; ++c) want[c] = true;
  }
  uint32_t range_first = 0;
  while (std::getline(ud, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, ';')) f.push_back(field);
    uint32_t cp = std::stoul(f[0], nullptr, 16);
    bool is_first = f[1].size() > 8 && f[1].compare(f[1].size() - 8, 8, ", First>") == 0;
    bool is_last = f[1].size() > 7 && f[1].compare(f[1].size() - 7, 7, ", Last>") == 0;
    if (is_first) {
      range_first = cp;
      continue;
    }
    uint32_t lo = is_last ? range_first : cp;
    if (f[2] == "Nd" || f[2] == "Nl" || f[2] == "No")
      for (uint32_t c = lo; c <= cp; ++c) want[c] = true;
  }
  for (uint32_t c = 0; c < 0x80; ++c) want[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  for (uint32_t c = 0; c <= 0x10FFFF; ++c) ASSERT_EQ(is_alnum_char(c), want[c]) << std::hex << c;
}
