// The 2A03's arithmetic and flag rules on plain values, shared by the CPU
// interpreter and by the native routines that stand in for the cartridge's
// code. Each helper changes only the flags its instruction changes (plus
// bit 5), so the two can never disagree on a flag.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#define TT_ALWAYS_INLINE __forceinline
#else
#define TT_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

namespace tt::alu {

// Status register bits.
inline constexpr uint8_t C = 0x01, Z = 0x02, I = 0x04, D = 0x08, B = 0x10, U = 0x20, V = 0x40, N = 0x80;

// N and Z as the CPU engines keep them between instructions: as the value
// they were last set from (`nz`), folded into P only when P is read whole.
// N is bit 7 or bit 15 of `nz` (BIT and a loaded P use bit 15), Z that its
// low byte is zero.
inline constexpr uint16_t NZ_NEGATIVE = 0x8080;
inline constexpr uint16_t NZ_VALUE = 0x00FF;
TT_ALWAYS_INLINE constexpr bool nz_negative(uint16_t nz) { return (nz & NZ_NEGATIVE) != 0; }
TT_ALWAYS_INLINE constexpr bool nz_zero(uint16_t nz) { return (nz & NZ_VALUE) == 0; }
/// The whole P register from `p` (whose N and Z do not count) and `nz`.
TT_ALWAYS_INLINE constexpr uint8_t with_nz(uint8_t p, uint16_t nz) {
  return static_cast<uint8_t>((p & ~(Z | N)) | (nz_negative(nz) ? N : 0) | (nz_zero(nz) ? Z : 0));
}
/// The `nz` of a whole P register.
TT_ALWAYS_INLINE constexpr uint16_t nz_of(uint8_t p) {
  return static_cast<uint16_t>(((p & Z) ? 0 : 1) | ((p & N) << 8));
}

// P on the stack: B and bit 5 are no flags, only what the stack sees. PHP
// and BRK push them set, NMI entry pushes B clear, and PLP and RTI drop both
// (bit 5 then reads as set).
TT_ALWAYS_INLINE constexpr uint8_t pushed_by_instruction(uint8_t p) { return static_cast<uint8_t>(p | B | U); }
TT_ALWAYS_INLINE constexpr uint8_t pushed_by_interrupt(uint8_t p) { return static_cast<uint8_t>((p & ~(B | U)) | U); }
TT_ALWAYS_INLINE constexpr uint8_t pulled(uint8_t v) { return static_cast<uint8_t>((v & ~(B | U)) | U); }
/// P after an interrupt's entry (BRK, NMI): I set, and bit 5.
TT_ALWAYS_INLINE constexpr uint8_t entering_interrupt(uint8_t p) { return static_cast<uint8_t>(p | I | U); }

/// `p` with Z and N taken from `v` (and bit 5 set): the flags of a load.
TT_ALWAYS_INLINE constexpr uint8_t with_zn(uint8_t p, uint8_t v) {
  return static_cast<uint8_t>((p & ~(Z | N)) | U | (v & N) | (v == 0 ? Z : 0));
}

/// ADC: returns `a` + `v` + `carry` (0 or 1); C and V of `p` follow the sum,
/// its other bits stay. SBC is this with `v` ^ 0xFF.
TT_ALWAYS_INLINE constexpr uint8_t add_with_carry(uint8_t& p, uint8_t a, uint8_t v, unsigned carry) {
  const unsigned r = a + v + carry;
  uint8_t f = static_cast<uint8_t>(p & ~(C | V));
  if (r > 0xFF) f |= C;
  if ((a ^ r) & ~(a ^ v) & 0x80) f |= V;
  p = f;
  return static_cast<uint8_t>(r);
}

/// CMP / CPX / CPY: C (and bit 5) of `p` from `reg` >= `v`; returns
/// `reg` - `v`, the value Z and N come from.
TT_ALWAYS_INLINE constexpr uint8_t compare(uint8_t& p, uint8_t reg, uint8_t v) {
  p = static_cast<uint8_t>((p & ~C) | U | (reg >= v ? C : 0));
  return static_cast<uint8_t>(reg - v);
}

// Shifts and rotates: return the result and put the bit shifted out in C of
// `p`; Z and N come from the result.
TT_ALWAYS_INLINE constexpr uint8_t shift_left(uint8_t& p, uint8_t v) {
  p = static_cast<uint8_t>((p & ~C) | (v >> 7));
  return static_cast<uint8_t>(v << 1);
}
TT_ALWAYS_INLINE constexpr uint8_t shift_right(uint8_t& p, uint8_t v) {
  p = static_cast<uint8_t>((p & ~C) | (v & 1));
  return static_cast<uint8_t>(v >> 1);
}
TT_ALWAYS_INLINE constexpr uint8_t rotate_left(uint8_t& p, uint8_t v) {
  const uint8_t r = static_cast<uint8_t>((v << 1) | (p & C));
  p = static_cast<uint8_t>((p & ~C) | (v >> 7));
  return r;
}
TT_ALWAYS_INLINE constexpr uint8_t rotate_right(uint8_t& p, uint8_t v) {
  const uint8_t r = static_cast<uint8_t>((v >> 1) | ((p & C) << 7));
  p = static_cast<uint8_t>((p & ~C) | (v & 1));
  return r;
}

}  // namespace tt::alu
