// The worker pool: every unit runs exactly once, in order within a piece,
// jobs run on pool threads, and pools serve several callers at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vec_env/worker_pool.h"

namespace tt {
namespace {

std::unique_ptr<WorkerPool> make_pool(size_t threads) {
  auto made = WorkerPool::create(threads);
  EXPECT_TRUE(std::holds_alternative<std::unique_ptr<WorkerPool>>(made));
  return std::move(std::get<std::unique_ptr<WorkerPool>>(made));
}

TEST(VecEnvWorkerPool, EveryUnitExactlyOnce) {
  for (size_t threads : {1u, 2u, 3u, 4u}) {
    auto pool = make_pool(threads);
    ASSERT_EQ(pool->thread_count(), threads);
    for (size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 257u}) {
      std::vector<std::atomic<int>> hits(n);
      std::atomic<bool> out_of_order{false};
      auto body = [&](size_t begin, size_t end) {
        if (begin >= end || end > n) out_of_order = true;
        for (size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
      };
      pool->parallel_for(n, body);
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(hits[i].load(), 1) << "unit " << i << " of " << n;
      EXPECT_FALSE(out_of_order.load());
    }
  }
}

TEST(VecEnvWorkerPool, SplitsSpreadOverThreads) {
  auto pool = make_pool(2);
  // Units that wait for each other can only finish if two threads run them.
  std::atomic<int> arrived{0};
  auto body = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      arrived.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
  };
  const auto t0 = std::chrono::steady_clock::now();
  pool->parallel_for(2, body);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4)) << "the two halves did not overlap";
}

TEST(VecEnvWorkerPool, JobsRunOnPoolThreadsAndNest) {
  auto pool = make_pool(2);
  EXPECT_FALSE(pool->on_worker_thread());
  bool on_pool = false;
  std::vector<int> hits(50, 0);
  auto job = [&] {
    on_pool = pool->on_worker_thread();
    auto body = [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) hits[i] += 1;
    };
    pool->parallel_for(hits.size(), body);  // from inside the pool: the job's thread takes part
    bool nested_on_pool = false;
    auto inner = [&] { nested_on_pool = pool->on_worker_thread(); };
    pool->run_on_pool(inner);  // already on the pool: runs directly
    EXPECT_TRUE(nested_on_pool);
  };
  pool->run_on_pool(job);
  EXPECT_TRUE(on_pool);
  EXPECT_EQ(hits, std::vector<int>(50, 1));
}

TEST(VecEnvWorkerPool, ConcurrentCallersShareOnePool) {
  auto pool = make_pool(2);
  constexpr size_t callers = 4, n = 200, rounds = 50;
  std::vector<std::vector<int>> sums(callers, std::vector<int>(n, 0));
  std::vector<std::thread> threads;
  for (size_t c = 0; c < callers; ++c) {
    threads.emplace_back([&, c] {
      for (size_t r = 0; r < rounds; ++r) {
        auto body = [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) sums[c][i] += 1;
        };
        pool->parallel_for(n, body);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (size_t c = 0; c < callers; ++c) EXPECT_EQ(sums[c], std::vector<int>(n, static_cast<int>(rounds)));
}

TEST(VecEnvWorkerPool, UnitErrorsKeepTheFirstReport) {
  auto pool = make_pool(2);
  UnitErrors errors;
  std::vector<std::atomic<int>> ran(16);
  auto body = [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      if (i == 5) {
        errors.report("unit 5 failed");
        continue;  // this unit stops; the others continue
      }
      if (i == 9) errors.report("unit 9 failed");
      ran[i].fetch_add(1);
    }
  };
  pool->parallel_for(16, body);
  const EnvStatus e = errors.take();
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->kind, EnvErrorKind::RuntimeError);
  EXPECT_TRUE(e->message.find("unit 5 failed") != std::string::npos ||
              e->message.find("unit 9 failed") != std::string::npos);
  EXPECT_FALSE(errors.take().has_value());
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(ran[i].load(), i == 5 ? 0 : 1) << "unit " << i;
}

}  // namespace
}  // namespace tt
