// One emulated console: CPU registers, work RAM, controller, PPU registers,
// memories and event clock, the cartridge view and the renderer cache.
//
// Everything that changes while the console runs lives in `ConsoleState`, a
// small trivially copyable block; the cartridge bytes are shared read-only
// between all consoles built from the same image.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>

#include "core/cartridge.h"

namespace tt {

inline constexpr int NES_WIDTH = 256;
inline constexpr int NES_HEIGHT = 240;
inline constexpr int VISIBLE_FRAME_WIDTH = 240;
inline constexpr int VISIBLE_FRAME_HEIGHT = 224;

inline constexpr uint64_t VBLANK_START_DOT = 341;
inline constexpr uint64_t VBLANK_END_DOT = 7161;
inline constexpr uint64_t SPRITE0_HIT_DOT = 17733;
inline constexpr uint64_t FRAME_DOTS = 89342;
inline constexpr uint64_t FRAME_CYCLE_BUDGET = 40000;

struct CpuRegisters {
  uint16_t pc = 0;
  uint8_t a = 0;
  uint8_t x = 0;
  uint8_t y = 0;
  uint8_t sp = 0xFD;
  uint8_t p = 0x24;
};

struct PpuState {
  uint8_t ctrl = 0;
  uint8_t mask = 0;
  uint8_t status = 0;
  uint8_t oam_addr = 0;
  uint8_t data_buffer = 0;
  uint8_t first_write = 1;
  uint8_t fine_x = 0;
  uint8_t scroll_x_low = 0;
  uint8_t nmi_pending = 0;
  uint8_t has_scroll_override = 0;  // ppu.scroll_override_x_px present?
  uint16_t scroll_override_x_px = 0;
  uint16_t addr = 0;
  uint16_t temp_addr = 0;
  uint16_t scroll_addr = 0;
  uint16_t render_addr = 0;
  uint16_t scroll_x_px = 0;
  uint16_t scroll_y_px = 0;
  uint64_t frame_dot = 0;
  uint64_t next_event_dot = VBLANK_START_DOT;
  uint64_t frame = 0;
  uint8_t has_sprite0_hit_dot = 1;
  uint64_t sprite0_hit_dot = SPRITE0_HIT_DOT;
  std::array<uint8_t, 256> oam{};
  std::array<uint8_t, 2048> vram{};
  std::array<uint8_t, 32> palette{};
};

// The state that changes while the console runs; trivially copyable.
struct ConsoleState {
  CpuRegisters cpu;
  uint8_t controller_state = 0;
  uint8_t controller_shift = 0;
  uint8_t controller_strobe = 0;
  uint8_t nametable_vertical = 0;
  uint16_t extra_cycles = 0;
  std::array<uint8_t, 2048> ram{};
  PpuState ppu;
};

// Derived drawing state. Guarded by its own locks so the drawing operations
// can work on a shared reference to the console: the lazily rebuilt parts are
// `mutable` for that reason.
struct RendererCache {
  std::array<uint8_t, 32> gray_palette;
  mutable std::atomic<uint8_t> bg_palette_dirty{0};
  mutable std::shared_mutex lut_lock;
  mutable std::array<uint32_t, 1024> palette_lut;

  RendererCache();
  // Copies the palette tables.
  RendererCache(const RendererCache& other);
  RendererCache& operator=(const RendererCache& other);
};

class Console : public ConsoleState {
 public:
  explicit Console(std::shared_ptr<const Cartridge> cart);
  Console(const Console& other) = default;
  Console& operator=(const Console& other) = default;

  // Cartridge view.
  const uint8_t* prg_rom = nullptr;
  uint16_t prg_mask = 0x3FFF;
  const uint8_t* chr = nullptr;
  static constexpr uint16_t chr_mask = 0x1FFF;
  const uint16_t* tile_rows = nullptr;
  std::shared_ptr<const Cartridge> cartridge;
  // Screen rows 0 .. unscrolled_top_rows - 1 are drawn without scrolling (a
  // fixed split at the top of the picture); none by default.
  unsigned unscrolled_top_rows = 0;

  RendererCache renderer;
};

}  // namespace tt
