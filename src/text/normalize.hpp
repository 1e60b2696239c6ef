// The single normalization rule shared by training and encoding: text splits
// into words at Unicode white space and every word is followed by END_TOKEN.
// Nothing else changes (no case folding, no normalization form).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex {

// U+0120, "Ġ": the end-of-word marker.
inline constexpr uint32_t kEndChar = 0x120;
inline constexpr std::string_view kEndToken = "\xC4\xA0";

inline bool ends_with_end(std::string_view s) {
  return s.size() >= 2 && s[s.size() - 2] == '\xC4' && s[s.size() - 1] == '\xA0';
}
inline bool starts_with_end(std::string_view s) {
  return s.size() >= 2 && s[0] == '\xC4' && s[1] == '\xA0';
}

// Unicode White_Space (25 code points).
bool is_space_char(uint32_t c);

// A-Z, a-z, 0-9; above U+007F: Alphabetic or general category Nd/Nl/No.
bool is_alnum_char(uint32_t c);

// The Unicode version behind is_alnum_char.
const char* unicode_version();

// Input is valid UTF-8. Appends to `out` (which is cleared first).
void normalize_chars(std::string_view text, std::vector<uint32_t>& out);
std::vector<uint32_t> normalize_chars(std::string_view text);

// One string per character, "Ġ" after every word.
std::vector<std::string> normalize_symbols(std::string_view text);

// Calls fn(std::string_view symbol) for each symbol of normalize_symbols
// without building the strings; the views point into `text` or kEndToken.
template <typename Fn>
void for_each_symbol(std::string_view text, Fn&& fn);

}  // namespace tarvex

#include "text/normalize_inl.hpp"
