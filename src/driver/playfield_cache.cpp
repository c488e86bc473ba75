#include "driver/playfield_cache.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/render_rows.h"
#include "driver/machine.h"

namespace tt {

using namespace render;

namespace {

constexpr unsigned PLAYFIELD_HEIGHT = PLAYFIELD_ROWS;
constexpr unsigned PLAYFIELD_FRAME_OFFSET = (PLAYFIELD_TOP - VISIBLE_RECT.y0) * VISIBLE_FRAME_WIDTH;
constexpr Rect PLAYFIELD_RECT{VISIBLE_RECT.x0, PLAYFIELD_TOP, VISIBLE_FRAME_WIDTH, PLAYFIELD_HEIGHT};
static_assert(PLAYFIELD_TOP >= UNSCROLLED_TOP_ROWS, "the cached rows are all scrolled");
static_assert(PLAYFIELD_FRAME_OFFSET == 7680);

// The bits of the control register a background drawn at a given scroll
// depends on: only the pattern table (the nametable bits are in the scroll,
// the others concern sprites, NMIs and address increments).
uint8_t background_ctrl(const Console& m) { return m.ppu.ctrl & CTRL_BACKGROUND_PATTERNS_HIGH; }

// `colours`: the output byte of each background palette RAM entry (16).
bool key_matches(const BackgroundKey& k, const Console& m, uint16_t sx, uint16_t sy, const uint8_t* colours) {
  return k.top == PLAYFIELD_TOP && k.height == PLAYFIELD_HEIGHT && k.sx == sx && k.sy == sy &&
         k.ctrl == background_ctrl(m) && k.bg_enabled == (m.ppu.mask & MASK_SHOW_BACKGROUND) &&
         std::memcmp(k.bg_gray.data(), colours, k.bg_gray.size()) == 0 &&
         std::memcmp(k.vram.data(), m.ppu.vram.data(), k.vram.size()) == 0;
}
bool key_matches(const BackgroundKey& k, const Console& m, uint16_t sx, uint16_t sy) {
  return key_matches(k, m, sx, sy, m.renderer.gray_palette.data());
}

void store_key(BackgroundKey& k, const Console& m, uint16_t sx, uint16_t sy, const uint8_t* colours) {
  k.vram = m.ppu.vram;
  std::memcpy(k.bg_gray.data(), colours, k.bg_gray.size());
  k.top = PLAYFIELD_TOP;
  k.height = PLAYFIELD_HEIGHT;
  k.sx = sx;
  k.sy = sy;
  k.ctrl = background_ctrl(m);
  k.bg_enabled = m.ppu.mask & MASK_SHOW_BACKGROUND;
}

// Tiles whose pixels may differ between the video memory a background was
// drawn from and the current one, by tile row: rows[t] has bit c for nametable
// column c = (X >> 3) & 63 of tile row t (0..29), and with horizontal
// mirroring rows[30 + t] those of the second nametable, which the rows below
// the first one show. A tile byte touches its tile, an attribute byte the 4 x 4
// tiles it colours. With vertical mirroring the nametable follows X, so a
// change marks its half of the columns; otherwise both halves.
struct ChangedTiles {
  std::array<uint64_t, 60> rows{};

