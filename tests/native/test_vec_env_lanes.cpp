// Environment behaviour on the scripted cartridge: construction, catalog,
// seeding, no-op frames, sticky actions, frame skip, termination and the
// pending-reset rules, resets and the per-lane outputs.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/game_info.h"
#include "test_vec_env_support.h"

namespace tt {
namespace {

using testing::LIVES_ADDR;
using testing::make_env;
using testing::SCRIPT_BUTTONS;
using testing::SCRIPT_COUNTER;
using testing::scripted_cartridge;
using testing::scripted_state_image;
using testing::StepOutputs;

EnvConfig small_config(uint64_t lanes) {
  EnvConfig c;
  c.num_envs = lanes;
  c.resize_width = 16;
  c.resize_height = 12;
  return c;
}

std::vector<std::optional<uint64_t>> no_seeds(size_t n) { return std::vector<std::optional<uint64_t>>(n); }

TEST(VecEnvConstruction, LanesStartFromPowerOnOrCatalogEntryZero) {
  auto env = make_env(scripted_cartridge(200), small_config(3));
  ASSERT_TRUE(env);
  EXPECT_EQ(env->active_state_indices(), (std::vector<int32_t>{-1, -1, -1}));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(env->machine(i).ram[SCRIPT_COUNTER], 1) << "power-on reset runs one frame";
    EXPECT_FALSE(env->pending_reset(i));
    EXPECT_EQ(env->last_action(i), 0);
    EXPECT_EQ(env->machine(i).terminate_on_flag, 1);
  }
  EXPECT_FALSE(env->any_pending_reset());
  EXPECT_EQ(env->obs_shape(), (std::array<uint64_t, 4>{3, 4, 12, 16}));
  EXPECT_EQ(env->lane_obs_size(), 4u * 12u * 16u);
  EXPECT_EQ(env->scratch(0).size(), 240u * 224u);

