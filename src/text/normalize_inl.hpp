#pragma once

#include "util/utf8.hpp"

namespace tarvex {

template <typename Fn>
void for_each_symbol(std::string_view text, Fn&& fn) {
  size_t i = 0, n = text.size();
  bool in_word = false;
  while (i < n) {
    size_t start = i;
    uint32_t c = utf8_next(text, i);
    if (is_space_char(c)) {
      if (in_word) fn(kEndToken);
      in_word = false;
    } else {
      fn(text.substr(start, i - start));
      in_word = true;
    }
  }
  if (in_word) fn(kEndToken);
}

}  // namespace tarvex
