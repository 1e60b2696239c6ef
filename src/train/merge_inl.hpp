// Template body of merge_windows (included by merge.hpp), and the pieces of
// the merge rule that apply_merge's own pass over an entry shares with it.
#pragma once

#include <algorithm>

namespace tarvex {

namespace merge_detail {

// Starts of the key's occurrences in t[0, L), left to right, never
// overlapping.
inline void find_occurrences(const TokenId* t, size_t L, std::span<const TokenId> key, std::vector<size_t>& occ) {
  occ.clear();
  const size_t k = key.size();
  if (k == 0 || L < k) return;
  if (k == 1) {
    for (size_t i = 0; i < L; ++i)
      if (t[i] == key[0]) occ.push_back(i);
    return;
  }
  const TokenId k0 = key[0], k1 = key[1];
  for (size_t i = 0; i + k <= L;) {
    if (t[i] == k0 && t[i + 1] == k1) {
      size_t j = 2;
      while (j < k && t[i + j] == key[j]) ++j;
      if (j == k) {
        occ.push_back(i);
        i += k;
        continue;
      }
    }
    ++i;
  }
}

// t[0, L) with each occurrence (starts occ, k ids each) replaced by new_id.
inline void rewrite(const TokenId* t, size_t L, const std::vector<size_t>& occ, size_t k, TokenId new_id,
                    std::vector<TokenId>& out) {
  out.resize(L - occ.size() * (k - 1));
  TokenId* w = out.data();
  size_t from = 0;
  for (size_t p : occ) {
    w = std::copy(t + from, t + p, w);
    *w++ = new_id;
    from = p + k;
  }
  std::copy(t + from, t + L, w);
}

// Calls fn(s) for the starts s of the windows of length n over a sequence
// of length len that touch one of the spans [at[j], at[j] + width - 1],
// ascending and each once (the spans rise, so a start shared by two is
// skipped the second time).
template <typename Fn>
void for_window_starts(const std::vector<size_t>& at, size_t width, size_t n, size_t len, Fn&& fn) {
  if (n > len) return;
  size_t next = 0;
  for (size_t p : at) {
    size_t lo = std::max(p + 1 >= n ? p + 1 - n : 0, next), hi = std::min(p + width - 1, len - n);
    for (size_t s = lo; s <= hi; ++s) fn(s);
    if (hi + 1 > next) next = hi + 1;
  }
}

// Where the occurrences at old starts occ land in the new sequence: the
// j-th moved left by k - 1 for every one before it.
inline void landed(const std::vector<size_t>& occ, size_t k, std::vector<size_t>& q) {
  q.resize(occ.size());
  for (size_t j = 0; j < q.size(); ++j) q[j] = occ[j] - j * (k - 1);
}

}  // namespace merge_detail

template <typename OnRemoved, typename OnAdded>
bool merge_windows(std::span<const TokenId> t, std::span<const TokenId> key, TokenId new_id,
                   const std::vector<size_t>& n_values, std::vector<TokenId>& out, OnRemoved&& on_removed,
                   OnAdded&& on_added) {
  using namespace merge_detail;
  const size_t L = t.size(), k = key.size();
  std::vector<size_t> occ;
  find_occurrences(t.data(), L, key, occ);
  if (occ.empty()) return false;

  // Old windows touching an occurrence.
  for (size_t n : n_values) for_window_starts(occ, k, n, L, [&](size_t s) { on_removed(t.subspan(s, n)); });

  rewrite(t.data(), L, occ, k, new_id, out);
  const size_t L2 = out.size();
  std::span<const TokenId> t2(out);

  // New windows holding a new token, each with the span [a, b] of the old
  // sequence it was made from: its ends moved right by k - 1 for every
  // occurrence before them (a) or up to them (b).
  std::vector<size_t> q;
  landed(occ, k, q);
  for (size_t n : n_values) {
    size_t before = 0, upto = 0;  // occurrences with q < s, with q <= s + n - 1
    for_window_starts(q, 1, n, L2, [&](size_t s) {
      while (before < q.size() && q[before] < s) ++before;
      while (upto < q.size() && q[upto] <= s + n - 1) ++upto;
      on_added(t2.subspan(s, n), s + before * (k - 1), s + n - 1 + upto * (k - 1));
    });
  }
  return true;
}

}  // namespace tarvex
