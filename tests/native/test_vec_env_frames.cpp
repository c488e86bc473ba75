// Observations and display frames on real frames of the supported game, and
// the independence of results from the thread count.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "core/renderer.h"
#include "driver/frame_step.h"
#include "test_vec_env_support.h"

namespace tt {
namespace {

using testing::make_env;
using testing::StepOutputs;

constexpr size_t PLANE = 240 * 224;

// Cartridge and start states of the supported game, or a skip reason.
struct RealGame {
  std::shared_ptr<const Cartridge> cart;
  std::vector<StateCatalogEntry> catalog;
};

std::optional<RealGame> real_game(std::string& why) {
  auto cart = testing::supported_cartridge();
  if (!cart) {
    why = "TANUVEX_TURBO_ROM is not set";
    return std::nullopt;
  }
  if (testing::states_dir().empty()) {
    why = "TANUVEX_TURBO_STATES is not set";
    return std::nullopt;
  }
  return RealGame{cart, testing::supported_start_states()};
}

#define REQUIRE_REAL_GAME(game)           \
  std::string skip_reason;                \
  auto game = real_game(skip_reason);     \
  if (!game) GTEST_SKIP() << skip_reason; \
  ASSERT_FALSE(game->catalog.empty())

// Mostly forward play with jumps and runs, now and then something else.
uint8_t play_action(std::mt19937& gen) {
  static constexpr uint8_t choices[] = {0x80, 0x81, 0x82, 0x83, 0x80, 0x81, 0x01, 0x40, 0x00, 0x20};
  return choices[gen() % (sizeof(choices))];
}

// Resets the lanes that ended, each to catalog entry lane % size.
void reset_ended(ZuboVecEnv& env, StepOutputs& out) {
  if (!env.any_pending_reset()) return;
  std::vector<int32_t> idx(env.num_envs());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<int32_t>(i % env.state_catalog().size());
  ASSERT_FALSE(env.reset_masked(out.obs.data(), out.terminated.data(), idx.data(),
                                std::vector<std::optional<uint64_t>>(env.num_envs())));
}

// Puts lane i on catalog entry i % size.
void spread_over_catalog(ZuboVecEnv& env, std::vector<uint8_t>& obs) {
  std::vector<uint8_t> mask(env.num_envs(), 1);
  std::vector<int32_t> idx(env.num_envs());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<int32_t>(i % env.state_catalog().size());
  ASSERT_FALSE(
      env.reset_masked(obs.data(), mask.data(), idx.data(), std::vector<std::optional<uint64_t>>(env.num_envs())));
}

// Gray observation slot computed the slow way: render, paint margins, and
// average every cell of the area table.
std::vector<uint8_t> reference_gray_area(const Machine& m, const EnvConfig& c) {
  const ObsGeometry g = derive_geometry(c);
  std::vector<uint8_t> src(g.src_width * g.src_height);
  render_gray(m, src.data(),
              Rect{g.src_x0, g.src_y0, static_cast<unsigned>(g.src_width), static_cast<unsigned>(g.src_height)});
  if (c.crop_mode == CropMode::Mask) {
    for (size_t y = 0; y < 224; ++y)
      for (size_t x = 0; x < 240; ++x)
        if (y < c.crop_top || y >= 224 - c.crop_bottom || x < c.crop_left || x >= 240 - c.crop_right)
          src[y * 240 + x] = c.crop_fill;
  }
  const AreaResizeTable t = build_area_resize_table(g.src_width, g.src_height, g.width, g.height);
  std::vector<uint8_t> out;
  for (const AreaCell& cell : t.cells) {
    uint64_t sum = 0;
    for (uint64_t y = cell.y0; y < cell.y1; ++y)
      for (uint64_t x = cell.x0; x < cell.x1; ++x) sum += src[y * g.src_width + x];
    out.push_back(static_cast<uint8_t>(sum / cell.count));
  }
  return out;
}

std::vector<uint8_t> newest_slot(const ZuboVecEnv& env, const std::vector<uint8_t>& obs, size_t lane) {
  const ObsGeometry& g = env.geometry();
  const auto begin = obs.begin() + lane * g.lane_obs_size + (g.frame_stack - 1) * g.slot_size;
  return std::vector<uint8_t>(begin, begin + g.slot_size);
}

TEST(VecEnvObservation, Fused84PathMatchesGeneralPathOnRealFrames) {
  REQUIRE_REAL_GAME(game);
  EnvConfig c;
  c.num_envs = 4;
  c.crop_mode = CropMode::Mask;
  c.crop_top = 32;
  c.crop_fill = 3;
  auto env = make_env(game->cart, c, game->catalog, 7);
  ASSERT_TRUE(env);
  ASSERT_TRUE(env->pipeline().uses_fused_path());
  StepOutputs out(*env);
  spread_over_catalog(*env, out.obs);
  std::mt19937 gen(5);
  std::vector<uint8_t> scratch(env->geometry().intermediate_size), general(env->geometry().slot_size);
  size_t compared = 0;
  uint16_t start_x = out.x_pos[0], furthest = 0;
  std::set<std::vector<uint8_t>> distinct;
  for (int step = 0; step < 150; ++step) {
    for (auto& a : out.actions) a = play_action(gen);
    ASSERT_FALSE(env->step(out.buffers()));
    if (step == 0) start_x = out.x_pos[0];
    furthest = std::max(furthest, out.x_pos[0]);
    distinct.insert(newest_slot(*env, out.obs, 0));
    for (size_t i = 0; i < c.num_envs; ++i) {
      const auto fused = newest_slot(*env, out.obs, i);
      env->pipeline().render_observation_general(env->machine(i), scratch.data(), general.data());
      ASSERT_EQ(fused, general) << "lane " << i << " step " << step;
      if (step % 10 == 0) {
        ASSERT_EQ(fused, reference_gray_area(env->machine(i), c)) << "lane " << i;
      }
      for (size_t p = 0; p < 12 * 84; ++p) ASSERT_EQ(fused[p], 3) << "masked band must be the fill value";
      ++compared;
    }
    reset_ended(*env, out);
  }
  EXPECT_EQ(compared, 600u);
  EXPECT_GT(furthest, start_x + 100) << "the scripted play must really move through the level";
  EXPECT_GT(distinct.size(), 50u) << "observations must change as the game plays";
}

TEST(VecEnvObservation, DedicatedAreaTablesMatchCellAveragesOnRealFrames) {
  REQUIRE_REAL_GAME(game);
  EnvConfig mask_all;  // 240 x 224 source, masked left and right margins
  mask_all.num_envs = 3;
  mask_all.crop_mode = CropMode::Mask;
  mask_all.crop_left = 8;
  mask_all.crop_right = 5;
  EnvConfig cut_top;  // 240 x 192 source
  cut_top.num_envs = 3;
  cut_top.crop_top = 32;
  EnvConfig defaults;  // whole visible frame
  defaults.num_envs = 3;
  EnvConfig deep_mask;  // masked band deeper than the unscrolled rows
  deep_mask.num_envs = 3;
  deep_mask.crop_mode = CropMode::Mask;
  deep_mask.crop_top = 40;
  deep_mask.crop_bottom = 8;
  deep_mask.crop_fill = 255;
  EnvConfig unpainted_mask;  // mask mode with nothing to paint
  unpainted_mask.num_envs = 3;
  unpainted_mask.crop_mode = CropMode::Mask;
  // Whole-frame sources with nothing masked average the drawn rows directly.
  const std::pair<EnvConfig, bool> cases[] = {
      {mask_all, false}, {cut_top, false}, {defaults, true}, {deep_mask, false}, {unpainted_mask, true}};
  for (const auto& [c, streamed] : cases) {
    auto env = make_env(game->cart, c, game->catalog, 3);
    ASSERT_TRUE(env);
    EXPECT_TRUE(env->pipeline().uses_fast_area());
    EXPECT_FALSE(env->pipeline().uses_fused_path());
    EXPECT_EQ(env->pipeline().uses_streamed_path(), streamed);
    std::vector<uint8_t> scratch(env->geometry().intermediate_size), general(env->geometry().slot_size);
    StepOutputs out(*env);
    spread_over_catalog(*env, out.obs);
    std::mt19937 gen(9);
    for (int step = 0; step < 60; ++step) {
      for (auto& a : out.actions) a = play_action(gen);
      ASSERT_FALSE(env->step(out.buffers()));
      for (size_t i = 0; i < c.num_envs; ++i) {
        env->pipeline().render_observation_general(env->machine(i), scratch.data(), general.data());
        ASSERT_EQ(newest_slot(*env, out.obs, i), general) << "lane " << i << " step " << step;
      }
      if (step % 3 != 0) continue;
      for (size_t i = 0; i < c.num_envs; ++i) {
        ASSERT_EQ(newest_slot(*env, out.obs, i), reference_gray_area(env->machine(i), c))
            << "lane " << i << " step " << step << " crop_top " << c.crop_top;
      }
      reset_ended(*env, out);
    }
  }
}

TEST(VecEnvObservation, StackShiftsOneSlotPerStepAndResetFillsEverySlot) {
  REQUIRE_REAL_GAME(game);
  EnvConfig c;
  c.num_envs = 2;
  c.frame_stack = 3;
  c.grayscale = false;
  c.resize_algorithm = ResizeAlgorithm::Bilinear;
  c.resize_width = 60;
  c.resize_height = 50;
  auto env = make_env(game->cart, c, game->catalog);
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  ASSERT_FALSE(env->reset_all(out.obs.data()));
  const size_t slot = env->geometry().slot_size;
  for (size_t lane = 0; lane < 2; ++lane) {
    const auto first = out.obs.begin() + lane * env->lane_obs_size();
    for (size_t s = 1; s < 3; ++s) EXPECT_TRUE(std::equal(first, first + slot, first + s * slot));
  }
  std::vector<std::vector<uint8_t>> newest;
  out.actions = {0x81, 0x82};
  for (int k = 0; k < 3; ++k) {
    ASSERT_FALSE(env->step(out.buffers()));
    newest.push_back(newest_slot(*env, out.obs, 1));
  }
  const auto lane1 = out.obs.begin() + env->lane_obs_size();
  for (size_t s = 0; s < 3; ++s) {
    EXPECT_TRUE(std::equal(newest[s].begin(), newest[s].end(), lane1 + s * slot)) << "slot " << s;
  }
  EXPECT_NE(newest[0], newest[2]) << "the screen moved";
}

// A cartridge whose picture changes on every frame: its NMI handler counts
// frames, sets the universal background colour to the count (mod 64), shows
// sprite 0 on odd counts only, and sets the lives byte to 0xFF when the count
// reaches the death frame of its state (scripted_state_image).
std::shared_ptr<const Cartridge> colour_cycling_cartridge() {
  std::vector<uint8_t> code(0x17, 0xEA);  // reset: NOPs into the idle loop
  const std::vector<uint8_t> rest = {
      0x4C, 0x17, 0x80,              // 0x8017: JMP 0x8017
      0xE6, 0x10,                    // 0x801A: INC counter
      0xA9, 0x3F, 0x8D, 0x06, 0x20,  // PPUADDR = 0x3F00
      0xA9, 0x00, 0x8D, 0x06, 0x20,  //
      0xA5, 0x10, 0x29, 0x3F,        // LDA counter; AND #$3F
      0x8D, 0x07, 0x20,              // STA PPUDATA (palette entry 0)
      0xA9, 0x00, 0x8D, 0x03, 0x20,  // OAMADDR = 0
      0xA5, 0x10, 0x4A, 0x90, 0x04,  // LDA counter; LSR A; BCC even
      0xA9, 0x10, 0xD0, 0x02,        // LDA #$10; BNE store
      0xA9, 0xF8,                    // even: LDA #$F8
      0x8D, 0x04, 0x20,              // store: STA OAMDATA (sprite 0 Y)
      0xA5, 0x10, 0xC5, 0x12,        // LDA counter; CMP death frame
      0xD0, 0x05,                    // BNE rti
      0xA9, 0xFF, 0x8D, 0x5A, 0x07,  // lives = 0xFF
      0x40,                          // RTI
  };
  code.insert(code.end(), rest.begin(), rest.end());
  return testing::tiny_cartridge(code, 0x8000, 0x801A, 0x8000);
}

// Every configuration below against the straightforward pipeline: each lane
// is replayed from a copy of its machine, every frame drawn in full colour,
// the last two pooled, then gray, mask and resize (without max-pooling, the
// general render of the last frame), and the display frame chosen from full
// renders. Two games: the supported one, one lane per start state, every lane
// on its last life with the timer about to run out (it dies and its episode
// ends some 240 frames later, on any frame of a step, but on a still
// picture); and the colour-cycling cartridge, whose lanes end on every frame
// of a step with a picture that changes on every frame.
struct ReferenceCase {
  uint64_t frame_skip;
  bool maxpool;
  bool gray;
  CropMode mode;
  uint64_t top, bottom, left, right;
  ResizeAlgorithm algorithm;
  uint64_t width, height;  // 0: the source size
  bool display;
};

TEST(VecEnvObservation, StepsMatchTheStraightforwardPipeline) {
  REQUIRE_REAL_GAME(game);
  using R = ResizeAlgorithm;
  const CropMode cut = CropMode::Remove, mask = CropMode::Mask;
  const ReferenceCase cases[] = {
      {4, true, true, cut, 0, 0, 0, 0, R::Area, 84, 84, true},
      {4, true, true, mask, 32, 0, 0, 0, R::Area, 84, 84, false},
      {3, true, false, cut, 16, 8, 8, 8, R::Bilinear, 60, 50, false},
      {2, true, true, mask, 0, 16, 8, 0, R::Nearest, 96, 90, false},
      {4, true, false, mask, 40, 0, 0, 3, R::Area, 0, 0, true},
      {5, true, true, cut, 32, 0, 0, 0, R::Area, 0, 0, false},
      {1, true, true, cut, 0, 0, 0, 0, R::Bilinear, 84, 84, false},
      {3, true, true, mask, 8, 8, 0, 0, R::Area, 100, 100, true},
      {4, false, true, cut, 0, 0, 0, 0, R::Area, 84, 84, true},
      {3, false, true, mask, 32, 0, 0, 0, R::Area, 84, 84, false},
      {4, false, false, mask, 0, 8, 16, 0, R::Nearest, 64, 64, true},
  };
  std::vector<StateCatalogEntry> cycling_states;
  for (uint8_t k = 0; k < 5; ++k)
    cycling_states.push_back({"death " + std::to_string(9 + k), testing::scripted_state_image(0, 9 + k)});
  struct Game {
    std::shared_ptr<const Cartridge> cart;
    std::vector<StateCatalogEntry> catalog;
    bool supported;
  };
  const Game games[] = {{game->cart, game->catalog, true}, {colour_cycling_cartridge(), cycling_states, false}};
  // (frame_skip, frames run) of max-pooled lanes that ended, per game.
  std::set<std::pair<uint64_t, uint64_t>> endings[2];
  for (size_t gi = 0; gi < 2; ++gi)
    for (const ReferenceCase& rc : cases) {
      const Game& source = games[gi];
      EnvConfig c;
      c.num_envs = source.catalog.size();
      c.frame_skip = rc.frame_skip;
      c.frame_maxpool = rc.maxpool;
      c.grayscale = rc.gray;
      c.frame_stack = 2;
      c.crop_mode = rc.mode;
      c.crop_top = rc.top;
      c.crop_bottom = rc.bottom;
      c.crop_left = rc.left;
      c.crop_right = rc.right;
      c.crop_fill = 77;
      c.noop_reset_max = 7;
      c.resize_algorithm = rc.algorithm;
      const ObsGeometry g = derive_geometry(c);
      c.resize_width = rc.width ? rc.width : g.src_width;
      c.resize_height = rc.height ? rc.height : g.src_height;
      SCOPED_TRACE(::testing::Message() << "game " << gi << " frame_skip " << c.frame_skip << " maxpool "
                                        << c.frame_maxpool << " gray " << c.grayscale << " crop " << int(c.crop_mode)
                                        << " resize " << int(c.resize_algorithm) << " " << c.resize_width << "x"
                                        << c.resize_height);
      auto env = make_env(source.cart, c, source.catalog, 11);
      ASSERT_TRUE(env);
      const ObservationPipeline& pipe = env->pipeline();
      const ObsGeometry& geo = env->geometry();
      StepOutputs out(*env);
      spread_over_catalog(*env, out.obs);
      std::vector<uint8_t> frames(c.num_envs * DISPLAY_FRAME_BYTES);
      if (rc.display) env->rgb_frames_into(frames.data());
      const size_t pool_bytes = 3 * geo.src_width * geo.src_height;
      std::vector<uint8_t> a(pool_bytes), b(pool_bytes), scratch(std::max<size_t>(geo.intermediate_size, 1));
      std::vector<uint8_t> expected(geo.slot_size);
      std::mt19937 gen(static_cast<uint32_t>(31 * rc.frame_skip + rc.width));
      auto last_life_running_out = [&](size_t lane) {
        if (!source.supported) return;
        Machine& m = env->machine(lane);
        m.ram[0x075A] = 0;                  // lives
        m.ram[0x07F8] = m.ram[0x07F9] = 0;  // timer 001
        m.ram[0x07FA] = 1;
      };
      for (size_t i = 0; i < c.num_envs; ++i) last_life_running_out(i);
      const int steps = source.supported ? static_cast<int>(300 / c.frame_skip + 5) : 40;
      for (int step = 0; step < steps; ++step) {
        for (auto& action : out.actions) action = play_action(gen);
        std::vector<Machine> replays;
        for (size_t i = 0; i < c.num_envs; ++i) replays.push_back(env->machine(i));
        ASSERT_FALSE(env->step(out.buffers()));
        for (size_t lane = 0; lane < c.num_envs; ++lane) {
          Machine& replay = replays[lane];
          std::vector<std::vector<uint8_t>> shown;
          std::vector<unsigned> counts;
          uint64_t n = 0;
          while (n < c.frame_skip) {
            step_frame(replay, out.actions[lane]);
            if (c.frame_maxpool) pipe.pool_render_reference(replay, (n % 2 == 0 ? a : b).data());
            if (rc.display) {
              shown.emplace_back(DISPLAY_FRAME_BYTES);
              render_rgb(replay, shown.back().data(), VISIBLE_RECT);
              counts.push_back(visible_sprite_count(replay));
            }
            ++n;
            if (replay.terminated) break;
          }
          ASSERT_EQ(out.terminated[lane] != 0, replay.terminated != 0);
          if (replay.terminated && c.frame_maxpool) endings[gi].insert({c.frame_skip, n});
          if (c.frame_maxpool) {
            pipe.finish_maxpool_reference(a.data(), b.data(), n, expected.data());
          } else {
            pipe.render_observation_general(replay, scratch.data(), expected.data());
          }
          ASSERT_EQ(newest_slot(*env, out.obs, lane), expected)
              << "step " << step << " lane " << lane << " frames " << n;
          if (rc.display) {
            const size_t chosen = n >= 2 && counts[n - 2] > counts[n - 1] ? n - 2 : n - 1;
            const uint8_t* d0 = env->scratch(lane).data() + geo.intermediate_size;
            ASSERT_TRUE(std::equal(shown[chosen].begin(), shown[chosen].end(), d0))
                << "display frame, step " << step << " lane " << lane << " frames " << n;
          }
        }
        const std::vector<uint8_t> ended = out.terminated;
        reset_ended(*env, out);
        for (size_t i = 0; i < c.num_envs; ++i)
          if (ended[i]) last_life_running_out(i);
      }
    }
  // Lanes ended on every frame of a step, the early ones included.
  for (size_t gi = 0; gi < 2; ++gi)
    for (uint64_t skip : {2u, 3u, 4u, 5u})
      for (uint64_t n = 1; n <= skip; ++n)
        EXPECT_TRUE(endings[gi].count({skip, n})) << "game " << gi << " skip " << skip << " ended after " << n;
}

TEST(VecEnvDisplay, FramesKeepTheBusierOfTheLastTwo) {
  REQUIRE_REAL_GAME(game);
  int older_kept = 0, ties = 0;
  for (uint64_t skip : {3u, 4u}) {
    EnvConfig c;
    c.num_envs = 2;
    c.frame_skip = skip;
    auto env = make_env(game->cart, c, game->catalog);
    ASSERT_TRUE(env);
    StepOutputs out(*env);
    spread_over_catalog(*env, out.obs);
    std::vector<uint8_t> frames(2 * DISPLAY_FRAME_BYTES);
    env->rgb_frames_into(frames.data());  // enables display frames
    ASSERT_TRUE(env->rgb_frames_enabled());
    EXPECT_EQ(env->scratch(0).size(), env->geometry().intermediate_size + 2 * DISPLAY_FRAME_BYTES);
    std::vector<uint8_t> planar(3 * PLANE);
    render_rgb(env->machine(0), planar.data(), VISIBLE_RECT);
    for (size_t p = 0; p < PLANE; p += 97) {
      for (size_t k = 0; k < 3; ++k) ASSERT_EQ(frames[3 * p + k], planar[k * PLANE + p]);
    }
    std::mt19937 gen(4);
    for (int step = 0; step < 150; ++step) {
      for (auto& a : out.actions) a = play_action(gen);
      std::vector<Machine> replays = {env->machine(0), env->machine(1)};
      ASSERT_FALSE(env->step(out.buffers()));
      env->rgb_frames_into(frames.data());
      for (size_t lane = 0; lane < 2; ++lane) {
        Machine& replay = replays[lane];
        std::vector<std::vector<uint8_t>> rendered;
        std::vector<unsigned> counts;
        for (uint64_t j = 0; j < skip; ++j) {
          step_frame(replay, out.actions[lane]);
          rendered.emplace_back(3 * PLANE);
          render_rgb(replay, rendered.back().data(), VISIBLE_RECT);
          counts.push_back(visible_sprite_count(replay));
          if (replay.terminated) break;
        }
        size_t chosen = rendered.size() - 1;
        if (rendered.size() >= 2) {
          const unsigned older = counts[rendered.size() - 2], newer = counts.back();
          if (older > newer) {
            chosen = rendered.size() - 2;
            ++older_kept;
          } else if (older == newer) {
            ++ties;
          }
        }
        const uint8_t* got = frames.data() + lane * DISPLAY_FRAME_BYTES;
        for (size_t p = 0; p < PLANE; ++p) {
          for (size_t k = 0; k < 3; ++k) {
            ASSERT_EQ(got[3 * p + k], rendered[chosen][k * PLANE + p])
                << "skip " << skip << " step " << step << " lane " << lane << " pixel " << p;
          }
        }
      }
      reset_ended(*env, out);
    }
  }
  // Both branches of the choice were taken by the play above.
  EXPECT_GT(older_kept, 0);
  EXPECT_GT(ties, 0);
}

// Everything a step or reset reports, for comparing runs.
struct Trace {
  std::vector<uint8_t> bytes;
  void add(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
  }
};

Trace run_episode_mix(const RealGame& game, EnvConfig c, std::optional<int64_t> threads, int steps, bool display,
                      bool profile, PoolChoice* pool_used) {
  auto env = make_env(game.cart, c, game.catalog, 1234, threads, {0, 2, 14});
  Trace t;
  if (!env) return t;
  if (pool_used) *pool_used = env->pool();
  if (profile) env->enable_profiler();
  StepOutputs out(*env);
  std::vector<uint8_t> frames(c.num_envs * DISPLAY_FRAME_BYTES);
  spread_over_catalog(*env, out.obs);
  if (display) env->rgb_frames_into(frames.data());
  std::mt19937 gen(99);
  std::vector<int64_t> extra(c.num_envs * env->extra_info_width());
  for (int step = 0; step < steps; ++step) {
    for (auto& a : out.actions) a = play_action(gen);
    EXPECT_FALSE(env->step(out.buffers()));
    t.add(out.obs.data(), out.obs.size());
    t.add(out.rewards.data(), out.rewards.size() * sizeof(float));
    t.add(out.terminated.data(), out.terminated.size());
    t.add(out.x_pos.data(), out.x_pos.size() * 2);
    t.add(out.score.data(), out.score.size() * 4);
    t.add(out.time.data(), out.time.size() * 2);
    EXPECT_FALSE(env->extra_info_into(extra.data()));
    t.add(extra.data(), extra.size() * 8);
    for (size_t i = 0; i < c.num_envs; ++i) {
      const uint64_t s = env->rng_state(i);
      t.add(&s, 8);
    }
    if (display && step % 5 == 0) {
      env->rgb_frames_into(frames.data());
      t.add(frames.data(), frames.size());
    }
    if (env->any_pending_reset()) {
      std::vector<int32_t> idx(c.num_envs);
      std::vector<std::optional<uint64_t>> seeds(c.num_envs);
      for (size_t i = 0; i < c.num_envs; ++i) {
        idx[i] = static_cast<int32_t>((i + step) % env->state_catalog().size());
        if (i % 3 == 0) seeds[i] = static_cast<uint64_t>(step * 31 + i);
      }
      EXPECT_FALSE(env->reset_masked(out.obs.data(), out.terminated.data(), idx.data(), seeds));
      t.add(out.obs.data(), out.obs.size());
    }
    if (step % 70 == 69) {
      EXPECT_FALSE(env->reset_all(out.obs.data()));
      t.add(out.obs.data(), out.obs.size());
    }
  }
  return t;
}

TEST(VecEnvParallel, ResultsDoNotDependOnThreads) {
  REQUIRE_REAL_GAME(game);
  EnvConfig c;
  c.num_envs = 8;
  c.sticky_action_prob = 0.25;
  c.noop_reset_max = 20;
  PoolChoice inline_pool, private_pool, shared_pool;
  const Trace one = run_episode_mix(*game, c, 1, 220, false, false, &inline_pool);
  const Trace two = run_episode_mix(*game, c, 2, 220, false, true, &private_pool);
  const Trace shared = run_episode_mix(*game, c, std::nullopt, 220, false, false, &shared_pool);
  EXPECT_EQ(inline_pool.pool, nullptr);
  if (available_cpus() >= 2) {
    EXPECT_TRUE(private_pool.private_pool);
    EXPECT_EQ(private_pool.worker_threads, 2u);
  }
  EXPECT_FALSE(shared_pool.private_pool);
  ASSERT_FALSE(one.bytes.empty());
  EXPECT_TRUE(one.bytes == two.bytes) << "2-thread private pool (profiled) differs from 1 thread";
  EXPECT_TRUE(one.bytes == shared.bytes) << "shared pool differs from 1 thread";
}

TEST(VecEnvParallel, ColourMaxPoolAndDisplayFramesDoNotDependOnThreads) {
  REQUIRE_REAL_GAME(game);
  EnvConfig c;
  c.num_envs = 6;
  c.grayscale = false;
  c.frame_maxpool = true;
  c.frame_stack = 2;
  c.resize_algorithm = ResizeAlgorithm::Nearest;
  c.resize_width = 96;
  c.resize_height = 90;
  c.crop_mode = CropMode::Mask;
  c.crop_bottom = 16;
  c.crop_fill = 200;
  const Trace one = run_episode_mix(*game, c, 1, 60, true, false, nullptr);
  const Trace two = run_episode_mix(*game, c, 2, 60, true, false, nullptr);
  const Trace shared = run_episode_mix(*game, c, std::nullopt, 60, true, true, nullptr);
  ASSERT_FALSE(one.bytes.empty());
  EXPECT_TRUE(one.bytes == two.bytes);
  EXPECT_TRUE(one.bytes == shared.bytes);
}

TEST(VecEnvProfiler, FusedPathCountsOneRenderAndNoResize) {
  REQUIRE_REAL_GAME(game);
  EnvConfig c;
  c.num_envs = 3;
  c.crop_mode = CropMode::Mask;
  c.crop_top = 32;
  auto env = make_env(game->cart, c, game->catalog);
  ASSERT_TRUE(env);
  StepOutputs out(*env);
  ASSERT_FALSE(env->reset_all(out.obs.data()));
  env->enable_profiler();
  out.actions = {0x80, 0x81, 0x82};
  ASSERT_FALSE(env->step(out.buffers()));
  ASSERT_FALSE(env->step(out.buffers()));
  const ProfileRecord total = env->profiler_total();
  EXPECT_EQ(total.env_steps, 6u);
  EXPECT_EQ(total.batch_steps, 2u);
  EXPECT_EQ(total.render_calls, 6u);
  EXPECT_EQ(total.resize_calls, 0u);
  EXPECT_EQ(total.stack_shifts, 6u);
  EXPECT_EQ(total.frame_steps, 24u);
  EXPECT_GT(total.rendering, 0u);
  uint64_t opcodes = 0;
  for (uint64_t v : total.opcode_histogram) opcodes += v;
  EXPECT_EQ(opcodes, total.cpu_steps);
}

}  // namespace
}  // namespace tt
