// UTF-8 decoding helpers. Inputs that reach the decoders have been validated
// (Python strings, or corpus lines checked by `utf8_valid`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex {

// Strict validation: no overlongs, no surrogates, nothing above U+10FFFF.
bool utf8_valid(std::string_view s);

// Decodes the scalar value starting at s[i] of valid UTF-8 and advances i.
inline uint32_t utf8_next(std::string_view s, size_t& i) {
  auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  if (b0 < 0xE0) {
    uint32_t c = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
    i += 2;
    return c;
  }
  if (b0 < 0xF0) {
    uint32_t c = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
    i += 3;
    return c;
  }
  uint32_t c = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
               ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
               (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
  i += 4;
  return c;
}

// Length in bytes of the sequence whose lead byte is b (valid UTF-8).
inline size_t utf8_len_of_lead(unsigned char b) {
  return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

// Number of scalar values in valid UTF-8.
inline size_t utf8_count(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

void utf8_append(std::string& out, uint32_t cp);

}  // namespace tarvex
