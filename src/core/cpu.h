// The 2A03 CPU: an NMOS 6502 without decimal arithmetic, one whole
// instruction per call, all registers held in the console.
#pragma once

#include <cstdint>

#include "core/bus.h"
#include "core/console.h"

#define TT_ALWAYS_INLINE inline __attribute__((always_inline))

namespace tt {

// The CPU registers held in locals while instructions run, so that stores to
// work RAM (byte stores may alias anything) do not force them back to memory.
// `load` and `store` move them between the console and the locals.
class CpuCore {
 public:
  static constexpr uint8_t C = 0x01, Z = 0x02, I = 0x04, D = 0x08, B = 0x10, U = 0x20, V = 0x40, N = 0x80;

  explicit CpuCore(Console& console) : m(console) { load(); }

  void load() {
    pc = m.cpu.pc;
    a = m.cpu.a;
    x = m.cpu.x;
    y = m.cpu.y;
    sp = m.cpu.sp;
    p = m.cpu.p;
    ram = m.ram.data();
    prg = m.prg_rom;
    prg_mask = m.prg_mask;
  }

  void store() const {
    m.cpu.pc = pc;
    m.cpu.a = a;
    m.cpu.x = x;
    m.cpu.y = y;
    m.cpu.sp = sp;
    m.cpu.p = p;
  }

  /// Code fetch: PRG directly when bit 15 of pc is set, else through the bus.
  TT_ALWAYS_INLINE uint8_t fetch() {
    const uint16_t at = pc;
    pc = static_cast<uint16_t>(at + 1);
    if (at & 0x8000) [[likely]]
      return prg[at & prg_mask];
    return bus_read(m, at);
  }

  /// NMI entry between instructions; charges no cycles.
  void nmi() {
    push(static_cast<uint8_t>(pc >> 8));
    push(static_cast<uint8_t>(pc));
    push(static_cast<uint8_t>((p & 0xCF) | U));
    p |= 0x24;
    pc = vector(0x7FFA);
  }

  /// Executes one instruction whose opcode was just fetched; returns its cycles
  /// plus any bus debt, saturating at 65535.
  TT_ALWAYS_INLINE uint16_t step(uint8_t opcode);

  Console& m;
  uint16_t pc;
  uint8_t a, x, y, sp, p;
  uint8_t* ram;
  const uint8_t* prg;
  uint16_t prg_mask;

