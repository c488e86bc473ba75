// Helpers shared by the fuzz targets.
#pragma once

#include <cstring>
#include <memory>
#include <variant>
#include <vector>

#include "core/cartridge.h"
#include "core/console.h"

// Stops the process where a fuzz target's check fails (MSVC has no __builtin_trap).
#if defined(_MSC_VER) && !defined(__clang__)
#define TT_FUZZ_TRAP() __debugbreak()
#else
#define TT_FUZZ_TRAP() __builtin_trap()
#endif

namespace tt::fuzz {

// A 16 KiB image whose program enables NMI and loops; NMI returns at once.
inline std::shared_ptr<const Cartridge> looping_cartridge() {
  std::vector<uint8_t> img(16 + 16384, 0);
  const uint8_t header[8] = {0x4E, 0x45, 0x53, 0x1A, 1, 0, 0, 0};
  std::memcpy(img.data(), header, 8);
  const uint8_t code[] = {0xA9, 0x80, 0x8D, 0x00, 0x20, 0x4C, 0x05, 0x80, 0x40};
  std::memcpy(img.data() + 16, code, sizeof code);
  const uint8_t vectors[6] = {0x08, 0x80, 0x00, 0x80, 0x08, 0x80};
  std::memcpy(img.data() + 16 + 0x3FFA, vectors, 6);
  auto parsed = parse_ines(img);
  return std::make_shared<const Cartridge>(std::get<Cartridge>(std::move(parsed)));
}

inline bool same_state(const ConsoleState& a, const ConsoleState& b) {
  return a.cpu.pc == b.cpu.pc && a.cpu.a == b.cpu.a && a.cpu.x == b.cpu.x && a.cpu.y == b.cpu.y && a.cpu.p == b.cpu.p &&
         a.cpu.sp == b.cpu.sp && a.ram == b.ram && a.extra_cycles == b.extra_cycles && a.ppu.vram == b.ppu.vram &&
         a.ppu.palette == b.ppu.palette && a.ppu.oam == b.ppu.oam && a.ppu.frame_dot == b.ppu.frame_dot &&
         a.ppu.next_event_dot == b.ppu.next_event_dot && a.ppu.frame == b.ppu.frame && a.ppu.ctrl == b.ppu.ctrl;
}

}  // namespace tt::fuzz
