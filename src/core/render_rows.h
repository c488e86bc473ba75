// Drawing primitives of the whole-frame renderer: the background row
// geometry, run drawing through the packed-pixel lookup, the sprite pass.
// Shared by the renderer's own operations and the caches built on top of it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/console.h"
#include "core/renderer.h"

namespace tt::render {

inline constexpr uint8_t MASK_SHOW_BACKGROUND = 0x08;
inline constexpr uint8_t MASK_SHOW_SPRITES = 0x10;
inline constexpr uint8_t CTRL_SPRITE_PATTERNS_HIGH = 0x08;
inline constexpr uint8_t CTRL_BACKGROUND_PATTERNS_HIGH = 0x10;
inline constexpr uint8_t SPRITE_BEHIND_BACKGROUND = 0x20;
inline constexpr uint8_t SPRITE_FLIP_X = 0x40;
inline constexpr uint8_t SPRITE_FLIP_Y = 0x80;

inline uint16_t effective_sx(const Console& m) {
  return m.ppu.has_scroll_override ? m.ppu.scroll_override_x_px : m.ppu.scroll_x_px;
}

// Everything about one background row that does not depend on X. `y` is the
// nametable row after scrolling (0..494).
struct BackgroundRow {
  const uint8_t* vram;
  const uint16_t* tile_rows;
  unsigned fixed_base;   // nametable base from Y (horizontal mirroring), else 0
  unsigned x_select;     // 1 when bit 8 of X picks the nametable (vertical mirroring)
  unsigned tile_offset;  // (r >> 3) * 32
  unsigned attr_offset;  // 0x3C0 + (r >> 5) * 8
  unsigned attr_shift;   // 4 in the lower half of an attribute cell
  unsigned pattern_row;  // (r & 7) plus the background pattern base

  BackgroundRow(const Console& m, unsigned y) {
    const unsigned r = y % 240;
    vram = m.ppu.vram.data();
    tile_rows = m.tile_rows;
    x_select = m.nametable_vertical ? 1u : 0u;
    fixed_base = m.nametable_vertical ? 0u : ((y / 240) & 1u) << 10;
    tile_offset = (r >> 3) * 32;
    attr_offset = 0x3C0 + ((r & 0xE0) >> 2);
    attr_shift = (r & 0x10) ? 4 : 0;
    pattern_row = (r & 7) | ((m.ppu.ctrl & CTRL_BACKGROUND_PATTERNS_HIGH) ? 0x1000u : 0u);
  }

  struct Tile {
    uint16_t pixels;   // 2-bit pixels, leftmost in bits 1..0
    unsigned palette;  // background palette 0..3
  };

  // The tile covering nametable column X (any value; only bits 3..8 matter).
  Tile tile(unsigned x) const {
    const unsigned c = (x >> 3) & 31;
    const uint8_t* nt = vram + (fixed_base | (((x >> 8) & x_select) << 10));
    const unsigned index = nt[tile_offset + c];
    const uint16_t pixels = tile_rows[((index << 4) | pattern_row) & Console::chr_mask];
    const unsigned palette = (nt[attr_offset + (c >> 2)] >> (attr_shift + (c & 2))) & 3;
    return {pixels, palette};
  }
};

// Nametable geometry of screen row y, and the nametable X of screen column x on
// that row: the console's unscrolled top rows are never scrolled.
inline BackgroundRow row_at(const Console& m, unsigned y, uint16_t sy) {
  return BackgroundRow(m, y < m.unscrolled_top_rows ? y : y + sy);
}
inline unsigned row_x(const Console& m, unsigned y, unsigned x, uint16_t sx) {
  return y < m.unscrolled_top_rows ? x : x + sx;
}

inline BackgroundPixel background_pixel_at(const Console& m, unsigned x, unsigned y, uint16_t sx, uint16_t sy) {
  const BackgroundRow row = row_at(m, y, sy);
  const unsigned X = row_x(m, y, x, sx);
  const BackgroundRow::Tile t = row.tile(X);
  const unsigned v = (t.pixels >> (2 * (X & 7))) & 3;
  if (v == 0) return {0, false};
  return {static_cast<uint8_t>(4 * t.palette + v), true};
}

/// Rebuilds the palette_lut quarters whose background palette changed since
/// the last rebuild (under the write lock; the dirty mask is taken atomically).
void refresh_stale_lut_quarters(const RendererCache& rc);
/// Fills a 1024-word lookup in the palette_lut layout from `colours` (one
/// output byte per palette RAM entry).
void build_lut(uint32_t* lut, const uint8_t* colours);

// Four output bytes of a lookup word, pixel 0 (byte 0) first.
inline void store_pixels(uint8_t* out, uint32_t word) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &word, 4);
  } else {
    for (unsigned j = 0; j < 4; ++j) out[j] = static_cast<uint8_t>(word >> (8 * j));
  }
}

