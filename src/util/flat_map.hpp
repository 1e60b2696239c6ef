// Open-addressing hash map with linear probing and backward-shift deletion,
// for tens of millions of small keys. One control byte per slot (0 = empty,
// 1 = buried, else 0x80 | 7 hash bits) keeps most failed probes away from
// the keys, so the table runs up to 7/8 full: the long runs of control bytes
// that brings cost less than the memory of a sparser table of 56-byte slots.
// Burying (bury_at) removes a key without moving anything: its slot stays
// in the probe runs until an insert reuses it or the table is swept, which
// happens instead of growing while buried slots make up enough of it.
// Iteration order depends on hashes and history: never let it reach an id,
// a file or a log line without sorting.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "util/big_array.hpp"

namespace tarvex {

inline uint64_t mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// FNV-1a over bytes, finished with mix64; adequate for short token texts.
inline uint64_t hash_bytes(const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t h = 0xcbf29ce484222325ULL;
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0x100000001b3ULL;
    h ^= h >> 29;
  }
  for (; i < len; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  return mix64(h ^ len);
}

template <typename K>
struct DefaultHash;

template <>
struct DefaultHash<uint32_t> {
  uint64_t operator()(uint32_t k) const { return mix64(k); }
};
template <>
struct DefaultHash<uint64_t> {
  uint64_t operator()(uint64_t k) const { return mix64(k); }
};
template <>
struct DefaultHash<std::string> {
  uint64_t operator()(const std::string& k) const { return hash_bytes(k.data(), k.size()); }
  uint64_t operator()(std::string_view k) const { return hash_bytes(k.data(), k.size()); }
};

template <typename K, typename V, typename Hash = DefaultHash<K>, typename Eq = std::equal_to<>>
class FlatMap {
  struct Slot {
    K key{};
    V value{};
  };

 public:
  FlatMap() = default;
  FlatMap(FlatMap&& o) noexcept { swap(o); }
  FlatMap& operator=(FlatMap&& o) noexcept {
    if (this != &o) {
      FlatMap tmp;
      tmp.swap(o);
      swap(tmp);
    }
    return *this;
  }
  FlatMap(const FlatMap& o) { *this = o; }
  FlatMap& operator=(const FlatMap& o) {
    if (this == &o) return *this;
    FlatMap tmp;
    tmp.reserve(o.size_);
    for (size_t i = 0; i < o.cap_; ++i)
      if (o.occupied(i)) tmp.insert_new(o.slots_[i].key, o.slots_[i].value);
    swap(tmp);
    return *this;
  }

  void swap(FlatMap& o) noexcept {
    std::swap(ctrl_, o.ctrl_);
    std::swap(slots_, o.slots_);
    std::swap(cap_, o.cap_);
    std::swap(shift_, o.shift_);
    std::swap(size_, o.size_);
    std::swap(buried_, o.buried_);
  }

  size_t size() const { return size_; }
  size_t buried() const { return buried_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return cap_; }
  void clear() { FlatMap().swap(*this); }
  // Empties the map but keeps its table when the map was at least an
  // eighth full, for scratch maps refilled at a similar size again and again.
  void reset() {
    if (!cap_) return;
    if ((size_ + buried_) * 8 < cap_) {
      clear();
      return;
    }
    for (size_t i = 0; i < cap_; ++i)
      if (ctrl_[i]) slots_[i] = Slot{};
    std::memset(ctrl_.get(), 0, cap_);
    size_ = 0;
    buried_ = 0;
  }

  // Makes room for `n` keys without rehashing: keeps keys and buried slots
  // at or under 7/8 of the table, sweeping the buried ones out when that
  // makes room and frees at least 1/32 of the table (so that sweeps of a
  // table kept nearly full of keys do not follow each other), growing it
  // otherwise. The table then grows at about the size it would have grown
  // at without burying.
  void reserve(size_t n) {
    if ((n + buried_) * 8 <= cap_ * 7) return;
    if (buried_ * 32 >= cap_ && n * 8 <= cap_ * 7) {
      erase_where([](const K&, const V&) { return false; });
      return;
    }
    size_t need = cap_ ? cap_ * 2 : 8;
    while (need * 7 < n * 8) need <<= 1;
    rehash(need);
  }

