#include "core/bus.h"

#include <cstring>

namespace tt {

void oam_dma(Console& m, uint8_t page) {
  const uint32_t base = static_cast<uint32_t>(page) << 8;
  const unsigned start = m.ppu.oam_addr;
  if (page < 0x20) {
    // Work RAM (or a mirror of it): reads have no side effects, copy the page.
    const uint8_t* src = m.ram.data() + (base & 0x7FF);
    std::memcpy(m.ppu.oam.data() + start, src, 256 - start);
    std::memcpy(m.ppu.oam.data(), src + (256 - start), start);
  } else {
    for (unsigned i = 0; i < 256; ++i) m.ppu.oam[(start + i) & 0xFF] = bus_read(m, base + i);
  }
  m.extra_cycles = static_cast<uint16_t>(m.extra_cycles + OAM_DMA_CYCLES);
}

}  // namespace tt
