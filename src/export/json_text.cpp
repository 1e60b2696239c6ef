#include "export/json_text.hpp"

namespace tarvex {

void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

namespace {

void indent(std::string& out, size_t depth) { out.append(2 * depth, ' '); }

void write_value(std::string& out, const JsonValue& value, size_t depth) {
  if (std::holds_alternative<std::nullptr_t>(value.v)) {
    out += "null";
  } else if (auto* n = std::get_if<uint64_t>(&value.v)) {
    out += std::to_string(*n);
  } else if (auto* s = std::get_if<std::string>(&value.v)) {
    append_json_string(out, *s);
  } else if (auto* arr = std::get_if<JsonValue::Array>(&value.v)) {
    if (arr->empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (size_t i = 0; i < arr->size(); ++i) {
      indent(out, depth + 1);
      write_value(out, (*arr)[i], depth + 1);
      out += i + 1 < arr->size() ? ",\n" : "\n";
    }
    indent(out, depth);
    out += ']';
  } else {
    const auto& obj = std::get<JsonValue::Object>(value.v);
    if (obj.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    for (size_t i = 0; i < obj.size(); ++i) {
      indent(out, depth + 1);
      append_json_string(out, obj[i].first);
      out += ": ";
      write_value(out, obj[i].second, depth + 1);
      out += i + 1 < obj.size() ? ",\n" : "\n";
    }
    indent(out, depth);
    out += '}';
  }
}

}  // namespace

std::string json_pretty(const JsonValue& value) {
  std::string out;
  write_value(out, value, 0);
  out += '\n';
  return out;
}

std::string json_pretty_counts(const std::vector<std::pair<std::string_view, uint32_t>>& members) {
  if (members.empty()) return "{}\n";
  std::string out = "{\n";
  for (size_t i = 0; i < members.size(); ++i) {
    out += "  ";
    append_json_string(out, members[i].first);
    out += ": ";
    out += std::to_string(members[i].second);
    out += i + 1 < members.size() ? ",\n" : "\n";
  }
  out += "}\n";
  return out;
}

}  // namespace tarvex
