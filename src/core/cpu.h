// The 2A03 CPU: an NMOS 6502 without decimal arithmetic. Whole instructions,
// either one per call (`cpu_step`, `CpuCore::step`) or run on in a threaded
// loop until the frame runner is needed (`run_instructions`).
#pragma once

#include <cstdint>

#include "core/alu.h"
#include "core/bus.h"
#include "core/console.h"

namespace tt {

// Every documented opcode as X(opcode, statements): the statements execute the
// instruction whose opcode byte was just fetched and set `c` to its cycles.
// The list serves both the switch of `step` and the threaded loop of
// `run_instructions`, so the two cannot drift apart.
// clang-format off
#define TT_LOADS(X, IMM, ZP, ZPI, ABS, REG, IDX_ZP)      \
  X(IMM, REG = fetch(); set_zn(REG); c = 2;)             \
  X(ZP, REG = ram[zp()]; set_zn(REG); c = 3;)            \
  X(ZPI, REG = ram[IDX_ZP()]; set_zn(REG); c = 4;)       \
  X(ABS, REG = read(abs_()); set_zn(REG); c = 4;)

// Read instructions on the accumulator: immediate, zp, zp,X, abs, abs,X, abs,Y, (zp,X), (zp),Y.
#define TT_READ_OP(X, IMM, ZP, ZPX, ABS, ABX, ABY, INX, INY, ...)            \
  X(IMM, { uint8_t v = fetch(); __VA_ARGS__; c = 2; })                        \
  X(ZP, { uint8_t v = ram[zp()]; __VA_ARGS__; c = 3; })                       \
  X(ZPX, { uint8_t v = ram[zpx()]; __VA_ARGS__; c = 4; })                     \
  X(ABS, { uint8_t v = read(abs_()); __VA_ARGS__; c = 4; })                   \
  X(ABX, { c = 4; uint8_t v = read(abs_indexed(x, c)); __VA_ARGS__; })        \
  X(ABY, { c = 4; uint8_t v = read(abs_indexed(y, c)); __VA_ARGS__; })        \
  X(INX, { uint8_t v = read(ind_x()); __VA_ARGS__; c = 6; })                  \
  X(INY, { c = 5; uint8_t v = read(ind_y(c)); __VA_ARGS__; })

// Read-modify-write: zp, zp,X, abs, abs,X.
#define TT_RMW_OP(X, ZP, ZPX, ABS, ABX, FN)                                                          \
  X(ZP, { const uint8_t z = zp(); ram[z] = FN(ram[z]); c = 5; })                                      \
  X(ZPX, { const uint8_t z = zpx(); ram[z] = FN(ram[z]); c = 6; })                                    \
  X(ABS, { const uint32_t at = abs_(); const uint8_t v = read(at); write(at, FN(v)); c = 6; })         \
  X(ABX, { const uint32_t at = abs_indexed_nopage(x); const uint8_t v = read(at); write(at, FN(v)); c = 7; })

#define TT_CPU_OPCODES(X)                                                                 \
  TT_LOADS(X, 0xA9, 0xA5, 0xB5, 0xAD, a, zpx)                                             \
  X(0xBD, c = 4; a = read(abs_indexed(x, c)); set_zn(a);)                                 \
  X(0xB9, c = 4; a = read(abs_indexed(y, c)); set_zn(a);)                                 \
  X(0xA1, a = read(ind_x()); set_zn(a); c = 6;)                                           \
  X(0xB1, c = 5; a = read(ind_y(c)); set_zn(a);)                                          \
  TT_LOADS(X, 0xA2, 0xA6, 0xB6, 0xAE, x, zpy)                                             \
  X(0xBE, c = 4; x = read(abs_indexed(y, c)); set_zn(x);)                                 \
  TT_LOADS(X, 0xA0, 0xA4, 0xB4, 0xAC, y, zpx)                                             \
  X(0xBC, c = 4; y = read(abs_indexed(x, c)); set_zn(y);)                                 \
  /* Stores. */                                                                           \
  X(0x85, ram[zp()] = a; c = 3;)                                                          \
  X(0x95, ram[zpx()] = a; c = 4;)                                                         \
  X(0x8D, write(abs_(), a); c = 4;)                                                       \
  X(0x9D, write(abs_indexed_nopage(x), a); c = 5;)                                        \
  X(0x99, write(abs_indexed_nopage(y), a); c = 5;)                                        \
  X(0x81, write(ind_x(), a); c = 6;)                                                      \
  X(0x91, write(ind_y_nopage(), a); c = 6;)                                               \
  X(0x86, ram[zp()] = x; c = 3;)                                                          \
  X(0x96, ram[zpy()] = x; c = 4;)                                                         \
  X(0x8E, write(abs_(), x); c = 4;)                                                       \
  X(0x84, ram[zp()] = y; c = 3;)                                                          \
  X(0x94, ram[zpx()] = y; c = 4;)                                                         \
  X(0x8C, write(abs_(), y); c = 4;)                                                       \
  /* ORA, AND, EOR, ADC, CMP, SBC. */                                                     \
  TT_READ_OP(X, 0x09, 0x05, 0x15, 0x0D, 0x1D, 0x19, 0x01, 0x11, a |= v; set_zn(a))        \
  TT_READ_OP(X, 0x29, 0x25, 0x35, 0x2D, 0x3D, 0x39, 0x21, 0x31, a &= v; set_zn(a))        \
  TT_READ_OP(X, 0x49, 0x45, 0x55, 0x4D, 0x5D, 0x59, 0x41, 0x51, a ^= v; set_zn(a))        \
  TT_READ_OP(X, 0x69, 0x65, 0x75, 0x6D, 0x7D, 0x79, 0x61, 0x71, adc(v))                   \
  TT_READ_OP(X, 0xC9, 0xC5, 0xD5, 0xCD, 0xDD, 0xD9, 0xC1, 0xD1, compare(a, v))            \
  TT_READ_OP(X, 0xE9, 0xE5, 0xF5, 0xED, 0xFD, 0xF9, 0xE1, 0xF1, adc(static_cast<uint8_t>(v ^ 0xFF))) \
  X(0xE0, compare(x, fetch()); c = 2;)                                                    \
  X(0xE4, compare(x, ram[zp()]); c = 3;)                                                  \
  X(0xEC, compare(x, read(abs_())); c = 4;)                                               \
  X(0xC0, compare(y, fetch()); c = 2;)                                                    \
  X(0xC4, compare(y, ram[zp()]); c = 3;)                                                  \
  X(0xCC, compare(y, read(abs_())); c = 4;)                                               \
  X(0x24, bit(ram[zp()]); c = 3;)                                                         \
  X(0x2C, bit(read(abs_())); c = 4;)                                                      \
  /* ASL, ROL, LSR, ROR, DEC, INC. */                                                     \
  TT_RMW_OP(X, 0x06, 0x16, 0x0E, 0x1E, asl)                                               \
  TT_RMW_OP(X, 0x26, 0x36, 0x2E, 0x3E, rol)                                               \
  TT_RMW_OP(X, 0x46, 0x56, 0x4E, 0x5E, lsr)                                               \
  TT_RMW_OP(X, 0x66, 0x76, 0x6E, 0x7E, ror)                                               \
  TT_RMW_OP(X, 0xC6, 0xD6, 0xCE, 0xDE, dec)                                               \
  TT_RMW_OP(X, 0xE6, 0xF6, 0xEE, 0xFE, inc)                                               \
  X(0x0A, a = asl(a); c = 2;)                                                             \
  X(0x2A, a = rol(a); c = 2;)                                                             \
  X(0x4A, a = lsr(a); c = 2;)                                                             \
  X(0x6A, a = ror(a); c = 2;)                                                             \
  X(0xE8, x = static_cast<uint8_t>(x + 1); set_zn(x); c = 2;)                             \
  X(0xC8, y = static_cast<uint8_t>(y + 1); set_zn(y); c = 2;)                             \
  X(0xCA, x = static_cast<uint8_t>(x - 1); set_zn(x); c = 2;)                             \
  X(0x88, y = static_cast<uint8_t>(y - 1); set_zn(y); c = 2;)                             \
  X(0xAA, x = a; set_zn(x); c = 2;)                                                       \
  X(0xA8, y = a; set_zn(y); c = 2;)                                                       \
  X(0xBA, x = sp; set_zn(x); c = 2;)                                                      \
  X(0x8A, a = x; set_zn(a); c = 2;)                                                       \
  X(0x98, a = y; set_zn(a); c = 2;)                                                       \
  X(0x9A, sp = x; c = 2;)                                                                 \
  X(0x48, push(a); c = 3;)                                                                \
  X(0x08, push(alu::pushed_by_instruction(flags())); c = 3;)                              \
  X(0x68, a = pull(); set_zn(a); c = 4;)                                                  \
  X(0x28, set_p(alu::pulled(pull())); c = 4;)                                            \
  X(0x18, p = static_cast<uint8_t>((p & ~C) | U); c = 2;)                                 \
  X(0x38, p |= C | U; c = 2;)                                                             \
  X(0x58, p = static_cast<uint8_t>((p & ~I) | U); c = 2;)                                 \
  X(0x78, p |= I | U; c = 2;)                                                             \
  X(0xB8, p = static_cast<uint8_t>((p & ~V) | U); c = 2;)                                 \
  X(0xD8, p = static_cast<uint8_t>((p & ~D) | U); c = 2;)                                 \
  X(0xF8, p |= D | U; c = 2;)                                                             \
  X(0x10, c = branch(!negative());)                                                       \
  X(0x30, c = branch(negative());)                                                        \
  X(0x50, c = branch(!(p & V));)                                                          \
  X(0x70, c = branch((p & V) != 0);)                                                      \
  X(0x90, c = branch(!(p & C));)                                                          \
  X(0xB0, c = branch((p & C) != 0);)                                                      \
  X(0xD0, c = branch(!zero());)                                                           \
  X(0xF0, c = branch(zero());)                                                            \
  X(0x4C, pc = fetch16(); c = 3;)                                                         \
  X(0x6C, {                                                                               \
    const uint16_t ptr = fetch16();                                                       \
    const uint8_t lo = bus_read(m, ptr);                                                  \
    const uint8_t hi = bus_read(m, indirect_high_byte(ptr));                              \
    pc = static_cast<uint16_t>(lo | (hi << 8));                                           \
    c = 5;                                                                                \
  })                                                                                      \
  X(0x20, {                                                                               \
    const uint8_t lo = fetch();                                                           \
    const uint16_t ret = pc; /* address of the last operand byte */                       \
    const uint8_t hi = fetch();                                                           \
    push(static_cast<uint8_t>(ret >> 8));                                                 \
    push(static_cast<uint8_t>(ret));                                                      \
    pc = static_cast<uint16_t>(lo | (hi << 8));                                           \
    c = 6;                                                                                \
  })                                                                                      \
  X(0x60, {                                                                               \
    const uint8_t lo = pull();                                                            \
    const uint8_t hi = pull();                                                            \
    pc = static_cast<uint16_t>((lo | (hi << 8)) + 1);                                     \
    c = 6;                                                                                \
  })                                                                                      \
  X(0x40, {                                                                               \
    set_p(alu::pulled(pull()));                                                           \
    const uint8_t lo = pull();                                                            \
    const uint8_t hi = pull();                                                            \
    pc = static_cast<uint16_t>(lo | (hi << 8));                                           \
    c = 6;                                                                                \
  })                                                                                      \
  X(0x00, {                                                                               \
    pc = static_cast<uint16_t>(pc + 1);                                                   \
    interrupt(pc, alu::pushed_by_instruction(flags()), IRQ_VECTOR);                       \
    c = 7;                                                                                \
  })

// Cycles plus the bus debt the instruction ran up (OAM DMA), saturating at 65535.
#define TT_ADD_BUS_DEBT()                  \
  if (m.extra_cycles) [[unlikely]] {       \
    c += m.extra_cycles;                   \
    m.extra_cycles = 0;                    \
    if (c > 0xFFFF) c = 0xFFFF;            \
  }

// clang-format on

inline constexpr uint16_t NMI_VECTOR = 0x7FFA;
inline constexpr uint16_t RESET_VECTOR = 0x7FFC;
inline constexpr uint16_t IRQ_VECTOR = 0x7FFE;

/// The little-endian word at `offset` of PRG (`prg` as `prg_mask` mirrors it).
TT_ALWAYS_INLINE constexpr uint16_t prg_word(const uint8_t* prg, uint16_t prg_mask, uint16_t offset) {
  return static_cast<uint16_t>(prg[offset & prg_mask] | (prg[(offset + 1) & prg_mask] << 8));
}
/// Where a branch whose next instruction is at `next` goes with offset byte `offset`.
TT_ALWAYS_INLINE constexpr uint16_t branch_target(uint16_t next, uint8_t offset) {
  return static_cast<uint16_t>(next + static_cast<int8_t>(offset));
}
/// Cycles of a taken branch: 3, or 4 into another page.
TT_ALWAYS_INLINE constexpr unsigned taken_branch_cycles(uint16_t next, uint16_t target) {
  return ((next ^ target) & 0xFF00) ? 4 : 3;
}
/// Where JMP (ptr) reads the high byte of its target: the same page as `ptr`.
TT_ALWAYS_INLINE constexpr uint16_t indirect_high_byte(uint16_t ptr) {
  return static_cast<uint16_t>((ptr & 0xFF00) | ((ptr + 1) & 0xFF));
}

// The CPU registers held in locals while instructions run, so that stores to
// work RAM (byte stores may alias anything) do not force them back to memory,
// and what the instructions do with them, except where their operand bytes
// come from (`CpuInstructions`). `load` and `store` move them between the
// console and the locals.
class CpuState {
 public:
  static constexpr uint8_t C = alu::C, Z = alu::Z, I = alu::I, D = alu::D, B = alu::B, U = alu::U, V = alu::V,
                           N = alu::N;

