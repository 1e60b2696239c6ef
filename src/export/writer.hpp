// Writes the tokenizer directory.
#pragma once

#include <string>
#include <vector>

#include "util/status.hpp"

namespace tarvex {

// Exports the trained vocabulary (trainer ids, in id order) to out_dir.
Status write_tokenizer_dir(const std::vector<std::string>& id_to_token, const std::string& out_dir);

}  // namespace tarvex
