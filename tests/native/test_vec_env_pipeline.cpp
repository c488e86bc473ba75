// Observation pipeline pieces on synthetic screens: crop masks, max-pooling
// of colour frames before gray conversion, and straight-to-slot renders.
#include <gtest/gtest.h>

#include "core/palette.h"
#include "core/renderer.h"
#include "test_vec_env_support.h"
#include "vec_env/pool_kernels.h"

namespace tt {
namespace {

using testing::make_env;
using testing::scripted_cartridge;
using testing::scripted_state_image;

constexpr size_t PLANE = 240 * 224;

ObservationPipeline make_pipeline(const EnvConfig& c) {
  const ObsGeometry g = derive_geometry(c);
  return ObservationPipeline(c, g, build_area_resize_table(g.src_width, g.src_height, g.width, g.height));
}

// Pool buffer of one solid colour.
std::vector<uint8_t> solid(uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> v(3 * PLANE);
  std::fill(v.begin(), v.begin() + PLANE, r);
  std::fill(v.begin() + PLANE, v.begin() + 2 * PLANE, g);
  std::fill(v.begin() + 2 * PLANE, v.end(), b);
  return v;
}

// The straightforward pool (the reference of the steps' colour index pool)
// and the pair tables of the other.
TEST(VecEnvMaxPool, GrayIsTakenOfThePooledColour) {
  EnvConfig c;
  c.crop_mode = CropMode::Mask;
  c.frame_maxpool = true;
  c.resize_width = 240;
  c.resize_height = 224;
  const ObservationPipeline same = make_pipeline(c);
  auto a = solid(255, 0, 0), b = solid(0, 0, 255);
  std::vector<uint8_t> slot(PLANE, 0);
  same.finish_maxpool_reference(a.data(), b.data(), 2, slot.data());
  EXPECT_EQ(slot, std::vector<uint8_t>(PLANE, 106)) << "gray of (255, 0, 255), not max(77, 29)";
  a = solid(255, 0, 0);
  same.finish_maxpool_reference(a.data(), b.data(), 1, slot.data());
  EXPECT_EQ(slot, std::vector<uint8_t>(PLANE, 77)) << "one frame run: buffer A alone";

  c.resize_width = c.resize_height = 84;
  const ObservationPipeline resized = make_pipeline(c);
  a = solid(255, 0, 0);
  std::vector<uint8_t> small(84 * 84, 0);
  resized.finish_maxpool_reference(a.data(), b.data(), 4, small.data());
  EXPECT_EQ(small, std::vector<uint8_t>(84 * 84, 106));

  c.grayscale = false;
  const ObservationPipeline colour = make_pipeline(c);
  a = solid(255, 0, 0);
  b = solid(0, 10, 255);
  std::vector<uint8_t> rgb(3 * 84 * 84, 0);
  colour.finish_maxpool_reference(a.data(), b.data(), 2, rgb.data());
  EXPECT_EQ(rgb[0], 255);
  EXPECT_EQ(rgb[84 * 84], 10);
  EXPECT_EQ(rgb[2 * 84 * 84 + 5], 255);

  // Colour 0x06 is (160, 0, 0), gray 48; 0x02 is (0, 0, 168), gray 19.
  EXPECT_EQ(PAIR_MAX_GRAY[0x06 * 64 + 0x02], 67) << "gray of (160, 0, 168), not max(48, 19)";
  EXPECT_EQ(PAIR_MAX_GRAY[0x02 * 64 + 0x06], 67);
  EXPECT_EQ(PAIR_MAX_GRAY[0x06 * 64 + 0x06], NES_PALETTE_GRAY[0x06]);
  EXPECT_EQ(PAIR_MAX_R[0x06 * 64 + 0x12], 160);
  EXPECT_EQ(PAIR_MAX_G[0x06 * 64 + 0x12], 56);
  EXPECT_EQ(PAIR_MAX_B[0x12 * 64 + 0x06], 232);

  // The gray pool kernels: every pair of colours, runs of equal ones, an odd range.
  std::vector<uint8_t> x(3 * 4096 + 50), y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<uint8_t>(i % 64);
    y[i] = (i / 4096) == 1 ? x[i] : static_cast<uint8_t>((i / 64) % 64);
  }
  std::vector<uint8_t> fast(x.size(), 1), portable(x.size(), 1), expected(x.size(), 1);
  for (size_t i = 3; i < x.size() - 5; ++i) expected[i] = PAIR_MAX_GRAY[x[i] * 64 + y[i]];
  pool_kernels::pool_gray(x.data(), y.data(), fast.data(), 3, x.size() - 5);
  pool_kernels::pool_gray_portable(x.data(), y.data(), portable.data(), 3, x.size() - 5);
  EXPECT_EQ(fast, expected);
  EXPECT_EQ(portable, expected);
}

TEST(VecEnvCropMask, MarginsArePaintedWithTheFill) {
  EnvConfig c;
  c.num_envs = 2;
  c.grayscale = false;
  c.frame_stack = 1;
  c.crop_mode = CropMode::Mask;
  c.crop_top = 5;
  c.crop_bottom = 7;
  c.crop_left = 3;
  c.crop_right = 2;
  c.crop_fill = 9;
  c.resize_width = 240;
  c.resize_height = 224;
  std::vector<StateCatalogEntry> catalog = {{"white", scripted_state_image(0, 250, 0x30)}};
  auto env = make_env(scripted_cartridge(250), c, catalog);
  ASSERT_TRUE(env);
  EXPECT_EQ(env->geometry().intermediate_size, 0u);
  EXPECT_EQ(env->scratch(0).size(), 0u) << "rendered straight into the slot";
  std::vector<uint8_t> obs(2 * env->lane_obs_size());
  ASSERT_FALSE(env->reset_all(obs.data()));
  const uint8_t white[3] = {248, 252, 248};
  for (size_t p = 0; p < 3; ++p) {
    for (size_t y = 0; y < 224; ++y) {
      for (size_t x = 0; x < 240; ++x) {
        const bool masked = y < 5 || y >= 217 || x < 3 || x >= 238;
        ASSERT_EQ(obs[env->lane_obs_size() + p * PLANE + y * 240 + x], masked ? 9 : white[p])
            << "plane " << p << " row " << y << " column " << x;
      }
    }
  }
}

TEST(VecEnvCropMask, NoCropsAndNoResizeGiveThePlainRender) {
  EnvConfig c;
  c.num_envs = 1;
  c.crop_mode = CropMode::Mask;
  c.resize_width = 240;
  c.resize_height = 224;
  c.frame_stack = 2;
  auto env = make_env(scripted_cartridge(250), c, {{"white", scripted_state_image(0, 250, 0x21)}});
  ASSERT_TRUE(env);
  std::vector<uint8_t> obs(env->lane_obs_size());
  ASSERT_FALSE(env->reset_all(obs.data()));
  std::vector<uint8_t> plain(PLANE);
  render_gray(env->machine(0), plain.data(), VISIBLE_RECT);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), obs.begin()));
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), obs.begin() + PLANE));
}

