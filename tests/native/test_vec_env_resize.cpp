// Resize tables, the three resize algorithms and the derived sizes.
#include <gtest/gtest.h>

#include <random>

#include "vec_env/area_resize.h"
#include "vec_env/area_resize_kernels.h"
#include "vec_env/env_config.h"

namespace tt {
namespace {

// Area resize straight from the cell list: sum over the box, divided by count.
std::vector<uint8_t> reference_area(const AreaResizeTable& t, const std::vector<uint8_t>& src) {
  std::vector<uint8_t> out;
  for (const AreaCell& c : t.cells) {
    uint64_t sum = 0;
    for (uint64_t y = c.y0; y < c.y1; ++y)
      for (uint64_t x = c.x0; x < c.x1; ++x) sum += src[y * t.src_width + x];
    out.push_back(static_cast<uint8_t>(sum / c.count));
  }
  return out;
}

std::vector<uint8_t> random_plane(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

TEST(VecEnvResize, AreaTableFor240To84Columns) {
  const AreaResizeTable t = build_area_resize_table(240, 224, 84, 84);
  ASSERT_EQ(t.cells.size(), 84u * 84u);
  EXPECT_EQ(t.src_width, 240u);
  EXPECT_EQ(t.dst_height, 84u);
  const uint64_t widths[7] = {2, 3, 3, 3, 3, 3, 3};
  for (size_t x = 0; x < 84; ++x) {
    const AreaCell& c = t.cells[x];  // output row 0
    EXPECT_EQ(c.x1 - c.x0, widths[x % 7]) << "column " << x;
    if (x > 0) {
      EXPECT_EQ(c.x0, t.cells[x - 1].x1) << "columns must tile the source";
    }
  }
  EXPECT_EQ(t.cells[1].x0, 2u);
  EXPECT_EQ(t.cells[2].x0, 5u);
  EXPECT_EQ(t.cells[7].x0, 20u);
  EXPECT_EQ(t.cells[83].x1, 240u);
  // Rows: floor(Y * 224 / 84); row 12 starts at source row 32.
  EXPECT_EQ(t.cells[12 * 84].y0, 32u);
  EXPECT_EQ(t.cells[11 * 84].y1, 32u);
  for (const AreaCell& c : t.cells) EXPECT_EQ(c.count, (c.x1 - c.x0) * (c.y1 - c.y0));
}

TEST(VecEnvResize, AreaTableUpscaleAndOddSizesKeepCellsNonEmpty) {
  const AreaResizeTable up = build_area_resize_table(3, 2, 7, 5);
  for (const AreaCell& c : up.cells) {
    EXPECT_GE(c.count, 1u);
    EXPECT_LE(c.x1, 3u);
    EXPECT_LE(c.y1, 2u);
  }
  // Output column 6 of 7 over 3 source columns: x0 = 18/7 = 2, x1 = min(3, max(3, 3)).
  EXPECT_EQ(up.cells[6].x0, 2u);
  EXPECT_EQ(up.cells[6].x1, 3u);
  const AreaResizeTable one = build_area_resize_table(240, 224, 1, 1);
  ASSERT_EQ(one.cells.size(), 1u);
  EXPECT_EQ(one.cells[0].count, 240u * 224u);
}

TEST(VecEnvResize, AreaResizeMatchesCellDefinition) {
  struct Case {
    size_t sw, sh, dw, dh;
  };
  // Includes the two dedicated 84 x 84 gray shapes and general ones.
  for (const Case c : {Case{240, 224, 84, 84}, Case{240, 192, 84, 84}, Case{240, 224, 64, 48}, Case{200, 150, 84, 84},
                       Case{17, 9, 40, 30}, Case{240, 224, 1, 1}}) {
    const AreaResizeTable t = build_area_resize_table(c.sw, c.sh, c.dw, c.dh);
    const PlaneResizer r(t, ResizeAlgorithm::Area);
    for (uint32_t seed : {1u, 2u}) {
      const auto src = random_plane(c.sw * c.sh, seed);
      std::vector<uint8_t> out(c.dw * c.dh, 0);
      r.resize(src.data(), out.data());
      EXPECT_EQ(out, reference_area(t, src)) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
    }
    // Saturated input exercises the largest sums of each cell size.
    const std::vector<uint8_t> white(c.sw * c.sh, 255);
    std::vector<uint8_t> out(c.dw * c.dh, 0);
    r.resize(white.data(), out.data());
    EXPECT_EQ(out, std::vector<uint8_t>(c.dw * c.dh, 255));
  }
}

// Both kernels of the dedicated tables give the cell averages: random planes,
// saturated planes (largest sums) and planes whose columns differ (a picked
// window one column off would show), row by row through row pointers too.
TEST(VecEnvResize, DedicatedKernelsMatchCellDefinition) {
  for (const size_t height : {224u, 192u}) {
    const AreaResizeTable t = build_area_resize_table(240, height, 84, 84);
    PlaneResizer wide(t, ResizeAlgorithm::Area);
    PlaneResizer portable(t, ResizeAlgorithm::Area);
    portable.use_portable_kernel();
    ASSERT_TRUE(wide.uses_fast_area());
    EXPECT_EQ(wide.uses_avx2_kernel(), area_kernels::avx2_supported());
    EXPECT_FALSE(portable.uses_avx2_kernel());
    std::vector<std::vector<uint8_t>> planes = {random_plane(240 * height, 7), random_plane(240 * height, 8),
                                                std::vector<uint8_t>(240 * height, 255)};
    std::vector<uint8_t> ramp(240 * height);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>((i % 240) + (i / 240) % 16);
    planes.push_back(ramp);
    for (const auto& src : planes) {
      const auto want = reference_area(t, src);
      std::vector<uint8_t> a(84 * 84), b(84 * 84), c(84 * 84, 0xEE);
      wide.resize(src.data(), a.data());
      portable.resize(src.data(), b.data());
      EXPECT_EQ(a, want) << "height " << height;
      EXPECT_EQ(b, want) << "height " << height;
      // Rows given by pointers, output rows 10..69 only: nothing else written.
      std::vector<const uint8_t*> rows(height);
      for (size_t y = 0; y < height; ++y) rows[y] = src.data() + (height - 1 - y) * 240;
      std::vector<uint8_t> flipped(src.size());
      for (size_t y = 0; y < height; ++y) std::copy_n(rows[y], 240, flipped.begin() + y * 240);
      const auto want_flipped = reference_area(t, flipped);
      wide.resize_area_fast_rows(rows.data(), c.data(), 10, 70);
      for (size_t i = 0; i < c.size(); ++i) {
        const bool inside = i >= 10 * 84 && i < 70 * 84;
        ASSERT_EQ(c[i], inside ? want_flipped[i] : 0xEE) << "byte " << i;
      }
    }
  }
}

TEST(VecEnvResize, DedicatedTablesServeOnlyThe84GrayShapes) {
  EXPECT_TRUE(PlaneResizer(build_area_resize_table(240, 224, 84, 84), ResizeAlgorithm::Area).uses_fast_area());
  EXPECT_TRUE(PlaneResizer(build_area_resize_table(240, 192, 84, 84), ResizeAlgorithm::Area).uses_fast_area());
  EXPECT_FALSE(PlaneResizer(build_area_resize_table(240, 200, 84, 84), ResizeAlgorithm::Area).uses_fast_area());
  EXPECT_FALSE(PlaneResizer(build_area_resize_table(240, 224, 84, 84), ResizeAlgorithm::Nearest).uses_fast_area());
}

TEST(VecEnvResize, NearestPicksFlooredSourcePixel) {
  const size_t sw = 10, sh = 6, dw = 4, dh = 4;
  std::vector<uint8_t> src(sw * sh);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i);
  const PlaneResizer r(build_area_resize_table(sw, sh, dw, dh), ResizeAlgorithm::Nearest);
  std::vector<uint8_t> out(dw * dh);
  r.resize(src.data(), out.data());
  // columns 0, 2, 5, 7; rows 0, 1, 3, 4
  const size_t cols[4] = {0, 2, 5, 7}, rows[4] = {0, 1, 3, 4};
  for (size_t y = 0; y < dh; ++y)
    for (size_t x = 0; x < dw; ++x) EXPECT_EQ(out[y * dw + x], src[rows[y] * sw + cols[x]]);
  // Upscaling repeats pixels and never reads past the last one.
  const PlaneResizer up(build_area_resize_table(2, 1, 5, 3), ResizeAlgorithm::Nearest);
  const uint8_t two[2] = {7, 9};
  std::vector<uint8_t> big(15);
  up.resize(two, big.data());
  EXPECT_EQ(big, (std::vector<uint8_t>{7, 7, 7, 9, 9, 7, 7, 7, 9, 9, 7, 7, 7, 9, 9}));
}

TEST(VecEnvResize, BilinearCornersAndSinglePixelOutputs) {
  const size_t sw = 5, sh = 4;
  std::vector<uint8_t> src(sw * sh);
  for (size_t y = 0; y < sh; ++y)
    for (size_t x = 0; x < sw; ++x) src[y * sw + x] = static_cast<uint8_t>(10 * x + 60 * y);
  // Corner-aligned: output corners equal source corners.
  const PlaneResizer r(build_area_resize_table(sw, sh, 3, 3), ResizeAlgorithm::Bilinear);
  std::vector<uint8_t> out(9);
  r.resize(src.data(), out.data());
  EXPECT_EQ(out[0], src[0]);
  EXPECT_EQ(out[2], src[sw - 1]);
  EXPECT_EQ(out[6], src[(sh - 1) * sw]);
  EXPECT_EQ(out[8], src[sh * sw - 1]);
  // Centre: sx = 2, sy = 1.5 -> halfway between rows 1 and 2 at column 2: (80 + 140) / 2.
  EXPECT_EQ(out[4], 110);
  // One row high: row 0 only; one column wide: column 0 only.
  const PlaneResizer row(build_area_resize_table(sw, sh, 3, 1), ResizeAlgorithm::Bilinear);
  std::vector<uint8_t> r1(3);
  row.resize(src.data(), r1.data());
  EXPECT_EQ(r1, (std::vector<uint8_t>{0, 20, 40}));
  const PlaneResizer col(build_area_resize_table(sw, sh, 1, 4), ResizeAlgorithm::Bilinear);
  std::vector<uint8_t> c1(4);
  col.resize(src.data(), c1.data());
  EXPECT_EQ(c1, (std::vector<uint8_t>{0, 60, 120, 180}));
  const PlaneResizer dot(build_area_resize_table(sw, sh, 1, 1), ResizeAlgorithm::Bilinear);
  uint8_t d = 99;
  dot.resize(src.data(), &d);
  EXPECT_EQ(d, 0);
}

TEST(VecEnvResize, BilinearRoundsHalfAwayFromZero) {
  // Two source pixels 0 and 1 sampled at 0.5 give 0.5, which rounds to 1.
  const uint8_t src[2] = {0, 1};
  const PlaneResizer r(build_area_resize_table(2, 1, 3, 1), ResizeAlgorithm::Bilinear);
  uint8_t out[3] = {9, 9, 9};
  r.resize(src, out);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 1);
  EXPECT_EQ(out[2], 1);
}

TEST(VecEnvGeometry, IntermediateSizes) {
  EnvConfig c;
  c.crop_mode = CropMode::Mask;
  c.crop_top = 32;
  EXPECT_EQ(derive_geometry(c).intermediate_size, 53760u);  // gray, mask ignores crops
  EXPECT_EQ(derive_geometry(c).src_height, 224u);
  c.grayscale = false;
  EXPECT_EQ(derive_geometry(c).intermediate_size, 161280u);
  c.frame_maxpool = true;
  EXPECT_EQ(derive_geometry(c).intermediate_size, 322560u);

  EnvConfig r;  // remove mode
  r.crop_top = 32;
  r.crop_left = 8;
  r.crop_right = 16;
  ObsGeometry g = derive_geometry(r);
  EXPECT_EQ(g.src_x0, 16u);
  EXPECT_EQ(g.src_y0, 40u);
  EXPECT_EQ(g.src_width, 216u);
  EXPECT_EQ(g.src_height, 192u);
  EXPECT_EQ(g.intermediate_size, 216u * 192u);
  EXPECT_EQ(g.slot_size, 84u * 84u);
  EXPECT_EQ(g.lane_obs_size, 4u * 84u * 84u);

  r.resize_width = 216;
  r.resize_height = 192;
  EXPECT_EQ(derive_geometry(r).intermediate_size, 0u);  // rendered straight into the slot
  r.grayscale = false;
  r.frame_stack = 2;
  g = derive_geometry(r);
  EXPECT_EQ(g.intermediate_size, 0u);
  EXPECT_EQ(g.slot_size, 3u * 216u * 192u);
  EXPECT_EQ(g.lane_obs_size, 2u * 3u * 216u * 192u);
}

}  // namespace
}  // namespace tt
