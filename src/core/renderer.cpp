#include "core/renderer.h"

#include <mutex>

#include "core/palette.h"

namespace tt {

void refresh_renderer_cache(Console& m) {
  RendererCache& rc = m.renderer;
  for (unsigned i = 0; i < 32; ++i) rc.gray_palette[i] = NES_PALETTE_GRAY[m.ppu.palette[i] & 0x3F];
  std::unique_lock lock(rc.lut_lock);
  for (unsigned q = 0; q < 4; ++q) {
    const uint8_t colours[4] = {rc.gray_palette[0], rc.gray_palette[4 * q + 1], rc.gray_palette[4 * q + 2],
                                rc.gray_palette[4 * q + 3]};
    for (unsigned b = 0; b < 256; ++b) {
      uint32_t w = 0;
      for (unsigned j = 0; j < 4; ++j) w |= uint32_t(colours[(b >> (2 * j)) & 3]) << (8 * j);
      rc.palette_lut[q * 256 + b] = w;
    }
  }
  rc.bg_palette_dirty.store(0, std::memory_order_relaxed);
}

}  // namespace tt
