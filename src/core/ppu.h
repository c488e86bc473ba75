// PPU registers as the CPU sees them, and the event-driven dot clock.
#pragma once

#include <cstdint>

#include "core/console.h"

namespace tt {

// Register access for CPU addresses 0x2000-0x3FFF; `reg` is address & 7.
uint8_t ppu_read_register(Console& m, unsigned reg);
void ppu_write_register(Console& m, unsigned reg, uint8_t value);

// Advances the PPU clock by `dots`; returns whether the frame ended during the call.
bool ppu_tick(Console& m, uint64_t dots);

// Index into ppu.vram of a nametable address in 0x2000-0x3EFF.
inline unsigned nametable_index(const Console& m, unsigned a) {
  unsigned b = m.nametable_vertical ? (a >> 10) & 1 : (a >> 11) & 1;
  return (a & 0x3FF) + 1024 * b;
}

// Palette RAM index of a palette address; 0x10/0x14/0x18/0x1C mirror 0x00/0x04/0x08/0x0C.
inline unsigned palette_index(unsigned a) {
  unsigned i = a & 0x1F;
  if ((i & 0x13) == 0x10) i &= 0x0F;
  return i;
}

/// The first event dot after `frame_dot` (vblank start, vblank end, the
/// sprite-0 hit when present, frame end): where a consistent clock waits next.
inline uint64_t next_event_after(const Console& m, uint64_t frame_dot) {
  if (frame_dot < VBLANK_START_DOT) return VBLANK_START_DOT;
  if (frame_dot < VBLANK_END_DOT) return VBLANK_END_DOT;
  if (m.ppu.has_sprite0_hit_dot && frame_dot < m.ppu.sprite0_hit_dot) return m.ppu.sprite0_hit_dot;
  return FRAME_DOTS;
}

// Stores a palette RAM byte and keeps the renderer's gray copy and dirty mask current.
void ppu_write_palette(Console& m, unsigned index, uint8_t value);

}  // namespace tt
