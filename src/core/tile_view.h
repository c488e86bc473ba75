// The picture processor's own description of the screen, read without
// drawing: the background tile numbers of the visible window, aligned to the
// scroll, and the sprite table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/console.h"

namespace tt {

/// Grid of background tile numbers: one byte per 8 x 8 cell of the screen.
inline constexpr size_t TILE_GRID_ROWS = NES_HEIGHT / 8;    // 30
inline constexpr size_t TILE_GRID_COLUMNS = NES_WIDTH / 8;  // 32
/// Sprite memory (64 entries of y, tile, attributes, x) as rows of the grid's width.
inline constexpr size_t SPRITE_TABLE_ROWS = 256 / TILE_GRID_COLUMNS;  // 8
/// One tile view: the grid, then the sprite memory.
inline constexpr size_t TILE_VIEW_ROWS = TILE_GRID_ROWS + SPRITE_TABLE_ROWS;   // 38
inline constexpr size_t TILE_VIEW_BYTES = TILE_VIEW_ROWS * TILE_GRID_COLUMNS;  // 1216

/// Writes the tile view of `m` into `out` (TILE_VIEW_BYTES, row-major rows of
/// TILE_GRID_COLUMNS bytes), with the same nametables and scroll the renderer
/// draws the background from:
///  - grid rows whose first screen line lies in the console's unscrolled top
///    rows: cell (r, c) is the tile drawn at screen pixels x 8c..8c+7,
///    y 8r..8r+7 (no scroll);
///  - the other grid rows follow the scroll (sx, sy): cell (r, c) is the
///    tile whose nametable pixels start at scrolled column (sx & ~7) + 8c and
///    scrolled row ((top + sy) & ~7) + 8k, k the row's rank below the
///    unscrolled rows and top their height. On screen it covers x from
///    8c - (sx & 7) and y from top + 8k - ((top + sy) & 7), eight of each, cut
///    at the screen's edges and at the unscrolled rows. A fine scroll leaves a
///    partial column (row) at the right (bottom) edge out: with a fine scroll
///    of f, the last f screen columns (rows) are in no cell. Unscrolled rows
///    that end inside a grid row leave the rest of that row unused, and as
///    many more screen rows at the bottom in no cell.
/// The sprite rows hold the 256 bytes of sprite memory as the console keeps them.
void write_tile_view(const Console& m, uint8_t* out);

}  // namespace tt
