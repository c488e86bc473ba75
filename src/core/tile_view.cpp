#include "core/tile_view.h"

#include <cstring>

#include "core/ppu.h"

namespace tt {

namespace {

// Tile number at nametable pixel (X, Y) of the plane the renderer scrolls
// over: X picks the nametable under vertical mirroring (bit 8), Y under
// horizontal mirroring (every 240 rows); both reach it through the picture
// processor's own nametable address mapping.
inline uint8_t tile_at(const Console& m, unsigned X, unsigned Y) {
  const unsigned row = (Y % 240) >> 3;
  const unsigned column = (X >> 3) & 31;
  const unsigned address = 0x2000u | (((Y / 240) & 1u) << 11) | (((X >> 8) & 1u) << 10) | (row << 5) | column;
  // The mapping keeps the select bit of the console's mirroring and drops the other.
  return m.ppu.vram[nametable_index(m, address)];
}

}  // namespace

void write_tile_view(const Console& m, uint8_t* out) {
  const unsigned sx = m.ppu.has_scroll_override ? m.ppu.scroll_override_x_px : m.ppu.scroll_x_px;
  const unsigned sy = m.ppu.scroll_y_px;
  const unsigned top = m.unscrolled_top_rows < NES_HEIGHT ? m.unscrolled_top_rows : NES_HEIGHT;
  const unsigned fixed_rows = (top + 7) / 8;
  for (unsigned r = 0; r < fixed_rows; ++r) {
    for (unsigned c = 0; c < TILE_GRID_COLUMNS; ++c) out[r * TILE_GRID_COLUMNS + c] = tile_at(m, 8 * c, 8 * r);
  }
  const unsigned first_y = (top + sy) & ~7u;
  const unsigned first_x = sx & ~7u;
  for (unsigned r = fixed_rows; r < TILE_GRID_ROWS; ++r) {
    const unsigned Y = first_y + 8 * (r - fixed_rows);
    for (unsigned c = 0; c < TILE_GRID_COLUMNS; ++c) out[r * TILE_GRID_COLUMNS + c] = tile_at(m, first_x + 8 * c, Y);
  }
  std::memcpy(out + TILE_GRID_ROWS * TILE_GRID_COLUMNS, m.ppu.oam.data(), m.ppu.oam.size());
}

}  // namespace tt
