// Where the supported game puts things on screen: a status band at the top
// that never scrolls, and the scrolled playfield below it.
#pragma once

#include "core/console.h"
#include "core/renderer.h"

namespace tt {

/// Screen rows 0..31 are drawn without scrolling.
inline constexpr unsigned UNSCROLLED_TOP_ROWS = 32;
/// Frame rows 0..31 of the visible frame (screen rows 8..39): the band above
/// the cached playfield.
inline constexpr unsigned BAND_ROWS = 32;
/// The cached playfield: screen rows 40..231, frame rows 32..223.
inline constexpr unsigned PLAYFIELD_TOP = VISIBLE_RECT.y0 + BAND_ROWS;
inline constexpr unsigned PLAYFIELD_ROWS = 192;
static_assert(BAND_ROWS + PLAYFIELD_ROWS == VISIBLE_FRAME_HEIGHT);

}  // namespace tt