  // The *_hashed forms take Hash{}(key) computed by the caller, so a key
  // looked up in several maps of the same type is hashed once.
  template <typename Q>
  V* find(const Q& key) {
    return find_hashed(key, Hash{}(key));
  }
  template <typename Q>
  V* find_hashed(const Q& key, uint64_t h) {
    if (!cap_) return nullptr;
    uint8_t tag = tag_of(h);
    for (size_t i = home(h);; i = (i + 1) & (cap_ - 1)) {
      uint8_t c = ctrl_[i];
      if (!c) return nullptr;
      if (c == tag && Eq{}(slots_[i].key, key)) return &slots_[i].value;
    }
  }
  template <typename Q>
  const V* find(const Q& key) const {
    return const_cast<FlatMap*>(this)->find(key);
  }
  template <typename Q>
  const V* find_hashed(const Q& key, uint64_t h) const {
    return const_cast<FlatMap*>(this)->find_hashed(key, h);
  }
  // The slot holding `key`, or npos; stays valid until the next insert or
  // erase. Lets a caller keep a found slot and erase it later without a
  // second probe sequence (erase_at).
  static constexpr size_t npos = static_cast<size_t>(-1);
  template <typename Q>
  size_t find_index_hashed(const Q& key, uint64_t h) const {
    if (!cap_) return npos;
    uint8_t tag = tag_of(h);
    for (size_t i = home(h);; i = (i + 1) & (cap_ - 1)) {
      uint8_t c = ctrl_[i];
      if (!c) return npos;
      if (c == tag && Eq{}(slots_[i].key, key)) return i;
    }
  }
  void erase_at(size_t i) { erase_slot(i); }
  // Removes the key at slot i (occupied) without moving any other: the
  // slot is skipped by lookups from now on. Slot indices stay valid.
  void bury_at(size_t i) {
    ctrl_[i] = kBuried;
    --size_;
    ++buried_;
  }

  template <typename Q>
  bool contains(const Q& key) const {
    return find(key) != nullptr;
  }
  template <typename Q>
  bool contains_hashed(const Q& key, uint64_t h) const {
    return find_hashed(key, h) != nullptr;
  }

  // Asks the cache for the first probe of a key with hash `h`; a hint only,
  // so it stays harmless when the table changes before the lookup.
  void prefetch(uint64_t h) const {
    if (!cap_) return;
    size_t i = home(h);
    __builtin_prefetch(ctrl_.get() + i);
    __builtin_prefetch(slots_.get() + i);
    // Slots whose size does not divide a cache line straddle two lines at
    // most places (six in eight for the 56-byte slots of the statistics):
    // the lookup reads both.
    if constexpr (64 % sizeof(Slot) != 0)
      __builtin_prefetch(reinterpret_cast<const char*>(slots_.get() + i) + sizeof(Slot) - 1);
  }

  // Returns the value for `key`, inserting `make()`'s result first when the
  // key is new; the flag says whether it was inserted.
  template <typename Q, typename Make>
  std::pair<V*, bool> find_or_insert(const Q& key, Make&& make) {
    return find_or_insert_hashed(key, Hash{}(key), std::forward<Make>(make));
  }
  template <typename Q, typename Make>
  std::pair<V*, bool> find_or_insert_hashed(const Q& key, uint64_t h, Make&& make) {
    if ((size_ + buried_ + 1) * 8 > cap_ * 7) reserve(size_ + 1);
    uint8_t tag = tag_of(h);
    size_t i = home(h), spare = npos;
    for (;; i = (i + 1) & (cap_ - 1)) {
      uint8_t c = ctrl_[i];
      if (!c) break;
      if (c == tag && Eq{}(slots_[i].key, key)) return {&slots_[i].value, false};
      if (c == kBuried && spare == npos) spare = i;
    }
    if (spare != npos) {
      i = spare;
      --buried_;
    }
    ctrl_[i] = tag;
    slots_[i].key = K(key);
    slots_[i].value = make();
    ++size_;
    return {&slots_[i].value, true};
  }

  template <typename Q>
  V& operator[](const Q& key) {
    return *find_or_insert(key, [] { return V{}; }).first;
  }

  // Removes `key`; returns whether it was present.
  template <typename Q>
  bool erase(const Q& key) {
    return erase_hashed(key, Hash{}(key));
  }
  template <typename Q>
  bool erase_hashed(const Q& key, uint64_t h) {
    if (!cap_) return false;
    uint8_t tag = tag_of(h);
    size_t i = home(h);
    for (;; i = (i + 1) & (cap_ - 1)) {
      uint8_t c = ctrl_[i];
      if (!c) return false;
      if (c == tag && Eq{}(slots_[i].key, key)) break;
    }
    erase_slot(i);
    return true;
  }

