// Tile view: every grid cell's tile number is the tile the renderer draws on
// the screen pixels the cell stands for, on random consoles (both mirrorings,
// any scroll, the scroll override, unscrolled bands of whole tile rows and not) and on real
// frames of the supported game; the sprite rows are the sprite memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/renderer.h"
#include "core/tile_view.h"
#include "driver/frame_step.h"
#include "driver/state_image.h"
#include "test_support.h"

namespace tt {
namespace {

constexpr unsigned W = NES_WIDTH, H = NES_HEIGHT;

struct ViewStats {
  unsigned frames = 0;
  unsigned fine_x_frames = 0;  // frames whose playfield scroll is not a whole tile
  unsigned scroll_changes = 0;
  unsigned opaque_pixels = 0;
};

// Pattern value (0..3) of pixel (col, row) of background tile `tile`, read straight from the pattern bytes.
unsigned pattern_value(const Machine& m, unsigned tile, unsigned col, unsigned row) {
  const unsigned p = (tile * 16 + row) | ((m.ppu.ctrl & 0x10) ? 0x1000u : 0u);
  const unsigned lo = m.chr[p & Machine::chr_mask], hi = m.chr[(p + 8) & Machine::chr_mask];
  const unsigned bit = 7 - col;
  return ((hi >> bit) & 1) * 2 + ((lo >> bit) & 1);
}

// Checks one console's tile view: the pixels each cell covers (the geometry
// the view documents) show the cell's tile, every pixel of the visible frame
// lies in exactly one cell, and the sprite rows are the sprite memory.
void check_view(const Machine& m, ViewStats& stats) {
  std::vector<uint8_t> view(TILE_VIEW_BYTES + 1, 0xA5);
  write_tile_view(m, view.data());
  ASSERT_EQ(view[TILE_VIEW_BYTES], 0xA5) << "wrote past the view";
  ASSERT_TRUE(std::equal(m.ppu.oam.begin(), m.ppu.oam.end(), view.begin() + TILE_GRID_ROWS * TILE_GRID_COLUMNS));

  const int top = static_cast<int>(m.unscrolled_top_rows);
  const int sx = m.ppu.has_scroll_override ? m.ppu.scroll_override_x_px : m.ppu.scroll_x_px;
  const int sy = m.ppu.scroll_y_px;
  std::vector<uint8_t> covered(size_t(W) * H, 0);
  int rank = 0;  // of a scrolled row, below the unscrolled rows
  for (int r = 0; r < int(TILE_GRID_ROWS); rank += 8 * r >= top, ++r) {
    // A row is unscrolled when its first screen line is; it then covers the screen lines down to the band's end.
    const bool fixed = 8 * r < top;
    const int y0 = fixed ? 8 * r : top + 8 * rank - ((top + sy) & 7);
    for (int c = 0; c < int(TILE_GRID_COLUMNS); ++c) {
      const int x0 = fixed ? 8 * c : 8 * c - (sx & 7);
      const unsigned tile = view[size_t(r) * TILE_GRID_COLUMNS + c];
      for (int dy = 0; dy < 8; ++dy) {
        const int y = y0 + dy;
        if (y < (fixed ? 0 : top) || y >= (fixed ? top : int(H))) continue;
        for (int dx = 0; dx < 8; ++dx) {
          const int x = x0 + dx;
          if (x < 0 || x >= int(W)) continue;
          ++covered[size_t(y) * W + x];
          const BackgroundPixel drawn = background_pixel(m, unsigned(x), unsigned(y));
          const unsigned want = drawn.opaque ? drawn.palette_entry & 3u : 0u;
          stats.opaque_pixels += drawn.opaque;
          ASSERT_EQ(pattern_value(m, tile, unsigned(dx), unsigned(dy)), want)
              << "cell (" << r << ", " << c << ") tile " << tile << " at screen (" << x << ", " << y << "), sx " << sx
              << ", sy " << sy;
        }
      }
    }
  }
  // A band that ends inside a tile row leaves the rest of that row unused: as many lines more at the bottom
  // (below the fine scroll's at most 7) are in no cell.
  const int unused = (8 - top % 8) % 8;
  for (unsigned y = 0; y < H; ++y) {
    for (unsigned x = 0; x < W; ++x) {
      const bool visible = x >= 8 && x < 8 + VISIBLE_FRAME_WIDTH && y >= 8 && y < 8 + VISIBLE_FRAME_HEIGHT;
      const bool in_a_cell = visible && int(y) < int(H) - 7 - unused;
      const unsigned n = covered[size_t(y) * W + x];
      ASSERT_TRUE(in_a_cell ? n == 1 : n <= 1) << "pixel (" << x << ", " << y << ") is in " << n << " cells";
    }
  }
  ++stats.frames;
}

std::shared_ptr<const Cartridge> cartridge_with_chr(const std::vector<uint8_t>& chr, bool vertical) {
  Cartridge c = *testing::tiny_cartridge({0x4C, 0x00, 0x80}, 0x8000, 0x8000, 0x8000, vertical);
  c.chr = chr;
  c.chr.resize(8192, 0);
  build_tile_rows(c);
  return std::make_shared<const Cartridge>(std::move(c));
}

TEST(TileView, CellsShowTheirTilesOnRandomConsoles) {
  std::mt19937_64 rng(77);
  ViewStats stats;
  for (int round = 0; round < 96; ++round) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> chr(8192);
    for (auto& b : chr) b = static_cast<uint8_t>(rng());
    Machine m(cartridge_with_chr(chr, round % 2 == 1));
    for (auto& b : m.ppu.vram) b = static_cast<uint8_t>(rng());
    for (auto& b : m.ppu.oam) b = static_cast<uint8_t>(rng());
    m.ppu.ctrl = static_cast<uint8_t>(rng());
    m.ppu.mask = 0x18;
    m.ppu.scroll_x_px = static_cast<uint16_t>(rng() % 512);
    m.ppu.scroll_y_px = static_cast<uint16_t>(rng() % 256);
    m.ppu.has_scroll_override = round % 5 == 2;
    m.ppu.scroll_override_x_px = static_cast<uint16_t>(rng() % 512);
    static constexpr unsigned kTops[] = {0, 32, 64, 20, 61};  // bands of whole tile rows, and not
    m.unscrolled_top_rows = kTops[(round / 2) % 5];
    check_view(m, stats);
    if (HasFailure()) return;
  }
}

// Scripted play: running right with jumps, sometimes standing or walking left.
uint8_t scripted_buttons(std::mt19937_64& rng, unsigned frame) {
  const unsigned phase = (frame / 40) % 8;
  uint8_t b = phase == 5 ? 0x40 : phase == 6 ? 0x00 : 0x82;
  if (rng() % 3 == 0 || (frame / 12) % 3 == 0) b |= 0x01;
  return b;
}

TEST(TileViewRealFrames, CellsShowTheTilesTheRendererDraws) {
  const auto cart = testing::supported_cartridge();
  if (!cart) GTEST_SKIP() << "supported cartridge not available (set TANUVEX_TURBO_ROM)";
  const std::string dir = testing::states_dir();
  if (dir.empty()) GTEST_SKIP() << "start states not available (set TANUVEX_TURBO_STATES)";
  const auto files = testing::list_state_files(dir);
  ASSERT_FALSE(files.empty()) << "no .state files in " << dir;
  ViewStats stats;
  unsigned seed = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::vector<uint8_t> image = testing::gunzip(testing::read_bytes(file));
    Machine m(cart);
    const auto error = load_state_image(m, image.data(), image.size());
    ASSERT_FALSE(error.has_value()) << *error;
    std::mt19937_64 rng(++seed);
    uint16_t last_sx = m.ppu.scroll_x_px;
    for (unsigned f = 0; f < 240 && !m.terminated; ++f) {
      step_frame(m, scripted_buttons(rng, f));
      stats.scroll_changes += m.ppu.scroll_x_px != last_sx;
      last_sx = m.ppu.scroll_x_px;
      if (f % 3 != 0) continue;
      stats.fine_x_frames += (m.ppu.scroll_x_px & 7) != 0;
      check_view(m, stats);
      if (HasFailure()) return;
    }
  }
  // The play scrolled, often by part of a tile, over backgrounds with drawn pixels.
  EXPECT_GT(stats.scroll_changes, stats.frames / 2);
  EXPECT_GT(stats.fine_x_frames, stats.frames / 3);
  EXPECT_GT(stats.opaque_pixels, uint64_t(stats.frames) * 1000);
}

}  // namespace
}  // namespace tt
