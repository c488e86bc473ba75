// The 2A03 CPU: an NMOS 6502 without decimal arithmetic, one whole
// instruction per call, all registers held in the console.
#pragma once

#include <cstdint>

#include "core/bus.h"
#include "core/console.h"

namespace tt {

namespace cpu_detail {

inline constexpr uint8_t C = 0x01, Z = 0x02, I = 0x04, D = 0x08, B = 0x10, U = 0x20, V = 0x40, N = 0x80;

inline uint8_t fetch(Console& m) {
  const uint16_t pc = m.cpu.pc;
  m.cpu.pc = static_cast<uint16_t>(pc + 1);
  if (pc & 0x8000) return m.prg_rom[pc & m.prg_mask];
  return bus_read(m, pc);
}

inline uint16_t fetch16(Console& m) {
  const uint8_t lo = fetch(m);
  const uint8_t hi = fetch(m);
  return static_cast<uint16_t>(lo | (hi << 8));
}

inline void set_zn(Console& m, uint8_t v) {
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & ~(Z | N)) | U | (v & N) | (v == 0 ? Z : 0));
}

inline void push(Console& m, uint8_t v) {
  m.ram[0x100 + m.cpu.sp] = v;
  m.cpu.sp = static_cast<uint8_t>(m.cpu.sp - 1);
}

inline uint8_t pull(Console& m) {
  m.cpu.sp = static_cast<uint8_t>(m.cpu.sp + 1);
  return m.ram[0x100 + m.cpu.sp];
}

inline void adc(Console& m, uint8_t v) {
  const unsigned a = m.cpu.a;
  const unsigned r = a + v + (m.cpu.p & C);
  uint8_t p = static_cast<uint8_t>(m.cpu.p & ~(C | V));
  if (r > 0xFF) p |= C;
  if ((a ^ r) & ~(a ^ v) & 0x80) p |= V;
  m.cpu.p = p;
  m.cpu.a = static_cast<uint8_t>(r);
  set_zn(m, m.cpu.a);
}

inline void compare(Console& m, uint8_t reg, uint8_t v) {
  const uint8_t d = static_cast<uint8_t>(reg - v);
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & ~(C | Z | N)) | U | (reg >= v ? C : 0) | (reg == v ? Z : 0) | (d & N));
}

inline void bit(Console& m, uint8_t v) {
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & ~(Z | V | N)) | U | ((m.cpu.a & v) == 0 ? Z : 0) | (v & (V | N)));
}

inline uint8_t asl(Console& m, uint8_t v) {
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & ~C) | (v >> 7));
  const uint8_t r = static_cast<uint8_t>(v << 1);
  set_zn(m, r);
  return r;
}

inline uint8_t lsr(Console& m, uint8_t v) {
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & ~C) | (v & 1));
  const uint8_t r = static_cast<uint8_t>(v >> 1);
  set_zn(m, r);
  return r;
}

inline uint8_t rol(Console& m, uint8_t v) {
  const uint8_t r = static_cast<uint8_t>((v << 1) | (m.cpu.p & C));
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & ~C) | (v >> 7));
  set_zn(m, r);
  return r;
}

inline uint8_t ror(Console& m, uint8_t v) {
  const uint8_t r = static_cast<uint8_t>((v >> 1) | ((m.cpu.p & C) << 7));
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & ~C) | (v & 1));
  set_zn(m, r);
  return r;
}

inline uint8_t inc(Console& m, uint8_t v) {
  const uint8_t r = static_cast<uint8_t>(v + 1);
  set_zn(m, r);
  return r;
}

inline uint8_t dec(Console& m, uint8_t v) {
  const uint8_t r = static_cast<uint8_t>(v - 1);
  set_zn(m, r);
  return r;
}

// Effective addresses. Indexed results keep their carry past 16 bits; the bus drops it.
inline uint8_t zp(Console& m) { return fetch(m); }
inline uint8_t zpx(Console& m) { return static_cast<uint8_t>(fetch(m) + m.cpu.x); }
inline uint8_t zpy(Console& m) { return static_cast<uint8_t>(fetch(m) + m.cpu.y); }
inline uint32_t abs_(Console& m) { return fetch16(m); }

inline uint32_t abs_indexed(Console& m, uint8_t index, unsigned& cycles) {
  const uint32_t base = fetch16(m);
  const uint32_t a = base + index;
  if (((base ^ a) & 0xFFFF) >= 0x100) cycles += 1;
  return a;
}

inline uint32_t abs_indexed_nopage(Console& m, uint8_t index) { return static_cast<uint32_t>(fetch16(m)) + index; }

