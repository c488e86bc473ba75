// Whole-frame renderer: draws the picture once per frame from the final PPU
// state (background from nametables, sprites from OAM, colours from palette RAM).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/console.h"

namespace tt {

inline constexpr unsigned UNSCROLLED_TOP_ROWS = 32;
inline constexpr unsigned PLAYFIELD_ROWS = 192;  // frame rows 32..223, screen rows 40..231

// Screen rectangle: left column, top row, width, height; must lie inside 256 x 240.
struct Rect {
  unsigned x0 = 8;
  unsigned y0 = 8;
  unsigned width = VISIBLE_FRAME_WIDTH;
  unsigned height = VISIBLE_FRAME_HEIGHT;
};

inline constexpr Rect VISIBLE_RECT{};

/// Three planes (R, then G, then B) of width x height bytes each.
void render_rgb(const Console& m, uint8_t* out, const Rect& rect);
/// One gray byte per pixel.
void render_gray(const Console& m, uint8_t* out, const Rect& rect);
/// Gray playfield into a full 240 x 224 gray frame: screen rows 40..231 go to
/// frame rows 32..223, reusing the cached background when nothing changed, with
/// the sprites drawn over it; frame rows 0..31 are not touched. Same bytes as
/// render_gray over those rows.
void render_gray_playfield_cached(const Console& m, uint8_t* frame);
/// Rows of the gray playfield as render_gray_playfield_cached would leave them
/// in frame rows 32..223, for callers that only read the pixels: a row without
/// sprite pixels points into the cached background itself, a row with some
/// points into `sprite_rows` (192 x 240 bytes, row r at r x 240), where the
/// cached row is copied and the sprites are drawn over it. The background is
/// cached exactly as render_gray_playfield_cached caches it, drawn straight
/// into the cache on a miss. `use(context, rows)` gets the 192 row pointers and
/// runs while they stay valid (the cache lock is held).
using PlayfieldRowsFn = void (*)(void* context, const uint8_t* const* rows);
void visit_gray_playfield_rows(const Console& m, uint8_t* sprite_rows, PlayfieldRowsFn use, void* context);
template <class F>
void visit_gray_playfield_rows(const Console& m, uint8_t* sprite_rows, F& use) {
  visit_gray_playfield_rows(
      m, sprite_rows, [](void* c, const uint8_t* const* rows) { (*static_cast<F*>(c))(rows); }, &use);
}
/// The background of the unscrolled screen rows 8..31 in gray, as last drawn
/// by render_gray_band, with everything it depends on: nametable 0's tile rows
/// 1..3 and first attribute row, the background gray colours, the background
/// pattern table and the background enable. Held by a caller that draws one
/// console (or consoles of one cartridge) with it, one at a time.
struct GrayBandCache {
  static constexpr unsigned ROWS = 24;
  bool valid = false;
  std::array<uint8_t, 96> tiles{};     // ppu.vram[32..128)
  std::array<uint8_t, 8> attributes{};  // ppu.vram[0x3C0..0x3C8)
  std::array<uint8_t, 16> bg_gray{};
  uint8_t patterns_high = 0;
  uint8_t bg_enabled = 0;
  std::array<uint8_t, ROWS * VISIBLE_FRAME_WIDTH> image{};
};

/// The same bytes as render_gray of screen rows 8..39, columns 8..247 (frame
/// rows 0..31, 32 x 240 bytes into `out`), reusing the background of the
/// unscrolled rows 8..31 from `cache` when nothing it depends on changed.
void render_gray_band(const Console& m, GrayBandCache& cache, uint8_t* out);

/// Recomputes gray_palette and every palette_lut word from palette RAM.
void refresh_renderer_cache(Console& m);
/// Empties the cached background.
void clear_background_cache(const Console& m);

// Background pixel lookup shared by every path: the palette RAM index
// (0 for a transparent pixel) and whether the pattern bits are non-zero.
struct BackgroundPixel {
  uint8_t palette_entry;
  bool opaque;
};
BackgroundPixel background_pixel(const Console& m, unsigned x, unsigned y);

// Number of OAM entries whose Y byte is below 239.
unsigned visible_sprite_count(const Console& m);

}  // namespace tt
