// Template body of merge_windows (included by merge.hpp).
#pragma once

#include <algorithm>

namespace tarvex {

template <typename OnRemoved, typename OnAdded>
bool merge_windows(std::span<const TokenId> t, std::span<const TokenId> key, TokenId new_id,
                   const std::vector<size_t>& n_values, std::vector<TokenId>& out, OnRemoved&& on_removed,
                   OnAdded&& on_added) {
  const size_t L = t.size(), k = key.size();
  if (k == 0 || L < k) return false;
  // Occurrence starts, left to right, never overlapping. Kept on the stack
  // for the common few-occurrence case.
  size_t small[32];
  std::vector<size_t> big;
  size_t* occ = small;
  size_t count = 0, cap = 32;
  for (size_t i = 0; i + k <= L;) {
    if (t[i] == key[0] && std::equal(key.begin() + 1, key.end(), t.begin() + i + 1)) {
      if (count == cap) {
        big.assign(occ, occ + count);
        big.resize(cap * 2);
        cap *= 2;
        occ = big.data();
      }
      occ[count++] = i;
      i += k;
    } else {
      ++i;
    }
  }
  if (count == 0) return false;

  // Old windows touching an occurrence: for occurrence p, starts
  // max(0, p-n+1) .. min(p+k-1, L-n). The ranges rise with p, so skipping
  // starts already emitted counts a window shared by two occurrences once.
  for (size_t n : n_values) {
    if (n > L) continue;
    size_t next = 0;  // first start not yet emitted
    for (size_t j = 0; j < count; ++j) {
      size_t p = occ[j];
      size_t lo = p + 1 >= n ? p + 1 - n : 0;
      size_t hi = std::min(p + k - 1, L - n);
      lo = std::max(lo, next);
      for (size_t s = lo; s <= hi; ++s) on_removed(t.subspan(s, n));
      if (hi + 1 > next) next = hi + 1;
    }
  }

  // The new sequence; occurrence j lands at q_j = p_j - j*(k-1).
  const size_t L2 = L - count * (k - 1);
  out.clear();
  out.reserve(L2);
  size_t from = 0;
  for (size_t j = 0; j < count; ++j) {
    out.insert(out.end(), t.begin() + from, t.begin() + occ[j]);
    out.push_back(new_id);
    from = occ[j] + k;
  }
  out.insert(out.end(), t.begin() + from, t.end());
  std::span<const TokenId> t2(out);

  // Each new window also gets the span of the old sequence it was made
  // from, [a, b]: its ends moved right by k-1 for every occurrence before
  // them (a) or up to them (b).
  auto q_of = [&](size_t j) { return occ[j] - j * (k - 1); };
  for (size_t n : n_values) {
    if (n > L2) continue;
    size_t next = 0, before = 0, upto = 0;  // occurrences with q < s, with q <= s + n - 1
    for (size_t j = 0; j < count; ++j) {
      size_t q = q_of(j);
      size_t lo = q + 1 >= n ? q + 1 - n : 0;
      size_t hi = std::min(q, L2 - n);
      lo = std::max(lo, next);
      for (size_t s = lo; s <= hi; ++s) {
        while (before < count && q_of(before) < s) ++before;
        while (upto < count && q_of(upto) <= s + n - 1) ++upto;
        on_added(t2.subspan(s, n), s + before * (k - 1), s + n - 1 + upto * (k - 1));
      }
      if (hi + 1 > next) next = hi + 1;
    }
  }
  return true;
}

}  // namespace tarvex
