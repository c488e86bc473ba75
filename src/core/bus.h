// CPU memory map: work RAM, PPU registers, controller port, OAM DMA, PRG ROM.
#pragma once

#include <cstdint>

#include "core/console.h"
#include "core/ppu.h"

namespace tt {

inline constexpr uint16_t OAM_DMA_CYCLES = 513;

inline uint8_t controller_read(Console& m) {
  if (m.controller_strobe) return 0x40 | (m.controller_state & 1);
  uint8_t b = m.controller_shift & 1;
  m.controller_shift = static_cast<uint8_t>((m.controller_shift >> 1) | 0x80);
  return 0x40 | b;
}

inline void controller_write(Console& m, uint8_t value) {
  m.controller_strobe = value & 1;
  if (m.controller_strobe) m.controller_shift = m.controller_state;
}

// Addresses may exceed 16 bits (indexed modes); only the low 16 bits count.
inline uint8_t bus_read(Console& m, uint32_t address) {
  uint32_t a = address & 0xFFFF;
  if (a < 0x2000) return m.ram[a & 0x7FF];
  if (a >= 0x8000) return m.prg_rom[a & m.prg_mask];
  if (a < 0x4000) return ppu_read_register(m, a & 7);
  if (a == 0x4016) return controller_read(m);
  return 0;
}

void oam_dma(Console& m, uint8_t page);

inline void bus_write(Console& m, uint32_t address, uint8_t value) {
  uint32_t a = address & 0xFFFF;
  if (a < 0x2000) {
    m.ram[a & 0x7FF] = value;
  } else if (a < 0x4000) {
    ppu_write_register(m, a & 7, value);
  } else if (a == 0x4014) {
    oam_dma(m, value);
  } else if (a == 0x4016) {
    controller_write(m, value);
  }
}

}  // namespace tt