  explicit CpuState(Console& console) : m(console) { load(); }
  /// A core on `console` with the registers of `other`.
  CpuState(Console& console, const CpuState& other)
      : m(console),
        pc(other.pc),
        a(other.a),
        x(other.x),
        y(other.y),
        sp(other.sp),
        p(other.p),
        nz(other.nz),
        ram(other.ram),
        prg(other.prg),
        prg_mask(other.prg_mask) {}

  void load() {
    pc = m.cpu.pc;
    a = m.cpu.a;
    x = m.cpu.x;
    y = m.cpu.y;
    sp = m.cpu.sp;
    set_p(m.cpu.p);
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
    m.cpu.p = flags();
  }

  /// Copies the registers (not the console binding) from another core.
  void copy_registers_from(const CpuState& o) {
    pc = o.pc;
    a = o.a;
    x = o.x;
    y = o.y;
    sp = o.sp;
    p = o.p;
    nz = o.nz;
  }

  Console& m;
  uint16_t pc;
  uint8_t a, x, y, sp;
  uint8_t p;    // the flags, except that N and Z live in `nz`
  uint16_t nz;  // N and Z as alu.h keeps them

  /// The whole P register.
  TT_ALWAYS_INLINE uint8_t flags() const { return alu::with_nz(p, nz); }
  /// Sets the whole P register.
  TT_ALWAYS_INLINE void set_p(uint8_t v) {
    p = v;
    nz = alu::nz_of(v);
  }
  TT_ALWAYS_INLINE bool negative() const { return alu::nz_negative(nz); }
  TT_ALWAYS_INLINE bool zero() const { return alu::nz_zero(nz); }
  uint8_t* ram;
  const uint8_t* prg;
  uint16_t prg_mask;
  // Set by a write that went to the bus rather than work RAM: only such a
  // write can raise an NMI (PPU control) or run up bus debt (OAM DMA).
  bool bus_written = false;

