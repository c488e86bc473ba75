// The ten game values every lane reports after each step, declared once. The
// game info struct, its decoder, the environment's output buffers, the
// binding's array specs and text signatures, and the Python package's field
// list are all generated from this list.
#pragma once

#include <cstdint>

namespace tt::game_ram {

/// A RAM byte read as a signed 8-bit number.
inline int16_t signed_byte(const uint8_t* ram, unsigned at) {
  return static_cast<int16_t>(static_cast<int8_t>(ram[at]));
}
/// A decimal digit kept in the low nibble of a RAM byte.
inline int32_t digit(const uint8_t* ram, unsigned at) { return ram[at] & 0x0F; }

}  // namespace tt::game_ram

// X(name, value type, output element type, NumPy dtype, value from `ram`), in
// step_into / info_into order. The output element type is the value's bit
// pattern as the caller's arrays hold it.
#define TT_GAME_VALUES(X)                                                                                             \
  X(x_pos, uint16_t, uint16_t, uint16, ram[0x006D] * 256 + ram[0x0086])                                               \
  X(coins, uint8_t, uint8_t, uint8, ram[0x075E])                                                                      \
  X(level_hi, int16_t, int16_t, int16, signed_byte(ram, 0x075F))                                                      \
  X(level_lo, int16_t, int16_t, int16, signed_byte(ram, 0x075C))                                                      \
  X(lives, int16_t, int16_t, int16, signed_byte(ram, 0x075A))                                                         \
  X(score, int32_t, uint32_t, uint32,                                                                                 \
    digit(ram, 0x07DD) * 100000 + digit(ram, 0x07DE) * 10000 + digit(ram, 0x07DF) * 1000 + digit(ram, 0x07E0) * 100 + \
        digit(ram, 0x07E1) * 10 + digit(ram, 0x07E2))                                                                 \
  X(scrolling, int16_t, int16_t, int16, signed_byte(ram, 0x0778))                                                     \
  X(time, int16_t, uint16_t, uint16, digit(ram, 0x07F8) * 100 + digit(ram, 0x07F9) * 10 + digit(ram, 0x07FA))         \
  X(xscroll_hi, uint8_t, uint8_t, uint8, ram[0x071A])                                                                 \
  X(xscroll_lo, uint8_t, uint8_t, uint8, ram[0x071C])

// ", x_pos, coins, ..., xscroll_lo": the names as a text signature's parameters.
#define TT_GAME_VALUE_PARAMETER(NAME, ...) ", " #NAME
#define TT_GAME_VALUE_PARAMETERS TT_GAME_VALUES(TT_GAME_VALUE_PARAMETER)