  std::vector<StateCatalogEntry> catalog = {{"a", scripted_state_image(40, 200)}, {"b", scripted_state_image(90, 200)}};
  auto with_catalog = make_env(scripted_cartridge(200), small_config(2), catalog);
  ASSERT_TRUE(with_catalog);
  EXPECT_EQ(with_catalog->active_state_indices(), (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(with_catalog->machine(1).ram[SCRIPT_COUNTER], 41) << "entry 0 loaded, then one frame";
  EXPECT_EQ(with_catalog->state_catalog_names(), (std::vector<std::string>{"a", "b"}));
}

TEST(VecEnvConstruction, RefusesBadCatalogsAndUnvalidatedExtraInfo) {
  auto pool = std::get<PoolChoice>(resolve_worker_pool(1, 2));
  std::vector<uint8_t> broken = scripted_state_image(0, 200);
  broken.resize(broken.size() - 270);  // cuts into the OAM chunk
  auto made = ZuboVecEnv::create(scripted_cartridge(200), small_config(2),
                                 {{"ok", scripted_state_image(0, 200)}, {"broken", broken}}, 1, {}, pool);
  ASSERT_TRUE(std::holds_alternative<EnvError>(made));
  EXPECT_EQ(std::get<EnvError>(made).kind, EnvErrorKind::ValueError);
  EXPECT_EQ(std::get<EnvError>(made).message, "state field SPRA with size 256 was not found");

  made = ZuboVecEnv::create(scripted_cartridge(200), small_config(2), {}, 1, {3, 99}, pool);
  ASSERT_TRUE(std::holds_alternative<EnvError>(made));
  EXPECT_EQ(std::get<EnvError>(made).message, "extra info ids must be validated before ZuboVecEnv construction");

  EnvConfig bad = small_config(2);
  bad.frame_skip = 0;
  made = ZuboVecEnv::create(scripted_cartridge(200), bad, {}, 1, {}, pool);
  ASSERT_TRUE(std::holds_alternative<EnvError>(made));
  EXPECT_EQ(std::get<EnvError>(made).message, "frame_skip must be > 0");
}

TEST(VecEnvSeeding, ConstructionSeedsAndReseeding) {
  auto a = make_env(scripted_cartridge(200), small_config(3), {}, 5);
  auto b = make_env(scripted_cartridge(200), small_config(3), {}, 5);
  ASSERT_TRUE(a && b);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(a->rng_state(i), 5 + i);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(a->rng_state(i), b->rng_state(i));

  // Seed 0: only lane 0 takes the clock; lane i > 0 starts from i.
  auto clock = make_env(scripted_cartridge(200), small_config(3), {}, 0);
  ASSERT_TRUE(clock);
  EXPECT_NE(clock->rng_state(0), 0u);
  EXPECT_NE(clock->rng_state(0), 1u);
  EXPECT_EQ(clock->rng_state(1), 1u);
  EXPECT_EQ(clock->rng_state(2), 2u);
  const uint64_t unix_ns = clock->rng_state(0) ^ 0x9E3779B97F4A7C15ull;
  EXPECT_GT(unix_ns, 1600000000ull * 1000000000ull) << "clock seed is Unix time in ns XOR the golden ratio";
  clock->seed(0);
  EXPECT_EQ(clock->rng_state(0), 1u);
  EXPECT_EQ(clock->rng_state(2), 2u);

  // Wrapping: the last lane of a seed near the top wraps through 0 to 1.
  auto wrap = make_env(scripted_cartridge(200), small_config(3), {}, UINT64_MAX - 1);
  ASSERT_TRUE(wrap);
  EXPECT_EQ(wrap->rng_state(1), UINT64_MAX);
  EXPECT_NE(wrap->rng_state(2), 1u) << "a derived seed of 0 at construction comes from the clock";
  wrap->seed(UINT64_MAX);
  EXPECT_EQ(wrap->rng_state(0), UINT64_MAX);
  EXPECT_EQ(wrap->rng_state(1), 1u);
  EXPECT_EQ(wrap->rng_state(2), 1u);
}

TEST(VecEnvSeeding, XorshiftStep) {
  uint64_t s = 1;
  EXPECT_EQ(xorshift64(s), 0x40822041ull);
  EXPECT_EQ(s, 0x40822041ull);
  uint64_t z = 0;
  EXPECT_EQ(xorshift64(z), 0u);
}

TEST(VecEnvNoop, FrameCountsFollowTheLaneDraws) {
  EnvConfig c = small_config(4);
  c.noop_reset_max = 30;
  auto env = make_env(scripted_cartridge(250), c, {}, 77);
  ASSERT_TRUE(env);
  for (size_t i = 0; i < 4; ++i) {
    uint64_t s = 77 + i;
    const uint64_t expected = xorshift64(s) % 31;
    EXPECT_EQ(env->machine(i).ram[SCRIPT_COUNTER], 1 + expected) << "lane " << i;
    EXPECT_EQ(env->rng_state(i), s) << "exactly one draw per reset";
  }
  // A per-lane seed in the request replaces the state first; 0 becomes 1.
  std::vector<uint8_t> obs(4 * env->lane_obs_size());
  std::vector<uint8_t> mask = {1, 0, 1, 0};
  std::vector<int32_t> idx(4, -1);
  auto seeds = no_seeds(4);
  seeds[0] = 0;
  seeds[2] = 1234;
  const uint64_t untouched = env->rng_state(1);
  ASSERT_FALSE(env->reset_masked(obs.data(), mask.data(), idx.data(), seeds));
  uint64_t s0 = 1, s2 = 1234;
  const uint64_t n0 = xorshift64(s0) % 31, n2 = xorshift64(s2) % 31;
  EXPECT_EQ(env->rng_state(0), s0);
  EXPECT_EQ(env->rng_state(2), s2);
  EXPECT_EQ(env->machine(0).ram[SCRIPT_COUNTER], 1 + n0);
  EXPECT_EQ(env->machine(2).ram[SCRIPT_COUNTER], 1 + n2);
  EXPECT_EQ(env->rng_state(1), untouched);

  // Without no-op frames a reset draws nothing.
  auto plain = make_env(scripted_cartridge(250), small_config(2), {}, 9);
  ASSERT_TRUE(plain);
  std::vector<uint8_t> obs2(2 * plain->lane_obs_size());
  ASSERT_FALSE(plain->reset_all(obs2.data()));
  EXPECT_EQ(plain->rng_state(0), 9u);
  EXPECT_EQ(plain->rng_state(1), 10u);
}

TEST(VecEnvNoop, TerminationStopsNoopFrames) {
  EnvConfig c = small_config(1);
  c.noop_reset_max = 200;
  // The lane dies on its 4th frame: no-op frames stop there.
  auto env = make_env(scripted_cartridge(4), c, {}, 3);
  ASSERT_TRUE(env);
  uint64_t s = 3;
  const uint64_t drawn = xorshift64(s) % 201;
  ASSERT_GE(drawn, 3u) << "pick another seed: the test needs at least three no-op frames";
  EXPECT_EQ(env->machine(0).ram[SCRIPT_COUNTER], 4);
  EXPECT_EQ(env->machine(0).terminated, 1);
  EXPECT_FALSE(env->any_pending_reset()) << "terminated by a reset, reported by the next step";
  StepOutputs out(*env);
  ASSERT_FALSE(env->step(out.buffers()));
  EXPECT_EQ(out.terminated[0], 1);
  EXPECT_EQ(out.rewards[0], 0.0f);
  EXPECT_EQ(env->machine(0).ram[SCRIPT_COUNTER], 4) << "a terminated lane is not emulated";
  EXPECT_TRUE(env->any_pending_reset());
}

TEST(VecEnvSticky, ProbabilityZeroDrawsNothingAndUsesRequestedActions) {
  auto env = make_env(scripted_cartridge(250), small_config(3), {}, 11);
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  out.actions = {0x01, 0x80, 0x42};
  for (int k = 0; k < 3; ++k) ASSERT_FALSE(env->step(out.buffers()));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(env->rng_state(i), 11 + i);
    EXPECT_EQ(env->machine(i).ram[SCRIPT_BUTTONS], out.actions[i]) << "the game read the action byte";
    EXPECT_EQ(env->last_action(i), out.actions[i]);
  }
}

TEST(VecEnvSticky, ProbabilityOneRepeatsTheResetAction) {
  EnvConfig c = small_config(2);
  c.sticky_action_prob = 1.0;
  auto env = make_env(scripted_cartridge(250), c, {}, 11);
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  out.actions = {0xFF, 0x10};
  for (int k = 0; k < 5; ++k) ASSERT_FALSE(env->step(out.buffers()));
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(env->machine(i).ram[SCRIPT_BUTTONS], 0) << "requested actions never take effect";
    uint64_t s = 11 + i;
    for (int k = 0; k < 5; ++k) xorshift64(s);
    EXPECT_EQ(env->rng_state(i), s) << "one draw per lane per step";
  }
}

TEST(VecEnvSticky, DrawsDecideEachStepAndRepeatBySeed) {
  EnvConfig c = small_config(4);
  c.sticky_action_prob = 0.5;
  int sticky_after_reset = 0;
  auto run = [&](uint64_t seed) {
    auto env = make_env(scripted_cartridge(250), c, {}, seed);
    std::vector<uint8_t> seen;
    StepOutputs out(*env);
    std::vector<uint64_t> state(4);
    std::vector<uint8_t> last(4, 0);
    for (size_t i = 0; i < 4; ++i) state[i] = env->rng_state(i);
    for (int k = 0; k < 40; ++k) {
      if (k == 20) {
        // A reset forgets the last action: a sticky first step plays 0.
        EXPECT_FALSE(env->reset_all(out.obs.data()));
        std::fill(last.begin(), last.end(), 0);
      }
      for (size_t i = 0; i < 4; ++i) out.actions[i] = static_cast<uint8_t>(k * 4 + i + 1);
      EXPECT_FALSE(env->step(out.buffers()));
      for (size_t i = 0; i < 4; ++i) {
        const double u = static_cast<double>(xorshift64(state[i]) >> 11) * 0x1.0p-53;
        if (k == 20 && 0.5 > u) ++sticky_after_reset;
        const uint8_t effective = 0.5 > u ? last[i] : out.actions[i];
        last[i] = effective;
        EXPECT_EQ(env->machine(i).ram[SCRIPT_BUTTONS], effective) << "lane " << i << " step " << k;
        EXPECT_EQ(env->last_action(i), effective);
        seen.push_back(effective);
      }
    }
    return seen;
  };
  const auto a = run(21), b = run(21), other = run(22);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
  EXPECT_GT(sticky_after_reset, 0) << "some lane repeats its action right after the reset";
}

TEST(VecEnvStep, FrameSkipStopsEarlyAndPendingResetBlocksSteps) {
  // Lane 3 starts from entry 1, which is two frames away from its death frame.
  const uint8_t death = 200;
  std::vector<StateCatalogEntry> catalog = {{"s0", scripted_state_image(0, death, 0x0F, true)},
                                            {"s1", scripted_state_image(death - 3, death, 0x0F, true)}};
  auto env = make_env(scripted_cartridge(death), small_config(4), catalog, 1);
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  std::vector<uint8_t> mask = {0, 0, 0, 1};
  std::vector<int32_t> idx = {0, 0, 0, 1};
  ASSERT_FALSE(env->reset_masked(out.obs.data(), mask.data(), idx.data(), no_seeds(4)));
  EXPECT_EQ(env->active_state_indices(), (std::vector<int32_t>{0, 0, 0, 1}));

  ASSERT_FALSE(env->step(out.buffers()));
  EXPECT_EQ(out.rewards[0], 4.0f);
  EXPECT_EQ(out.rewards[3], 2.0f) << "two frames ran before the lane ended";
  EXPECT_EQ(env->machine(3).ram[SCRIPT_COUNTER], death);
  EXPECT_EQ(env->machine(0).ram[SCRIPT_COUNTER], 5);
  EXPECT_EQ(out.terminated, (std::vector<uint8_t>{0, 0, 0, 1}));
  EXPECT_EQ(out.truncated, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(out.lives[3], -1);
  EXPECT_TRUE(env->any_pending_reset());
  EXPECT_TRUE(env->pending_reset(3));
  EXPECT_FALSE(env->pending_reset(0));

  // Refused before anything changes: outputs and lanes stay as they are.
  const auto obs_before = out.obs;
  const uint8_t counter_before = env->machine(0).ram[SCRIPT_COUNTER];
  out.rewards[0] = -7.0f;
  const EnvStatus refused = env->step(out.buffers());
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->kind, EnvErrorKind::RuntimeError);
  EXPECT_EQ(refused->message, PENDING_RESET_MESSAGE);
  EXPECT_EQ(out.rewards[0], -7.0f);
  EXPECT_EQ(out.obs, obs_before);
  EXPECT_EQ(env->machine(0).ram[SCRIPT_COUNTER], counter_before);

  // Resetting another lane does not help; resetting lane 3 does.
  mask = {0, 1, 0, 0};
  ASSERT_FALSE(env->reset_masked(out.obs.data(), mask.data(), idx.data(), no_seeds(4)));
  EXPECT_TRUE(env->any_pending_reset());
  EXPECT_TRUE(env->step(out.buffers()).has_value());
  mask = {0, 0, 0, 1};
  idx[3] = 0;
  ASSERT_FALSE(env->reset_masked(out.obs.data(), mask.data(), idx.data(), no_seeds(4)));
  EXPECT_FALSE(env->any_pending_reset());
  EXPECT_FALSE(env->pending_reset(3));
  ASSERT_FALSE(env->step(out.buffers()));
  EXPECT_EQ(out.terminated, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_FALSE(env->any_pending_reset()) << "a step in which no lane ends leaves the flags alone";
}

TEST(VecEnvStep, OutputsMirrorGameInfo) {
  auto env = make_env(scripted_cartridge(250), small_config(2), {}, 1, 1, {16, 0});
  ASSERT_TRUE(env);
  EXPECT_EQ(env->extra_info_width(), 7u);
  StepOutputs out(*env);
  ASSERT_FALSE(env->step(out.buffers()));
  std::vector<uint16_t> x_pos(2), time(2);
  std::vector<uint8_t> coins(2), xhi(2), xlo(2);
  std::vector<int16_t> lhi(2), llo(2), lives(2), scrolling(2);
  std::vector<uint32_t> score(2);
  env->info_into(InfoBuffers{x_pos.data(), coins.data(), lhi.data(), llo.data(), lives.data(), score.data(),
                             scrolling.data(), time.data(), xhi.data(), xlo.data()});
  for (size_t i = 0; i < 2; ++i) {
    const GameInfo g = decode_game_info(env->machine(i).ram.data());
    EXPECT_EQ(g, env->machine(i).info);
    EXPECT_EQ(out.x_pos[i], g.x_pos);
    EXPECT_EQ(x_pos[i], g.x_pos);
    EXPECT_EQ(out.xscroll_lo[i], g.xscroll_lo);
    EXPECT_EQ(xlo[i], g.xscroll_lo);
    EXPECT_EQ(out.score[i], static_cast<uint32_t>(g.score));
    EXPECT_EQ(score[i], static_cast<uint32_t>(g.score));
    EXPECT_EQ(out.time[i], static_cast<uint16_t>(g.time));
    EXPECT_EQ(lives[i], g.lives);
    EXPECT_EQ(out.lives[i], g.lives);
    EXPECT_EQ(coins[i], g.coins);
    EXPECT_EQ(scrolling[i], g.scrolling);
  }
  EXPECT_EQ(xlo[0], 5) << "one reset frame and four step frames";

  std::vector<uint8_t> ram(2 * 2048);
  env->ram_into(ram.data());
  EXPECT_TRUE(std::equal(ram.begin() + 2048, ram.end(), env->machine(1).ram.begin()));

  std::vector<int64_t> extra(2 * 7, -99);
  ASSERT_FALSE(env->extra_info_into(extra.data()));
  for (size_t i = 0; i < 2; ++i) {
    std::vector<int64_t> expected(7, -5);
    const uint8_t ids[2] = {16, 0};
    write_extra_info(env->machine(i).ram.data(), ids, 2, expected.data(), 7);
    EXPECT_EQ(std::vector<int64_t>(extra.begin() + i * 7, extra.begin() + (i + 1) * 7), expected);
  }
}

TEST(VecEnvReset, RequestRules) {
  std::vector<StateCatalogEntry> catalog = {
      {"a", scripted_state_image(0, 250)}, {"b", scripted_state_image(10, 250)}, {"c", scripted_state_image(20, 250)}};
  auto env = make_env(scripted_cartridge(250), small_config(4), catalog);
  ASSERT_TRUE(env);
  std::vector<uint8_t> obs(4 * env->lane_obs_size(), 0xAB);
  std::vector<uint8_t> mask(4, 0);
  std::vector<int32_t> idx = {0, 0, 5, 0};
  EnvStatus e = env->reset_masked(obs.data(), mask.data(), idx.data(), no_seeds(4));
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->message, "reset_mask must select at least one lane");
  mask = {1, 0, 1, 0};
  e = env->reset_masked(obs.data(), mask.data(), idx.data(), no_seeds(4));
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->kind, EnvErrorKind::ValueError);
  EXPECT_EQ(e->message, "state_indices[2] must index state_catalog");
  EXPECT_EQ(obs, std::vector<uint8_t>(4 * env->lane_obs_size(), 0xAB)) << "a refused reset writes nothing";
  for (int32_t bad : {-1, 3}) {  // 3: the catalog length, one past the last entry
    idx[2] = bad;
    EXPECT_EQ(env->check_reset_request(mask.data(), idx.data())->message, "state_indices[2] must index state_catalog");
  }
  idx[2] = 2;
  idx[1] = 77;  // unselected lanes are not checked
  EXPECT_FALSE(env->check_reset_request(mask.data(), idx.data()));
  ASSERT_FALSE(env->reset_masked(obs.data(), mask.data(), idx.data(), no_seeds(4)));
  EXPECT_EQ(env->active_state_indices(), (std::vector<int32_t>{0, 0, 2, 0}));
  EXPECT_EQ(env->machine(2).ram[SCRIPT_COUNTER], 21);
  // Only the selected lanes' observations were written.
  EXPECT_NE(obs[0], 0xAB);
  EXPECT_EQ(obs[env->lane_obs_size()], 0xAB);

