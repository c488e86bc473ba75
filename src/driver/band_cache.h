// The gray band above the cached playfield (frame rows 0..31, screen rows
// 8..39) with the background of its unscrolled rows kept between frames.
#pragma once

#include <array>
#include <cstdint>

#include "driver/screen_layout.h"

namespace tt {

/// The background of the unscrolled screen rows 8..31 in gray or in colour
/// indices, as last drawn by render_gray_band or render_colour_index_band,
/// with everything it depends on: nametable 0's tile rows 1..3 and first
/// attribute row, the background colours, the background pattern table and
/// the background enable. Held by a caller that draws one console (or
/// consoles of one cartridge) with it, one at a time, in one of the two kinds.
struct BandCache {
  static constexpr unsigned ROWS = UNSCROLLED_TOP_ROWS - VISIBLE_RECT.y0;
  bool valid = false;
  std::array<uint8_t, 96> tiles{};      // ppu.vram[32..128)
  std::array<uint8_t, 8> attributes{};  // ppu.vram[0x3C0..0x3C8)
  std::array<uint8_t, 16> bg_colours{};
  uint8_t patterns_high = 0;
  uint8_t bg_enabled = 0;
  std::array<uint8_t, ROWS * VISIBLE_FRAME_WIDTH> image{};
};

/// The same bytes as render_gray of screen rows 8..39, columns 8..247 (frame
/// rows 0..31, 32 x 240 bytes into `out`), reusing the background of the
/// unscrolled rows 8..31 from `cache` when nothing it depends on changed.
/// `m` must draw its top UNSCROLLED_TOP_ROWS rows unscrolled.
void render_gray_band(const Console& m, BandCache& cache, uint8_t* out);

/// The same rows in colour indices (palette RAM byte mod 64), as
/// render_colour_indices draws them through `lut` (the console's
/// ColourIndexLut lookup), with `cache` keeping the unscrolled rows' colour
/// indices.
void render_colour_index_band(const Console& m, BandCache& cache, const uint32_t* lut, uint8_t* out);

}  // namespace tt
