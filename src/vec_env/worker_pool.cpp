#include "vec_env/worker_pool.h"

#ifdef __linux__
#include <sched.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <limits>
#include <system_error>

namespace tt {

namespace {

// Pool whose thread is running the current code, if any.
thread_local const WorkerPool* current_pool = nullptr;

constexpr size_t QUEUE_CAPACITY = 4096;
constexpr auto IDLE_POLL = std::chrono::microseconds(300);

// Parses a positive decimal integer (optional leading '+'); 0 otherwise.
size_t parse_positive(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return 0;
  size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    const size_t digit = static_cast<size_t>(*p - '0');
    if (value > (std::numeric_limits<size_t>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

struct WorkerPool::Task {
  RangeFn fn = nullptr;
  void* context = nullptr;
  size_t begin = 0;
  size_t end = 0;
  size_t splits = 0;
  std::thread::id owner;
  std::atomic<bool> done{false};  // set under the pool mutex, may be polled without it
};

WorkerPool::WorkerPool(size_t threads) : capacity_(QUEUE_CAPACITY) {
  queue_.reserve(QUEUE_CAPACITY);
  threads_.reserve(threads);
}

void UnitErrors::report(std::string message) {
  std::lock_guard lock(mutex_);
  if (!failed_) {
    failed_ = true;
    message_ = std::move(message);
  }
}

EnvStatus UnitErrors::take() {
  std::lock_guard lock(mutex_);
  if (!failed_) return std::nullopt;
  failed_ = false;
  return runtime_error("internal error: " + std::move(message_));
}

std::variant<std::unique_ptr<WorkerPool>, std::string> WorkerPool::create(size_t threads) {
  if (threads == 0) return std::string("the thread count must be at least 1");
  std::unique_ptr<WorkerPool> pool(new WorkerPool(threads));
  try {
    for (size_t i = 0; i < threads; ++i) {
      pool->threads_.emplace_back([p = pool.get(), i] { p->worker_main(i); });
    }
  } catch (const std::system_error& e) {
    return std::string(e.what());  // the destructor stops the threads already started
  }
  return pool;
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
}

bool WorkerPool::on_worker_thread() const { return current_pool == this; }

void WorkerPool::worker_main(size_t) {
  current_pool = this;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queue_.empty() && !stopping_) {
      lock.unlock();
      poll_until([this] { return queued_.load(std::memory_order_acquire) > 0; });
      lock.lock();
    }
    cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping with nothing left
    Task* task = take_oldest();
    lock.unlock();
    execute(task);
    lock.lock();
  }
}

template <class Pred>
void WorkerPool::poll_until(Pred&& ready) {
  // Batched calls come in quick succession (one per environment step), and
  // halves and jobs usually end soon: a thread with nothing to do watches for
  // a short while before it sleeps, so it does not wait for a sleeping
  // processor to be woken up. It yields while it watches, so it never keeps a
  // runnable thread waiting.
  const auto until = std::chrono::steady_clock::now() + IDLE_POLL;
  while (!ready() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

WorkerPool::Task* WorkerPool::take_oldest() {
  Task* task = queue_.front();
  queue_.erase(queue_.begin());
  queued_.store(queue_.size(), std::memory_order_release);
  return task;
}

bool WorkerPool::push(Task* task) {
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= capacity_) return false;
    queue_.push_back(task);
    queued_.store(queue_.size(), std::memory_order_release);
  }
  cv_.notify_all();
  return true;
}

bool WorkerPool::reclaim(Task* task) {
  std::lock_guard lock(mutex_);
  for (size_t i = queue_.size(); i-- > 0;) {
    if (queue_[i] == task) {
      queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(i));
      queued_.store(queue_.size(), std::memory_order_release);
      return true;
    }
  }
  return false;
}

void WorkerPool::execute(Task* task) {
  size_t splits = task->splits;
  if (task->owner != std::this_thread::get_id()) splits = std::max(thread_count(), splits / 2);
  split_and_run(*task, splits);
  {
    std::lock_guard lock(mutex_);
    task->done.store(true, std::memory_order_release);  // the owner may release the task once it sees this
  }
  cv_.notify_all();
}

void WorkerPool::wait_for(Task* task) {
  const bool helper = current_pool == this;
  // A pool thread stops watching as soon as there is queued work to help with.
  poll_until([&] {
    return task->done.load(std::memory_order_acquire) || (helper && queued_.load(std::memory_order_acquire) > 0);
  });
  std::unique_lock lock(mutex_);
  while (!task->done.load(std::memory_order_acquire)) {
    if (helper && !queue_.empty()) {
      Task* other = take_oldest();
      lock.unlock();
      execute(other);
      lock.lock();
      continue;
    }
    cv_.wait(lock);
  }
}

void WorkerPool::split_and_run(Task& task, size_t splits) {
  const RangeFn fn = task.fn;
  void* const context = task.context;
  const size_t begin = task.begin;
  const size_t end = task.end;
  // Split off the second half while there is something to split and budget
  // left; the first half (floor(len / 2) units) stays on this thread.
  if (end - begin >= 2 && splits > 0) {
    const size_t child_splits = splits / 2;
    const size_t mid = begin + (end - begin) / 2;
    Task left;
    left.fn = fn;
    left.context = context;
    left.begin = begin;
    left.end = mid;
    left.splits = child_splits;
    left.owner = std::this_thread::get_id();
    Task right;
    right.fn = fn;
    right.context = context;
    right.begin = mid;
    right.end = end;
    right.splits = child_splits;
    right.owner = left.owner;
    if (push(&right)) {
      split_and_run(left, child_splits);
      if (reclaim(&right)) {
        split_and_run(right, child_splits);
      } else {
        wait_for(&right);
      }
      return;
    }
  }
  fn(context, begin, end);
}

void WorkerPool::run_range(size_t n, RangeFn fn, void* context) {
  if (n == 0) return;
  Task root;
  root.fn = fn;
  root.context = context;
  root.begin = 0;
  root.end = n;
  // A few splits per thread: lanes differ in cost (scrolling, deaths), and
  // finer halves let an idle thread take over more of the remaining work.
  root.splits = 8 * thread_count();
  root.owner = std::this_thread::get_id();
  if (on_worker_thread()) {
    split_and_run(root, root.splits);
    return;
  }
  if (!push(&root)) {
    fn(context, 0, n);
    return;
  }
  wait_for(&root);
}

WorkerPool::Task* WorkerPool::post(size_t n, RangeFn fn, void* context) {
  auto task = std::make_unique<Task>();
  task->fn = fn;
  task->context = context;
  task->begin = 0;
  task->end = n;
  task->splits = 8 * thread_count();
  task->owner = std::this_thread::get_id();
  if (n == 0 || !push(task.get())) {
    if (n > 0) fn(context, 0, n);
    task->done.store(true, std::memory_order_release);
  }
  return task.release();
}

bool WorkerPool::finished(const Task* task) { return task->done.load(std::memory_order_acquire); }

void WorkerPool::finish(Task* task) {
  std::unique_ptr<Task> owned(task);
  if (!finished(task)) wait_for(task);
}

void WorkerPool::run_job(RangeFn fn, void* context) {
  if (on_worker_thread()) {
    fn(context, 0, 1);
    return;
  }
  run_range(1, fn, context);
}

size_t available_cpus() {
#ifndef __linux__
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
#else
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<size_t>(online) : 1;
#endif
}

size_t shared_pool_size_from_environment() {
  if (const size_t n = parse_positive(std::getenv("RAYON_NUM_THREADS")); n > 0) return n;
  if (const size_t n = parse_positive(std::getenv("RAYON_RS_NUM_CPUS")); n > 0) return n;
  return available_cpus();
}

std::variant<std::shared_ptr<WorkerPool>, EnvError> shared_worker_pool() {
  // Created once and kept until the process ends (never destroyed, so no
  // exit-time teardown races with threads still parked in the pool).
  static std::mutex creation;
  static std::shared_ptr<WorkerPool>* shared = nullptr;
  std::lock_guard lock(creation);
  if (shared == nullptr) {
    auto made = WorkerPool::create(shared_pool_size_from_environment());
    if (auto* error = std::get_if<std::string>(&made)) {
      return runtime_error("failed to create Rayon thread pool: " + *error);
    }
    shared = new std::shared_ptr<WorkerPool>(std::move(std::get<std::unique_ptr<WorkerPool>>(made)));
  }
  return *shared;
}

EnvResult<PoolChoice> resolve_worker_pool(std::optional<int64_t> num_threads, uint64_t num_envs) {
  PoolChoice choice;
  if (num_threads.has_value()) {
    if (*num_threads < 1) return value_error("num_threads must be > 0");
    const uint64_t t =
        std::min<uint64_t>({static_cast<uint64_t>(*num_threads), num_envs, static_cast<uint64_t>(available_cpus())});
    choice.parallel_threshold = 2;
    if (t <= 1) {
      choice.worker_threads = 1;
      return choice;
    }
    auto made = WorkerPool::create(static_cast<size_t>(t));
    if (auto* error = std::get_if<std::string>(&made)) {
      return runtime_error("failed to create Rayon thread pool: " + *error);
    }
    choice.pool = std::move(std::get<std::unique_ptr<WorkerPool>>(made));
    choice.private_pool = true;
    choice.worker_threads = t;
    return choice;
  }
  auto shared = shared_worker_pool();
  if (auto* error = std::get_if<EnvError>(&shared)) return *error;
  choice.pool = std::get<std::shared_ptr<WorkerPool>>(shared);
  choice.private_pool = false;
  choice.worker_threads = std::max<uint64_t>(1, std::min<uint64_t>(num_envs, choice.pool->thread_count()));
  choice.parallel_threshold = 4;
  return choice;
}

}  // namespace tt