TEST(VecEnvCropMask, Fused84BandIsTheFillValue) {
  EnvConfig c;
  c.num_envs = 1;
  c.crop_mode = CropMode::Mask;
  c.crop_top = 32;
  c.crop_fill = 17;
  auto env = make_env(scripted_cartridge(250), c, {{"white", scripted_state_image(0, 250, 0x30)}});
  ASSERT_TRUE(env);
  EXPECT_TRUE(env->pipeline().uses_fused_path());
  std::vector<uint8_t> obs(env->lane_obs_size());
  ASSERT_FALSE(env->reset_all(obs.data()));
  for (size_t s = 0; s < 4; ++s) {
    for (size_t i = 0; i < 84 * 84; ++i) {
      ASSERT_EQ(obs[s * 84 * 84 + i], i < 12 * 84 ? 17 : 250) << "slot " << s << " byte " << i;
    }
  }
  c.crop_top = 31;  // a band that does not end on an output row: general path
  auto general = make_env(scripted_cartridge(250), c, {{"white", scripted_state_image(0, 250, 0x30)}});
  ASSERT_TRUE(general);
  EXPECT_FALSE(general->pipeline().uses_fused_path());
  ASSERT_FALSE(general->reset_all(obs.data()));
  EXPECT_EQ(obs[11 * 84], (2 * 17 + 250) / 3) << "output row 11 covers source rows 29..31";
}

}  // namespace
}  // namespace tt