  auto bare = make_env(scripted_cartridge(250), small_config(2));
  ASSERT_TRUE(bare);
  std::vector<uint8_t> m2 = {1, 1};
  std::vector<int32_t> i2 = {-1, 0};
  EXPECT_EQ(bare->check_reset_request(m2.data(), i2.data())->message, "state_indices[1] must index state_catalog");
}

TEST(VecEnvReset, ResetAllFillsEveryLaneAndSlot) {
  std::vector<StateCatalogEntry> catalog = {{"grey", scripted_state_image(0, 250, 0x00)},
                                            {"white", scripted_state_image(0, 250, 0x30)}};
  auto env = make_env(scripted_cartridge(250), small_config(3), catalog);
  ASSERT_TRUE(env);
  std::vector<uint8_t> obs(3 * env->lane_obs_size(), 1);
  std::vector<uint8_t> mask = {1, 1, 1};
  std::vector<int32_t> idx = {1, 1, 1};
  ASSERT_FALSE(env->reset_masked(obs.data(), mask.data(), idx.data(), no_seeds(3)));
  EXPECT_EQ(obs, std::vector<uint8_t>(obs.size(), 250)) << "palette entry 0x30 in gray";
  ASSERT_FALSE(env->reset_all(obs.data()));
  EXPECT_EQ(env->active_state_indices(), (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(obs, std::vector<uint8_t>(obs.size(), 114)) << "palette entry 0x00 in gray";
}

TEST(VecEnvReset, MixedResetRestoresSnapshotsAndRefusesAsAWhole) {
  std::vector<StateCatalogEntry> catalog = {{"a", scripted_state_image(0, 250)}, {"b", scripted_state_image(100, 250)}};
  EnvConfig c = small_config(3);
  c.noop_reset_max = 5;
  auto env = make_env(scripted_cartridge(250), c, catalog, 4);
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  ASSERT_FALSE(env->reset_all(out.obs.data()));
  out.actions = {1, 2, 3};
  for (int k = 0; k < 3; ++k) ASSERT_FALSE(env->step(out.buffers()));

  // Snapshot of lane 0, by hand.
  LaneSnapshot snap{env->machine(0),
                    std::vector<uint8_t>(out.obs.begin(), out.obs.begin() + env->lane_obs_size()),
                    env->active_state_index(0),
                    env->last_action(0),
                    env->rng_state(0),
                    env->env_token()};
  ASSERT_FALSE(env->step(out.buffers()));

  // A catalog entry that no longer loads makes the whole call fail untouched.
  auto& entries = ZuboVecEnvTestAccess::catalog(*env);
  const std::vector<uint8_t> good = entries[1].image;
  entries[1].image.resize(10);
  const auto obs_before = out.obs;
  std::vector<std::array<uint8_t, 2048>> ram_before;
  std::vector<uint64_t> rng_before;
  for (size_t i = 0; i < 3; ++i) {
    ram_before.push_back(env->machine(i).ram);
    rng_before.push_back(env->rng_state(i));
  }
  std::vector<uint8_t> mask = {1, 1, 1};
  std::vector<int32_t> idx = {0, 1, -1};
  std::vector<std::optional<LaneSnapshot>> snaps(3);
  snaps[2] = snap;
  EnvStatus e = env->reset_mixed(out.obs.data(), mask.data(), idx.data(), no_seeds(3), snaps);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->kind, EnvErrorKind::ValueError);
  EXPECT_EQ(e->message, "state field A with size 1 was not found");
  EXPECT_EQ(out.obs, obs_before);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(env->machine(i).ram, ram_before[i]) << "lane " << i;
    EXPECT_EQ(env->rng_state(i), rng_before[i]) << "lane " << i;
    EXPECT_EQ(env->last_action(i), 3 > i ? out.actions[i] : 0);
  }
  entries[1].image = good;

  // Lane 2 gets lane 0's snapshot; lane 1 entry 1 with a seed.
  auto seeds = no_seeds(3);
  seeds[1] = 99;
  mask = {0, 1, 1};
  ASSERT_FALSE(env->reset_mixed(out.obs.data(), mask.data(), idx.data(), seeds, snaps));
  EXPECT_EQ(env->machine(2).ram, snap.machine.ram);
  EXPECT_EQ(env->rng_state(2), snap.rng_state);
  EXPECT_EQ(env->last_action(2), snap.last_action);
  EXPECT_EQ(env->active_state_index(2), snap.active_state_index);
  EXPECT_TRUE(std::equal(snap.observation.begin(), snap.observation.end(), out.obs.begin() + 2 * env->lane_obs_size()));
  uint64_t s = 99;
  const uint64_t noops = xorshift64(s) % 6;
  EXPECT_EQ(env->rng_state(1), s);
  EXPECT_EQ(env->machine(1).ram[SCRIPT_COUNTER], 101 + noops);
  EXPECT_EQ(env->active_state_index(1), 1);
  EXPECT_EQ(env->machine(0).ram, ram_before[0]) << "unselected lane untouched";
  // The restored lane continues exactly like the original did.
  ASSERT_FALSE(env->step(out.buffers()));
}