  // Removes every pair for which `gone(const K&, const V&)` holds, and every
  // buried slot, in two passes over the table and without allocating: the
  // slots are cleared first, then every survivor moves to the first free
  // slot on its probe path. Erasing them one by one would shift each run
  // again per pair. Returns the number of pairs removed.
  template <typename Gone>
  size_t erase_where(Gone&& gone) {
    if (!size_ && !buried_) return 0;
    const size_t mask = cap_ - 1;
    size_t start = 0;  // a slot empty before the call: no probe path crosses it
    while (ctrl_[start]) ++start;
    size_t removed = 0;
    const size_t was_buried = buried_;
    for (size_t i = 0; i < cap_; ++i) {
      if (!ctrl_[i]) continue;
      if (occupied(i)) {
        if (!gone(static_cast<const K&>(slots_[i].key), static_cast<const V&>(slots_[i].value))) continue;
        ++removed;
      }
      ctrl_[i] = 0;
      slots_[i] = Slot{};
    }
    if (!removed && !was_buried) return 0;
    size_ -= removed;
    buried_ = 0;
    // Slots are settled in probe order from `start`: every survivor before
    // slot j already sits where a lookup finds it, so the first free slot
    // from j's home is where j belongs. Its home lies between start and j,
    // and the scan stops at j at the latest.
    for (size_t k = 1; k <= cap_; ++k) {
      const size_t j = (start + k) & mask;
      if (!ctrl_[j]) continue;
      size_t p = home(Hash{}(slots_[j].key));
      while (p != j && ctrl_[p]) p = (p + 1) & mask;
      if (p == j) continue;
      ctrl_[p] = ctrl_[j];
      slots_[p] = std::move(slots_[j]);
      ctrl_[j] = 0;
      slots_[j] = Slot{};
    }
    return removed;
  }

  // Visits every key/value pair; `fn(const K&, V&)`.
  template <typename Fn>
  void for_each(Fn&& fn) {
    for (size_t i = 0; i < cap_; ++i)
      if (occupied(i)) fn(static_cast<const K&>(slots_[i].key), slots_[i].value);
  }
  template <typename Fn>
  void for_each(Fn&& fn) const {
    for (size_t i = 0; i < cap_; ++i)
      if (occupied(i)) fn(slots_[i].key, static_cast<const V&>(slots_[i].value));
  }

  // Moves every pair out (the map is left empty); `fn(K&&, V&&)`.
  template <typename Fn>
  void drain(Fn&& fn) {
    for (size_t i = 0; i < cap_; ++i)
      if (occupied(i)) fn(std::move(slots_[i].key), std::move(slots_[i].value));
    clear();
  }

  // Raw slot access for callers that split iteration across threads:
  // slot i is occupied when occupied(i).
  bool occupied(size_t i) const { return (ctrl_[i] & 0x80) != 0; }
  const K& key_at(size_t i) const { return slots_[i].key; }
  const V& value_at(size_t i) const { return slots_[i].value; }
  V& value_at(size_t i) { return slots_[i].value; }

 private:
  static constexpr uint8_t kBuried = 1;
  static uint8_t tag_of(uint64_t h) { return static_cast<uint8_t>(0x80 | (h & 0x7f)); }
  size_t home(uint64_t h) const { return static_cast<size_t>((h * 0x9E3779B97F4A7C15ULL) >> shift_); }

  void insert_new(const K& key, const V& value) {
    *find_or_insert(key, [&] { return value; }).first = value;
  }

  void erase_slot(size_t i) {
    size_t mask = cap_ - 1;
    size_t j = i;
    for (;;) {
      j = (j + 1) & mask;
      if (!ctrl_[j]) break;
      size_t h = home(Hash{}(slots_[j].key));
      // Slot j may fill the hole at i when its home is not in (i, j].
      bool stays = (i <= j) ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      ctrl_[i] = ctrl_[j];
      slots_[i] = std::move(slots_[j]);
      i = j;
    }
    ctrl_[i] = 0;
    slots_[i] = Slot{};
    --size_;
  }

  void rehash(size_t new_cap) {
    BigArray<uint8_t> old_ctrl = std::move(ctrl_);
    BigArray<Slot> old_slots = std::move(slots_);
    size_t old_cap = cap_;
    ctrl_ = BigArray<uint8_t>(new_cap);
    slots_ = BigArray<Slot>(new_cap);
    cap_ = new_cap;
    shift_ = 64;
    for (size_t c = new_cap; c > 1; c >>= 1) --shift_;
    buried_ = 0;
    for (size_t i = 0; i < old_cap; ++i) {
      if (!(old_ctrl[i] & 0x80)) continue;
      uint64_t h = Hash{}(old_slots[i].key);
      size_t j = home(h);
      while (ctrl_[j]) j = (j + 1) & (cap_ - 1);
      ctrl_[j] = tag_of(h);
      slots_[j] = std::move(old_slots[i]);
    }
  }

  BigArray<uint8_t> ctrl_;
  BigArray<Slot> slots_;
  size_t cap_ = 0;
  unsigned shift_ = 64;
  size_t size_ = 0;
  size_t buried_ = 0;
};

}  // namespace tarvex