inline void draw_partial(uint8_t* out, BackgroundRow::Tile t, unsigned fine, unsigned n, const uint8_t* colours) {
  const uint8_t c[4] = {colours[0], colours[4 * t.palette + 1], colours[4 * t.palette + 2], colours[4 * t.palette + 3]};
  unsigned pixels = static_cast<unsigned>(t.pixels) >> (2 * fine);
  for (unsigned k = 0; k < n; ++k, pixels >>= 2) out[k] = c[pixels & 3];
}

// One background row of one plane from nametable column X: a run of 8 pixels
// starting on a tile boundary is two lookups, the partial runs at the ends go
// pixel by pixel. tile_at(k) gives the k-th tile of the row (k = 0 holds X).
template <class TileAt>
inline void draw_row(unsigned X, unsigned width, TileAt&& tile_at, const uint32_t* lut, const uint8_t* colours,
                     uint8_t* out) {
  uint8_t* const end = out + width;
  unsigned k = 0;
  if (const unsigned fine = X & 7) {
    const unsigned n = std::min(8 - fine, width);
    draw_partial(out, tile_at(k++), fine, n, colours);
    out += n;
  }
  for (; end - out >= 8; out += 8) {
    const BackgroundRow::Tile t = tile_at(k++);
    const uint32_t* quarter = lut + 256 * t.palette;
    store_pixels(out, quarter[t.pixels & 0xFF]);
    store_pixels(out + 4, quarter[t.pixels >> 8]);
  }
  if (out != end) draw_partial(out, tile_at(k), 0, static_cast<unsigned>(end - out), colours);
}

// draw_row fetching each tile as it goes.
inline void draw_row(const BackgroundRow& row, unsigned X, unsigned width, const uint32_t* lut, const uint8_t* colours,
                     uint8_t* out) {
  const unsigned first = X & ~7u;
  draw_row(X, width, [&](unsigned k) { return row.tile(first + 8 * k); }, lut, colours, out);
}

// Tiles and palettes of a run of background tiles on one tile row. Every
// pixel row of a tile row uses the same ones, so they are looked up once per
// tile row and only the pattern row changes from one pixel row to the next.
class TileRowCache {
 public:
  /// Makes the cache hold the `count` tiles from nametable column `first`
  /// (a multiple of 8) of `row`'s tile row, looking them up only when the
  /// tile row or the columns changed.
  void update(const BackgroundRow& row, unsigned first, unsigned count) {
    const unsigned group = row.fixed_base | row.tile_offset;
    if (group == group_ && first == first_ && count == count_) return;
    group_ = group;
    first_ = first;
    count_ = count;
    for (unsigned k = 0; k < count; ++k) {
      const unsigned x = first + 8 * k;
      const unsigned c = (x >> 3) & 31;
      const uint8_t* nt = row.vram + (row.fixed_base | (((x >> 8) & row.x_select) << 10));
      index_[k] = nt[row.tile_offset + c];
      palette_[k] = static_cast<uint8_t>((nt[row.attr_offset + (c >> 2)] >> (row.attr_shift + (c & 2))) & 3);
    }
  }

  /// Tile k of the run on pixel row `row` (same tile row as the update).
  BackgroundRow::Tile tile(const BackgroundRow& row, unsigned k) const {
    return BackgroundRow::Tile{row.tile_rows[((unsigned(index_[k]) << 4) | row.pattern_row) & Console::chr_mask],
                               palette_[k]};
  }

