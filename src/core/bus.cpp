#include "core/bus.h"

namespace tt {

void oam_dma(Console& m, uint8_t page) {
  const uint32_t base = static_cast<uint32_t>(page) << 8;
  for (unsigned i = 0; i < 256; ++i) {
    m.ppu.oam[(m.ppu.oam_addr + i) & 0xFF] = bus_read(m, base + i);
  }
  m.extra_cycles = static_cast<uint16_t>(m.extra_cycles + OAM_DMA_CYCLES);
}

}  // namespace tt
