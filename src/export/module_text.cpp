#include "export/module_text.hpp"

#include <string>

namespace tarvex {

namespace {

// The module as kept in the tree (src/export/tokenization_tarvex.py, LF
// line ends), compiled in by the build.
constexpr std::string_view kModuleSource =
#include "tokenization_tarvex.inc"
    ;

std::string with_crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    if (c != '\r') out.push_back(c);
  }
  return out;
}

}  // namespace

std::string_view tokenizer_module_text() {
  static const std::string text = with_crlf(kModuleSource);
  return text;
}

}  // namespace tarvex