TEST(VecEnvReset, MixedRequestRules) {
  auto env = make_env(scripted_cartridge(250), small_config(3));
  auto other = make_env(scripted_cartridge(250), small_config(3));
  ASSERT_TRUE(env && other);
  LaneSnapshot mine{env->machine(0), std::vector<uint8_t>(env->lane_obs_size()), -1, 0, 1, env->env_token()};
  LaneSnapshot foreign{other->machine(0), std::vector<uint8_t>(env->lane_obs_size()), -1, 0, 1, other->env_token()};
  std::vector<int32_t> idx = {-1, -1, -1};
  auto seeds = no_seeds(3);
  auto message = [&](std::vector<uint8_t> mask, std::vector<const LaneSnapshot*> snaps) {
    EnvStatus e = env->check_mixed_reset_request(mask.data(), idx.data(), seeds, snaps);
    return e ? e->message : std::string();
  };
  EXPECT_EQ(message({0, 0, 0}, {nullptr, &mine, nullptr}), "reset_mask must select at least one lane");
  idx[0] = 4;
  EXPECT_EQ(message({1, 0, 0}, {nullptr, &mine, nullptr}), "state_indices[0] must index state_catalog");
  idx[0] = -1;
  EXPECT_EQ(message({1, 0, 0}, {nullptr, &mine, nullptr}), "snapshots may only be supplied for selected reset lanes");
  idx[1] = 0;
  seeds[1] = 5;
  EXPECT_EQ(message({1, 1, 0}, {nullptr, &mine, nullptr}), "snapshot reset lanes must use the -1 state-index sentinel");
  idx[1] = -1;
  EXPECT_EQ(message({1, 1, 0}, {nullptr, &mine, nullptr}), "snapshot reset lanes cannot also specify a seed");
  seeds[1].reset();
  EXPECT_EQ(message({1, 1, 0}, {nullptr, &foreign, nullptr}), "snapshot belongs to a different environment instance");
  EXPECT_EQ(message({1, 1, 0}, {nullptr, &mine, nullptr}), "");
}

