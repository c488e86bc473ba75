// Asynchronous steps against the synchronous step: the same per-lane actions
// give every lane the same outputs, observations and console whatever the
// order of sends and receives and the thread count; misuse is refused before
// anything changes; lanes in flight finish before their environment is freed.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_vec_env_support.h"
#include "vec_env/async_lanes.h"

namespace tt {
namespace {

using testing::make_env;
using testing::scripted_cartridge;
using testing::scripted_state_image;
using testing::StepOutputs;

constexpr uint8_t DEATH = 37;
constexpr size_t LANES = 6;
constexpr size_t EVENTS = 24;  // steps or resets per lane

EnvConfig async_config() {
  EnvConfig c;
  c.num_envs = LANES;
  c.resize_width = 16;
  c.resize_height = 12;
  c.frame_stack = 2;
  c.sticky_action_prob = 0.3;
  c.noop_reset_max = 3;
  return c;
}

std::vector<StateCatalogEntry> catalog() {
  // Different background colours: lanes of the two entries differ in every observation.
  return {{"s0", scripted_state_image(0, DEATH, 0x0F)}, {"s1", scripted_state_image(11, DEATH, 0x21)}};
}

// What one lane reported for one of its steps or resets.
struct Event {
  float reward;
  uint8_t terminated;
  uint8_t xscroll_lo;
  int16_t lives;
  std::vector<uint8_t> obs;
  bool operator==(const Event&) const = default;
};

using Trace = std::vector<std::vector<Event>>;  // per lane

uint8_t action_of(size_t lane, size_t event) { return static_cast<uint8_t>((lane * 97 + event * 31) % 256); }

// Every lane takes one event per round: a reset when its last step ended it
// (as a next-step autoreset does), otherwise a step with its next action.
Trace run_sync(ZuboVecEnv& env) {
  StepOutputs out(env);
  const size_t bytes = env.lane_obs_size();
  EXPECT_FALSE(env.reset_all(out.obs.data()));
  Trace trace(LANES);
  std::vector<uint8_t> ended(LANES, 0);
  std::vector<int32_t> indices(LANES);
  for (size_t lane = 0; lane < LANES; ++lane) indices[lane] = static_cast<int32_t>(lane % 2);
  for (size_t k = 0; k < EVENTS; ++k) {
    std::vector<uint8_t> stepped(LANES);
    for (size_t lane = 0; lane < LANES; ++lane) {
      out.actions[lane] = action_of(lane, k);
      stepped[lane] = ended[lane] ? 0 : 1;
    }
    if (std::count(ended.begin(), ended.end(), 1) > 0) {
      EXPECT_FALSE(
          env.reset_masked(out.obs.data(), ended.data(), indices.data(), std::vector<std::optional<uint64_t>>(LANES)));
    }
    StepBuffers b = out.buffers();
    b.step_mask = stepped.data();
    if (std::count(stepped.begin(), stepped.end(), 1) > 0) {
      EXPECT_FALSE(env.step(b));
    }
    for (size_t lane = 0; lane < LANES; ++lane) {
      const uint8_t* rows = out.obs.data() + lane * bytes;
      const GameInfo& info = env.machine(lane).info;
      if (ended[lane]) {
        trace[lane].push_back({0.0f, 0, info.xscroll_lo, info.lives, {rows, rows + bytes}});
      } else {
        trace[lane].push_back(
            {out.rewards[lane], out.terminated[lane], out.xscroll_lo[lane], out.lives[lane], {rows, rows + bytes}});
      }
      ended[lane] = stepped[lane] && out.terminated[lane];
    }
  }
  return trace;
}

// The same events, sent in random groups and received in random counts.
Trace run_async(ZuboVecEnv& env, uint32_t seed) {
  StepOutputs out(env);
  const size_t bytes = env.lane_obs_size();
  std::vector<uint8_t> ring((LANES + 2) * bytes, 0);
  EXPECT_FALSE(env.reset_all(out.obs.data()));
  Trace trace(LANES);
  std::vector<uint8_t> ended(LANES, 0), flying(LANES, 0);
  std::mt19937 rng(seed);
  size_t done = 0;
  while (done < LANES * EVENTS) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> actions, resets;
    std::vector<int32_t> indices;
    for (size_t lane = 0; lane < LANES; ++lane) {
      if (flying[lane] || trace[lane].size() == EVENTS || rng() % 3 == 0) continue;
      ids.push_back(static_cast<int32_t>(lane));
      actions.push_back(action_of(lane, trace[lane].size()));
      resets.push_back(ended[lane]);
      indices.push_back(static_cast<int32_t>(lane % 2));
    }
    std::shuffle(ids.begin(), ids.end(), rng);  // lanes in any order (their items move with them below)
    for (size_t i = 0; i < ids.size(); ++i) {
      const size_t lane = static_cast<size_t>(ids[i]);
      actions[i] = action_of(lane, trace[lane].size());
      resets[i] = ended[lane];
      indices[i] = static_cast<int32_t>(lane % 2);
    }
    if (!ids.empty()) {
      AsyncRequest request{ids.data(), ids.size(), actions.data(), resets.data(), indices.data(), nullptr};
      EXPECT_FALSE(env.check_async_send(request));
      env.async_send(request, out.obs.data(), ring.data(), LANES + 2);
      for (int32_t id : ids) flying[static_cast<size_t>(id)] = 1;
    }
    const size_t in_flight = env.async_in_flight();
    if (in_flight == 0) continue;
    const size_t count = 1 + rng() % in_flight;
    std::vector<int32_t> got(count);
    AsyncOutputs results;
    results.env_ids = got.data();
    results.count = count;
    results.rewards = out.rewards.data();
    results.terminated = out.terminated.data();
    results.truncated = out.truncated.data();
    StepBuffers views = out.buffers();
    results.info = views.info;
    size_t ring_row = 0;
    EXPECT_FALSE(env.async_recv(results, ring_row));
    for (size_t k = 0; k < count; ++k) {
      const size_t lane = static_cast<size_t>(got[k]);
      const uint8_t* rows = out.obs.data() + lane * bytes;
      const uint8_t* copy = ring.data() + ((ring_row + k) % (LANES + 2)) * bytes;
      EXPECT_TRUE(std::equal(rows, rows + bytes, copy)) << "ring row of lane " << lane;
      EXPECT_EQ(out.truncated[k], 0);
      trace[lane].push_back({out.rewards[k], out.terminated[k], out.xscroll_lo[k], out.lives[k], {rows, rows + bytes}});
      ended[lane] = out.terminated[k];
      EXPECT_EQ(env.pending_reset(lane), out.terminated[k] != 0);
      flying[lane] = 0;
      ++done;
    }
  }
  EXPECT_EQ(env.async_in_flight(), 0u);
  return trace;
}

TEST(VecEnvAsync, LanesMatchTheSynchronousStepInAnyOrderAndThreadCount) {
  auto sync = make_env(scripted_cartridge(DEATH), async_config(), catalog(), 9, 1);
  ASSERT_TRUE(sync);
  const Trace expected = run_sync(*sync);
  size_t ends = 0;
  for (const auto& lane : expected) {
    for (const Event& e : lane) ends += e.terminated;
  }
  ASSERT_GE(ends, LANES) << "every lane should end and be reset at least once";
  for (int64_t threads : {1, 2, 3}) {
    for (uint32_t seed : {1u, 2u}) {
      auto env = make_env(scripted_cartridge(DEATH), async_config(), catalog(), 9, threads);
      ASSERT_TRUE(env);
      const Trace got = run_async(*env, seed);
      for (size_t lane = 0; lane < LANES; ++lane) {
        ASSERT_EQ(got[lane].size(), EVENTS);
        for (size_t k = 0; k < EVENTS; ++k) {
          EXPECT_TRUE(got[lane][k] == expected[lane][k])
              << "threads " << threads << ", order " << seed << ", lane " << lane << ", event " << k;
        }
        EXPECT_EQ(env->machine(lane).ram, sync->machine(lane).ram) << "lane " << lane;
        EXPECT_EQ(env->rng_state(lane), sync->rng_state(lane)) << "lane " << lane;
        EXPECT_EQ(env->last_action(lane), sync->last_action(lane)) << "lane " << lane;
      }
    }
  }
}

TEST(VecEnvAsync, MisuseIsRefusedAndLanesInFlightFinishBeforeTheEnvironmentGoes) {
  auto env = make_env(scripted_cartridge(DEATH), async_config(), catalog(), 9, 2);
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  ASSERT_FALSE(env->reset_all(out.obs.data()));
  std::vector<int32_t> ids = {4, 1};
  std::vector<uint8_t> actions = {0, 0};
  auto refusal = [&](std::vector<int32_t> lanes) -> std::string {
    std::vector<uint8_t> none(lanes.size(), 0);
    AsyncRequest request{lanes.data(), lanes.size(), none.data(), nullptr, nullptr, nullptr};
    const EnvStatus status = env->check_async_send(request);
    return status ? status->message : "";
  };
  EXPECT_EQ(refusal({}), "env_ids must name at least one lane");
  EXPECT_EQ(refusal({2, 6}), "env_ids[1] must be a lane index in 0..5, got 6");
  EXPECT_EQ(refusal({-1}), "env_ids[0] must be a lane index in 0..5, got -1");
  EXPECT_EQ(refusal({3, 0, 3}), "env_ids names lane 3 twice");
  AsyncRequest request{ids.data(), ids.size(), actions.data(), nullptr, nullptr, nullptr};
  env->async_send(request, out.obs.data(), nullptr, 0);
  EXPECT_EQ(env->async_in_flight(), 2u);
  EXPECT_EQ(refusal({0, 1}), "lane 1 is in flight; receive it before sending it again");
  EXPECT_EQ(refusal({0}), "");

  // A lane that ended is refused a step until it is sent a reset.
  const uint8_t last_counter = env->machine(0).ram[testing::SCRIPT_COUNTER];
  std::vector<int32_t> lane0 = {0};
  std::vector<uint8_t> reset = {1};
  std::vector<int32_t> bad_index = {2};
  AsyncRequest bad_reset{lane0.data(), 1, actions.data(), reset.data(), bad_index.data(), nullptr};
  const EnvStatus refused = env->check_async_send(bad_reset);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->message, "state_indices[0] must index state_catalog");
  EXPECT_EQ(env->machine(0).ram[testing::SCRIPT_COUNTER], last_counter);

