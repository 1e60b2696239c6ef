// The JSON text of the exported files: two-space pretty layout, one member
// or element per line, and the string escaping every reader of these files
// accepts (only what JSON requires is escaped; all other characters, END_TOKEN
// and non-ASCII included, stay raw UTF-8).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarvex {

// Appends `s` (valid UTF-8) as a quoted JSON string.
void append_json_string(std::string& out, std::string_view s);

// A small JSON value for the fixed configuration files.
struct JsonValue {
  using Array = std::vector<JsonValue>;
  using Object = std::vector<std::pair<std::string, JsonValue>>;  // written in this order
  std::variant<std::nullptr_t, uint64_t, std::string, Array, Object> v;
};

// Pretty text of `value` followed by one LF.
std::string json_pretty(const JsonValue& value);

// Pretty text of an object whose members are (name, integer) pairs, written
// in the given order, followed by one LF.
std::string json_pretty_counts(const std::vector<std::pair<std::string_view, uint32_t>>& members);

}  // namespace tarvex
