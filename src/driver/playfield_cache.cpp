#include "driver/playfield_cache.h"

#include <algorithm>
#include <array>
#include <bit>
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
         std::memcmp(k.bg_colours.data(), colours, k.bg_colours.size()) == 0 &&
         std::memcmp(k.vram.data(), m.ppu.vram.data(), k.vram.size()) == 0;
}
bool key_matches(const BackgroundKey& k, const Console& m, uint16_t sx, uint16_t sy) {
  return key_matches(k, m, sx, sy, m.renderer.gray_palette.data());
}

void store_key(BackgroundKey& k, const Console& m, uint16_t sx, uint16_t sy, const uint8_t* colours) {
  k.vram = m.ppu.vram;
  std::memcpy(k.bg_colours.data(), colours, k.bg_colours.size());
  k.top = PLAYFIELD_TOP;
  k.height = PLAYFIELD_HEIGHT;
  k.sx = sx;
  k.sy = sy;
  k.ctrl = background_ctrl(m);
  k.bg_enabled = m.ppu.mask & MASK_SHOW_BACKGROUND;
}

// Tiles whose pixels may differ between the video memory a background was
// drawn from and the current one, indexed like BackgroundCache::clean. A tile
// byte touches its tile, an attribute byte the 4 x 4 tiles it colours. With
// vertical mirroring the nametable follows X, so a change marks its half of
// the columns; otherwise the nametable follows the row, and a change marks
// the columns of both halves on that nametable's rows.
std::array<uint64_t, 60> changed_tiles(const std::array<uint8_t, 2048>& drawn, const std::array<uint8_t, 2048>& now,
                                       bool vertical) {
  std::array<uint64_t, 60> changed{};
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
      for (unsigned t = first_row; t <= last_row; ++t) changed[base + t] |= columns;
    }
  }
  return changed;
}

// Index of a background row's tile row in BackgroundCache::clean.
unsigned tile_row_index(const BackgroundRow& row) { return row.tile_offset / 32 + (row.fixed_base != 0 ? 30 : 0); }

// Clears the clean bits of the tiles whose palette is in `stale` (bit q for
// palette q), reading each tile's palette from the current attributes.
void forget_palettes(const Console& m, std::array<uint64_t, 60>& clean, unsigned stale) {
  const bool vertical = m.nametable_vertical != 0;
  for (unsigned index = 0; index < clean.size(); ++index) {
    const unsigned t = index % 30;
    for (uint64_t bits = clean[index]; bits != 0; bits &= bits - 1) {
      const unsigned column = static_cast<unsigned>(std::countr_zero(bits));
      const unsigned table = vertical ? column >> 5 : index / 30;
      const unsigned c = column & 31;
      const uint8_t attribute = m.ppu.vram[table * 1024 + 0x3C0 + (t >> 2) * 8 + (c >> 2)];
      const unsigned palette = (attribute >> (((t & 2) ? 4 : 0) + (c & 2))) & 3;
      if ((stale >> palette) & 1) clean[index] &= ~(uint64_t{1} << column);
    }
  }
}

