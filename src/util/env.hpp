// Environment switches, read at the moment of use. A switch is on when the
// variable is present with a valid UTF-8 value, whatever that value is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvex {

// The variable's value when it is set to valid UTF-8.
std::optional<std::string> env_string(const char* name);

inline bool env_flag(const char* name) { return env_string(name).has_value(); }

// Unsigned decimal with an optional leading "+"; anything else is absent.
std::optional<uint64_t> env_unsigned(const char* name);
std::optional<uint64_t> parse_unsigned(const std::string& text);

}  // namespace tarvex
