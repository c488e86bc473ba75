// Routine accelerators: native versions of the supported game's busiest ROM
// routines with exactly the effect and cycle count of interpreting them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/frame_runner.h"
#include "driver/machine.h"

namespace tt {

inline constexpr std::array<uint16_t, ACCELERATOR_SLOTS> ACCELERATOR_ENTRY_PC = {
    0x8057, 0x8150, 0x0000, 0x810E, 0x8223, 0x81CF, 0x8E6A, 0x8FA1, 0x9BE1, 0xE3F0, 0xF1C0, 0xF26D, 0xF282};

/// Enable bytes for the 13 slots: 1 where the PRG bytes hold the routine's code.
std::array<uint8_t, ACCELERATOR_SLOTS> detect_accelerators(const uint8_t* prg, size_t prg_len, uint16_t prg_mask);

// Each accelerator either applies completely (returns true, updates the clock)
// or changes nothing (returns false).
void accel_idle_wait(Console& m, FrameClock& clock);                       // slot 0
bool accel_sprite0_poll(Console& m, FrameClock& clock, bool slot2_enabled);  // slots 1 and 2
bool accel_timer_countdown(Console& m, FrameClock& clock);                 // slot 3
bool accel_sprites_offscreen(Console& m, FrameClock& clock);               // slot 4
bool accel_table_update(Console& m, FrameClock& clock);                    // slot 5
bool accel_read_controller(Console& m, FrameClock& clock);                 // slot 6
bool accel_keep_higher_score(Console& m, FrameClock& clock);               // slot 7
bool accel_table_pointer(Console& m, FrameClock& clock);                   // slot 8
bool accel_byte_under_object(Console& m, FrameClock& clock);               // slot 9
bool accel_relative_position_bits(Console& m, FrameClock& clock);          // slot 10
bool accel_compare_and_scale(Console& m, FrameClock& clock);               // slot 11
bool accel_write_sprite_pair(Console& m, FrameClock& clock);               // slot 12

namespace accel_detail {
inline constexpr std::array<bool, 256> make_entry_filter() {
  std::array<bool, 256> f{};
  for (size_t i = 0; i < ACCELERATOR_SLOTS; ++i)
    if (i != 2) f[ACCELERATOR_ENTRY_PC[i] & 0xFF] = true;
  return f;
}
inline constexpr std::array<bool, 256> ENTRY_FILTER = make_entry_filter();
}  // namespace accel_detail

/// Frame-runner hooks that offer the machine to the enabled accelerators.
struct AcceleratorHooks {
  static constexpr bool enabled = true;
  const uint8_t* slot_enabled;

  HookResult dispatch(Console& m, FrameClock& clock) {
    const uint16_t pc = m.cpu.pc;
    if (!accel_detail::ENTRY_FILTER[pc & 0xFF]) return HookResult::NotApplied;
    const uint8_t* on = slot_enabled;
    switch (pc) {
      case 0x8057:
        if (on[0]) { accel_idle_wait(m, clock); return HookResult::Synchronise; }
        break;
      case 0x8150:
        if (on[1] && accel_sprite0_poll(m, clock, on[2] != 0)) return HookResult::Synchronise;
        break;
      case 0x810E:
        if (on[3] && accel_timer_countdown(m, clock)) return HookResult::Continue;
        break;
      case 0x8223:
        if (on[4] && accel_sprites_offscreen(m, clock)) return HookResult::TestWindow;
        break;
      case 0x81CF:
        if (on[5] && accel_table_update(m, clock)) return HookResult::Continue;
        break;
      case 0x8E6A:
        if (on[6] && accel_read_controller(m, clock)) return HookResult::Continue;
        break;
      case 0x8FA1:
        if (on[7] && accel_keep_higher_score(m, clock)) return HookResult::Continue;
        break;
      case 0x9BE1:
        if (on[8] && accel_table_pointer(m, clock)) return HookResult::Continue;
        break;
      case 0xE3F0:
        if (on[9] && accel_byte_under_object(m, clock)) return HookResult::Continue;
        break;
      case 0xF1C0:
        if (on[10] && accel_relative_position_bits(m, clock)) return HookResult::Continue;
        break;
      case 0xF26D:
        if (on[11] && accel_compare_and_scale(m, clock)) return HookResult::Continue;
        break;
      case 0xF282:
        if (on[12] && accel_write_sprite_pair(m, clock)) return HookResult::Continue;
        break;
      default:
        break;
    }
    return HookResult::NotApplied;
  }
};

}  // namespace tt