// Brings a cached background up to date with the current state in `colours`
// (one output byte per palette RAM entry) through `lut`: the tiles a change
// of the video memory or of a palette's colours touched are forgotten (all
// of them when the vertical scroll, the pattern table, the background enable
// or the universal background colour changed), then every visible tile not
// up to date is drawn. A background pixel depends only on its nametable X
// (mod 512), its row, the nametable bytes of its tile and the colours of its
// palette, so a tile kept from an earlier scroll is exactly what a full draw
// gives.
void update_background(const Console& m, BackgroundCache& cache, uint16_t sx, uint16_t sy, const uint32_t* lut,
                       const uint8_t* colours) {
  const BackgroundKey& key = cache.key;
  const uint8_t bg_enabled = m.ppu.mask & MASK_SHOW_BACKGROUND;
  const bool comparable = cache.valid && key.top == PLAYFIELD_TOP && key.height == PLAYFIELD_HEIGHT && key.sy == sy &&
                          key.ctrl == background_ctrl(m) && key.bg_enabled == bg_enabled &&
                          key.bg_colours[0] == colours[0];
  cache.valid = false;
  cache.image.resize(BACKGROUND_RING_BYTES);  // allocates on the first store only
  cache.window = static_cast<uint16_t>((VISIBLE_RECT.x0 + sx) & 511u);
  if (!bg_enabled) {
    std::memset(cache.image.data(), colours[0], BACKGROUND_RING_BYTES);
    cache.clean.fill(0);
  } else {
    if (!comparable) {
      cache.clean.fill(0);
    } else {
      const std::array<uint64_t, 60> changed = changed_tiles(key.vram, m.ppu.vram, m.nametable_vertical != 0);
      for (size_t i = 0; i < changed.size(); ++i) cache.clean[i] &= ~changed[i];
      // Palettes with a changed colour (entries 4q + 1 .. 4q + 3; entries 4,
      // 8 and 12 are never drawn by the background).
      unsigned stale = 0;
      for (unsigned q = 0; q < 4; ++q)
        for (unsigned j = 1; j < 4; ++j) stale |= unsigned{key.bg_colours[4 * q + j] != colours[4 * q + j]} << q;
      if (stale != 0) forget_palettes(m, cache.clean, stale);
    }
    // The tile columns the visible window covers (31 at most), then every
    // row's tiles among them not up to date; a tile row counts as up to date
    // only once all its rows are drawn, at the end.
    const unsigned first = cache.window >> 3, count = ((cache.window & 7) + VISIBLE_FRAME_WIDTH + 7) / 8;
    const uint64_t visible = std::rotl((uint64_t{1} << count) - 1, static_cast<int>(first));
    uint64_t drawn_rows = 0;  // bit i: clean[i] gets `visible`
    for (unsigned r = 0; r < PLAYFIELD_HEIGHT; ++r) {
      const BackgroundRow row(m, PLAYFIELD_TOP + r + sy);
      const unsigned index = tile_row_index(row);
      drawn_rows |= uint64_t{1} << index;
      uint8_t* const out = cache.image.data() + size_t(r) * BACKGROUND_RING_WIDTH;
      for (uint64_t todo = visible & ~cache.clean[index]; todo != 0; todo &= todo - 1) {
        const unsigned X = 8 * static_cast<unsigned>(std::countr_zero(todo));
        draw_row(row, X, 8, lut, colours, out + X);
        if (X < VISIBLE_FRAME_WIDTH) std::memcpy(out + 512 + X, out + X, 8);
      }
    }
    for (uint64_t rows = drawn_rows; rows != 0; rows &= rows - 1) cache.clean[std::countr_zero(rows)] |= visible;
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

// The visible playfield rows of a cached background, side by side (240 bytes each).
void copy_rows(const BackgroundCache& cache, uint8_t* playfield) {
  for (unsigned r = 0; r < PLAYFIELD_HEIGHT; ++r) {
    std::memcpy(playfield + size_t(r) * VISIBLE_FRAME_WIDTH, cache.row(r), VISIBLE_FRAME_WIDTH);
  }
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
      copy_rows(pc.background, playfield);
      hit = true;
    }
  }
  if (!hit) {
    // Drawn in the cache itself (which may keep the columns still on screen),
    // then copied out.
    if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(rc);
    std::unique_lock lock(pc.background_lock);
    update_background(m, pc.background, sx, sy);
    copy_rows(pc.background, playfield);
  }

  if (m.ppu.mask & MASK_SHOW_SPRITES) {
    const uint8_t* gray = rc.gray_palette.data();
    sprite_pass(m, PLAYFIELD_RECT, [playfield, gray](size_t at, uint8_t entry) { playfield[at] = gray[entry]; });
  }
}

namespace {

// Hands `use` the playfield rows over `background` (the cached image) with the
// sprites drawn on copies of the rows they touch.
void use_rows_with_sprites(const Console& m, const BackgroundCache& background, uint8_t* sprite_rows,
                           PlayfieldRowsFn use, void* context) {
  const uint8_t* rows[PLAYFIELD_HEIGHT];
  for (unsigned r = 0; r < PLAYFIELD_HEIGHT; ++r) rows[r] = background.row(r);
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
      use_rows_with_sprites(m, pc.background, sprite_rows, use, context);
      return;
    }
  }
  if (m.ppu.mask & MASK_SHOW_BACKGROUND) refresh_stale_lut_quarters(rc);
  // A miss draws straight into the cache: the background lock is held from
  // here on, and the lookup's read lock is taken inside it (no path takes the
  // two the other way round).
  std::unique_lock lock(pc.background_lock);
  update_background(m, pc.background, sx, sy);
  use_rows_with_sprites(m, pc.background, sprite_rows, use, context);
}

void render_colour_index_playfield_cached(const Machine& m, BackgroundCache& cache, const uint32_t* lut,
                                          uint8_t* frame) {
  uint8_t colours[32];
  for (unsigned i = 0; i < 32; ++i) colours[i] = m.ppu.palette[i] & 0x3F;
  const uint16_t sx = effective_sx(m), sy = m.ppu.scroll_y_px;
  if (!(cache.valid && key_matches(cache.key, m, sx, sy, colours))) update_background(m, cache, sx, sy, lut, colours);
  uint8_t* const playfield = frame + PLAYFIELD_FRAME_OFFSET;
  copy_rows(cache, playfield);
  if (m.ppu.mask & MASK_SHOW_SPRITES) {
    sprite_pass(m, PLAYFIELD_RECT, [playfield, &colours](size_t at, uint8_t entry) { playfield[at] = colours[entry]; });
  }
}

void clear_background_cache(const Machine& m) {
  std::unique_lock lock(m.playfield.background_lock);
  m.playfield.background.valid = false;
}

}  // namespace tt
