// Writes the tokenizer directory: vocab.json, tokenizer_config.json,
// special_tokens_map.json, the Python tokenizer module and README.md.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/status.hpp"

namespace tarvex {

// The exported vocabulary: the five special tokens in rank order, then every
// other distinct token in byte-wise order. A token's exported id is its
// position here; the trainer's ids do not survive export.
std::vector<std::string_view> export_order(const std::vector<std::string>& id_to_token);

// Exports the trained vocabulary (trainer ids, in id order; the order does
// not change the result) to out_dir, creating it and its parents. Other files
// in out_dir are left alone. On failure no file of a partly written export is
// left under its final name, so a directory never looks complete when it is
// not.
Status write_tokenizer_dir(const std::vector<std::string>& id_to_token, const std::string& out_dir);

}  // namespace tarvex