 protected:
  TT_ALWAYS_INLINE uint16_t vector(uint16_t offset) const { return prg_word(prg, prg_mask, offset); }
  // N and Z are kept as the value they were set from (`nz`) and only folded
  // into P when P is read as a whole (flags()).
  TT_ALWAYS_INLINE void set_zn(uint8_t v) {
    nz = v;
    p |= U;
  }
  TT_ALWAYS_INLINE void push(uint8_t v) {
    ram[0x100 + sp] = v;
    sp = static_cast<uint8_t>(sp - 1);
  }
  TT_ALWAYS_INLINE uint8_t pull() {
    sp = static_cast<uint8_t>(sp + 1);
    return ram[0x100 + sp];
  }
  /// Enters an interrupt at `vector_offset`, the return address `ret`
  /// and P (as `pushed`) on the stack.
  TT_ALWAYS_INLINE void interrupt(uint16_t ret, uint8_t pushed, uint16_t vector_offset) {
    push(static_cast<uint8_t>(ret >> 8));
    push(static_cast<uint8_t>(ret));
    push(pushed);
    p = alu::entering_interrupt(p);
    pc = vector(vector_offset);
  }
  TT_ALWAYS_INLINE uint8_t read(uint32_t address) {
    if ((address & 0xE000) == 0) return ram[address & 0x7FF];
    if (address & 0x8000) return prg[address & prg_mask];  // ROM tables (bits past 15 fall to the mask)
    return bus_read(m, address);
  }
  TT_ALWAYS_INLINE void write(uint32_t address, uint8_t v) {
    if ((address & 0xE000) == 0) {
      ram[address & 0x7FF] = v;
      return;
    }
    bus_write(m, address, v);
    bus_written = true;
  }
  TT_ALWAYS_INLINE void adc(uint8_t v) {
    a = alu::add_with_carry(p, a, v, p & C);
    set_zn(a);
  }
  TT_ALWAYS_INLINE void compare(uint8_t reg, uint8_t v) { nz = alu::compare(p, reg, v); }
  TT_ALWAYS_INLINE void bit(uint8_t v) {
    p = static_cast<uint8_t>((p & ~V) | U | (v & V));
    nz = static_cast<uint16_t>((a & v) | ((v & N) << 8));  // Z from A & v, N from bit 7 of v
  }
  TT_ALWAYS_INLINE uint8_t asl(uint8_t v) { return with_zn(alu::shift_left(p, v)); }
  TT_ALWAYS_INLINE uint8_t lsr(uint8_t v) { return with_zn(alu::shift_right(p, v)); }
  TT_ALWAYS_INLINE uint8_t rol(uint8_t v) { return with_zn(alu::rotate_left(p, v)); }
  TT_ALWAYS_INLINE uint8_t ror(uint8_t v) { return with_zn(alu::rotate_right(p, v)); }
  TT_ALWAYS_INLINE uint8_t inc(uint8_t v) { return with_zn(static_cast<uint8_t>(v + 1)); }
  TT_ALWAYS_INLINE uint8_t dec(uint8_t v) { return with_zn(static_cast<uint8_t>(v - 1)); }
  /// `v`, with Z and N set from it.
  TT_ALWAYS_INLINE uint8_t with_zn(uint8_t v) {
    set_zn(v);
    return v;
  }
};

/// Every documented instruction (`exec_0xNN`) over the registers of
/// `CpuState` and the operand bytes `Self::next_byte()` gives, one after the
/// other: the interpreter's core reads them from memory at pc, the block
/// runner's (block_runner.h) from the operand decoded with the instruction.
/// The statements and the addressing helpers are written once for both.
template <class Self>
class CpuInstructions : public CpuState {
 public:
  using CpuState::CpuState;

