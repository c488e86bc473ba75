#include "core/console.h"

#include <mutex>

namespace tt {

RendererCache::RendererCache() {
  gray_palette.fill(114);
  palette_lut.fill(0x72727272u);
}

RendererCache::RendererCache(const RendererCache& other) : gray_palette(other.gray_palette) {
  bg_palette_dirty.store(other.bg_palette_dirty.load(std::memory_order_relaxed), std::memory_order_relaxed);
  std::shared_lock lock(other.lut_lock);
  palette_lut = other.palette_lut;
}

RendererCache& RendererCache::operator=(const RendererCache& other) {
  if (this == &other) return *this;
  gray_palette = other.gray_palette;
  bg_palette_dirty.store(other.bg_palette_dirty.load(std::memory_order_relaxed), std::memory_order_relaxed);
  // One lock at a time: holding both would order the two consoles' locks
  // differently in `a = b` and `b = a`.
  std::array<uint32_t, 1024> lut;
  {
    std::shared_lock src(other.lut_lock);
    lut = other.palette_lut;
  }
  std::unique_lock dst(lut_lock);
  palette_lut = lut;
  return *this;
}

Console::Console(std::shared_ptr<const Cartridge> cart) : cartridge(std::move(cart)) {
  prg_rom = cartridge->prg_rom.data();
  prg_mask = static_cast<uint16_t>(cartridge->prg_rom.size() - 1);
  chr = cartridge->chr.data();
  tile_rows = cartridge->tile_rows.data();
  nametable_vertical = cartridge->nametable_vertical ? 1 : 0;
}

}  // namespace tt
