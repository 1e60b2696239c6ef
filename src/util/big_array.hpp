// Arrays for tables of hundreds of megabytes that are probed at random.
// With 4 KiB pages nearly every probe of such a table also misses the TLB,
// and the page walk costs another trip to memory; asking the kernel for
// transparent huge pages (2 MiB) removes most of those walks. Small arrays
// come from the ordinary allocator.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarvex {

namespace detail {
constexpr size_t kHugePage = size_t{2} << 20;

inline void* big_alloc(size_t bytes, size_t align) {
  if (bytes >= 2 * kHugePage) {
    size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (void* p = std::aligned_alloc(kHugePage, rounded)) {
#if defined(MADV_HUGEPAGE)
      madvise(p, rounded, MADV_HUGEPAGE);  // a hint; failure changes nothing
#endif
      return p;
    }
    throw std::bad_alloc();
  }
  if (void* p = std::aligned_alloc(align, (bytes + align - 1) / align * align)) return p;
  throw std::bad_alloc();
}
}  // namespace detail

// A value-initialised array of n T's, freed with the object.
template <typename T>
class BigArray {
 public:
  BigArray() = default;
  explicit BigArray(size_t n) : p_(allocate(n)), n_(n) { std::uninitialized_value_construct_n(p_, n); }
  // n copies of `fill`: one pass over fresh memory instead of a zeroing
  // pass and then a fill.
  BigArray(size_t n, const T& fill) : p_(allocate(n)), n_(n) { std::uninitialized_fill_n(p_, n, fill); }
  BigArray(BigArray&& o) noexcept : p_(o.p_), n_(o.n_) { o.p_ = nullptr, o.n_ = 0; }
  BigArray& operator=(BigArray&& o) noexcept {
    if (this != &o) {
      release();
      p_ = o.p_, n_ = o.n_;
      o.p_ = nullptr, o.n_ = 0;
    }
    return *this;
  }
  BigArray(const BigArray&) = delete;
  BigArray& operator=(const BigArray&) = delete;
  ~BigArray() { release(); }

  T* get() const { return p_; }
  T& operator[](size_t i) const { return p_[i]; }

 private:
  static T* allocate(size_t n) {
    if (!n) return nullptr;
    const size_t align = alignof(T) < sizeof(void*) ? sizeof(void*) : alignof(T);
    return static_cast<T*>(detail::big_alloc(n * sizeof(T), align));
  }
  void release() {
    if (!p_) return;
    std::destroy_n(p_, n_);
    std::free(p_);
    p_ = nullptr, n_ = 0;
  }
  T* p_ = nullptr;
  size_t n_ = 0;
};

}  // namespace tarvex
