#include "export/module_text.hpp"

namespace tarvex {

// Placeholder until the emitted module lands.
std::string_view tokenizer_module_text() { return ""; }

}  // namespace tarvex
