// Finding the parquet files of a directory without descending into it.
#pragma once

#include <string>
#include <vector>

#include "util/status.hpp"

namespace tarvex {

// True when `path` names an existing directory (links followed).
bool is_directory(const std::string& path);

// True when the part of `name` after its last dot is "parquet" in any ASCII
// case. A name whose only dot is its first character has no extension.
bool has_parquet_extension(const std::string& name);

// The regular files (links followed) directly inside `dir` whose names have
// the parquet extension, as `dir` joined with the name, in the order the
// listing returns them. Entries whose metadata cannot be read are skipped.
// Fails with "read_dir failed: <OS error>" when the directory cannot be
// opened and "read_dir entry failed: <OS error>" when reading it fails. An
// empty result is not an error here.
Result<std::vector<std::string>> list_parquet_files(const std::string& dir);

}  // namespace tarvex