  uint64_t of(const BackgroundRow& row) const { return rows[row.tile_offset / 32 + (row.fixed_base != 0 ? 30 : 0)]; }
};

ChangedTiles changed_tiles(const std::array<uint8_t, 2048>& drawn, const std::array<uint8_t, 2048>& now,
                           bool vertical) {
  ChangedTiles changed;
  for (size_t w = 0; w < drawn.size(); w += 8) {
    uint64_t a, b;
    std::memcpy(&a, drawn.data() + w, 8);
    std::memcpy(&b, now.data() + w, 8);
    if (a == b) continue;
    for (size_t i = w; i < w + 8; ++i) {
      if (drawn[i] == now[i]) continue;
      const unsigned offset = i & 0x3FF, table = (i >> 10) & 1;
      unsigned first_row, last_row;
      uint64_t in_table;
      if (offset < 0x3C0) {
        first_row = last_row = offset >> 5;
        in_table = uint64_t{1} << (offset & 31);
      } else {
        first_row = 4 * ((offset - 0x3C0) >> 3);
        last_row = std::min(first_row + 3, 29u);
        in_table = uint64_t{0xF} << (4 * ((offset - 0x3C0) & 7));
      }
      const uint64_t columns = vertical ? in_table << (32 * table) : in_table | (in_table << 32);
      const unsigned base = vertical ? 0 : 30 * table;
      for (unsigned t = first_row; t <= last_row; ++t) changed.rows[base + t] |= columns;
    }
  }
  return changed;
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
  if (key.top != PLAYFIELD_TOP || key.height != PLAYFIELD_HEIGHT || key.sy != sy || key.ctrl != background_ctrl(m) ||
      key.bg_enabled != (m.ppu.mask & MASK_SHOW_BACKGROUND) || key.bg_enabled == 0 || key.bg_gray[0] != colours[0]) {
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
  const ChangedTiles changed = changed_tiles(key.vram, m.ppu.vram, m.nametable_vertical != 0);

  // Runs of columns that are moved (kept) or drawn; they change only from one
  // tile row to the next, through the palettes and the changed tiles.
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
      const uint64_t changed_here = changed.of(row);
      for (unsigned c = 0; c < VISIBLE_FRAME_WIDTH;) {
        const unsigned X = X0 + c;
        const unsigned tile_end = std::min<unsigned>(VISIBLE_FRAME_WIDTH, c + 8 - (X & 7));
        const int from = int(c) + shift;
        bool kept = from >= 0 && from + int(tile_end - c) <= int(VISIBLE_FRAME_WIDTH) &&
                    !((changed_here >> ((X >> 3) & 63)) & 1);
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
        if (runs[k].kept)
          std::memmove(out + runs[k].begin, out + int(runs[k].begin) + shift, runs[k].end - runs[k].begin);
    }
    for (unsigned k = 0; k < run_count; ++k) {
      if (!runs[k].kept)
        draw_row(row, X0 + runs[k].begin, runs[k].end - runs[k].begin, lut, colours, out + runs[k].begin);
    }
  }
  return true;
}

// Redraws a cached background in `colours` (one output byte per palette RAM
// entry) through `lut` for the current state: by moving columns when only the
// scroll and a few nametable columns changed, else in full.
void update_background(const Console& m, BackgroundCache& cache, uint16_t sx, uint16_t sy, const uint32_t* lut,
                       const uint8_t* colours) {
  const bool was_valid = cache.valid;
  cache.valid = false;
  cache.image.resize(BACKGROUND_CACHE_BYTES);  // allocates on the first store only
  if (!(m.ppu.mask & MASK_SHOW_BACKGROUND)) {
    std::memset(cache.image.data(), colours[0], BACKGROUND_CACHE_BYTES);
  } else if (!(was_valid && redraw_shifted(m, cache.key, sx, sy, lut, colours, cache.image.data()))) {
    draw_background_rows(m, PLAYFIELD_TOP, PLAYFIELD_TOP + PLAYFIELD_HEIGHT, lut, colours, cache.image.data());
  }
  store_key(cache.key, m, sx, sy, colours);
  cache.valid = true;
}

// Redraws the cached background for the current state (under the cache's
// write lock; `palette_lut` quarters already refreshed): by moving columns
// when only the scroll and a few nametable columns changed, else in full.
void update_background(const Console& m, BackgroundCache& cache, uint16_t sx, uint16_t sy) {
  const RendererCache& rc = m.renderer;
  std::shared_lock lut(rc.lut_lock);
  update_background(m, cache, sx, sy, rc.palette_lut.data(), rc.gray_palette.data());
}

}  // namespace

void render_gray_playfield_cached(const Machine& m, uint8_t* frame) {
  const RendererCache& rc = m.renderer;
  const PlayfieldCache& pc = m.playfield;
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  uint8_t* const playfield = frame + PLAYFIELD_FRAME_OFFSET;

  bool hit = false;
  {
    std::shared_lock lock(pc.background_lock);
    if (pc.background.valid && key_matches(pc.background.key, m, sx, sy)) {
      std::memcpy(playfield, pc.background.image.data(), BACKGROUND_CACHE_BYTES);
      hit = true;
    }
  }
  if (!hit) {
    // Drawn in the cache itself (which may keep the columns still on screen),
    // then copied out.
    if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(rc);
    std::unique_lock lock(pc.background_lock);
    update_background(m, pc.background, sx, sy);
    std::memcpy(playfield, pc.background.image.data(), BACKGROUND_CACHE_BYTES);
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

void visit_gray_playfield_rows(const Machine& m, uint8_t* sprite_rows, PlayfieldRowsFn use, void* context) {
  const RendererCache& rc = m.renderer;
  const PlayfieldCache& pc = m.playfield;
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  {
    std::shared_lock lock(pc.background_lock);
    if (pc.background.valid && key_matches(pc.background.key, m, sx, sy)) {
      use_rows_with_sprites(m, pc.background.image.data(), sprite_rows, use, context);
      return;
    }
  }
  if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(rc);
  // A miss draws straight into the cache: the background lock is held from
  // here on, and the lookup's read lock is taken inside it (no path takes the
  // two the other way round).
  std::unique_lock lock(pc.background_lock);
  update_background(m, pc.background, sx, sy);
  use_rows_with_sprites(m, pc.background.image.data(), sprite_rows, use, context);
}

void render_colour_index_playfield_cached(const Machine& m, BackgroundCache& cache, const uint32_t* lut,
                                          uint8_t* frame) {
  uint8_t colours[32];
  for (unsigned i = 0; i < 32; ++i) colours[i] = m.ppu.palette[i] & 0x3F;
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  if (!(cache.valid && key_matches(cache.key, m, sx, sy, colours))) update_background(m, cache, sx, sy, lut, colours);
  uint8_t* const playfield = frame + PLAYFIELD_FRAME_OFFSET;
  std::memcpy(playfield, cache.image.data(), BACKGROUND_CACHE_BYTES);
  if (m.ppu.mask & MASK_SHOW_SPRITES) {
    sprite_pass(m, PLAYFIELD_RECT, [playfield, &colours](size_t at, uint8_t entry) { playfield[at] = colours[entry]; });
  }
}

void clear_background_cache(const Machine& m) {
  std::unique_lock lock(m.playfield.background_lock);
  m.playfield.background.valid = false;
}

}  // namespace tt
