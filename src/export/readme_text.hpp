// The usage guide written into every exported directory.
#pragma once

#include <string_view>

namespace tarvex {

inline constexpr std::string_view kReadmeName = "README.md";

// Exact bytes of README.md (CR LF line ends).
std::string_view readme_text();

}  // namespace tarvex
