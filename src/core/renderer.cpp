#include "core/renderer.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "core/palette.h"

namespace tt {

namespace {

constexpr unsigned PLAYFIELD_TOP = 40;
constexpr unsigned PLAYFIELD_HEIGHT = PLAYFIELD_ROWS;
constexpr unsigned PLAYFIELD_FRAME_OFFSET = (PLAYFIELD_TOP - VISIBLE_RECT.y0) * VISIBLE_FRAME_WIDTH;
constexpr Rect PLAYFIELD_RECT{VISIBLE_RECT.x0, PLAYFIELD_TOP, VISIBLE_FRAME_WIDTH, PLAYFIELD_HEIGHT};
static_assert(PLAYFIELD_HEIGHT * VISIBLE_FRAME_WIDTH == BACKGROUND_CACHE_BYTES);
static_assert(PLAYFIELD_FRAME_OFFSET == 7680);

constexpr uint8_t MASK_SHOW_BACKGROUND = 0x08;
constexpr uint8_t MASK_SHOW_SPRITES = 0x10;
constexpr uint8_t CTRL_SPRITE_PATTERNS_HIGH = 0x08;
constexpr uint8_t CTRL_BACKGROUND_PATTERNS_HIGH = 0x10;
constexpr uint8_t SPRITE_BEHIND_BACKGROUND = 0x20;
constexpr uint8_t SPRITE_FLIP_X = 0x40;
constexpr uint8_t SPRITE_FLIP_Y = 0x80;

inline uint16_t effective_sx(const Console& m) {
  return m.ppu.has_scroll_override ? m.ppu.scroll_override_x_px : m.ppu.scroll_x_px;
}

// Everything about one background row that does not depend on X. `y` is the
// nametable row after scrolling (0..494).
struct BackgroundRow {
  const uint8_t* vram;
  const uint16_t* tile_rows;
  unsigned fixed_base;     // nametable base from Y (horizontal mirroring), else 0
  unsigned x_select;       // 1 when bit 8 of X picks the nametable (vertical mirroring)
  unsigned tile_offset;    // (r >> 3) * 32
  unsigned attr_offset;    // 0x3C0 + (r >> 5) * 8
  unsigned attr_shift;     // 4 in the lower half of an attribute cell
  unsigned pattern_row;    // (r & 7) plus the background pattern base

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
// that row: rows 0..31 are never scrolled.
inline BackgroundRow row_at(const Console& m, unsigned y, uint16_t sy) {
  return BackgroundRow(m, y < UNSCROLLED_TOP_ROWS ? y : y + sy);
}
inline unsigned row_x(unsigned y, unsigned x, uint16_t sx) { return y < UNSCROLLED_TOP_ROWS ? x : x + sx; }

inline BackgroundPixel background_pixel_at(const Console& m, unsigned x, unsigned y, uint16_t sx, uint16_t sy) {
  const BackgroundRow row = row_at(m, y, sy);
  const unsigned X = row_x(y, x, sx);
  const BackgroundRow::Tile t = row.tile(X);
  const unsigned v = (t.pixels >> (2 * (X & 7))) & 3;
  if (v == 0) return {0, false};
  return {static_cast<uint8_t>(4 * t.palette + v), true};
}

// Quarter q of a lookup in the palette_lut layout: byte b gives the colours of
// the four 2-bit pixels packed in b under background palette q, pixel j in byte
// j. `colours` holds one output byte per palette RAM entry.
void build_lut_quarter(uint32_t* quarter, const uint8_t* colours, unsigned q) {
  const uint32_t c[4] = {colours[0], colours[4 * q + 1], colours[4 * q + 2], colours[4 * q + 3]};
  for (unsigned b = 0; b < 256; ++b)
    quarter[b] = c[b & 3] | (c[(b >> 2) & 3] << 8) | (c[(b >> 4) & 3] << 16) | (c[b >> 6] << 24);
}

using PixelLut = std::array<uint32_t, 1024>;

// Rebuilds the palette_lut quarters whose background palette changed since
// the last rebuild (under the write lock; the dirty mask is taken atomically).
void refresh_stale_lut_quarters(const RendererCache& rc) {
  if (rc.bg_palette_dirty.load(std::memory_order_acquire) == 0) return;
  std::unique_lock lock(rc.lut_lock);
  const uint8_t dirty = rc.bg_palette_dirty.exchange(0, std::memory_order_acq_rel);
  for (unsigned q = 0; q < 4; ++q)
    if ((dirty >> q) & 1) build_lut_quarter(rc.palette_lut.data() + 256 * q, rc.gray_palette.data(), q);
}

void build_lut(uint32_t* lut, const uint8_t* colours) {
  for (unsigned q = 0; q < 4; ++q) build_lut_quarter(lut + 256 * q, colours, q);
}

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
void draw_row(unsigned X, unsigned width, TileAt&& tile_at, const uint32_t* lut, const uint8_t* colours,
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

// Gray background of screen rows [y0, y1) over the visible columns, as
// render_planes draws it (lookup read-locked and clean). The playfield is
// rows PLAYFIELD_TOP .. PLAYFIELD_TOP + PLAYFIELD_HEIGHT.
void draw_gray_background_rows(const Console& m, unsigned y0, unsigned y1, const uint32_t* lut, uint8_t* out) {
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  const uint8_t* colours = m.renderer.gray_palette.data();
  TileRowCache cache;
  for (unsigned y = y0; y < y1; ++y) {
    const BackgroundRow row = row_at(m, y, sy);
    const unsigned X = row_x(y, VISIBLE_RECT.x0, sx);
    cache.update(row, X & ~7u, ((X & 7) + VISIBLE_FRAME_WIDTH + 7) / 8);
    draw_row(
        X, VISIBLE_FRAME_WIDTH, [&](unsigned k) { return cache.tile(row, k); }, lut, colours,
        out + size_t(y - y0) * VISIBLE_FRAME_WIDTH);
  }
}

// Sprite pass over `rect`: put(offset, palette_entry) writes one output pixel.
template <class Put>
void sprite_pass(const Console& m, const Rect& rect, Put&& put) {
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

// Background then sprites over `rect` into Planes output planes, each with its
// own colour byte per palette RAM entry.
// `gray_lut`, when given, is the console's own gray lookup (palette_lut, clean
// and read-locked by the caller) and spares building one.
template <unsigned Planes>
void render_planes(const Console& m, const Rect& rect, uint8_t* out, const uint8_t (&colours)[Planes][32],
                   const uint32_t* gray_lut = nullptr) {
  assert(rect.x0 + rect.width <= NES_WIDTH && rect.y0 + rect.height <= NES_HEIGHT);
  const size_t plane_size = size_t(rect.width) * rect.height;
  if (m.ppu.mask & MASK_SHOW_BACKGROUND) {
    const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
    PixelLut lut[Planes];
    if (!(Planes == 1 && gray_lut))
      for (unsigned p = 0; p < Planes; ++p) build_lut(lut[p].data(), colours[p]);
    TileRowCache cache;
    for (unsigned r = 0; r < rect.height; ++r) {
      const unsigned y = rect.y0 + r;
      const BackgroundRow row = row_at(m, y, sy);
      const unsigned X = row_x(y, rect.x0, sx);
      const unsigned count = ((X & 7) + rect.width + 7) / 8;
      cache.update(row, X & ~7u, count);
      uint8_t* const dst = out + size_t(r) * rect.width;
      if constexpr (Planes == 1) {
        draw_row(
            X, rect.width, [&](unsigned k) { return cache.tile(row, k); }, gray_lut ? gray_lut : lut[0].data(),
            colours[0], dst);
      } else {
        // The row's tiles once for all planes.
        BackgroundRow::Tile tiles[NES_WIDTH / 8 + 1];
        for (unsigned k = 0; k < count; ++k) tiles[k] = cache.tile(row, k);
        for (unsigned p = 0; p < Planes; ++p)
          draw_row(X, rect.width, [&tiles](unsigned k) { return tiles[k]; }, lut[p].data(), colours[p],
                   dst + p * plane_size);
      }
    }
  } else {
    for (unsigned p = 0; p < Planes; ++p) std::memset(out + p * plane_size, colours[p][0], plane_size);
  }
  if (m.ppu.mask & MASK_SHOW_SPRITES) {
    sprite_pass(m, rect, [&](size_t at, uint8_t entry) {
      for (unsigned p = 0; p < Planes; ++p) out[p * plane_size + at] = colours[p][entry];
    });
  }
}

bool key_matches(const BackgroundKey& k, const Console& m, uint16_t sx, uint16_t sy) {
  return k.top == PLAYFIELD_TOP && k.height == PLAYFIELD_HEIGHT && k.sx == sx && k.sy == sy &&
         k.ctrl == m.ppu.ctrl && k.bg_enabled == (m.ppu.mask & MASK_SHOW_BACKGROUND) &&
         std::memcmp(k.bg_gray.data(), m.renderer.gray_palette.data(), k.bg_gray.size()) == 0 &&
         std::memcmp(k.vram.data(), m.ppu.vram.data(), k.vram.size()) == 0;
}

void store_key(BackgroundKey& k, const Console& m, uint16_t sx, uint16_t sy) {
  k.vram = m.ppu.vram;
  std::memcpy(k.bg_gray.data(), m.renderer.gray_palette.data(), k.bg_gray.size());
  k.top = PLAYFIELD_TOP;
  k.height = PLAYFIELD_HEIGHT;
  k.sx = sx;
  k.sy = sy;
  k.ctrl = m.ppu.ctrl;
  k.bg_enabled = m.ppu.mask & MASK_SHOW_BACKGROUND;
}

// Tile columns (bit t for nametable column t = (X >> 3) & 63) whose pixels may
// differ between the video memory a background was drawn from and the current
// one: a tile byte touches its column, an attribute byte its four columns.
// Without vertical mirroring the nametable follows the row, so a change marks
// the column in both halves.
uint64_t changed_tile_columns(const std::array<uint8_t, 2048>& drawn, const std::array<uint8_t, 2048>& now,
                              bool vertical) {
  uint64_t columns = 0;
  for (size_t w = 0; w < drawn.size(); w += 8) {
    uint64_t a, b;
    std::memcpy(&a, drawn.data() + w, 8);
    std::memcpy(&b, now.data() + w, 8);
    if (a == b) continue;
    for (size_t i = w; i < w + 8; ++i) {
      if (drawn[i] == now[i]) continue;
      const unsigned offset = i & 0x3FF;
      const uint64_t in_table = offset < 0x3C0 ? uint64_t{1} << (offset & 31)
                                               : uint64_t{0xF} << (4 * ((offset - 0x3C0) & 7));
      columns |= vertical ? in_table << (32 * ((i >> 10) & 1)) : in_table | (in_table << 32);
    }
  }
  return columns;
}

// Brings a cached background drawn under `key` up to date for scroll (sx, sy)
// by moving the pixels still on screen and drawing only the others: possible
// when the vertical scroll, control byte, background enable and universal
// background colour are unchanged. A background pixel depends only on its
// nametable X (mod 512), the row, the nametable bytes of its tile and the
// colours of its palette, so a moved pixel whose tile bytes and palette
// colours are unchanged is exactly the pixel a full draw gives; tiles whose
// column saw a nametable write or whose palette changed colour are drawn.
// Returns false, with `image` untouched, when it does not apply.
bool redraw_shifted(const Console& m, const BackgroundKey& key, uint16_t sx, uint16_t sy, const uint32_t* lut,
                    const uint8_t* colours, uint8_t* image) {
  if (key.top != PLAYFIELD_TOP || key.height != PLAYFIELD_HEIGHT || key.sy != sy || key.ctrl != m.ppu.ctrl ||
      key.bg_enabled != (m.ppu.mask & MASK_SHOW_BACKGROUND) || key.bg_enabled == 0 ||
      key.bg_gray[0] != colours[0]) {
    return false;
  }
  // Palettes with a changed colour (entries 4q + 1 .. 4q + 3; entries 4, 8 and
  // 12 are never drawn by the background).
  unsigned stale_palettes = 0;
  for (unsigned q = 0; q < 4; ++q)
    for (unsigned j = 1; j < 4; ++j) stale_palettes |= (key.bg_gray[4 * q + j] != colours[4 * q + j]) << q;
  // Column c now shows what column c + shift showed.
  int shift = static_cast<int>((sx - key.sx) & 511u);
  if (shift >= 256) shift -= 512;
  if (shift <= -int(VISIBLE_FRAME_WIDTH) || shift >= int(VISIBLE_FRAME_WIDTH)) return false;
  const uint64_t changed = changed_tile_columns(key.vram, m.ppu.vram, m.nametable_vertical != 0);

  // Runs of columns that are moved (kept) or drawn; they change only from one
  // tile row to the next, and only through the palettes.
  struct Run {
    unsigned begin, end;
    bool kept;
  };
  Run runs[VISIBLE_FRAME_WIDTH / 8 + 2];
  unsigned run_count = 0;
  const unsigned X0 = VISIBLE_RECT.x0 + sx;
  unsigned group = ~0u;
  for (unsigned r = 0; r < PLAYFIELD_HEIGHT; ++r) {
    const BackgroundRow row(m, PLAYFIELD_TOP + r + sy);
    const unsigned row_group = row.fixed_base | row.tile_offset;
    if (row_group != group) {
      group = row_group;
      run_count = 0;
      for (unsigned c = 0; c < VISIBLE_FRAME_WIDTH;) {
        const unsigned X = X0 + c;
        const unsigned tile_end = std::min<unsigned>(VISIBLE_FRAME_WIDTH, c + 8 - (X & 7));
        const int from = int(c) + shift;
        bool kept = from >= 0 && from + int(tile_end - c) <= int(VISIBLE_FRAME_WIDTH) &&
                    !((changed >> ((X >> 3) & 63)) & 1);
        if (kept && stale_palettes != 0) kept = !((stale_palettes >> row.tile(X).palette) & 1);
        if (run_count > 0 && runs[run_count - 1].kept == kept) {
          runs[run_count - 1].end = tile_end;
        } else {
          runs[run_count++] = Run{c, tile_end, kept};
        }
        c = tile_end;
      }
    }
    uint8_t* const out = image + size_t(r) * VISIBLE_FRAME_WIDTH;
    if (run_count == 1 && !runs[0].kept) {
      draw_row(row, X0, VISIBLE_FRAME_WIDTH, lut, colours, out);
      continue;
    }
    // Kept runs move within the row, in the order that never overwrites a
    // byte still to be moved (left to right when the picture moves left);
    // unmoved runs stay as they are. Then the other runs are drawn.
    if (shift > 0) {
      for (unsigned k = 0; k < run_count; ++k)
        if (runs[k].kept) std::memmove(out + runs[k].begin, out + runs[k].begin + shift, runs[k].end - runs[k].begin);
    } else if (shift < 0) {
      for (unsigned k = run_count; k-- > 0;)
        if (runs[k].kept) std::memmove(out + runs[k].begin, out + int(runs[k].begin) + shift, runs[k].end - runs[k].begin);
    }
    for (unsigned k = 0; k < run_count; ++k) {
      if (!runs[k].kept) draw_row(row, X0 + runs[k].begin, runs[k].end - runs[k].begin, lut, colours, out + runs[k].begin);
    }
  }
  return true;
}

// Redraws the cached background for the current state (under the cache's
// write lock; `palette_lut` quarters already refreshed): by moving columns
// when only the scroll and a few nametable columns changed, else in full.
void update_background(const Console& m, BackgroundCache& cache, uint16_t sx, uint16_t sy) {
  const RendererCache& rc = m.renderer;
  const bool was_valid = cache.valid;
  cache.valid = false;
  cache.image.resize(BACKGROUND_CACHE_BYTES);  // allocates on the first store only
  if (!(m.ppu.mask & MASK_SHOW_BACKGROUND)) {
    std::memset(cache.image.data(), rc.gray_palette[0], BACKGROUND_CACHE_BYTES);
  } else {
    std::shared_lock lut(rc.lut_lock);
    const uint32_t* lookup = rc.palette_lut.data();
    const uint8_t* colours = rc.gray_palette.data();
    if (!(was_valid && redraw_shifted(m, cache.key, sx, sy, lookup, colours, cache.image.data()))) {
      draw_gray_background_rows(m, PLAYFIELD_TOP, PLAYFIELD_TOP + PLAYFIELD_HEIGHT, lookup, cache.image.data());
    }
  }
  store_key(cache.key, m, sx, sy);
  cache.valid = true;
}

}  // namespace

void refresh_renderer_cache(Console& m) {
  RendererCache& rc = m.renderer;
  for (unsigned i = 0; i < 32; ++i) rc.gray_palette[i] = NES_PALETTE_GRAY[m.ppu.palette[i] & 0x3F];
  std::unique_lock lock(rc.lut_lock);
  build_lut(rc.palette_lut.data(), rc.gray_palette.data());
  rc.bg_palette_dirty.store(0, std::memory_order_relaxed);
}

BackgroundPixel background_pixel(const Console& m, unsigned x, unsigned y) {
  return background_pixel_at(m, x, y, effective_sx(m), m.ppu.scroll_y_px);
}

unsigned visible_sprite_count(const Console& m) {
  unsigned n = 0;
  for (unsigned i = 0; i < 64; ++i) n += m.ppu.oam[4 * i] < 239 ? 1 : 0;
  return n;
}

void render_rgb(const Console& m, uint8_t* out, const Rect& rect) {
  uint8_t colours[3][32];
  for (unsigned i = 0; i < 32; ++i) {
    const Rgb c = NES_PALETTE_RGB[m.ppu.palette[i] & 0x3F];
    colours[0][i] = c.r;
    colours[1][i] = c.g;
    colours[2][i] = c.b;
  }
  render_planes(m, rect, out, colours);
}

void render_gray(const Console& m, uint8_t* out, const Rect& rect) {
  uint8_t colours[1][32];
  std::memcpy(colours[0], m.renderer.gray_palette.data(), 32);
  if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(m.renderer);
  std::shared_lock lock(m.renderer.lut_lock);
  render_planes(m, rect, out, colours, m.renderer.palette_lut.data());
}

namespace {

constexpr unsigned BAND_TOP = VISIBLE_RECT.y0;  // screen row of frame row 0
constexpr unsigned BAND_HEIGHT = UNSCROLLED_TOP_ROWS;
constexpr unsigned BAND_TILES = 32;        // ppu.vram offset of tile row 1 (screen rows 8..15)
constexpr unsigned BAND_ATTRIBUTES = 0x3C0;  // attribute row 0 (screen rows 0..31)
static_assert(BAND_TOP + GrayBandCache::ROWS == UNSCROLLED_TOP_ROWS);
static_assert(BAND_TILES + sizeof(GrayBandCache::tiles) == (UNSCROLLED_TOP_ROWS / 8) * 32);

bool band_key_matches(const GrayBandCache& c, const Console& m) {
  const uint8_t* vram = m.ppu.vram.data();
  return c.valid && c.bg_enabled == (m.ppu.mask & MASK_SHOW_BACKGROUND) &&
         c.patterns_high == (m.ppu.ctrl & CTRL_BACKGROUND_PATTERNS_HIGH) &&
         std::memcmp(c.bg_gray.data(), m.renderer.gray_palette.data(), c.bg_gray.size()) == 0 &&
         std::memcmp(c.tiles.data(), vram + BAND_TILES, c.tiles.size()) == 0 &&
         std::memcmp(c.attributes.data(), vram + BAND_ATTRIBUTES, c.attributes.size()) == 0;
}

void store_band_key(GrayBandCache& c, const Console& m) {
  const uint8_t* vram = m.ppu.vram.data();
  c.bg_enabled = m.ppu.mask & MASK_SHOW_BACKGROUND;
  c.patterns_high = m.ppu.ctrl & CTRL_BACKGROUND_PATTERNS_HIGH;
  std::memcpy(c.bg_gray.data(), m.renderer.gray_palette.data(), c.bg_gray.size());
  std::memcpy(c.tiles.data(), vram + BAND_TILES, c.tiles.size());
  std::memcpy(c.attributes.data(), vram + BAND_ATTRIBUTES, c.attributes.size());
  c.valid = true;
}

}  // namespace

void render_gray_band(const Console& m, GrayBandCache& cache, uint8_t* out) {
  const RendererCache& rc = m.renderer;
  constexpr size_t cached_bytes = sizeof(GrayBandCache::image);
  if (!(m.ppu.mask & MASK_SHOW_BACKGROUND)) {
    std::memset(out, rc.gray_palette[0], size_t(BAND_HEIGHT) * VISIBLE_FRAME_WIDTH);
  } else {
    refresh_stale_lut_quarters(rc);
    std::shared_lock lock(rc.lut_lock);
    if (!band_key_matches(cache, m)) {
      draw_gray_background_rows(m, BAND_TOP, UNSCROLLED_TOP_ROWS, rc.palette_lut.data(), cache.image.data());
      store_band_key(cache, m);
    }
    std::memcpy(out, cache.image.data(), cached_bytes);
    draw_gray_background_rows(m, UNSCROLLED_TOP_ROWS, BAND_TOP + BAND_HEIGHT, rc.palette_lut.data(),
                              out + cached_bytes);
  }
  if (m.ppu.mask & MASK_SHOW_SPRITES) {
    const uint8_t* gray = rc.gray_palette.data();
    sprite_pass(m, Rect{VISIBLE_RECT.x0, BAND_TOP, VISIBLE_FRAME_WIDTH, BAND_HEIGHT},
                [out, gray](size_t at, uint8_t entry) { out[at] = gray[entry]; });
  }
}

void render_gray_playfield_cached(const Console& m, uint8_t* frame) {
  const RendererCache& rc = m.renderer;
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  uint8_t* const playfield = frame + PLAYFIELD_FRAME_OFFSET;

  bool hit = false;
  {
    std::shared_lock lock(rc.background_lock);
    if (rc.background.valid && key_matches(rc.background.key, m, sx, sy)) {
      std::memcpy(playfield, rc.background.image.data(), BACKGROUND_CACHE_BYTES);
      hit = true;
    }
  }
  if (!hit) {
    // Drawn in the cache itself (which may keep the columns still on screen),
    // then copied out.
    if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(rc);
    std::unique_lock lock(rc.background_lock);
    update_background(m, rc.background, sx, sy);
    std::memcpy(playfield, rc.background.image.data(), BACKGROUND_CACHE_BYTES);
  }

  if (m.ppu.mask & MASK_SHOW_SPRITES) {
    const uint8_t* gray = rc.gray_palette.data();
    sprite_pass(m, PLAYFIELD_RECT, [playfield, gray](size_t at, uint8_t entry) { playfield[at] = gray[entry]; });
  }
}

namespace {

// Hands `use` the playfield rows over `background` (the cached image) with the
// sprites drawn on copies of the rows they touch.
void use_rows_with_sprites(const Console& m, const uint8_t* background, uint8_t* sprite_rows, PlayfieldRowsFn use,
                           void* context) {
  const uint8_t* rows[PLAYFIELD_HEIGHT];
  for (unsigned r = 0; r < PLAYFIELD_HEIGHT; ++r) rows[r] = background + size_t(r) * VISIBLE_FRAME_WIDTH;
  if (m.ppu.mask & MASK_SHOW_SPRITES) {
    const uint8_t* gray = m.renderer.gray_palette.data();
    sprite_pass(m, PLAYFIELD_RECT, [&](size_t at, uint8_t entry) {
      const size_t r = at / VISIBLE_FRAME_WIDTH;
      uint8_t* row = sprite_rows + r * VISIBLE_FRAME_WIDTH;
      if (rows[r] != row) {
        std::memcpy(row, rows[r], VISIBLE_FRAME_WIDTH);
        rows[r] = row;
      }
      row[at - r * VISIBLE_FRAME_WIDTH] = gray[entry];
    });
  }
  use(context, rows);
}

}  // namespace

void visit_gray_playfield_rows(const Console& m, uint8_t* sprite_rows, PlayfieldRowsFn use, void* context) {
  const RendererCache& rc = m.renderer;
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  {
    std::shared_lock lock(rc.background_lock);
    if (rc.background.valid && key_matches(rc.background.key, m, sx, sy)) {
      use_rows_with_sprites(m, rc.background.image.data(), sprite_rows, use, context);
      return;
    }
  }
  if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(rc);
  // A miss draws straight into the cache: the background lock is held from
  // here on, and the lookup's read lock is taken inside it (no path takes the
  // two the other way round).
  std::unique_lock lock(rc.background_lock);
  update_background(m, rc.background, sx, sy);
  use_rows_with_sprites(m, rc.background.image.data(), sprite_rows, use, context);
}

void clear_background_cache(const Console& m) {
  std::unique_lock lock(m.renderer.background_lock);
  m.renderer.background.valid = false;
}

}  // namespace tt