 private:
  unsigned group_ = ~0u, first_ = ~0u, count_ = 0;
  uint8_t index_[NES_WIDTH / 8 + 1];
  uint8_t palette_[NES_WIDTH / 8 + 1];
};

/// Background of screen rows [y0, y1) over the visible columns, as the
/// renderers draw it, in `colours` (one output byte per palette RAM entry)
/// through `lut` (the palette_lut layout for those colours; for the gray
/// palette, the console's lookup read-locked and clean).
void draw_background_rows(const Console& m, unsigned y0, unsigned y1, const uint32_t* lut, const uint8_t* colours,
                          uint8_t* out);

// Sprite pass over `rect`: put(offset, palette_entry) writes one output pixel.
template <class Put>
inline void sprite_pass(const Console& m, const Rect& rect, Put&& put) {
  const unsigned y_end = rect.y0 + rect.height;  // <= 240
  const unsigned x_end = rect.x0 + rect.width;   // <= 256
  const uint8_t* oam = m.ppu.oam.data();

  // Per-line selection (only lines inside the rectangle matter; lines are independent).
  uint8_t count[NES_HEIGHT];
  uint64_t selected[NES_HEIGHT];
  std::memset(count + rect.y0, 0, rect.height);
  std::memset(selected + rect.y0, 0, rect.height * sizeof(uint64_t));
  uint64_t drawn = 0;
  for (unsigned i = 0; i < 64; ++i) {
    const unsigned first = std::max(oam[4 * i] + 1u, rect.y0);
    const unsigned last = std::min(oam[4 * i] + 9u, y_end);
    for (unsigned line = first; line < last; ++line) {
      if (count[line] < 8) {
        ++count[line];
        selected[line] |= uint64_t{1} << i;
        drawn |= uint64_t{1} << i;
      }
    }
  }
  if (drawn == 0) return;

  const unsigned base = (m.ppu.ctrl & CTRL_SPRITE_PATTERNS_HIGH) ? 0x1000 : 0;
  const bool background_shown = m.ppu.mask & MASK_SHOW_BACKGROUND;
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  for (int i = 63 - std::countl_zero(drawn); i >= 0; --i) {
    if (!((drawn >> i) & 1)) continue;
    const uint8_t* s = oam + 4 * i;
    const unsigned y = s[0], tile = s[1], attr = s[2], x = s[3];
    const bool behind = (attr & SPRITE_BEHIND_BACKGROUND) && background_shown;
    const unsigned palette_base = 16 + 4 * (attr & 3);
    // Pixel j of the sprite sits at 2-bit position j of the pattern word, or 7 - j when flipped.
    const bool flip_x = attr & SPRITE_FLIP_X;
    const unsigned j_begin = x < rect.x0 ? rect.x0 - x : 0;
    const unsigned j_end = std::min(8u, x_end > x ? x_end - x : 0u);
    for (unsigned k = 0; k < 8; ++k) {
      const unsigned line = y + 1 + k;
      if (line >= y_end) break;
      if (line < rect.y0 || !((selected[line] >> i) & 1)) continue;
      const unsigned pattern_row = (attr & SPRITE_FLIP_Y) ? 7 - k : k;
      const unsigned pixels = m.tile_rows[(tile * 16 + base + pattern_row) & Console::chr_mask];
      if (pixels == 0) continue;
      const size_t row_offset = size_t(line - rect.y0) * rect.width;
      for (unsigned j = j_begin; j < j_end; ++j) {
        const unsigned v = (pixels >> (2 * (flip_x ? 7 - j : j))) & 3;
        if (v == 0) continue;
        const size_t at = row_offset + (x + j - rect.x0);
        if (behind) {
          const BackgroundPixel bg = background_pixel_at(m, x + j, line, sx, sy);
          if (bg.opaque) {
            put(at, bg.palette_entry);
            continue;
          }
        }
        put(at, static_cast<uint8_t>(palette_base + v));
      }
    }
  }
}

}  // namespace tt::render