 private:
  TT_ALWAYS_INLINE uint16_t vector(uint16_t offset) const {
    return static_cast<uint16_t>(prg[offset & prg_mask] | (prg[(offset + 1) & prg_mask] << 8));
  }
  TT_ALWAYS_INLINE uint16_t fetch16() {
    const uint8_t lo = fetch();
    const uint8_t hi = fetch();
    return static_cast<uint16_t>(lo | (hi << 8));
  }
  TT_ALWAYS_INLINE void set_zn(uint8_t v) { p = static_cast<uint8_t>((p & ~(Z | N)) | U | (v & N) | (v == 0 ? Z : 0)); }
  TT_ALWAYS_INLINE void push(uint8_t v) {
    ram[0x100 + sp] = v;
    sp = static_cast<uint8_t>(sp - 1);
  }
  TT_ALWAYS_INLINE uint8_t pull() {
    sp = static_cast<uint8_t>(sp + 1);
    return ram[0x100 + sp];
  }
  TT_ALWAYS_INLINE uint8_t read(uint32_t address) {
    if ((address & 0xE000) == 0) return ram[address & 0x7FF];
    return bus_read(m, address);
  }
  TT_ALWAYS_INLINE void write(uint32_t address, uint8_t v) {
    if ((address & 0xE000) == 0) {
      ram[address & 0x7FF] = v;
      return;
    }
    bus_write(m, address, v);
  }
  TT_ALWAYS_INLINE void adc(uint8_t v) {
    const unsigned r = unsigned(a) + v + (p & C);
    uint8_t f = static_cast<uint8_t>(p & ~(C | V));
    if (r > 0xFF) f |= C;
    if ((a ^ r) & ~(a ^ v) & 0x80) f |= V;
    p = f;
    a = static_cast<uint8_t>(r);
    set_zn(a);
  }
  TT_ALWAYS_INLINE void compare(uint8_t reg, uint8_t v) {
    const uint8_t d = static_cast<uint8_t>(reg - v);
    p = static_cast<uint8_t>((p & ~(C | Z | N)) | U | (reg >= v ? C : 0) | (reg == v ? Z : 0) | (d & N));
  }
  TT_ALWAYS_INLINE void bit(uint8_t v) { p = static_cast<uint8_t>((p & ~(Z | V | N)) | U | ((a & v) == 0 ? Z : 0) | (v & (V | N))); }
  TT_ALWAYS_INLINE uint8_t asl(uint8_t v) {
    p = static_cast<uint8_t>((p & ~C) | (v >> 7));
    const uint8_t r = static_cast<uint8_t>(v << 1);
    set_zn(r);
    return r;
  }
  TT_ALWAYS_INLINE uint8_t lsr(uint8_t v) {
    p = static_cast<uint8_t>((p & ~C) | (v & 1));
    const uint8_t r = static_cast<uint8_t>(v >> 1);
    set_zn(r);
    return r;
  }
  TT_ALWAYS_INLINE uint8_t rol(uint8_t v) {
    const uint8_t r = static_cast<uint8_t>((v << 1) | (p & C));
    p = static_cast<uint8_t>((p & ~C) | (v >> 7));
    set_zn(r);
    return r;
  }
  TT_ALWAYS_INLINE uint8_t ror(uint8_t v) {
    const uint8_t r = static_cast<uint8_t>((v >> 1) | ((p & C) << 7));
    p = static_cast<uint8_t>((p & ~C) | (v & 1));
    set_zn(r);
    return r;
  }
  TT_ALWAYS_INLINE uint8_t inc(uint8_t v) {
    const uint8_t r = static_cast<uint8_t>(v + 1);
    set_zn(r);
    return r;
  }
  TT_ALWAYS_INLINE uint8_t dec(uint8_t v) {
    const uint8_t r = static_cast<uint8_t>(v - 1);
    set_zn(r);
    return r;
  }
  // Effective addresses. Indexed results keep their carry past 16 bits; the bus drops it.
  TT_ALWAYS_INLINE uint8_t zp() { return fetch(); }
  TT_ALWAYS_INLINE uint8_t zpx() { return static_cast<uint8_t>(fetch() + x); }
  TT_ALWAYS_INLINE uint8_t zpy() { return static_cast<uint8_t>(fetch() + y); }
  TT_ALWAYS_INLINE uint32_t abs_() { return fetch16(); }
  TT_ALWAYS_INLINE uint32_t abs_indexed(uint8_t index, unsigned& cycles) {
    const uint32_t base = fetch16();
    const uint32_t addr = base + index;
    if (((base ^ addr) & 0xFFFF) >= 0x100) cycles += 1;
    return addr;
  }
  TT_ALWAYS_INLINE uint32_t abs_indexed_nopage(uint8_t index) { return static_cast<uint32_t>(fetch16()) + index; }
  TT_ALWAYS_INLINE uint32_t ind_x() {
    const uint8_t z = static_cast<uint8_t>(fetch() + x);
    return ram[z] | (ram[static_cast<uint8_t>(z + 1)] << 8);
  }
  TT_ALWAYS_INLINE uint32_t ind_y(unsigned& cycles) {
    const uint8_t z = fetch();
    const uint32_t lo = ram[z];
    const uint32_t ptr = lo | (ram[static_cast<uint8_t>(z + 1)] << 8);
    if (lo + y > 0xFF) cycles += 1;
    return ptr + y;
  }
  TT_ALWAYS_INLINE uint32_t ind_y_nopage() {
    const uint8_t z = fetch();
    const uint32_t ptr = ram[z] | (ram[static_cast<uint8_t>(z + 1)] << 8);
    return ptr + y;
  }
  TT_ALWAYS_INLINE unsigned branch(bool taken) {
    const int8_t off = static_cast<int8_t>(fetch());
    if (!taken) return 2;
    const uint16_t next = pc;
    const uint16_t target = static_cast<uint16_t>(next + off);
    pc = target;
    return ((next ^ target) & 0xFF00) ? 4 : 3;
  }
};

TT_ALWAYS_INLINE uint16_t CpuCore::step(uint8_t opcode) {
  unsigned c;
  switch (opcode) {
#define LOADS(OP_IMM, OP_ZP, OP_ZPI, OP_ABS, REG, IDX_ZP)        \
  case OP_IMM: REG = fetch(); set_zn(REG); c = 2; break;          \
  case OP_ZP: REG = ram[zp()]; set_zn(REG); c = 3; break;         \
  case OP_ZPI: REG = ram[IDX_ZP()]; set_zn(REG); c = 4; break;    \
  case OP_ABS: REG = read(abs_()); set_zn(REG); c = 4; break;

    LOADS(0xA9, 0xA5, 0xB5, 0xAD, a, zpx)
    case 0xBD: c = 4; a = read(abs_indexed(x, c)); set_zn(a); break;
    case 0xB9: c = 4; a = read(abs_indexed(y, c)); set_zn(a); break;
    case 0xA1: a = read(ind_x()); set_zn(a); c = 6; break;
    case 0xB1: c = 5; a = read(ind_y(c)); set_zn(a); break;
    LOADS(0xA2, 0xA6, 0xB6, 0xAE, x, zpy)
    case 0xBE: c = 4; x = read(abs_indexed(y, c)); set_zn(x); break;
    LOADS(0xA0, 0xA4, 0xB4, 0xAC, y, zpx)
    case 0xBC: c = 4; y = read(abs_indexed(x, c)); set_zn(y); break;
#undef LOADS

    // Stores.
    case 0x85: ram[zp()] = a; c = 3; break;
    case 0x95: ram[zpx()] = a; c = 4; break;
    case 0x8D: write(abs_(), a); c = 4; break;
    case 0x9D: write(abs_indexed_nopage(x), a); c = 5; break;
    case 0x99: write(abs_indexed_nopage(y), a); c = 5; break;
    case 0x81: write(ind_x(), a); c = 6; break;
    case 0x91: write(ind_y_nopage(), a); c = 6; break;
    case 0x86: ram[zp()] = x; c = 3; break;
    case 0x96: ram[zpy()] = x; c = 4; break;
    case 0x8E: write(abs_(), x); c = 4; break;
    case 0x84: ram[zp()] = y; c = 3; break;
    case 0x94: ram[zpx()] = y; c = 4; break;
    case 0x8C: write(abs_(), y); c = 4; break;

    // Read instructions on the accumulator: ORA, AND, EOR, ADC, CMP, SBC.
#define READ_OP(BASE, BODY)                                                     \
  case BASE + 0x09: { uint8_t v = fetch(); BODY; c = 2; break; }                 \
  case BASE + 0x05: { uint8_t v = ram[zp()]; BODY; c = 3; break; }               \
  case BASE + 0x15: { uint8_t v = ram[zpx()]; BODY; c = 4; break; }              \
  case BASE + 0x0D: { uint8_t v = read(abs_()); BODY; c = 4; break; }            \
  case BASE + 0x1D: { c = 4; uint8_t v = read(abs_indexed(x, c)); BODY; break; } \
  case BASE + 0x19: { c = 4; uint8_t v = read(abs_indexed(y, c)); BODY; break; } \
  case BASE + 0x01: { uint8_t v = read(ind_x()); BODY; c = 6; break; }           \
  case BASE + 0x11: { c = 5; uint8_t v = read(ind_y(c)); BODY; break; }

    READ_OP(0x00, { a |= v; set_zn(a); })
    READ_OP(0x20, { a &= v; set_zn(a); })
    READ_OP(0x40, { a ^= v; set_zn(a); })
    READ_OP(0x60, adc(v))
    READ_OP(0xC0, compare(a, v))
    READ_OP(0xE0, adc(static_cast<uint8_t>(v ^ 0xFF)))
#undef READ_OP

    case 0xE0: compare(x, fetch()); c = 2; break;
    case 0xE4: compare(x, ram[zp()]); c = 3; break;
    case 0xEC: compare(x, read(abs_())); c = 4; break;
    case 0xC0: compare(y, fetch()); c = 2; break;
    case 0xC4: compare(y, ram[zp()]); c = 3; break;
    case 0xCC: compare(y, read(abs_())); c = 4; break;
    case 0x24: bit(ram[zp()]); c = 3; break;
    case 0x2C: bit(read(abs_())); c = 4; break;

    // Read-modify-write: ASL, ROL, LSR, ROR, DEC, INC.
#define RMW_OP(BASE, FN)                                                                            \
  case BASE + 0x06: { const uint8_t z = zp(); ram[z] = FN(ram[z]); c = 5; break; }                  \
  case BASE + 0x16: { const uint8_t z = zpx(); ram[z] = FN(ram[z]); c = 6; break; }                 \
  case BASE + 0x0E: { const uint32_t at = abs_(); const uint8_t v = read(at); write(at, FN(v)); c = 6; break; } \
  case BASE + 0x1E: { const uint32_t at = abs_indexed_nopage(x); const uint8_t v = read(at); write(at, FN(v)); c = 7; break; }

    RMW_OP(0x00, asl)
    RMW_OP(0x20, rol)
    RMW_OP(0x40, lsr)
    RMW_OP(0x60, ror)
    RMW_OP(0xC0, dec)
    RMW_OP(0xE0, inc)
#undef RMW_OP

    case 0x0A: a = asl(a); c = 2; break;
    case 0x2A: a = rol(a); c = 2; break;
    case 0x4A: a = lsr(a); c = 2; break;
    case 0x6A: a = ror(a); c = 2; break;

    case 0xE8: x = static_cast<uint8_t>(x + 1); set_zn(x); c = 2; break;
    case 0xC8: y = static_cast<uint8_t>(y + 1); set_zn(y); c = 2; break;
    case 0xCA: x = static_cast<uint8_t>(x - 1); set_zn(x); c = 2; break;
    case 0x88: y = static_cast<uint8_t>(y - 1); set_zn(y); c = 2; break;

    case 0xAA: x = a; set_zn(x); c = 2; break;
    case 0xA8: y = a; set_zn(y); c = 2; break;
    case 0xBA: x = sp; set_zn(x); c = 2; break;
    case 0x8A: a = x; set_zn(a); c = 2; break;
    case 0x98: a = y; set_zn(a); c = 2; break;
    case 0x9A: sp = x; c = 2; break;

    case 0x48: push(a); c = 3; break;
    case 0x08: push(static_cast<uint8_t>(p | 0x30)); c = 3; break;
    case 0x68: a = pull(); set_zn(a); c = 4; break;
    case 0x28: p = static_cast<uint8_t>((pull() & 0xCF) | U); c = 4; break;

    case 0x18: p = static_cast<uint8_t>((p & ~C) | U); c = 2; break;
    case 0x38: p |= C | U; c = 2; break;
    case 0x58: p = static_cast<uint8_t>((p & ~I) | U); c = 2; break;
    case 0x78: p |= I | U; c = 2; break;
    case 0xB8: p = static_cast<uint8_t>((p & ~V) | U); c = 2; break;
    case 0xD8: p = static_cast<uint8_t>((p & ~D) | U); c = 2; break;
    case 0xF8: p |= D | U; c = 2; break;

    case 0x10: c = branch(!(p & N)); break;
    case 0x30: c = branch((p & N) != 0); break;
    case 0x50: c = branch(!(p & V)); break;
    case 0x70: c = branch((p & V) != 0); break;
    case 0x90: c = branch(!(p & C)); break;
    case 0xB0: c = branch((p & C) != 0); break;
    case 0xD0: c = branch(!(p & Z)); break;
    case 0xF0: c = branch((p & Z) != 0); break;

    case 0x4C: pc = fetch16(); c = 3; break;
    case 0x6C: {
      const uint16_t ptr = fetch16();
      const uint8_t lo = bus_read(m, ptr);
      const uint8_t hi = bus_read(m, (ptr & 0xFF00) | ((ptr + 1) & 0xFF));
      pc = static_cast<uint16_t>(lo | (hi << 8));
      c = 5;
      break;
    }
    case 0x20: {
      const uint8_t lo = fetch();
      const uint16_t ret = pc;  // address of the last operand byte
      const uint8_t hi = fetch();
      push(static_cast<uint8_t>(ret >> 8));
      push(static_cast<uint8_t>(ret));
      pc = static_cast<uint16_t>(lo | (hi << 8));
      c = 6;
      break;
    }
    case 0x60: {
      const uint8_t lo = pull();
      const uint8_t hi = pull();
      pc = static_cast<uint16_t>((lo | (hi << 8)) + 1);
      c = 6;
      break;
    }
    case 0x40: {
      p = static_cast<uint8_t>((pull() & 0xCF) | U);
      const uint8_t lo = pull();
      const uint8_t hi = pull();
      pc = static_cast<uint16_t>(lo | (hi << 8));
      c = 6;
      break;
    }
    case 0x00: {
      pc = static_cast<uint16_t>(pc + 1);
      push(static_cast<uint8_t>(pc >> 8));
      push(static_cast<uint8_t>(pc));
      push(static_cast<uint8_t>(p | 0x30));
      p |= 0x24;
      pc = vector(0x7FFE);
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

// Vectors, read straight from PRG.
inline uint16_t read_vector(const Console& m, uint16_t offset) {
  return static_cast<uint16_t>(m.prg_rom[offset & m.prg_mask] | (m.prg_rom[(offset + 1) & m.prg_mask] << 8));
}
inline constexpr uint16_t NMI_VECTOR = 0x7FFA;
inline constexpr uint16_t RESET_VECTOR = 0x7FFC;
inline constexpr uint16_t IRQ_VECTOR = 0x7FFE;

/// Code fetch of the opcode byte at cpu.pc (advancing it).
inline uint8_t fetch_opcode(Console& m) {
  CpuCore c(m);
  const uint8_t op = c.fetch();
  m.cpu.pc = c.pc;
  return op;
}

/// NMI entry between instructions; charges no cycles.
inline void nmi_entry(Console& m) {
  CpuCore c(m);
  c.nmi();
  c.store();
}

/// Executes the instruction whose opcode byte was just fetched (cpu.pc already
/// past it) and returns its cycles plus any bus debt, saturating at 65535.
inline uint16_t cpu_step(Console& m, uint8_t opcode) {
  CpuCore c(m);
  const uint16_t cycles = c.step(opcode);
  c.store();
  return cycles;
}

}  // namespace tt
