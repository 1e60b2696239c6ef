// The Python tokenizer module written into every exported directory.
#pragma once

#include <string_view>

namespace tarvex {

// File name and exact bytes (CR LF line ends) of the emitted module.
inline constexpr std::string_view kTokenizerModuleName = "tokenization_tarvex.py";
std::string_view tokenizer_module_text();

}  // namespace tarvex
