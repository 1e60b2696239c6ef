// Throughput of the admissibility filter and the directory writer on real
// text. Candidates are every window of 2 to 6 tokens over the first lines of
// a corpus, in two segmentations: characters (the start of training) and
// whole words with their end marker (late training, long tokens). Prints the
// median of a few runs.
//
// usage: rules_bench <corpus lines file> [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/writer.hpp"
#include "text/admissible.hpp"
#include "text/normalize.hpp"

using namespace tarvex;

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename Fn>
double time_s(Fn&& fn) {
  auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Segmented {
  Vocab vocab;
  std::vector<std::vector<TokenId>> seqs;
};

Segmented segment(const std::vector<std::string>& lines, bool words) {
  Segmented s;
  for (const auto& line : lines) {
    std::vector<TokenId> seq;
    std::string word;
    for_each_symbol(line, [&](std::string_view sym) {
      if (!words) {
        seq.push_back(s.vocab.intern(sym));
        return;
      }
      word += sym;
      if (sym == kEndToken) {
        seq.push_back(s.vocab.intern(word));
        word.clear();
      }
    });
    s.seqs.push_back(std::move(seq));
  }
  return s;
}

void bench_filter(const char* label, const Segmented& s, const TrainConfig& config, int runs) {
  size_t eff = effective_vocab_size(s.vocab);
  std::vector<double> times;
  size_t candidates = 0, admitted = 0;
  for (int r = 0; r < runs; ++r) {
    candidates = admitted = 0;
    times.push_back(time_s([&] {
      for (const auto& seq : s.seqs)
        for (size_t n = 2; n <= 6; ++n)
          for (size_t i = 0; i + n <= seq.size(); ++i) {
            ++candidates;
            admitted += is_admissible(std::span<const TokenId>(seq.data() + i, n), s.vocab, config, eff);
          }
    }));
  }
  double t = median(times);
  std::printf("%-34s %10zu candidates  %5.1f%% admitted  %7.2f ns/candidate  %6.1f M/s\n", label, candidates,
              100.0 * admitted / std::max<size_t>(candidates, 1), 1e9 * t / candidates, candidates / t / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus lines file> [runs]\n", argv[0]);
    return 2;
  }
  int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  std::vector<std::string> lines;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  std::printf("%zu lines, median of %d runs\n", lines.size(), runs);

  TrainConfig defaults;
  TrainConfig punct;
  punct.forbid_punct_tokens = true;
  punct.allow_space_punct_tokens = punct.allow_abbrev_tokens = punct.allow_hyphen_tokens = true;
  punct.allow_apostrophe_tokens = punct.allow_word_final_punct_tokens = true;
  punct.allow_cross_word_punct_word_mix_tokens = true;
  TrainConfig all = punct;
  all.max_token_chars = 24;
  all.forbid_punct_word_mix = false;
  all.max_token_words = 3;
  all.cross_word_start_vocab = 1;
  all.forbid_incomplete_cross_word = true;

  for (bool words : {false, true}) {
    Segmented s = segment(lines, words);
    std::printf("-- %s segmentation, %zu tokens\n", words ? "word" : "character", s.vocab.size());
    bench_filter("defaults", s, defaults, runs);
    bench_filter("forbid_punct_tokens + all allows", s, punct, runs);
    bench_filter("every rule on", s, all, runs);

    if (words) {
      std::vector<std::string> tokens = s.vocab.id_to_token;
      if (tokens.size() > 20000) tokens.resize(20000);
      std::string dir = (std::filesystem::temp_directory_path() / "tarvex-rules-bench").string();
      std::vector<double> times;
      for (int r = 0; r < runs; ++r) {
        std::filesystem::remove_all(dir);
        times.push_back(time_s([&] {
          Status st = write_tokenizer_dir(tokens, dir);
          if (!st) std::fprintf(stderr, "export failed: %s\n", st.error().joined().c_str()), std::exit(1);
        }));
      }
      std::printf("write_tokenizer_dir, %zu tokens: %.1f ms, vocab.json %ju bytes\n", tokens.size(),
                  1e3 * median(times), static_cast<uintmax_t>(std::filesystem::file_size(dir + "/vocab.json")));
      std::filesystem::remove_all(dir);
    }
  }
  return 0;
}
