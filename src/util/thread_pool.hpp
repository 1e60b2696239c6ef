// Fork-join thread pool. A call to `parallel_for` hands indices 0..n-1 to the
// pool's threads (the calling thread helps) and returns when all are done, so
// tasks can own their partial results and the caller combines them after the
// join. Nested calls from inside a task of the same pool run inline.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "util/status.hpp"

namespace tarvex {

class ThreadPool {
 public:
  // `threads` >= 1 is the parallelism of the pool: threads - 1 workers plus
  // the caller. Throws FatalError if a thread cannot be started.
  explicit ThreadPool(size_t threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  size_t size() const { return threads_; }

  // Runs fn(i) for every i in [0, n). Blocks until every call returned. The
  // first exception thrown by a task is rethrown here after the join.
  void parallel_for(size_t n, const std::function<void(size_t)>& fn);

  // The process-wide pool: one thread per logical processor.
  static ThreadPool& global();

 private:
  void worker_loop();
  void run_indices();

  size_t threads_;
  std::vector<std::thread> workers_;
  std::mutex submit_mu_;  // one job at a time; concurrent callers queue here

  std::mutex mu_;
  std::condition_variable cv_work_;
  std::condition_variable cv_done_;
  const std::function<void(size_t)>* job_ = nullptr;
  size_t job_n_ = 0;
  size_t next_ = 0;        // next index to hand out (guarded by mu_)
  size_t pending_ = 0;     // indices not yet finished (guarded by mu_)
  size_t generation_ = 0;  // bumps once per job so idle workers wake once
  bool stop_ = false;
  std::exception_ptr first_error_;
};

// Number of logical processors, at least 1.
size_t logical_processors();

// Thread count for an option where 0 means "one per logical processor".
inline size_t resolve_threads(size_t requested) {
  return requested ? requested : logical_processors();
}

// Builds a pool of `threads` threads, or fails with a FatalError whose
// message starts with `what` followed by ": " and the reason.
std::unique_ptr<ThreadPool> build_pool(size_t threads, const char* what);

// Splits [0, n) into `parts` contiguous ranges of near-equal size; the split
// depends only on n and parts, never on timing.
struct Range {
  size_t begin, end;
};
std::vector<Range> split_range(size_t n, size_t parts);

// Maps each contiguous range of [0, n) to a partial result on `pool`, then
// folds the partials in range order with `combine(acc, part)`. Deterministic
// for any thread count as long as `combine` is associative over the ranges.
template <typename T, typename MapFn, typename CombineFn>
T map_reduce(ThreadPool& pool, size_t n, size_t parts, MapFn map, CombineFn combine) {
  std::vector<Range> ranges = split_range(n, parts);
  std::vector<T> partial(ranges.size());
  // Each task writes only its own slot of `partial`.
  pool.parallel_for(ranges.size(), [&](size_t i) { partial[i] = map(ranges[i].begin, ranges[i].end); });
  if (partial.empty()) return T{};
  T acc = std::move(partial[0]);
  for (size_t i = 1; i < partial.size(); ++i) combine(acc, partial[i]);
  return acc;
}

}  // namespace tarvex