  /// The next byte of the instruction, pc advanced past it.
  TT_ALWAYS_INLINE uint8_t fetch() { return static_cast<Self*>(this)->next_byte(); }

  // exec_0xNN(): the instruction of documented opcode 0xNN, its opcode byte
  // just fetched; returns its cycles without bus debt.
#define TT_EXEC(CODE, ...)                  \
  TT_ALWAYS_INLINE unsigned exec_##CODE() { \
    unsigned c;                             \
    __VA_ARGS__                             \
    return c;                               \
  }
  TT_CPU_OPCODES(TT_EXEC)
#undef TT_EXEC

 protected:
  TT_ALWAYS_INLINE uint16_t fetch16() {
    const uint8_t lo = fetch();
    const uint8_t hi = fetch();
    return static_cast<uint16_t>(lo | (hi << 8));
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
    const uint8_t offset = fetch();
    if (!taken) return 2;
    const uint16_t next = pc;
    pc = branch_target(next, offset);
    return taken_branch_cycles(next, pc);
  }
};

// The interpreter's core: operand bytes are read at pc.
class CpuCore : public CpuInstructions<CpuCore> {
 public:
  explicit CpuCore(Console& console) : CpuInstructions(console) {}
  /// A core on `console` with the registers of `other`.
  CpuCore(Console& console, const CpuState& other) : CpuInstructions(console, other) {}

