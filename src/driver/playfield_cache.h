// The gray playfield of a lane drawn through a cache of its background: the
// background is kept between frames and redrawn (or moved with the scroll)
// only when something it depends on changed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "driver/screen_layout.h"

namespace tt {

struct Machine;

// Key of the cached playfield background: every input that affects it.
struct BackgroundKey {
  std::array<uint8_t, 2048> vram{};
  std::array<uint8_t, 16> bg_colours{};
  uint64_t top = 0;
  uint64_t height = 0;
  uint16_t sx = 0;
  uint16_t sy = 0;
  uint8_t ctrl = 0;  // only the bits the background depends on
  uint8_t bg_enabled = 0;
  bool operator==(const BackgroundKey&) const = default;
};

/// Bytes of the playfield as a frame holds it (rows of the visible width).
inline constexpr size_t BACKGROUND_CACHE_BYTES = size_t(VISIBLE_FRAME_WIDTH) * PLAYFIELD_ROWS;
/// Width of a cached background row: the 512 columns of nametable X, then
/// X = 0 .. 239 once more, so that any 240 visible columns lie side by side.
inline constexpr size_t BACKGROUND_RING_WIDTH = 512 + VISIBLE_FRAME_WIDTH;
inline constexpr size_t BACKGROUND_RING_BYTES = BACKGROUND_RING_WIDTH * PLAYFIELD_ROWS;

/// A playfield background kept by tiles: each row holds every nametable column
/// (X mod 512) drawn so far, whatever the scroll was then, and `clean` says
/// which tiles are up to date with `key`. Scrolling draws only the tiles that
/// come into view; a write to the nametables or a palette redraws only the
/// tiles it touches.
struct BackgroundCache {
  bool valid = false;
  BackgroundKey key;
  std::vector<uint8_t> image;  // BACKGROUND_RING_BYTES once filled
  // Up-to-date tiles: bit c (nametable column (X >> 3) & 63) of clean[t] for
  // tile row t, of clean[30 + t] for the second nametable's rows when the
  // nametables are mirrored horizontally.
  std::array<uint64_t, 60> clean{};
  uint16_t window = 0;  // ring column of the leftmost visible pixel for key.sx

  /// Playfield row r (0 .. 191) as drawn for `key`: 240 bytes.
  const uint8_t* row(unsigned r) const { return image.data() + r * BACKGROUND_RING_WIDTH + window; }
  uint8_t* row(unsigned r) { return image.data() + r * BACKGROUND_RING_WIDTH + window; }
};

// A lane's cached background, guarded by its own lock so that drawing works on
// a shared reference to the machine. A copy starts empty.
struct PlayfieldCache {
  mutable std::shared_mutex background_lock;
  mutable BackgroundCache background;

  PlayfieldCache() = default;
  PlayfieldCache(const PlayfieldCache&) {}
  PlayfieldCache& operator=(const PlayfieldCache& other) {
    if (this != &other) {
      std::unique_lock lock(background_lock);
      background.valid = false;
    }
    return *this;
  }
};

/// Gray playfield into a full 240 x 224 gray frame: screen rows 40..231 go to
/// frame rows 32..223, reusing the cached background when nothing changed, with
/// the sprites drawn over it; frame rows 0..31 are not touched. Same bytes as
/// render_gray over those rows.
void render_gray_playfield_cached(const Machine& m, uint8_t* frame);
/// Rows of the gray playfield as render_gray_playfield_cached would leave them
/// in frame rows 32..223, for callers that only read the pixels: a row without
/// sprite pixels points into the cached background itself, a row with some
/// points into `sprite_rows` (192 x 240 bytes, row r at r x 240), where the
/// cached row is copied and the sprites are drawn over it. The background is
/// cached exactly as render_gray_playfield_cached caches it, drawn straight
/// into the cache on a miss. `use(context, rows)` gets the 192 row pointers and
/// runs while they stay valid (the cache lock is held).
using PlayfieldRowsFn = void (*)(void* context, const uint8_t* const* rows);
void visit_gray_playfield_rows(const Machine& m, uint8_t* sprite_rows, PlayfieldRowsFn use, void* context);
template <class F>
void visit_gray_playfield_rows(const Machine& m, uint8_t* sprite_rows, F& use) {
  visit_gray_playfield_rows(
      m, sprite_rows, [](void* c, const uint8_t* const* rows) { (*static_cast<F*>(c))(rows); }, &use);
}

/// Colour indices (palette RAM byte mod 64) of the playfield into a full
/// 240 x 224 plane, frame rows 32..223, as render_colour_indices draws them,
/// through `cache`: a background cache of colour indices held by one caller
/// at a time (no lock), kept like the gray one. `lut` is the console's
/// ColourIndexLut lookup. Frame rows 0..31 are not touched.
void render_colour_index_playfield_cached(const Machine& m, BackgroundCache& cache, const uint32_t* lut,
                                          uint8_t* frame);

/// Empties the cached background.
void clear_background_cache(const Machine& m);

}  // namespace tt
