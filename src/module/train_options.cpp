#include "module/train_options.hpp"

#include <cstdlib>

#include "module/errors.hpp"
#include "util/env.hpp"

namespace tarvex::py {

namespace {

ArgSpec required(const char* name, ArgKind kind) { return ArgSpec{name, kind, true}; }
ArgSpec count(const char* name, uint64_t def) { return ArgSpec{name, ArgKind::Count, false, def}; }
ArgSpec flag(const char* name, bool def = false) { return ArgSpec{name, ArgKind::Bool, false, 0, def}; }
ArgSpec str(const char* name, const char* def) { return ArgSpec{name, ArgKind::Str, false, 0, false, def}; }

}  // namespace

std::vector<ArgSpec> train_arg_specs(Source source) {
  std::vector<ArgSpec> s;
  switch (source) {
    case Source::File:
      s.push_back(required("corpus_file", ArgKind::Str));
      break;
    case Source::Iter:
      s.push_back(required("texts", ArgKind::Object));
      break;
    case Source::Parquet:
      s.push_back(required("parquet_path", ArgKind::Str));
      break;
  }
  s.push_back(required("out_dir", ArgKind::Str));
  if (source == Source::Parquet) {
    s.push_back(str("text_column", "text"));
    s.push_back(count("max_docs", 0));
    s.push_back(count("batch_size", 8192));
    s.push_back(flag("recursive", true));
  }
  s.push_back(count("num_merges", 50000));
  s.push_back(count("aim_token_num", 20000));
  s.push_back(count("n_max", 6));
  s.push_back(count("max_token_chars", 0));
  s.push_back(count("num_workers", 0));
  s.push_back(flag("multi_process"));
  s.push_back(flag("use_heap"));
  if (source == Source::Iter) s.push_back(count("max_docs", 0));
  if (source != Source::File) s.push_back(count("chunk_size", 4096));
  s.push_back(count("n_min", 2));
  for (const char* name : {"forbid_punct_word_mix", "forbid_punct_tokens", "allow_space_punct_tokens",
                           "allow_abbrev_tokens", "allow_hyphen_tokens", "allow_word_final_punct_tokens",
                           "allow_apostrophe_tokens", "allow_cross_word_punct_word_mix_tokens"})
    s.push_back(flag(name));
  s.push_back(count("cross_word_start_vocab", 0));
  s.push_back(count("max_token_words", 0));
  s.push_back(flag("forbid_incomplete_cross_word"));
  return s;
}

TrainConfig make_config(const std::vector<ArgSpec>& specs, const std::vector<ArgValue>& v) {
  auto c = [&](const char* name) { return static_cast<size_t>(arg(specs, v, name).count); };
  auto b = [&](const char* name) { return arg(specs, v, name).flag; };
  TrainConfig cfg;
  cfg.n_values = make_n_values(c("n_min"), c("n_max"));
  cfg.num_merges = c("num_merges");
  cfg.aim_token_num = c("aim_token_num");
  cfg.max_token_chars = c("max_token_chars");
  cfg.cross_word_start_vocab = c("cross_word_start_vocab");
  cfg.max_token_words = c("max_token_words");
  cfg.num_workers = c("num_workers");
  cfg.forbid_punct_word_mix = b("forbid_punct_word_mix");
  cfg.forbid_punct_tokens = b("forbid_punct_tokens");
  cfg.allow_space_punct_tokens = b("allow_space_punct_tokens");
  cfg.allow_abbrev_tokens = b("allow_abbrev_tokens");
  cfg.allow_hyphen_tokens = b("allow_hyphen_tokens");
  cfg.allow_word_final_punct_tokens = b("allow_word_final_punct_tokens");
  cfg.allow_apostrophe_tokens = b("allow_apostrophe_tokens");
  cfg.allow_cross_word_punct_word_mix_tokens = b("allow_cross_word_punct_word_mix_tokens");
  cfg.forbid_incomplete_cross_word = b("forbid_incomplete_cross_word");
  cfg.recompute_each_step = false;
  cfg.use_heap = b("use_heap");
  cfg.multi_process = b("multi_process");
  return cfg;
}

bool validate_config(const std::vector<ArgSpec>& specs, const std::vector<ArgValue>& v, bool check_chunk_size) {
  uint64_t n_min = arg(specs, v, "n_min").count, n_max = arg(specs, v, "n_max").count;
  if (n_min < 2) return raise_value_error("n_min must be >= 2"), false;
  if (n_max < n_min) return raise_value_error("n_max must be >= n_min"), false;
  // Merge application copies windows into fixed 16-id buffers.
  if (n_max > 16) return raise_value_error("n_max must be <= 16"), false;
  if (check_chunk_size && arg(specs, v, "chunk_size").count == 0)
    return raise_value_error("chunk_size must be >= 1"), false;
  return true;
}

WorkerEnvGuard::WorkerEnvGuard(bool multi_process) {
  if (auto v = env_string("MP_PY_WORKER")) {
    had_ = true;
    saved_ = *v;
  }
  if (multi_process)
    ::setenv("MP_PY_WORKER", "1", 1);
  else
    ::unsetenv("MP_PY_WORKER");
}

WorkerEnvGuard::~WorkerEnvGuard() {
  if (had_)
    ::setenv("MP_PY_WORKER", saved_.c_str(), 1);
  else
    ::unsetenv("MP_PY_WORKER");
}

}  // namespace tarvex::py
