// Times vocabulary loading and single-thread minimum-token encoding of a
// file of texts (one per line), in CPU time so that other load on a shared
// machine distorts it less; prints a digest of all ids so that layout
// changes can be checked to give identical output.
// Usage: dp_bench VOCAB_JSON TEXT_FILE [RUNS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "encode/dp_tokenizer.hpp"
#include "util/flat_map.hpp"
#include "util/utf8.hpp"

using namespace tarvex;

static double thread_cpu_secs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s VOCAB_JSON TEXT_FILE [RUNS]\n", argv[0]);
    return 2;
  }
  int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  std::vector<std::string> texts;
  std::ifstream in(argv[2], std::ios::binary);
  size_t bytes = 0;
  for (std::string line; std::getline(in, line);) {
    if (!utf8_valid(line)) continue;
    bytes += line.size();
    texts.push_back(std::move(line));
  }
  double c0 = thread_cpu_secs();
  auto tok = DpTokenizer::load(argv[1], "<unk>");
  double load_s = thread_cpu_secs() - c0;
  if (!tok) {
    std::fprintf(stderr, "%s\n", tok.error().joined().c_str());
    return 1;
  }
  std::vector<double> secs;
  uint64_t digest = 0, tokens = 0;
  for (int r = 0; r < runs; ++r) {
    uint64_t d = 0, n = 0;
    double t0 = thread_cpu_secs();
    for (const auto& t : texts) {
      auto ids = tok->encode(t);
      n += ids.size();
      for (uint32_t id : ids) d = mix64(d ^ id);
    }
    secs.push_back(thread_cpu_secs() - t0);
    digest = d, tokens = n;
  }
  std::sort(secs.begin(), secs.end());
  double med = secs[secs.size() / 2];
  std::printf("texts=%zu bytes=%zu nodes=%zu load=%.3fs encode_median=%.3fs (%.2f MB per CPU-second) tokens=%llu digest=%016llx\n",
              texts.size(), bytes, tok->trie().node_count(), load_s, med, static_cast<double>(bytes) / 1e6 / med,
              static_cast<unsigned long long>(tokens), static_cast<unsigned long long>(digest));
  return 0;
}
