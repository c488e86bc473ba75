// Fixed-size worker pools for lane work: private pools owned by one
// environment and one shared process-wide pool. Batched calls hand a pool a
// range of lanes; the range is split in halves that idle threads take over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "vec_env/env_error.h"

namespace tt {

class WorkerPool {
 public:
  struct Task;  // one queued half-range (on its submitter's stack), or a posted range
  /// Body of a range task: runs units [begin, end) in order.
  using RangeFn = void (*)(void* context, size_t begin, size_t end);

  /// Starts `threads` (>= 1) threads, or returns the reason it could not.
  static std::variant<std::unique_ptr<WorkerPool>, std::string> create(size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  size_t thread_count() const { return threads_.size(); }
  /// True when the calling thread is one of this pool's threads.
  bool on_worker_thread() const;

  /// Runs `fn(context, b, e)` over sub-ranges covering [0, n), every unit
  /// exactly once, each sub-range in order on one thread; returns when all
  /// have finished. From a non-pool thread the work is handed to the pool and
  /// the caller blocks; on a pool thread the caller takes part.
  void run_range(size_t n, RangeFn fn, void* context);

  /// Runs `fn(context, 0, 1)` as one job on a pool thread and waits for it
  /// (directly, when already on one of this pool's threads).
  void run_job(RangeFn fn, void* context);

  /// Posts `fn(context, b, e)` over sub-ranges covering [0, n) and returns at
  /// once; the pool's threads run it as they would a run_range. The handle
  /// must be given to finish() exactly once; `context` must stay valid until
  /// then. When the queue is full the work runs here before post returns.
  Task* post(size_t n, RangeFn fn, void* context);
  /// True once every unit of a posted task has finished.
  static bool finished(const Task* task);
  /// Waits until a posted task has finished, then frees its handle.
  void finish(Task* task);

  /// run_range over a callable body(begin, end). An exception a unit throws
  /// does not leave the pool thread: the first one is rethrown here once
  /// every unit has finished.
  template <class F>
  void parallel_for(size_t n, F& body) {
    Guarded<F> guarded{body, {}};
    run_range(
        n,
        [](void* c, size_t b, size_t e) {
          auto* g = static_cast<Guarded<F>*>(c);
          g->caught.run([&] { g->fn(b, e); });
        },
        &guarded);
    guarded.caught.rethrow();
  }
  /// run_job over a callable job(), with exceptions carried back as above.
  template <class F>
  void run_on_pool(F& job) {
    Guarded<F> guarded{job, {}};
    run_job(
        [](void* c, size_t, size_t) {
          auto* g = static_cast<Guarded<F>*>(c);
          g->caught.run([&] { g->fn(); });
        },
        &guarded);
    guarded.caught.rethrow();
  }

  /// Keeps the first exception thrown by the units of one call.
  class FirstException {
   public:
    template <class F>
    void run(F&& fn) noexcept {
      try {
        fn();
      } catch (...) {
        keep(std::current_exception());
      }
    }
    void rethrow() {
      if (first_) std::rethrow_exception(first_);
    }

   private:
    void keep(std::exception_ptr e) noexcept {
      std::lock_guard lock(mutex_);
      if (!first_) first_ = std::move(e);
    }
    std::mutex mutex_;
    std::exception_ptr first_;
  };

 private:
  template <class F>
  struct Guarded {
    F& fn;
    FirstException caught;
  };

  explicit WorkerPool(size_t threads);
  void worker_main(size_t index);
  template <class Pred>
  static void poll_until(Pred&& ready);
  Task* take_oldest();  // with the mutex held; the queue is not empty
  void split_and_run(Task& task, size_t splits);
  bool push(Task* task);
  bool reclaim(Task* task);
  void execute(Task* task);
  void wait_for(Task* task);

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Task*> queue_;  // fixed capacity, oldest first
  size_t capacity_ = 0;
  std::atomic<size_t> queued_{0};  // queue_.size(), readable without the mutex
  bool stopping_ = false;
};

/// First internal invariant violation reported by the units of one batched
/// call; the other units keep running and the call returns it afterwards.
class UnitErrors {
 public:
  /// Records the violation unless an earlier one was recorded.
  void report(std::string message);
  /// The recorded violation as a RuntimeError (and clears it), or nothing.
  EnvStatus take();

 private:
  std::mutex mutex_;
  bool failed_ = false;
  std::string message_;
};

/// Number of CPUs the process may run on (affinity mask), 1 when unknown.
size_t available_cpus();

/// Size the shared pool gets from the process environment:
/// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (positive decimal integers),
/// else available_cpus().
size_t shared_pool_size_from_environment();

/// The process-wide pool, created on first use and kept for the process's life.
std::variant<std::shared_ptr<WorkerPool>, EnvError> shared_worker_pool();

/// How an environment spreads its lane work.
struct PoolChoice {
  std::shared_ptr<WorkerPool> pool;  // nullptr: everything runs on the caller
  bool private_pool = false;         // true: owned by the environment alone
  uint64_t worker_threads = 1;
  uint64_t parallel_threshold = 2;
};

/// Resolves the thread count and the pool for an environment of `num_envs`
/// lanes: a private pool of min(num_threads, num_envs, CPUs) threads when that
/// is at least 2, no pool when below 2, the shared pool when `num_threads` is
/// absent. Failure: RuntimeError "failed to create Rayon thread pool: ...".
EnvResult<PoolChoice> resolve_worker_pool(std::optional<int64_t> num_threads, uint64_t num_envs);

}  // namespace tt