TEST(VecEnvProfiler, CountersFollowTheStep) {
  auto env = make_env(scripted_cartridge(250), small_config(8));
  ASSERT_TRUE(env);
  EXPECT_FALSE(env->profiler_enabled());
  StepOutputs out(*env);
  ASSERT_FALSE(env->step(out.buffers()));
  EXPECT_EQ(env->profiler_total().env_steps, 0u) << "nothing counted while disabled";
  env->enable_profiler();
  ASSERT_EQ(env->lane_profiles().size(), 8u);
  ASSERT_FALSE(env->step(out.buffers()));
  ProfileRecord total = env->profiler_total();
  EXPECT_EQ(total.env_steps, 8u);
  EXPECT_EQ(total.batch_steps, 1u);
  EXPECT_EQ(total.frame_steps, 32u);
  EXPECT_GT(total.cpu_steps, 0u);
  EXPECT_EQ(total.render_calls, 8u) << "one render per lane";
  EXPECT_EQ(total.resize_calls, 8u) << "one resize per lane";
  EXPECT_EQ(total.stack_shifts, 8u);
  EXPECT_EQ(env->lane_profiles()[3].frame_steps, 4u);
  env->reset_profiler();
  EXPECT_EQ(env->profiler_total().env_steps, 0u);
  EXPECT_EQ(env->profiler_total().cpu_steps, 0u);
  ASSERT_TRUE(env->profiler_enabled());
  env->disable_profiler();
  EXPECT_FALSE(env->profiler_enabled());
  EXPECT_TRUE(env->lane_profiles().empty());
  env->reset_profiler();  // no effect while disabled
  EXPECT_FALSE(env->profiler_enabled());
}

}  // namespace
}  // namespace tt
