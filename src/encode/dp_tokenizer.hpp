// The encoder: a vocabulary loaded into a token trie, and minimum-token
// encoding of texts. Immutable after construction, so any number of threads
// may encode with one instance at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "encode/token_trie.hpp"
#include "util/status.hpp"

namespace tarvex {

class ThreadPool;

class DpTokenizer {
 public:
  // Loads `vocab_file`; `unk_token` names the unknown token. Errors carry
  // the messages "open vocab failed: ...", "parse vocab.json failed: ..."
  // or "unk_token \"...\" not found in vocab". Reads the filter switches
  // from the environment.
  static Result<DpTokenizer> load(const std::string& vocab_file, const std::string& unk_token);
  // The same from parsed entries and an explicit filter.
  static Result<DpTokenizer> from_entries(const VocabEntries& vocab, const std::string& unk_token,
                                          const TrieFilter& filter);

  // Ids of `text` (valid UTF-8) after normalization.
  std::vector<uint32_t> encode(std::string_view text) const;
  // One id list per text, in input order, computed on `pool`.
  std::vector<std::vector<uint32_t>> encode_batch(const std::vector<std::string>& texts, ThreadPool& pool) const;

  uint32_t unk_id() const { return unk_id_; }
  bool cross_word_whole_only() const { return cross_word_whole_only_; }
  const TokenTrie& trie() const { return *trie_; }

 private:
  std::shared_ptr<const TokenTrie> trie_;
  uint32_t unk_id_ = 0;
  bool cross_word_whole_only_ = false;
};

// The token as a double-quoted literal: \" \\ \t \r \n escaped, other
// non-printable characters as \u{hex}.
std::string quoted_token(std::string_view token);

}  // namespace tarvex
