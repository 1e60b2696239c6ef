// Trains on a corpus file with the C++ core alone (no export), for profiling
// the trainer without the module around it (perf record works on it as is):
//   [TRAIN_CORE_FLOOR_SPAN=N] train_core CORPUS AIM USE_HEAP [NUM_WORKERS]
// Build: cmake -DTARVEX_BUILD_BENCH=ON ..., target train_core. The figures
// to report come from bench/train_bench.py, which trains through train_to_hf.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "train/corpus_reader.hpp"
#include "train/pipeline.hpp"
#include "train/preprocess.hpp"
#include "train/vocab.hpp"
#include "util/flat_map.hpp"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s CORPUS AIM USE_HEAP [NUM_WORKERS]\n", argv[0]);
    return 2;
  }
  tarvex::Trainer t;
  t.config.n_values = tarvex::make_n_values(2, 6);
  t.config.aim_token_num = std::strtoul(argv[2], nullptr, 10);
  t.config.use_heap = std::string(argv[3]) == "1";
  if (argc > 4) t.config.num_workers = std::strtoul(argv[4], nullptr, 10);
  // How far the best score may fall before the statistics' floor comes
  // down (a cost knob only: the result stays the same).
  if (const char* span = std::getenv("TRAIN_CORE_FLOOR_SPAN")) t.config.stats_floor_span = std::strtoull(span, nullptr, 10);
  auto corpus = tarvex::read_corpus_file(argv[1]);
  if (!corpus) {
    std::fprintf(stderr, "%s\n", corpus.error().joined().c_str());
    return 1;
  }
  t.total_chars = corpus->total_chars;
  if (!tarvex::build_vocab_mp(t, corpus->lines)) return 1;
  corpus->lines.clear();
  tarvex::Status st = tarvex::train_prepared(t);
  // A digest of the learned vocabulary and the corpus size in tokens, so an
  // optimised build can be checked against a baseline for identical results.
  uint64_t digest = 0;
  for (const std::string& tok : t.vocab.id_to_token) digest = tarvex::mix64(digest ^ tarvex::hash_bytes(tok.data(), tok.size()));
  std::printf("vocab=%zu merges=%zu total_tokens=%llu digest=%016llx\n", t.vocab.size(), t.merges.size(),
              static_cast<unsigned long long>(tarvex::total_tokens(t.entries)), static_cast<unsigned long long>(digest));
  return st ? 0 : 1;
}
