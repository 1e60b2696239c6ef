#include "encode/dp_tokenizer.hpp"

#include <algorithm>
#include <cstdio>

#include "encode/dp.hpp"
#include "text/normalize.hpp"
#include "util/thread_pool.hpp"
#include "util/utf8.hpp"

namespace tarvex {

namespace {

// Characters shown escaped in messages: controls, and the invisible
// separators and format characters a reader could not see.
bool printable(uint32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD) return false;
  if (c >= 0x2000 && c <= 0x200F) return false;
  if (c >= 0x2028 && c <= 0x202F) return false;
  if (c >= 0x205F && c <= 0x206F) return false;
  if (c == 0x1680 || c == 0x180E || c == 0x3000 || c == 0xFEFF) return false;
  if ((c >= 0xE000 && c <= 0xF8FF) || (c >= 0xFFF0 && c <= 0xFFFF) || c >= 0xE0000) return false;
  return true;
}

}  // namespace

std::string quoted_token(std::string_view token) {
  std::string out = "\"";
  for (size_t i = 0; i < token.size();) {
    size_t start = i;
    uint32_t c = utf8_next(token, i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      default: break;
    }
    if (printable(c)) {
      out.append(token.substr(start, i - start));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    }
  }
  out += '"';
  return out;
}

Result<DpTokenizer> DpTokenizer::load(const std::string& vocab_file, const std::string& unk_token) {
  auto vocab = read_vocab_file(vocab_file);
  if (!vocab) return std::move(vocab).error();
  return from_entries(*vocab, unk_token, TrieFilter::from_env());
}

Result<DpTokenizer> DpTokenizer::from_entries(const VocabEntries& vocab, const std::string& unk_token,
                                              const TrieFilter& filter) {
  // The unknown token is resolved before filtering, so a filtered token can
  // still serve as the unknown id.
  auto unk = std::find_if(vocab.begin(), vocab.end(), [&](const auto& e) { return e.first == unk_token; });
  if (unk == vocab.end()) return Error("unk_token " + quoted_token(unk_token) + " not found in vocab");
  DpTokenizer t;
  t.unk_id_ = unk->second;
  t.cross_word_whole_only_ = filter.cross_word_whole_only;
  t.trie_ = std::make_shared<const TokenTrie>(TokenTrie::build(vocab, filter));
  return t;
}

std::vector<uint32_t> DpTokenizer::encode(std::string_view text) const {
  thread_local std::vector<uint32_t> chars;  // reused across texts; trimmed after a very long one
  normalize_chars(text, chars);
  std::vector<uint32_t> ids;
  dp_min_ids(*trie_, chars, unk_id_, cross_word_whole_only_, ids);
  if (chars.capacity() > (size_t{1} << 20)) std::vector<uint32_t>().swap(chars);
  return ids;
}

std::vector<std::vector<uint32_t>> DpTokenizer::encode_batch(const std::vector<std::string>& texts,
                                                             ThreadPool& pool) const {
  std::vector<std::vector<uint32_t>> out(texts.size());
  // Several ranges per thread even out texts of very different lengths; the
  // result does not depend on the split.
  std::vector<Range> ranges = split_range(texts.size(), pool.size() * 8);
  // Each task writes only the output slots of its own range.
  pool.parallel_for(ranges.size(), [&](size_t r) {
    for (size_t i = ranges[r].begin; i < ranges[r].end; ++i) out[i] = encode(texts[i]);
  });
  return out;
}

}  // namespace tarvex
