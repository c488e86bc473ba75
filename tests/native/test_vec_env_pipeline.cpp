// Observation pipeline pieces on synthetic screens: crop masks, max-pooling
// of colour frames before gray conversion, and straight-to-slot renders.
#include <gtest/gtest.h>

#include "core/renderer.h"
#include "test_vec_env_support.h"

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

TEST(VecEnvMaxPool, GrayIsTakenOfThePooledColour) {
  // Colour 0x06 is (160, 0, 0), gray 48; 0x02 is (0, 0, 168), gray 19; 0x12 is (32, 56, 232).
  EnvConfig c;
  c.crop_mode = CropMode::Mask;
  c.frame_maxpool = true;
  c.resize_width = 240;
  c.resize_height = 224;
  const ObservationPipeline same = make_pipeline(c);
  const std::vector<uint8_t> a(PLANE, 0x06), b(PLANE, 0x02);
  std::vector<uint8_t> work(3 * PLANE), slot(PLANE, 0);
  same.finish_maxpool<false>(a.data(), b.data(), 2, work.data(), slot.data(), nullptr);
  EXPECT_EQ(slot, std::vector<uint8_t>(PLANE, 67)) << "gray of (160, 0, 168), not max(48, 19)";
  same.finish_maxpool<false>(a.data(), b.data(), 1, work.data(), slot.data(), nullptr);
  EXPECT_EQ(slot, std::vector<uint8_t>(PLANE, 48)) << "one frame run: plane A alone";

  c.resize_width = c.resize_height = 84;
  const ObservationPipeline resized = make_pipeline(c);
  std::vector<uint8_t> small(84 * 84, 0);
  resized.finish_maxpool<false>(b.data(), a.data(), 4, work.data(), small.data(), nullptr);
  EXPECT_EQ(small, std::vector<uint8_t>(84 * 84, 67));

  c.grayscale = false;
  const ObservationPipeline colour = make_pipeline(c);
  const std::vector<uint8_t> blue(PLANE, 0x12);
  std::vector<uint8_t> rgb(3 * 84 * 84, 0);
  ProfileRecord record;
  colour.finish_maxpool<true>(a.data(), blue.data(), 2, work.data(), rgb.data(), &record);
  EXPECT_EQ(rgb[0], 160);
  EXPECT_EQ(rgb[84 * 84], 56);
  EXPECT_EQ(rgb[2 * 84 * 84 + 5], 232);
  EXPECT_EQ(record.resize_calls, 1u) << "finish_maxpool counts as one resize";
  EXPECT_EQ(record.render_calls, 0u);
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
