// Times reading and preprocessing a corpus file for several thread counts
// and checks that every count gives the same entries and ids.
// Usage: preprocess_bench CORPUS_FILE [RUNS]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "train/corpus_reader.hpp"
#include "train/preprocess.hpp"

using namespace tarvex;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FILE [RUNS]\n", argv[0]);
    return 2;
  }
  int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  Trainer reference;
  bool have_reference = false;
  for (size_t workers : {1, 2, 0}) {
    std::vector<double> read_s, build_s;
    for (int r = 0; r < runs; ++r) {
      auto t0 = std::chrono::steady_clock::now();
      auto corpus = read_corpus_file(argv[1]);
      if (!corpus) {
        std::fprintf(stderr, "%s\n", corpus.error().joined().c_str());
        return 1;
      }
      auto t1 = std::chrono::steady_clock::now();
      Trainer t;
      t.config.num_workers = workers;
      t.total_chars = corpus->total_chars;
      if (!build_vocab_mp(t, corpus->lines)) return 1;
      auto t2 = std::chrono::steady_clock::now();
      read_s.push_back(std::chrono::duration<double>(t1 - t0).count());
      build_s.push_back(std::chrono::duration<double>(t2 - t1).count());
      if (!have_reference) {
        // A digest of the entries in order, so that builds can be compared.
        uint64_t digest = 0;
        for (const SeqEntry& e : t.entries)
          digest = mix64(digest ^ hash_bytes(e.tokens.data(), e.tokens.size() * sizeof(TokenId)) ^ e.freq);
        std::printf("lines=%zu total_chars=%zu entries=%zu tokens=%zu digest=%016llx\n", corpus->lines.size(),
                    t.total_chars, t.entries.size(), t.vocab.size(), static_cast<unsigned long long>(digest));
        reference = std::move(t);
        have_reference = true;
      } else if (t.entries != reference.entries || t.vocab.id_to_token != reference.vocab.id_to_token) {
        std::printf("MISMATCH for num_workers=%zu\n", workers);
        return 1;
      }
    }
    std::sort(read_s.begin(), read_s.end());
    std::sort(build_s.begin(), build_s.end());
    std::printf("num_workers=%zu read_median=%.3fs preprocess_median=%.3fs (runs=%d)\n", workers,
                read_s[read_s.size() / 2], build_s[build_s.size() / 2], runs);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("identical entries and ids for num_workers 1, 2, 0; peak_rss=%.1f MiB\n", ru.ru_maxrss / 1024.0);
  return 0;
}
