#include "util/utf8.hpp"

namespace tarvex {

bool utf8_valid(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    auto cont = [&](size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
    if (b >= 0xC2 && b <= 0xDF) {
      if (!cont(1)) return false;
      i += 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      if (!cont(1) || !cont(2)) return false;
      if (b == 0xE0 && p[i + 1] < 0xA0) return false;   // overlong
      if (b == 0xED && p[i + 1] >= 0xA0) return false;  // surrogate
      i += 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      if (!cont(1) || !cont(2) || !cont(3)) return false;
      if (b == 0xF0 && p[i + 1] < 0x90) return false;   // overlong
      if (b == 0xF4 && p[i + 1] >= 0x90) return false;  // above U+10FFFF
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

void utf8_append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace tarvex