  auto receive = [&](size_t count) {
    int32_t got[LANES];
    StepBuffers views = out.buffers();
    AsyncOutputs results;
    results.env_ids = got;
    results.count = count;
    results.rewards = views.rewards;
    results.terminated = views.terminated;
    results.truncated = views.truncated;
    results.info = views.info;
    size_t row = 0;
    EXPECT_FALSE(env->async_recv(results, row));
  };
  receive(2);
  for (int step = 0; step < 20 && !env->pending_reset(0); ++step) {
    AsyncRequest one{lane0.data(), 1, actions.data(), nullptr, nullptr, nullptr};
    env->async_send(one, out.obs.data(), nullptr, 0);
    receive(1);
  }
  ASSERT_TRUE(env->pending_reset(0));
  ASSERT_TRUE(env->any_pending_reset());
  EXPECT_EQ(refusal({0}), "lane 0 ended and is pending reset; send it a reset");
  std::vector<int32_t> good_index = {1};
  AsyncRequest good_reset{lane0.data(), 1, actions.data(), reset.data(), good_index.data(), nullptr};
  EXPECT_FALSE(env->check_async_send(good_reset));
  env->async_send(good_reset, out.obs.data(), nullptr, 0);
  EXPECT_FALSE(env->pending_reset(0));
  EXPECT_EQ(env->active_state_index(0), 1);

  // Cancelling waits for every lane and leaves none in flight.
  EXPECT_FALSE(env->async_cancel());
  EXPECT_EQ(env->async_in_flight(), 0u);
  EXPECT_EQ(env->async_ready(), 0u);
  const uint8_t counter = env->machine(0).ram[testing::SCRIPT_COUNTER];
  EXPECT_TRUE(counter >= 11 && counter <= 14)
      << "lane 0 was reset to entry 1 and its no-op frames, got " << int(counter);

  // Freed with lanes in flight: they run to their end first (sanitizers watch).
  std::vector<int32_t> all = {0, 1, 2, 3, 4, 5};
  std::vector<uint8_t> six(6, 3);
  AsyncRequest every{all.data(), all.size(), six.data(), nullptr, nullptr, nullptr};
  ASSERT_FALSE(env->check_async_send(every));
  env->async_send(every, out.obs.data(), nullptr, 0);
  env.reset();
}

}  // namespace
}  // namespace tt
