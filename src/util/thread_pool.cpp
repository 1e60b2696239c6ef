#include "util/thread_pool.hpp"

#include <unistd.h>

#include <system_error>

namespace tarvex {

namespace {
// The pool whose task the current thread is running, if any.
thread_local const ThreadPool* t_current_pool = nullptr;
}  // namespace

size_t logical_processors() {
  unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

ThreadPool::ThreadPool(size_t threads) : threads_(threads ? threads : 1) {
  try {
    workers_.reserve(threads_ - 1);
    for (size_t i = 0; i + 1 < threads_; ++i) workers_.emplace_back([this] { worker_loop(); });
  } catch (const std::system_error& e) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      stop_ = true;
    }
    cv_work_.notify_all();
    for (auto& t : workers_) t.join();
    throw FatalError(e.what());
  }
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_work_.notify_all();
  for (auto& t : workers_) t.join();
}

ThreadPool& ThreadPool::global() {
  // A forked child inherits the pool object but none of its threads, so a
  // child gets a pool of its own; the parent's copy is left alone (joining
  // threads that do not exist in this process is impossible).
  static std::mutex mu;
  static ThreadPool* pool = nullptr;
  static pid_t owner = 0;
  std::lock_guard<std::mutex> lk(mu);
  pid_t pid = ::getpid();
  if (!pool || owner != pid) {
    pool = new ThreadPool(logical_processors());
    owner = pid;
  }
  return *pool;
}

std::unique_ptr<ThreadPool> build_pool(size_t threads, const char* what) {
  try {
    return std::make_unique<ThreadPool>(threads);
  } catch (const FatalError& e) {
    throw FatalError(std::string(what) + ": " + e.what());
  }
}

std::vector<Range> split_range(size_t n, size_t parts) {
  std::vector<Range> out;
  if (n == 0) return out;
  if (parts == 0) parts = 1;
  if (parts > n) parts = n;
  out.reserve(parts);
  size_t base = n / parts, extra = n % parts, at = 0;
  for (size_t i = 0; i < parts; ++i) {
    size_t len = base + (i < extra ? 1 : 0);
    out.push_back({at, at + len});
    at += len;
  }
  return out;
}

void ThreadPool::run_indices() {
  const ThreadPool* saved = t_current_pool;
  t_current_pool = this;
  std::unique_lock<std::mutex> lk(mu_);
  while (job_ && next_ < job_n_) {
    size_t i = next_++;
    const auto* job = job_;
    lk.unlock();
    try {
      (*job)(i);
    } catch (...) {
      lk.lock();
      if (!first_error_) first_error_ = std::current_exception();
      lk.unlock();
    }
    lk.lock();
    if (--pending_ == 0) cv_done_.notify_all();
  }
  t_current_pool = saved;
}

void ThreadPool::worker_loop() {
  size_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(mu_);
      cv_work_.wait(lk, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    run_indices();
  }
}

void ThreadPool::parallel_for(size_t n, const std::function<void(size_t)>& fn) {
  if (n == 0) return;
  // A task of this pool that forks again runs its children inline: the
  // pool's threads may all be busy with the outer job.
  if (t_current_pool == this || threads_ == 1 || n == 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::lock_guard<std::mutex> submit(submit_mu_);
  {
    std::lock_guard<std::mutex> lk(mu_);
    job_ = &fn;
    job_n_ = n;
    next_ = 0;
    pending_ = n;
    first_error_ = nullptr;
    ++generation_;
  }
  cv_work_.notify_all();
  run_indices();
  std::exception_ptr err;
  {
    std::unique_lock<std::mutex> lk(mu_);
    cv_done_.wait(lk, [&] { return pending_ == 0; });
    job_ = nullptr;
    err = first_error_;
    first_error_ = nullptr;
  }
  if (err) std::rethrow_exception(err);
}

}  // namespace tarvex
