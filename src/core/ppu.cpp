#include "core/ppu.h"

#include <algorithm>

#include "core/palette.h"

namespace tt {

namespace {

inline uint16_t address_increment(const Console& m) { return (m.ppu.ctrl & 0x04) ? 32 : 1; }

}  // namespace

void ppu_write_palette(Console& m, unsigned index, uint8_t value) {
  m.ppu.palette[index] = value;
  m.renderer.gray_palette[index] = NES_PALETTE_GRAY[value & 0x3F];
  if (index == 0) {
    m.renderer.bg_palette_dirty.store(0x0F, std::memory_order_relaxed);
  } else if (index < 16 && (index & 3) != 0) {
    m.renderer.bg_palette_dirty.fetch_or(static_cast<uint8_t>(1u << (index >> 2)), std::memory_order_relaxed);
  }
}

uint8_t ppu_read_register(Console& m, unsigned reg) {
  PpuState& p = m.ppu;
  switch (reg) {
    case 2: {
      uint8_t v = p.status;
      p.status &= 0x7F;
      p.first_write = 1;
      return v;
    }
    case 4: return p.oam[p.oam_addr];
    case 7: {
      const uint16_t e = p.addr;
      p.addr = static_cast<uint16_t>((e + address_increment(m)) & 0x3FFF);
      const unsigned a = e & 0x3FFF;
      if (a >= 0x3F00) return p.palette[palette_index(a)];
      const uint8_t old = p.data_buffer;
      p.data_buffer = a >= 0x2000 ? p.vram[nametable_index(m, a)] : m.chr[a & Console::chr_mask];
      return old;
    }
    default: return 0;
  }
}

void ppu_write_register(Console& m, unsigned reg, uint8_t v) {
  PpuState& p = m.ppu;
  switch (reg) {
    case 0: {
      const uint8_t old = p.ctrl;
      p.ctrl = v;
      const uint16_t nt = static_cast<uint16_t>((v & 3) << 10);
      p.temp_addr = static_cast<uint16_t>((p.temp_addr & 0xF3FF) | nt);
      p.scroll_addr = static_cast<uint16_t>((p.scroll_addr & 0xF3FF) | nt);
      p.scroll_x_px = static_cast<uint16_t>(((v & 1) << 8) | p.scroll_x_low);
      if ((v & 0x80) && !(old & 0x80) && (p.status & 0x80)) p.nmi_pending = 1;
      break;
    }
    case 1: p.mask = v; break;
    case 3: p.oam_addr = v; break;
    case 4:
      p.oam[p.oam_addr] = v;
      p.oam_addr = static_cast<uint8_t>(p.oam_addr + 1);
      break;
    case 5:
      if (p.first_write) {
        p.fine_x = v & 7;
        p.scroll_x_low = v;
        p.scroll_x_px = static_cast<uint16_t>(((p.ctrl & 1) << 8) | v);
        p.temp_addr = static_cast<uint16_t>((p.temp_addr & 0xFFE0) | (v >> 3));
      } else {
        p.scroll_y_px = v;
        p.temp_addr = static_cast<uint16_t>((p.temp_addr & 0x8C1F) | ((v & 7) << 12) | ((v >> 3) << 5));
      }
      p.scroll_addr = p.temp_addr;
      p.first_write ^= 1;
      break;
    case 6:
      if (p.first_write) {
        p.temp_addr = static_cast<uint16_t>(((v & 0x3F) << 8) | (p.temp_addr & 0xFF));
      } else {
        p.temp_addr = static_cast<uint16_t>((p.temp_addr & 0xFF00) | v);
        p.addr = p.temp_addr;
      }
      p.first_write ^= 1;
      break;
    case 7: {
      const unsigned a = p.addr & 0x3FFF;
      if (a >= 0x3F00) {
        ppu_write_palette(m, palette_index(a), v);
      } else if (a >= 0x2000) {
        p.vram[nametable_index(m, a)] = v;
      }
      p.addr = static_cast<uint16_t>((p.addr + address_increment(m)) & 0x3FFF);
      break;
    }
    default: break;
  }
}

bool ppu_tick(Console& m, uint64_t n) {
  if (n == 0) return false;
  PpuState& p = m.ppu;
  const bool nmi_enabled = (p.ctrl & 0x80) != 0;
  const bool has_hit = p.has_sprite0_hit_dot != 0;
  const uint64_t hit_dot = p.sprite0_hit_dot;
  bool ended = false;
  while (n != 0) {
    const uint64_t step = std::min(p.next_event_dot - p.frame_dot, n);
    p.frame_dot += step;
    n -= step;
    if (has_hit && p.frame_dot == hit_dot) {
      p.status |= 0x40;
      p.next_event_dot = FRAME_DOTS;
    } else if (p.frame_dot == VBLANK_START_DOT) {
      p.status |= 0x80;
      if (nmi_enabled) p.nmi_pending = 1;
      p.next_event_dot = VBLANK_END_DOT;
    } else if (p.frame_dot == VBLANK_END_DOT) {
      p.status &= 0x3F;
      p.next_event_dot = has_hit ? hit_dot : FRAME_DOTS;
    } else if (p.frame_dot == FRAME_DOTS) {
      p.frame += 1;
      p.frame_dot = 0;
      p.next_event_dot = VBLANK_START_DOT;
      ended = true;
    } else if (step == 0) {
      break;  // a restored clock that sits on a non-event dot: never spin
    }
  }
  return ended;
}

}  // namespace tt
