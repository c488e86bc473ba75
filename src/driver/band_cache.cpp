#include "driver/band_cache.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "core/render_rows.h"

namespace tt {

using namespace render;

namespace {

constexpr unsigned BAND_TOP = VISIBLE_RECT.y0;  // screen row of frame row 0
constexpr unsigned BAND_HEIGHT = BAND_ROWS;
constexpr unsigned BAND_TILES = 32;          // ppu.vram offset of tile row 1 (screen rows 8..15)
constexpr unsigned BAND_ATTRIBUTES = 0x3C0;  // attribute row 0 (screen rows 0..31)
static_assert(BAND_TOP + BandCache::ROWS == UNSCROLLED_TOP_ROWS);
static_assert(BAND_TILES + sizeof(BandCache::tiles) == (UNSCROLLED_TOP_ROWS / 8) * 32);

// `colours`: the output byte of each palette RAM entry.
bool band_key_matches(const BandCache& c, const Console& m, const uint8_t* colours) {
  const uint8_t* vram = m.ppu.vram.data();
  return c.valid && c.bg_enabled == (m.ppu.mask & MASK_SHOW_BACKGROUND) &&
         c.patterns_high == (m.ppu.ctrl & CTRL_BACKGROUND_PATTERNS_HIGH) &&
         std::memcmp(c.bg_colours.data(), colours, c.bg_colours.size()) == 0 &&
         std::memcmp(c.tiles.data(), vram + BAND_TILES, c.tiles.size()) == 0 &&
         std::memcmp(c.attributes.data(), vram + BAND_ATTRIBUTES, c.attributes.size()) == 0;
}

void store_band_key(BandCache& c, const Console& m, const uint8_t* colours) {
  const uint8_t* vram = m.ppu.vram.data();
  c.bg_enabled = m.ppu.mask & MASK_SHOW_BACKGROUND;
  c.patterns_high = m.ppu.ctrl & CTRL_BACKGROUND_PATTERNS_HIGH;
  std::memcpy(c.bg_colours.data(), colours, c.bg_colours.size());
  std::memcpy(c.tiles.data(), vram + BAND_TILES, c.tiles.size());
  std::memcpy(c.attributes.data(), vram + BAND_ATTRIBUTES, c.attributes.size());
  c.valid = true;
}

// The band in `colours` (the output byte of each palette RAM entry) through
// `lut`: the unscrolled rows from `cache` (redrawn when their key changed),
// the scrolled rows below them, then the sprites.
void render_band(const Console& m, BandCache& cache, const uint8_t* colours, const uint32_t* lut, uint8_t* out) {
  constexpr size_t cached_bytes = sizeof(BandCache::image);
  if (!(m.ppu.mask & MASK_SHOW_BACKGROUND)) {
    std::memset(out, colours[0], size_t(BAND_HEIGHT) * VISIBLE_FRAME_WIDTH);
  } else {
    if (!band_key_matches(cache, m, colours)) {
      draw_background_rows(m, BAND_TOP, UNSCROLLED_TOP_ROWS, lut, colours, cache.image.data());
      store_band_key(cache, m, colours);
    }
    std::memcpy(out, cache.image.data(), cached_bytes);
    draw_background_rows(m, UNSCROLLED_TOP_ROWS, BAND_TOP + BAND_HEIGHT, lut, colours, out + cached_bytes);
  }
  if (m.ppu.mask & MASK_SHOW_SPRITES) {
    sprite_pass(m, Rect{VISIBLE_RECT.x0, BAND_TOP, VISIBLE_FRAME_WIDTH, BAND_HEIGHT},
                [out, colours](size_t at, uint8_t entry) { out[at] = colours[entry]; });
  }
}

}  // namespace

void render_gray_band(const Console& m, BandCache& cache, uint8_t* out) {
  const RendererCache& rc = m.renderer;
  if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(rc);
  std::shared_lock lock(rc.lut_lock);
  render_band(m, cache, rc.gray_palette.data(), rc.palette_lut.data(), out);
}

void render_colour_index_band(const Console& m, BandCache& cache, const uint32_t* lut, uint8_t* out) {
  uint8_t colours[32];
  for (unsigned i = 0; i < 32; ++i) colours[i] = m.ppu.palette[i] & 0x3F;
  render_band(m, cache, colours, lut, out);
}

}  // namespace tt
