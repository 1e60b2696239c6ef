// Reader for vocab.json: one JSON object mapping token strings to unsigned
// 32-bit ids. The project reads it with its own small parser so that the
// encoder has no outside dependency and reports faults with line and column.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "util/status.hpp"

namespace tarvex {

// Members in order of first appearance; a repeated name keeps its first
// position and takes the later value.
using VocabEntries = std::vector<std::pair<std::string, uint32_t>>;

// Parses a whole vocab.json from `file` (read through an 8192-byte buffer).
// The error message names the fault and ends with "at line L column C"
// (1-based; the column counts characters).
Result<VocabEntries> parse_vocab_json(std::FILE* file);
Result<VocabEntries> parse_vocab_json_text(const std::string& text);

// Opens and parses `path`. Errors: "open vocab failed" with the OS text as
// its cause, or "parse vocab.json failed" with the parser's message.
Result<VocabEntries> read_vocab_file(const std::string& path);

}  // namespace tarvex
