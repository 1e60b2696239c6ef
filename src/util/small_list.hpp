// A growable list of 32-bit values that keeps its first few inline.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tarvex {

// Same size as a std::vector of them (24 bytes), but the first four values
// live in the object itself. Meant for millions of lists most of which stay
// short: each one then costs no allocation of its own, and a visit finds
// the values on the same cache line as the list.
class SmallList {
 public:
  static constexpr uint32_t kInline = 4;

  SmallList() = default;
  SmallList(const SmallList&) = delete;
  SmallList& operator=(const SmallList&) = delete;
  SmallList(SmallList&& o) noexcept : size_(o.size_), cap_(o.cap_) {
    std::memcpy(&store_, &o.store_, sizeof store_);
    o.size_ = 0, o.cap_ = kInline;
  }
  SmallList& operator=(SmallList&& o) noexcept {
    if (this != &o) {
      release();
      size_ = o.size_, cap_ = o.cap_;
      std::memcpy(&store_, &o.store_, sizeof store_);
      o.size_ = 0, o.cap_ = kInline;
    }
    return *this;
  }
  ~SmallList() { release(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t* data() { return cap_ > kInline ? store_.heap : store_.in; }
  const uint32_t* data() const { return cap_ > kInline ? store_.heap : store_.in; }
  const uint32_t* begin() const { return data(); }
  const uint32_t* end() const { return data() + size_; }
  uint32_t& operator[](size_t i) { return data()[i]; }
  uint32_t operator[](size_t i) const { return data()[i]; }
  uint32_t back() const { return data()[size_ - 1]; }

  void push_back(uint32_t v) {
    if (size_ == cap_) grow(size_ + 1);
    data()[size_++] = v;
  }
  template <typename It>
  void append(It first, It last) {
    const size_t n = static_cast<size_t>(last - first);
    if (size_ + n > cap_) grow(size_ + n);
    uint32_t* d = data() + size_;
    for (; first != last; ++first) *d++ = *first;
    size_ += static_cast<uint32_t>(n);
  }
  // New values are 0.
  void resize(size_t n) {
    if (n > cap_) grow(n);
    if (n > size_) std::memset(data() + size_, 0, (n - size_) * sizeof(uint32_t));
    size_ = static_cast<uint32_t>(n);
  }
  // Empties the list and frees its block.
  void clear() {
    release();
    size_ = 0, cap_ = kInline;
  }

 private:
  void grow(size_t need) {
    size_t cap = cap_;
    while (cap < need) cap *= 2;
    if (cap > UINT32_MAX) throw std::bad_alloc();
    uint32_t* p;
    if (cap_ > kInline) {
      p = static_cast<uint32_t*>(std::realloc(store_.heap, cap * sizeof(uint32_t)));
      if (!p) throw std::bad_alloc();
    } else {
      p = static_cast<uint32_t*>(std::malloc(cap * sizeof(uint32_t)));
      if (!p) throw std::bad_alloc();
      std::memcpy(p, store_.in, size_ * sizeof(uint32_t));
    }
    store_.heap = p;
    cap_ = static_cast<uint32_t>(cap);
  }
  void release() {
    if (cap_ > kInline) std::free(store_.heap);
  }

  uint32_t size_ = 0, cap_ = kInline;
  union Store {
    uint32_t in[kInline];
    uint32_t* heap;
  } store_{};
};

static_assert(sizeof(SmallList) == 24);

}  // namespace tarvex
