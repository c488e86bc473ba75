// The renderer's pixel rules: background and sprites drawn from the final
// PPU state into colour planes or one gray plane.
#include "core/renderer.h"

#include <cassert>
#include <mutex>
#include <shared_mutex>

#include "core/palette.h"
#include "core/render_rows.h"

namespace tt {

using namespace render;

namespace render {

namespace {

// Quarter q of a lookup in the palette_lut layout: byte b gives the colours of
// the four 2-bit pixels packed in b under background palette q, pixel j in byte
// j. `colours` holds one output byte per palette RAM entry.
void build_lut_quarter(uint32_t* quarter, const uint8_t* colours, unsigned q) {
  const uint32_t c[4] = {colours[0], colours[4 * q + 1], colours[4 * q + 2], colours[4 * q + 3]};
  for (unsigned b = 0; b < 256; ++b)
    quarter[b] = c[b & 3] | (c[(b >> 2) & 3] << 8) | (c[(b >> 4) & 3] << 16) | (c[b >> 6] << 24);
}

}  // namespace

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

void draw_background_rows(const Console& m, unsigned y0, unsigned y1, const uint32_t* lut, const uint8_t* colours,
                          uint8_t* out) {
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  TileRowCache cache;
  for (unsigned y = y0; y < y1; ++y) {
    const BackgroundRow row = row_at(m, y, sy);
    const unsigned X = row_x(m, y, VISIBLE_RECT.x0, sx);
    cache.update(row, X & ~7u, ((X & 7) + VISIBLE_FRAME_WIDTH + 7) / 8);
    draw_row(
        X, VISIBLE_FRAME_WIDTH, [&](unsigned k) { return cache.tile(row, k); }, lut, colours,
        out + size_t(y - y0) * VISIBLE_FRAME_WIDTH);
  }
}

}  // namespace render

namespace {

using PixelLut = std::array<uint32_t, 1024>;

// Background then sprites over `rect` into Planes output planes, each with its
// own colour byte per palette RAM entry.
// `gray_lut`, when given for one plane, is a ready lookup for `colours` (the
// console's palette_lut, clean and read-locked by the caller, or a colour
// index lookup) and spares building one.
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
      const unsigned X = row_x(m, y, rect.x0, sx);
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
          draw_row(
              X, rect.width, [&tiles](unsigned k) { return tiles[k]; }, lut[p].data(), colours[p],
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

const uint32_t* ColourIndexLut::lookup(const Console& m) {
  std::array<uint8_t, 16> key;
  for (unsigned i = 0; i < 16; ++i) key[i] = m.ppu.palette[i] & 0x3F;
  if (!valid_ || key != key_) {
    build_lut(words_.data(), key.data());
    key_ = key;
    valid_ = true;
  }
  return words_.data();
}

void render_colour_indices(const Console& m, uint8_t* out, const Rect& rect, const uint32_t* lut) {
  uint8_t colours[1][32];
  for (unsigned i = 0; i < 32; ++i) colours[0][i] = m.ppu.palette[i] & 0x3F;
  render_planes(m, rect, out, colours, lut);
}

void render_gray(const Console& m, uint8_t* out, const Rect& rect) {
  uint8_t colours[1][32];
  std::memcpy(colours[0], m.renderer.gray_palette.data(), 32);
  if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(m.renderer);
  std::shared_lock lock(m.renderer.lut_lock);
  render_planes(m, rect, out, colours, m.renderer.palette_lut.data());
}

}  // namespace tt
