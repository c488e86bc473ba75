// Whole-frame renderer: draws the picture once per frame from the final PPU
// state (background from nametables, sprites from OAM, colours from palette RAM).
// Screen rows above the console's `unscrolled_top_rows` are drawn unscrolled,
// the others with one horizontal and one vertical scroll.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/console.h"

namespace tt {

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
/// Recomputes gray_palette and every palette_lut word from palette RAM.
void refresh_renderer_cache(Console& m);

/// Lookup of four packed 2-bit background pixels to four colour indices
/// (palette RAM byte mod 64), in the palette_lut layout, for one console's
/// background palette. Rebuilt only when that palette changes; a cache is
/// used by one thread at a time.
class ColourIndexLut {
 public:
  /// The lookup for `m`'s current background palette.
  const uint32_t* lookup(const Console& m);

 private:
  bool valid_ = false;
  std::array<uint8_t, 16> key_{};  // background palette RAM bytes mod 64
  std::array<uint32_t, 1024> words_{};
};

/// One colour index (palette RAM byte mod 64) per pixel: the picture
/// render_rgb draws, before the colours are looked up. `lut` comes from a
/// ColourIndexLut of this console.
void render_colour_indices(const Console& m, uint8_t* out, const Rect& rect, const uint32_t* lut);

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
