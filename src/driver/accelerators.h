// Routine accelerators: native versions of the supported game's busiest ROM
// routines with exactly the effect and cycle count of interpreting them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/frame_runner.h"
#include "driver/accelerator_signatures.h"
#include "driver/machine.h"

namespace tt {

inline constexpr std::array<uint16_t, ACCELERATOR_SLOTS> ACCELERATOR_ENTRY_PC = {
    0x8057, 0x8150, 0x0000, 0x810E, 0x8223, 0x81CF, 0x8E6A, 0x8FA1, 0x9BE1, 0xE3F0, 0xF1C0, 0xF26D, 0xF282};

/// The cartridge's code translated into blocks for the lanes, with a stop at
/// every accelerator entry point.
std::shared_ptr<const TranslatedCode> translate_lane_code(const Cartridge& cart);

/// Host code for the lanes' translation (null where the host has none).
std::shared_ptr<const NativeCode> native_lane_code(std::shared_ptr<const TranslatedCode> translation);

/// Enable bytes for the 13 slots: 1 where the PRG bytes (CPU address &
/// prg_mask, nothing beyond prg_len) hold the routine's expected code. Slot 2
/// is enabled only together with slot 1.
std::array<uint8_t, ACCELERATOR_SLOTS> detect_accelerators(const uint8_t* prg, size_t prg_len, uint16_t prg_mask);

// Each accelerator either applies completely (returns true: the routine's
// whole effect is done, cpu.pc is at its exit and the clock has been charged)
// or changes nothing (returns false) and leaves the routine to the CPU.

/// Slot 0: idle `JMP *` waiting for NMI; runs whole 3-cycle turns until the
/// next PPU event (or the cycle budget) is reached.
bool accel_idle_wait(Console& m, FrameClock& clock);
/// Slot 1: sprite-0 polling loop; with the hit flag already up it hands over
/// to slot 2 (the read and delay after the hit) when `slot2_enabled`.
bool accel_sprite0_poll(Console& m, FrameClock& clock, bool slot2_enabled);
/// Slot 3: timer countdown loop over X, exits at 0x8119.
bool accel_timer_countdown(Console& m, FrameClock& clock);
/// Slot 4: moves sprites 1-63 off screen.
bool accel_sprites_offscreen(Console& m, FrameClock& clock);
/// Slot 5: table update loop over X, exits at 0x81E8.
bool accel_table_update(Console& m, FrameClock& clock);
/// Slot 6: reads eight bits from controller port X.
bool accel_read_controller(Console& m, FrameClock& clock);
/// Slot 7: keeps the higher of two six-digit scores.
bool accel_keep_higher_score(Console& m, FrameClock& clock);
/// Slot 8: table-based pointer from A into RAM 0x06/0x07.
bool accel_table_pointer(Console& m, FrameClock& clock);
/// Slot 9: looks up the byte under object X.
bool accel_byte_under_object(Console& m, FrameClock& clock);
/// Slot 10: position-relative bits of object X.
bool accel_relative_position_bits(Console& m, FrameClock& clock);
/// Slot 11: compare RAM 0x07 with 0x06 and scale.
bool accel_compare_and_scale(Console& m, FrameClock& clock);
/// Slot 12: writes two horizontally adjacent sprites into the OAM buffer.
bool accel_write_sprite_pair(Console& m, FrameClock& clock);

namespace accel_detail {
inline constexpr uint8_t NO_SLOT = 0xFF;
// The entry PCs have distinct low bytes, so one lookup by the low byte of the
// program counter rules out every other address.
struct EntryTable {
  std::array<uint16_t, 256> entry_pc{};  // a PC whose low byte is not the index where no slot starts
  std::array<uint8_t, 256> slot{};
};
inline constexpr EntryTable make_entry_table() {
  EntryTable t{};
  for (size_t i = 0; i < 256; ++i) {
    t.entry_pc[i] = static_cast<uint16_t>(i ^ 1);
    t.slot[i] = NO_SLOT;
  }
  for (size_t i = 0; i < ACCELERATOR_SLOTS; ++i) {
    if (i == 2) continue;
    t.entry_pc[ACCELERATOR_ENTRY_PC[i] & 0xFF] = ACCELERATOR_ENTRY_PC[i];
    t.slot[ACCELERATOR_ENTRY_PC[i] & 0xFF] = static_cast<uint8_t>(i);
  }
  return t;
}
inline constexpr EntryTable ENTRY_TABLE = make_entry_table();
}  // namespace accel_detail

/// Frame-runner hooks that offer the machine to the enabled accelerators.
struct AcceleratorHooks {
  static constexpr bool enabled = true;
  const uint8_t* slot_enabled;

  /// Whether `pc` is the entry of a slot (enabled or not): one table lookup.
  TT_ALWAYS_INLINE static bool wants(uint16_t pc) { return accel_detail::ENTRY_TABLE.entry_pc[pc & 0xFF] == pc; }

  /// Whether `pc` is the entry of an enabled slot: only then can `dispatch` apply.
  TT_ALWAYS_INLINE bool offers(uint16_t pc) const {
    return wants(pc) && slot_enabled[accel_detail::ENTRY_TABLE.slot[pc & 0xFF]];
  }

  /// The accelerator slot whose entry is `pc`, or -1.
  static int slot_at(uint16_t pc) { return wants(pc) ? accel_detail::ENTRY_TABLE.slot[pc & 0xFF] : -1; }

  /// Offers the machine to the slot whose entry is cpu.pc, if enabled.
  HookResult dispatch(Console& m, FrameClock& clock) {
    const uint16_t pc = m.cpu.pc;
    if (!wants(pc)) return HookResult::NotApplied;
    const uint8_t slot = accel_detail::ENTRY_TABLE.slot[pc & 0xFF];
    if (!slot_enabled[slot]) return HookResult::NotApplied;
    // The slot works on a copy, so the runner's own clock never has its
    // address taken and can stay in registers through the frame loop.
    FrameClock updated = clock;
    const HookResult result = run_slot(slot, m, updated);
    clock = updated;
    return result;
  }

  /// Runs the enabled accelerator of `slot` (entry PCs only). Out of line, so
  /// the frame loop around the dispatch stays small.
  HookResult run_slot(uint8_t slot, Console& m, FrameClock& clock) const;
};

}  // namespace tt