  /// NMI entry between instructions; charges no cycles.
  void nmi() { interrupt(pc, alu::pushed_by_interrupt(flags()), NMI_VECTOR); }

  /// Executes one instruction whose opcode was just fetched; returns its cycles
  /// plus any bus debt, saturating at 65535.
  TT_ALWAYS_INLINE uint16_t step(uint8_t opcode);

 private:
  friend class CpuInstructions<CpuCore>;
  /// Code fetch: PRG directly when bit 15 of pc is set, else through the bus.
  TT_ALWAYS_INLINE uint8_t next_byte() {
    const uint16_t at = pc;
    pc = static_cast<uint16_t>(at + 1);
    if (at & 0x8000) [[likely]]
      return prg[at & prg_mask];
    return bus_read(m, at);
  }
};

// Threaded dispatch jumps through a table of label addresses ("labels as
// values", a GNU extension of GCC and Clang). Builds whose compiler lacks it
// set TT_THREADED_DISPATCH to 0 and run the same handlers from a switch.
#ifndef TT_THREADED_DISPATCH
#if defined(__GNUC__) || defined(__clang__)
#define TT_THREADED_DISPATCH 1
#else
#define TT_THREADED_DISPATCH 0
#endif
#endif

#if TT_THREADED_DISPATCH
// Handler of every opcode, in opcode order (labels of run_instructions). A
// documented opcode missing here would leave its label unused (a warning);
// the CPU test's log, single-stepped through the loop, covers every entry.
// clang-format off
#define TT_CPU_HANDLER_TABLE \
  &&op_0x00, &&op_0x01, &&op_nop, &&op_nop, &&op_nop, &&op_0x05, &&op_0x06, &&op_nop, \
  &&op_0x08, &&op_0x09, &&op_0x0A, &&op_nop, &&op_nop, &&op_0x0D, &&op_0x0E, &&op_nop, \
  &&op_0x10, &&op_0x11, &&op_nop, &&op_nop, &&op_nop, &&op_0x15, &&op_0x16, &&op_nop, \
  &&op_0x18, &&op_0x19, &&op_nop, &&op_nop, &&op_nop, &&op_0x1D, &&op_0x1E, &&op_nop, \
  &&op_0x20, &&op_0x21, &&op_nop, &&op_nop, &&op_0x24, &&op_0x25, &&op_0x26, &&op_nop, \
  &&op_0x28, &&op_0x29, &&op_0x2A, &&op_nop, &&op_0x2C, &&op_0x2D, &&op_0x2E, &&op_nop, \
  &&op_0x30, &&op_0x31, &&op_nop, &&op_nop, &&op_nop, &&op_0x35, &&op_0x36, &&op_nop, \
  &&op_0x38, &&op_0x39, &&op_nop, &&op_nop, &&op_nop, &&op_0x3D, &&op_0x3E, &&op_nop, \
  &&op_0x40, &&op_0x41, &&op_nop, &&op_nop, &&op_nop, &&op_0x45, &&op_0x46, &&op_nop, \
  &&op_0x48, &&op_0x49, &&op_0x4A, &&op_nop, &&op_0x4C, &&op_0x4D, &&op_0x4E, &&op_nop, \
  &&op_0x50, &&op_0x51, &&op_nop, &&op_nop, &&op_nop, &&op_0x55, &&op_0x56, &&op_nop, \
  &&op_0x58, &&op_0x59, &&op_nop, &&op_nop, &&op_nop, &&op_0x5D, &&op_0x5E, &&op_nop, \
  &&op_0x60, &&op_0x61, &&op_nop, &&op_nop, &&op_nop, &&op_0x65, &&op_0x66, &&op_nop, \
  &&op_0x68, &&op_0x69, &&op_0x6A, &&op_nop, &&op_0x6C, &&op_0x6D, &&op_0x6E, &&op_nop, \
  &&op_0x70, &&op_0x71, &&op_nop, &&op_nop, &&op_nop, &&op_0x75, &&op_0x76, &&op_nop, \
  &&op_0x78, &&op_0x79, &&op_nop, &&op_nop, &&op_nop, &&op_0x7D, &&op_0x7E, &&op_nop, \
  &&op_nop, &&op_0x81, &&op_nop, &&op_nop, &&op_0x84, &&op_0x85, &&op_0x86, &&op_nop, \
  &&op_0x88, &&op_nop, &&op_0x8A, &&op_nop, &&op_0x8C, &&op_0x8D, &&op_0x8E, &&op_nop, \
  &&op_0x90, &&op_0x91, &&op_nop, &&op_nop, &&op_0x94, &&op_0x95, &&op_0x96, &&op_nop, \
  &&op_0x98, &&op_0x99, &&op_0x9A, &&op_nop, &&op_nop, &&op_0x9D, &&op_nop, &&op_nop, \
  &&op_0xA0, &&op_0xA1, &&op_0xA2, &&op_nop, &&op_0xA4, &&op_0xA5, &&op_0xA6, &&op_nop, \
  &&op_0xA8, &&op_0xA9, &&op_0xAA, &&op_nop, &&op_0xAC, &&op_0xAD, &&op_0xAE, &&op_nop, \
  &&op_0xB0, &&op_0xB1, &&op_nop, &&op_nop, &&op_0xB4, &&op_0xB5, &&op_0xB6, &&op_nop, \
  &&op_0xB8, &&op_0xB9, &&op_0xBA, &&op_nop, &&op_0xBC, &&op_0xBD, &&op_0xBE, &&op_nop, \
  &&op_0xC0, &&op_0xC1, &&op_nop, &&op_nop, &&op_0xC4, &&op_0xC5, &&op_0xC6, &&op_nop, \
  &&op_0xC8, &&op_0xC9, &&op_0xCA, &&op_nop, &&op_0xCC, &&op_0xCD, &&op_0xCE, &&op_nop, \
  &&op_0xD0, &&op_0xD1, &&op_nop, &&op_nop, &&op_nop, &&op_0xD5, &&op_0xD6, &&op_nop, \
  &&op_0xD8, &&op_0xD9, &&op_nop, &&op_nop, &&op_nop, &&op_0xDD, &&op_0xDE, &&op_nop, \
  &&op_0xE0, &&op_0xE1, &&op_nop, &&op_nop, &&op_0xE4, &&op_0xE5, &&op_0xE6, &&op_nop, \
  &&op_0xE8, &&op_0xE9, &&op_nop, &&op_nop, &&op_0xEC, &&op_0xED, &&op_0xEE, &&op_nop, \
  &&op_0xF0, &&op_0xF1, &&op_nop, &&op_nop, &&op_nop, &&op_0xF5, &&op_0xF6, &&op_nop, \
  &&op_0xF8, &&op_0xF9, &&op_nop, &&op_nop, &&op_nop, &&op_0xFD, &&op_0xFE, &&op_nop
