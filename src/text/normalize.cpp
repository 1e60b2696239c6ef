#include "text/normalize.hpp"

#include <algorithm>

namespace tarvex {

namespace {

struct AlnumRange {
  uint32_t lo, hi;
};
#include "text/unicode_alnum_table.inc"

// Bit 0: white space in U+0080..U+00FF. Bit 1: white space in
// U+2000..U+20FF, indexed by the low byte.
constexpr auto kSpaceFlags = [] {
  struct Table {
    uint8_t v[256]{};
  } t;
  t.v[0x85] |= 1;
  t.v[0xA0] |= 1;
  for (int i = 0x00; i <= 0x0A; ++i) t.v[i] |= 2;
  t.v[0x28] |= 2;
  t.v[0x29] |= 2;
  t.v[0x2F] |= 2;
  t.v[0x5F] |= 2;
  return t;
}();

constexpr uint64_t kAsciiSpace = (1ull << 9) | (1ull << 10) | (1ull << 11) | (1ull << 12) | (1ull << 13) | (1ull << 32);

}  // namespace

bool is_space_char(uint32_t c) {
  if (c <= 0x20) return (kAsciiSpace >> c) & 1;
  if (c < 0x80) return false;
  if (c <= 0xFF) return kSpaceFlags.v[c] & 1;
  if (c >= 0x2000 && c <= 0x20FF) return kSpaceFlags.v[c & 0xFF] & 2;
  return c == 0x1680 || c == 0x3000;
}

bool is_alnum_char(uint32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  if (c < 0xAA) return false;
  const AlnumRange* end = kAlnumRanges + sizeof(kAlnumRanges) / sizeof(kAlnumRanges[0]);
  const AlnumRange* it = std::upper_bound(kAlnumRanges, end, c, [](uint32_t v, const AlnumRange& r) { return v < r.lo; });
  return it != kAlnumRanges && c <= (it - 1)->hi;
}

const char* unicode_version() { return TARVEX_UNICODE_VERSION; }

void normalize_chars(std::string_view text, std::vector<uint32_t>& out) {
  out.clear();
  size_t i = 0, n = text.size();
  bool in_word = false;
  while (i < n) {
    uint32_t c = utf8_next(text, i);
    if (is_space_char(c)) {
      if (in_word) out.push_back(kEndChar);
      in_word = false;
    } else {
      out.push_back(c);
      in_word = true;
    }
  }
  if (in_word) out.push_back(kEndChar);
}

std::vector<uint32_t> normalize_chars(std::string_view text) {
  std::vector<uint32_t> out;
  out.reserve(text.size() + 1);
  normalize_chars(text, out);
  return out;
}

std::vector<std::string> normalize_symbols(std::string_view text) {
  std::vector<std::string> out;
  for_each_symbol(text, [&](std::string_view s) { out.emplace_back(s); });
  return out;
}

}  // namespace tarvex
