// Configuration rules, state catalog rules and the worker-pool resolution.
#include <gtest/gtest.h>

#include <cstdlib>

#include "vec_env/env_config.h"
#include "vec_env/state_catalog.h"
#include "vec_env/worker_pool.h"

namespace tt {
namespace {

std::string config_error(const EnvConfig& c) {
  const EnvStatus e = validate_env_config(c);
  if (!e) return "";
  EXPECT_EQ(e->kind, EnvErrorKind::ValueError);
  return e->message;
}

TEST(VecEnvConfig, ValueRulesInOrder) {
  EnvConfig c;
  EXPECT_EQ(config_error(c), "");
  c.num_envs = 0;
  c.frame_skip = 0;
  EXPECT_EQ(config_error(c), "num_envs must be > 0");
  c.num_envs = 4;
  c.frame_stack = 0;
  EXPECT_EQ(config_error(c), "frame_skip must be > 0");  // frame_skip is checked before frame_stack
  c.frame_skip = 4;
  EXPECT_EQ(config_error(c), "frame_stack must be > 0");
  c.frame_stack = 4;

  c.crop_top = 100;
  c.crop_bottom = 124;
  EXPECT_EQ(config_error(c), "crop_top + crop_bottom must be less than 224, got 224");
  c.crop_bottom = 123;
  EXPECT_EQ(config_error(c), "");
  c.crop_top = UINT64_MAX;
  c.crop_bottom = 2;
  EXPECT_EQ(config_error(c), "crop_top + crop_bottom must be less than 224, got 18446744073709551617");
  c.crop_top = c.crop_bottom = 0;
  c.crop_left = 120;
  c.crop_right = 120;
  EXPECT_EQ(config_error(c), "crop_left + crop_right must be less than 240, got 240");
  c.crop_right = 119;
  c.resize_height = 0;
  EXPECT_EQ(config_error(c), "resize_width and resize_height must be > 0");
  c.resize_height = 84;
  c.noop_reset_max = -1;
  EXPECT_EQ(config_error(c), "noop_reset_max must be non-negative");
  c.noop_reset_max = 0;
  c.sticky_action_prob = 1.0000001;
  EXPECT_EQ(config_error(c), "sticky_action_prob must be between 0.0 and 1.0");
  c.sticky_action_prob = -0.1;
  EXPECT_EQ(config_error(c), "sticky_action_prob must be between 0.0 and 1.0");
  c.sticky_action_prob = 1.0;
  EXPECT_EQ(config_error(c), "");
  c.sticky_action_prob = 0.0;
  EXPECT_EQ(config_error(c), "");
}

TEST(VecEnvConfig, ModeAndAlgorithmNamesAreExact) {
  EXPECT_EQ(crop_mode_from_name("remove"), CropMode::Remove);
  EXPECT_EQ(crop_mode_from_name("mask"), CropMode::Mask);
  EXPECT_FALSE(crop_mode_from_name("Mask").has_value());
  EXPECT_EQ(resize_algorithm_from_name("area"), ResizeAlgorithm::Area);
  EXPECT_EQ(resize_algorithm_from_name("nearest"), ResizeAlgorithm::Nearest);
  EXPECT_EQ(resize_algorithm_from_name("bilinear"), ResizeAlgorithm::Bilinear);
  EXPECT_FALSE(resize_algorithm_from_name("area ").has_value());
}

std::string catalog_error(std::vector<std::vector<uint8_t>> data, std::vector<std::string> names,
                          std::vector<StateCatalogEntry>& out) {
  auto e = build_state_catalog(std::move(data), std::move(names), out);
  if (!e) return "";
  EXPECT_EQ(e->kind, EnvErrorKind::ValueError);
  return e->message;
}

TEST(VecEnvCatalog, RulesAndGeneratedNames) {
  std::vector<StateCatalogEntry> out;
  EXPECT_EQ(catalog_error({}, {"a"}, out), "state_catalog_names requires state_catalog_data");
  EXPECT_EQ(catalog_error({}, {}, out), "");
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(catalog_error({{}, {1}}, {"only"}, out), "state_catalog_data entries must not be empty");
  EXPECT_EQ(catalog_error({{1}, {2}}, {"only"}, out),
            "state_catalog_names length must match state_catalog_data length");
  EXPECT_EQ(catalog_error({{1}, {2}}, {"x", "x"}, out), "state_catalog_names must not contain duplicates");
  EXPECT_TRUE(out.empty()) << "a refused catalog writes nothing";

  ASSERT_EQ(catalog_error({{1}, {2}, {3}}, {}, out), "");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].name, "state-0");
  EXPECT_EQ(out[2].name, "state-2");
  EXPECT_EQ(out[2].image, std::vector<uint8_t>{3});