inline uint32_t ind_x(Console& m) {
  const uint8_t z = static_cast<uint8_t>(fetch(m) + m.cpu.x);
  return m.ram[z] | (m.ram[static_cast<uint8_t>(z + 1)] << 8);
}

inline uint32_t ind_y(Console& m, unsigned& cycles) {
  const uint8_t z = fetch(m);
  const uint32_t lo = m.ram[z];
  const uint32_t ptr = lo | (m.ram[static_cast<uint8_t>(z + 1)] << 8);
  if (lo + m.cpu.y > 0xFF) cycles += 1;
  return ptr + m.cpu.y;
}

inline uint32_t ind_y_nopage(Console& m) {
  const uint8_t z = fetch(m);
  const uint32_t ptr = m.ram[z] | (m.ram[static_cast<uint8_t>(z + 1)] << 8);
  return ptr + m.cpu.y;
}

inline unsigned branch(Console& m, bool taken) {
  const int8_t off = static_cast<int8_t>(fetch(m));
  if (!taken) return 2;
  const uint16_t next = m.cpu.pc;
  const uint16_t target = static_cast<uint16_t>(next + off);
  m.cpu.pc = target;
  return ((next ^ target) & 0xFF00) ? 4 : 3;
}

}  // namespace cpu_detail

// Vectors, read straight from PRG.
inline uint16_t read_vector(const Console& m, uint16_t offset) {
  return static_cast<uint16_t>(m.prg_rom[offset & m.prg_mask] | (m.prg_rom[(offset + 1) & m.prg_mask] << 8));
}
inline constexpr uint16_t NMI_VECTOR = 0x7FFA;
inline constexpr uint16_t RESET_VECTOR = 0x7FFC;
inline constexpr uint16_t IRQ_VECTOR = 0x7FFE;

// Code fetch of the opcode byte: PRG directly at 0x8000 and above, else the bus.
inline uint8_t fetch_opcode(Console& m) { return cpu_detail::fetch(m); }

// NMI entry between instructions; charges no cycles.
inline void nmi_entry(Console& m) {
  using namespace cpu_detail;
  push(m, static_cast<uint8_t>(m.cpu.pc >> 8));
  push(m, static_cast<uint8_t>(m.cpu.pc));
  push(m, static_cast<uint8_t>((m.cpu.p & 0xCF) | U));
  m.cpu.p |= 0x24;
  m.cpu.pc = read_vector(m, NMI_VECTOR);
}

