// Reads a corpus file: one text per line, LF or CRLF line ends.
#pragma once

#include <string>
#include <vector>

#include "util/status.hpp"

namespace tarvex {

struct CorpusLines {
  std::vector<std::string> lines;  // kept lines, in file order
  size_t total_chars = 0;          // Unicode scalar values over kept lines
};

// Keeps the lines that are not empty after trimming Unicode white space
// (the kept text itself is not trimmed). Fails on an unreadable file, on a
// line that is not valid UTF-8 (naming the 1-based line number) and on a
// file with no kept line ("corpus is empty: " + path).
Result<CorpusLines> read_corpus_file(const std::string& path);

// True when the text holds a character that is not Unicode white space.
bool has_non_space(std::string_view text);

}  // namespace tarvex