  // Caller names are taken as they are, even one that looks generated.
  ASSERT_EQ(catalog_error({{1}, {2}, {3}}, {"b", "a", "state-0"}, out), "");
  EXPECT_EQ(out[0].name, "b");
  EXPECT_EQ(out[2].name, "state-0");
}

TEST(VecEnvPoolResolution, ThreadCountsAndThresholds) {
  auto one = resolve_worker_pool(1, 16);
  ASSERT_TRUE(std::holds_alternative<PoolChoice>(one));
  EXPECT_EQ(std::get<PoolChoice>(one).pool, nullptr);
  EXPECT_EQ(std::get<PoolChoice>(one).worker_threads, 1u);
  EXPECT_EQ(std::get<PoolChoice>(one).parallel_threshold, 2u);

  auto single_lane = resolve_worker_pool(8, 1);
  ASSERT_TRUE(std::holds_alternative<PoolChoice>(single_lane));
  EXPECT_EQ(std::get<PoolChoice>(single_lane).pool, nullptr);
  EXPECT_EQ(std::get<PoolChoice>(single_lane).worker_threads, 1u);

  const size_t cpus = available_cpus();
  auto many = resolve_worker_pool(64, 16);
  ASSERT_TRUE(std::holds_alternative<PoolChoice>(many));
  const PoolChoice& m = std::get<PoolChoice>(many);
  const uint64_t expected = std::min<uint64_t>(16, cpus);
  EXPECT_EQ(m.worker_threads, expected < 2 ? 1 : expected);
  EXPECT_EQ(m.parallel_threshold, 2u);
  if (expected >= 2) {
    ASSERT_NE(m.pool, nullptr);
    EXPECT_TRUE(m.private_pool);
    EXPECT_EQ(m.pool->thread_count(), expected);
  }

  auto shared = resolve_worker_pool(std::nullopt, 3);
  ASSERT_TRUE(std::holds_alternative<PoolChoice>(shared));
  const PoolChoice& s = std::get<PoolChoice>(shared);
  ASSERT_NE(s.pool, nullptr);
  EXPECT_FALSE(s.private_pool);
  EXPECT_EQ(s.parallel_threshold, 4u);
  EXPECT_EQ(s.worker_threads, std::max<uint64_t>(1, std::min<uint64_t>(3, s.pool->thread_count())));
  auto shared_again = resolve_worker_pool(std::nullopt, 100);
  EXPECT_EQ(std::get<PoolChoice>(shared_again).pool, s.pool) << "one shared pool per process";

  auto zero = resolve_worker_pool(0, 4);
  ASSERT_TRUE(std::holds_alternative<EnvError>(zero));
  EXPECT_EQ(std::get<EnvError>(zero).message, "num_threads must be > 0");
}

// POSIX setenv/unsetenv; Windows has _putenv_s, where an empty value removes.
void set_env(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}
void unset_env(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

// Sets or clears an environment variable for the scope, restoring it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      set_env(name, value);
    } else {
      unset_env(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      set_env(name_, old_->c_str());
    } else {
      unset_env(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(VecEnvPoolResolution, SharedPoolSizeFromEnvironment) {
  {
    ScopedEnv a("RAYON_NUM_THREADS", "3");
    ScopedEnv b("RAYON_RS_NUM_CPUS", "5");
    EXPECT_EQ(shared_pool_size_from_environment(), 3u);
  }
  {
    ScopedEnv a("RAYON_NUM_THREADS", "zero");
    ScopedEnv b("RAYON_RS_NUM_CPUS", "5");
    EXPECT_EQ(shared_pool_size_from_environment(), 5u);
  }
  {
    ScopedEnv a("RAYON_NUM_THREADS", "0");
    ScopedEnv b("RAYON_RS_NUM_CPUS", "-2");
    EXPECT_EQ(shared_pool_size_from_environment(), available_cpus());
  }
  {
    ScopedEnv a("RAYON_NUM_THREADS", nullptr);
    ScopedEnv b("RAYON_RS_NUM_CPUS", nullptr);
    EXPECT_EQ(shared_pool_size_from_environment(), available_cpus());
  }
  EXPECT_GE(available_cpus(), 1u);
}

}  // namespace
}  // namespace tt