/// Executes the instruction whose opcode byte was just fetched (cpu.pc already
/// past it) and returns its cycles plus any bus debt, saturating at 65535.
inline uint16_t cpu_step(Console& m, uint8_t opcode) {
  using namespace cpu_detail;
  unsigned c;
  auto& r = m.cpu;
  switch (opcode) {
#define LOADS(OP_IMM, OP_ZP, OP_ZPI, OP_ABS, REG, IDX_ZP)          \
  case OP_IMM: r.REG = fetch(m); set_zn(m, r.REG); c = 2; break;    \
  case OP_ZP: r.REG = m.ram[zp(m)]; set_zn(m, r.REG); c = 3; break; \
  case OP_ZPI: r.REG = m.ram[IDX_ZP(m)]; set_zn(m, r.REG); c = 4; break; \
  case OP_ABS: r.REG = bus_read(m, abs_(m)); set_zn(m, r.REG); c = 4; break;

    LOADS(0xA9, 0xA5, 0xB5, 0xAD, a, zpx)
    case 0xBD: c = 4; r.a = bus_read(m, abs_indexed(m, r.x, c)); set_zn(m, r.a); break;
    case 0xB9: c = 4; r.a = bus_read(m, abs_indexed(m, r.y, c)); set_zn(m, r.a); break;
    case 0xA1: r.a = bus_read(m, ind_x(m)); set_zn(m, r.a); c = 6; break;
    case 0xB1: c = 5; r.a = bus_read(m, ind_y(m, c)); set_zn(m, r.a); break;
    LOADS(0xA2, 0xA6, 0xB6, 0xAE, x, zpy)
    case 0xBE: c = 4; r.x = bus_read(m, abs_indexed(m, r.y, c)); set_zn(m, r.x); break;
    LOADS(0xA0, 0xA4, 0xB4, 0xAC, y, zpx)
    case 0xBC: c = 4; r.y = bus_read(m, abs_indexed(m, r.x, c)); set_zn(m, r.y); break;
#undef LOADS

    // Stores.
    case 0x85: m.ram[zp(m)] = r.a; c = 3; break;
    case 0x95: m.ram[zpx(m)] = r.a; c = 4; break;
    case 0x8D: bus_write(m, abs_(m), r.a); c = 4; break;
    case 0x9D: bus_write(m, abs_indexed_nopage(m, r.x), r.a); c = 5; break;
    case 0x99: bus_write(m, abs_indexed_nopage(m, r.y), r.a); c = 5; break;
    case 0x81: bus_write(m, ind_x(m), r.a); c = 6; break;
    case 0x91: bus_write(m, ind_y_nopage(m), r.a); c = 6; break;
    case 0x86: m.ram[zp(m)] = r.x; c = 3; break;
    case 0x96: m.ram[zpy(m)] = r.x; c = 4; break;
    case 0x8E: bus_write(m, abs_(m), r.x); c = 4; break;
    case 0x84: m.ram[zp(m)] = r.y; c = 3; break;
    case 0x94: m.ram[zpx(m)] = r.y; c = 4; break;
    case 0x8C: bus_write(m, abs_(m), r.y); c = 4; break;

    // Read instructions on the accumulator: ORA, AND, EOR, ADC, CMP, SBC.
#define READ_OP(BASE, BODY)                                                       \
  case BASE + 0x09: { uint8_t v = fetch(m); BODY; c = 2; break; }                  \
  case BASE + 0x05: { uint8_t v = m.ram[zp(m)]; BODY; c = 3; break; }              \
  case BASE + 0x15: { uint8_t v = m.ram[zpx(m)]; BODY; c = 4; break; }             \
  case BASE + 0x0D: { uint8_t v = bus_read(m, abs_(m)); BODY; c = 4; break; }      \
  case BASE + 0x1D: { c = 4; uint8_t v = bus_read(m, abs_indexed(m, r.x, c)); BODY; break; } \
  case BASE + 0x19: { c = 4; uint8_t v = bus_read(m, abs_indexed(m, r.y, c)); BODY; break; } \
  case BASE + 0x01: { uint8_t v = bus_read(m, ind_x(m)); BODY; c = 6; break; }     \
  case BASE + 0x11: { c = 5; uint8_t v = bus_read(m, ind_y(m, c)); BODY; break; }

    READ_OP(0x00, { r.a |= v; set_zn(m, r.a); })
    READ_OP(0x20, { r.a &= v; set_zn(m, r.a); })
    READ_OP(0x40, { r.a ^= v; set_zn(m, r.a); })
    READ_OP(0x60, adc(m, v))
    READ_OP(0xC0, compare(m, r.a, v))
    READ_OP(0xE0, adc(m, static_cast<uint8_t>(v ^ 0xFF)))
#undef READ_OP

    case 0xE0: compare(m, r.x, fetch(m)); c = 2; break;
    case 0xE4: compare(m, r.x, m.ram[zp(m)]); c = 3; break;
    case 0xEC: compare(m, r.x, bus_read(m, abs_(m))); c = 4; break;
    case 0xC0: compare(m, r.y, fetch(m)); c = 2; break;
    case 0xC4: compare(m, r.y, m.ram[zp(m)]); c = 3; break;
    case 0xCC: compare(m, r.y, bus_read(m, abs_(m))); c = 4; break;
    case 0x24: bit(m, m.ram[zp(m)]); c = 3; break;
    case 0x2C: bit(m, bus_read(m, abs_(m))); c = 4; break;

    // Read-modify-write: ASL, ROL, LSR, ROR, DEC, INC.
#define RMW_OP(BASE, FN)                                                               \
  case BASE + 0x06: { uint8_t z = zp(m); m.ram[z] = FN(m, m.ram[z]); c = 5; break; }   \
  case BASE + 0x16: { uint8_t z = zpx(m); m.ram[z] = FN(m, m.ram[z]); c = 6; break; }  \
  case BASE + 0x0E: { uint32_t a = abs_(m); uint8_t v = bus_read(m, a); bus_write(m, a, FN(m, v)); c = 6; break; } \
  case BASE + 0x1E: { uint32_t a = abs_indexed_nopage(m, r.x); uint8_t v = bus_read(m, a); bus_write(m, a, FN(m, v)); c = 7; break; }

    RMW_OP(0x00, asl)
    RMW_OP(0x20, rol)
    RMW_OP(0x40, lsr)
    RMW_OP(0x60, ror)
    RMW_OP(0xC0, dec)
    RMW_OP(0xE0, inc)
#undef RMW_OP

    case 0x0A: r.a = asl(m, r.a); c = 2; break;
    case 0x2A: r.a = rol(m, r.a); c = 2; break;
    case 0x4A: r.a = lsr(m, r.a); c = 2; break;
    case 0x6A: r.a = ror(m, r.a); c = 2; break;

    case 0xE8: r.x = static_cast<uint8_t>(r.x + 1); set_zn(m, r.x); c = 2; break;
    case 0xC8: r.y = static_cast<uint8_t>(r.y + 1); set_zn(m, r.y); c = 2; break;
    case 0xCA: r.x = static_cast<uint8_t>(r.x - 1); set_zn(m, r.x); c = 2; break;
    case 0x88: r.y = static_cast<uint8_t>(r.y - 1); set_zn(m, r.y); c = 2; break;

    case 0xAA: r.x = r.a; set_zn(m, r.x); c = 2; break;
    case 0xA8: r.y = r.a; set_zn(m, r.y); c = 2; break;
    case 0xBA: r.x = r.sp; set_zn(m, r.x); c = 2; break;
    case 0x8A: r.a = r.x; set_zn(m, r.a); c = 2; break;
    case 0x98: r.a = r.y; set_zn(m, r.a); c = 2; break;
    case 0x9A: r.sp = r.x; c = 2; break;

    case 0x48: push(m, r.a); c = 3; break;
    case 0x08: push(m, static_cast<uint8_t>(r.p | 0x30)); c = 3; break;
    case 0x68: r.a = pull(m); set_zn(m, r.a); c = 4; break;
    case 0x28: r.p = static_cast<uint8_t>((pull(m) & 0xCF) | U); c = 4; break;

    case 0x18: r.p = static_cast<uint8_t>((r.p & ~C) | U); c = 2; break;
    case 0x38: r.p |= C | U; c = 2; break;
    case 0x58: r.p = static_cast<uint8_t>((r.p & ~I) | U); c = 2; break;
    case 0x78: r.p |= I | U; c = 2; break;
    case 0xB8: r.p = static_cast<uint8_t>((r.p & ~V) | U); c = 2; break;
    case 0xD8: r.p = static_cast<uint8_t>((r.p & ~D) | U); c = 2; break;
    case 0xF8: r.p |= D | U; c = 2; break;

    case 0x10: c = branch(m, !(r.p & N)); break;
    case 0x30: c = branch(m, (r.p & N) != 0); break;
    case 0x50: c = branch(m, !(r.p & V)); break;
    case 0x70: c = branch(m, (r.p & V) != 0); break;
    case 0x90: c = branch(m, !(r.p & C)); break;
    case 0xB0: c = branch(m, (r.p & C) != 0); break;
    case 0xD0: c = branch(m, !(r.p & Z)); break;
    case 0xF0: c = branch(m, (r.p & Z) != 0); break;

    case 0x4C: r.pc = fetch16(m); c = 3; break;
    case 0x6C: {
      const uint16_t ptr = fetch16(m);
      const uint8_t lo = bus_read(m, ptr);
      const uint8_t hi = bus_read(m, (ptr & 0xFF00) | ((ptr + 1) & 0xFF));
      r.pc = static_cast<uint16_t>(lo | (hi << 8));
      c = 5;
      break;
    }
    case 0x20: {
      const uint8_t lo = fetch(m);
      const uint16_t ret = r.pc;  // address of the last operand byte
      const uint8_t hi = fetch(m);
      push(m, static_cast<uint8_t>(ret >> 8));
      push(m, static_cast<uint8_t>(ret));
      r.pc = static_cast<uint16_t>(lo | (hi << 8));
      c = 6;
      break;
    }
    case 0x60: {
      const uint8_t lo = pull(m);
      const uint8_t hi = pull(m);
      r.pc = static_cast<uint16_t>((lo | (hi << 8)) + 1);
      c = 6;
      break;
    }
    case 0x40: {
      r.p = static_cast<uint8_t>((pull(m) & 0xCF) | U);
      const uint8_t lo = pull(m);
      const uint8_t hi = pull(m);
      r.pc = static_cast<uint16_t>(lo | (hi << 8));
      c = 6;
      break;
    }
    case 0x00: {
      r.pc = static_cast<uint16_t>(r.pc + 1);
      push(m, static_cast<uint8_t>(r.pc >> 8));
      push(m, static_cast<uint8_t>(r.pc));
      push(m, static_cast<uint8_t>(r.p | 0x30));
      r.p |= 0x24;
      r.pc = read_vector(m, IRQ_VECTOR);
      c = 7;
      break;
    }

    default:  // NOP and every undocumented opcode
      c = 2;
      break;
  }
  if (m.extra_cycles) [[unlikely]] {
    c += m.extra_cycles;
    m.extra_cycles = 0;
    if (c > 0xFFFF) c = 0xFFFF;
  }
  return static_cast<uint16_t>(c);
}

}  // namespace tt
