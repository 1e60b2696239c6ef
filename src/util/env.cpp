#include "util/env.hpp"

#include <cstdlib>
#include <limits>

#include "util/utf8.hpp"

namespace tarvex {

std::optional<std::string> env_string(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  std::string s(v);
  if (!utf8_valid(s)) return std::nullopt;
  return s;
}

std::optional<uint64_t> parse_unsigned(const std::string& text) {
  size_t i = 0;
  if (i < text.size() && text[i] == '+') ++i;
  if (i == text.size()) return std::nullopt;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::optional<uint64_t> env_unsigned(const char* name) {
  auto s = env_string(name);
  if (!s) return std::nullopt;
  return parse_unsigned(*s);
}

}  // namespace tarvex
