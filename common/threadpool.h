// A small pool of threads for work that falls into independent parts.
//
// The pool is plain C++ (std::thread): it calls nothing of the host, so a
// module may use it anywhere between its host calls, as long as the parts it
// hands out call no host function either (no mxMalloc, no printing, no
// error).  It is made for the length of one piece of work, typically one
// call of a module, and joins its threads when it goes out of scope; nothing
// of it outlives the call, so a module that the host unloads has no thread
// left running.
//
// run(parts, job) calls job(part, worker) once for every part 0 .. parts-1,
// on the calling thread and the pool's, and returns when every part is done.
// Parts are taken in turn by whichever thread is free, so which worker does
// which part varies from run to run: use the pool only for work whose result
// does not depend on it (each part writing only its own outputs).  worker
// (0 .. size()-1, 0 for the calling thread) tells a part whose working
// space it may use.
#ifndef KALMEX_COMMON_THREADPOOL_H
#define KALMEX_COMMON_THREADPOOL_H

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

// The most threads a pool has, the caller's included.
constexpr int kxMaxThreads = 1024;

class kxThreadPool {
public:
  // Up to threads - 1 threads beside the caller's (at most kxMaxThreads in
  // all); fewer when the system gives no more (the work is then shared by
  // those there are).
  explicit kxThreadPool(int threads) {
    if (threads > kxMaxThreads) {
      threads = kxMaxThreads;
    }
    try {
      if (threads > 1) {
        threads_.reserve(static_cast<size_t>(threads) - 1);
      }
      for (int k = 1; k < threads; ++k) {
        threads_.emplace_back(&kxThreadPool::serve, this, k);
      }
    } catch (const std::exception &) {
      // No more threads to be had: go on with those started.
    }
  }

  ~kxThreadPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread &t : threads_) {
      t.join();
    }
  }

  kxThreadPool(const kxThreadPool &) = delete;
  kxThreadPool &operator=(const kxThreadPool &) = delete;

  // Threads that run parts, the caller's included.
  int size() const { return static_cast<int>(threads_.size()) + 1; }

  template <typename Job> void run(int parts, Job &&job) {
    using Plain = typename std::remove_reference<Job>::type;
    if (threads_.empty() || parts <= 1) {
      for (int p = 0; p < parts; ++p) {
        job(p, 0);
      }
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      call_ = [](void *j, int part, int worker) { (*static_cast<Plain *>(j))(part, worker); };
      job_ = static_cast<void *>(&job);
      parts_ = parts;
      next_.store(0, std::memory_order_relaxed);
      busy_ = static_cast<int>(threads_.size());
      ++generation_;
    }
    wake_.notify_all();
    work(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
  }

private:
  // Takes parts until none is left.
  void work(int worker) {
    for (int p = next_.fetch_add(1, std::memory_order_relaxed); p < parts_;
         p = next_.fetch_add(1, std::memory_order_relaxed)) {
      call_(job_, p, worker);
    }
  }

  void serve(int worker) {
    unsigned long seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) {
        return;
      }
      seen = generation_;
      lock.unlock();
      work(worker);
      lock.lock();
      if (--busy_ == 0) {
        done_.notify_one();
      }
    }
  }

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_; // a new run, or the end
  std::condition_variable done_; // every thread finished the run
  unsigned long generation_ = 0; // runs started
  bool stopping_ = false;
  void (*call_)(void *, int, int) = nullptr;
  void *job_ = nullptr;
  int parts_ = 0;
  std::atomic<int> next_{0};
  int busy_ = 0; // pool threads still in the current run
};

#endif