// clang-format on
#endif

TT_ALWAYS_INLINE uint16_t CpuCore::step(uint8_t opcode) {
  unsigned c;
  switch (opcode) {
#define TT_CASE(CODE, ...) \
  case CODE: c = exec_##CODE(); break;
    TT_CPU_OPCODES(TT_CASE)
#undef TT_CASE
    default:  // NOP and every undocumented opcode
      c = 2;
      break;
  }
  TT_ADD_BUS_DEBT()
  return static_cast<uint16_t>(c);
}

/// Fetches and executes instructions on `core`'s registers, adding 3 dots per
/// cycle (bus debt included) to `pending`, until `pending` reaches `limit`
/// (returns true) or, between two instructions, an NMI is pending or
/// `stop_at(pc)` asks for the machine (returns false). The first instruction
/// runs unchecked; no NMI may be pending when the call starts (the caller
/// has just taken it).
///
/// Threaded dispatch: every handler ends with its own copy of the accounting,
/// the checks and the jump to the next handler, so the branch predictor sees
/// one indirect jump per opcode. Without it (TT_THREADED_DISPATCH 0) one
/// switch runs the handlers and the checks follow it. The registers work on a
/// local copy of the core, which nothing else can point to, so they stay in
/// machine registers.
#if TT_THREADED_DISPATCH
// Taking label addresses and jumping to them is the one extension the loop
// needs; -Wpedantic would flag every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
template <class StopAt>
bool run_instructions(CpuCore& core, uint64_t& pending, uint64_t limit, StopAt stop_at) {
#if TT_THREADED_DISPATCH
  static void* const handlers[256] = {TT_CPU_HANDLER_TABLE};
#define TT_DISPATCH() goto* handlers[cpu.fetch()];
#else
#define TT_DISPATCH() goto dispatch;
#endif
  CpuCore cpu(core.m, core);
  Console& m = core.m;
  uint64_t dots = pending;
  bool window_closed;
  unsigned c;
  // The first instruction takes the full checks, which also settle any bus
  // debt left from before the call.
  cpu.bus_written = true;
  // clang-format off
#define TT_NEXT()                                  \
  if (cpu.bus_written) [[unlikely]]                \
    goto after_bus_write;                          \
  dots += 3u * c;                                  \
  if (dots >= limit) [[unlikely]]                  \
    goto window_reached;                           \
  if (stop_at(cpu.pc)) [[unlikely]]                \
    goto stopped;                                  \
  TT_DISPATCH()

#if TT_THREADED_DISPATCH
#define TT_HANDLER(CODE, ...) \
  op_##CODE:                  \
  c = cpu.exec_##CODE();      \
  TT_NEXT()

  TT_DISPATCH()
  TT_CPU_OPCODES(TT_HANDLER)
op_nop:  // NOP and every undocumented opcode
  c = 2;
  TT_NEXT()
#undef TT_HANDLER
#else
#define TT_CASE(CODE, ...) \
  case CODE:               \
    c = cpu.exec_##CODE(); \
    break;

dispatch:
  switch (cpu.fetch()) {
    TT_CPU_OPCODES(TT_CASE)
    default:  // NOP and every undocumented opcode
      c = 2;
      break;
  }
  TT_NEXT()
#undef TT_CASE
#endif
#undef TT_NEXT
// clang-format on
after_bus_write:
  // The checks an instruction needs after writing to the bus: its bus debt,
  // and an NMI its write may have raised.
  cpu.bus_written = false;
  TT_ADD_BUS_DEBT()
  dots += 3u * c;
  if (dots >= limit) goto window_reached;
  if (m.ppu.nmi_pending || stop_at(cpu.pc)) goto stopped;
  TT_DISPATCH()
#undef TT_DISPATCH
window_reached:
  window_closed = true;
  goto done;
stopped:
  window_closed = false;
done:
  core.copy_registers_from(cpu);
  pending = dots;
  return window_closed;
}
#if TT_THREADED_DISPATCH
#pragma GCC diagnostic pop
#endif

// Vectors, read straight from PRG.
inline uint16_t read_vector(const Console& m, uint16_t offset) { return prg_word(m.prg_rom, m.prg_mask, offset); }

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
