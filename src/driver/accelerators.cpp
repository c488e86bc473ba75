#include "driver/accelerators.h"

#include <vector>

#include "core/alu.h"
#include "core/bus.h"

namespace tt {

namespace {

// Every guard also keeps the routine below the frame's cycle budget, so the
// runner can never have stopped in the middle of it.
inline bool within_budget(const FrameClock& clock, uint64_t cycles) {
  return clock.cycles + cycles <= LAST_BUDGET_CYCLE;
}

inline void charge(FrameClock& clock, uint64_t cycles) {
  clock.cycles += cycles;
  clock.pending_dots += 3 * cycles;
}

inline uint8_t prg(const Console& m, uint32_t address) { return m.prg_rom[address & m.prg_mask]; }

// RAM through the bus for addresses known to lie below 0x2000.
inline uint8_t& ram_at(Console& m, uint32_t address) { return m.ram[address & 0x7FF]; }

inline uint8_t& stack_at(Console& m, uint8_t sp) { return m.ram[0x100 + sp]; }

using alu::add_with_carry;
using alu::with_zn;

// CMP / CPX / CPY of `reg` with `v` on the whole P register.
inline uint8_t compare(uint8_t p, uint8_t reg, uint8_t v) {
  const uint8_t d = alu::compare(p, reg, v);
  return with_zn(p, d);
}

// The routine's closing RTS.
inline void return_from_subroutine(Console& m) {
  const uint8_t lo = stack_at(m, static_cast<uint8_t>(m.cpu.sp + 1));
  const uint8_t hi = stack_at(m, static_cast<uint8_t>(m.cpu.sp + 2));
  m.cpu.sp = static_cast<uint8_t>(m.cpu.sp + 2);
  m.cpu.pc = static_cast<uint16_t>((lo | (hi << 8)) + 1);
}

// Turns of a `DEX/DEY ; BPL` loop started with index `i`: down to 0, or a
// single turn when the first decrement already leaves bit 7 set.
inline unsigned countdown_turns(uint8_t i) { return i <= 0x80 ? i + 1u : 1u; }

// Instructions of a loop whose turns end with the cumulative costs `turn`
// (three instructions a turn) until the total reaches `need`; at least one.
inline uint64_t instructions_to_reach(uint64_t need, const unsigned (&turn)[3]) {
  if (need == 0) return 1;
  const uint64_t full = (need - 1) / turn[2];
  const uint64_t rest = need - full * turn[2];
  unsigned i = 0;
  while (turn[i] < rest) ++i;
  return 3 * full + i + 1;
}

// Slot 2: the polling loop's last turn (which reads the hit), the fall-through
// and the 20-turn delay loop, ending at 0x815C. 109 cycles.
bool sprite0_hit_delay(Console& m, FrameClock& clock) {
  constexpr uint64_t C = 4 + 2 + 2 + 2 + (20 * 5 - 1);
  if (clock.remaining(m) < 3 * C || !within_budget(clock, C)) return false;
  const uint8_t status = m.ppu.status;
  m.ppu.status = status & 0x7F;
  m.ppu.first_write = 1;
  m.cpu.a = status & 0x40;
  m.cpu.y = 0;
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & 0x5D) | alu::U | alu::Z);
  m.cpu.pc = 0x815C;
  charge(clock, C);
  return true;
}

// Slot 8's routine at 0x9BE1 after its PHA of `a` (done by the caller): the
// table pointer in RAM 0x06/0x07. Returns the final A; sets Y and C, V, Z, N.
inline uint8_t table_pointer_body(Console& m, uint8_t a) {
  const uint8_t y = a >> 4;
  m.cpu.y = y;
  m.ram[0x07] = prg(m, 0x9BDFu + y);
  uint8_t p = m.cpu.p;
  const uint8_t s = add_with_carry(p, a & 0x0F, prg(m, 0x9BDDu + y), 0);
  m.ram[0x06] = s;
  m.cpu.p = with_zn(p, s);
  return s;
}

// The routine at 0xF26D as called from the edge scans of slot 10: A = `a5`,
// Y = `y`, X = `x`. Updates x and the flags in p; returns its cycles.
inline unsigned compare_and_scale_body(Console& m, uint8_t a5, uint8_t y, uint8_t& x, uint8_t& p) {
  m.ram[0x05] = a5;
  const uint8_t r7 = m.ram[0x07];
  p = compare(p, r7, m.ram[0x06]);
  if (p & alu::C) return 18;
  const uint8_t scaled = (r7 >> 3) & 7;
  p = compare(p, y, 1);
  if (y >= 1) {
    x = scaled;
    p = with_zn(p, x);
    return 32;
  }
  x = add_with_carry(p, scaled, m.ram[0x05], 0);
  p = with_zn(p, x);
  return 34;
}

// One of slot 10's two edge scans (0xF1F6 horizontal, 0xF239 vertical), from
// its STX $04 through its RTS. `sp` is the stack pointer inside the scan (the
// JSR to 0xF26D pushes below it). Returns the table byte it ends with.
struct EdgeScan {
  uint16_t edge_lo;  // LDA edge_lo,Y: RAM (horizontal) or PRG (vertical)
  bool edge_lo_in_prg;
  uint16_t edge_hi;        // LDA edge_hi,Y (horizontal), or 0 for LDA #$01
  uint8_t pos_lo;          // SBC pos_lo,X (zero page)
  uint8_t pos_hi;          // SBC pos_hi,X (zero page)
  uint16_t index_neg;      // LDX index_neg,Y
  uint16_t code_table;     // LDA code_table,X
  uint8_t near_limit;      // value stored to RAM 0x06 before the call
  uint8_t near_scale;      // A passed to 0xF26D
  uint8_t return_lo;       // low byte pushed by the JSR to 0xF26D
  unsigned prefix_cycles;  // LDA lo .. CMP #0, per turn
  unsigned loop_back;      // taken BPL back to the turn's start
};

constexpr EdgeScan HORIZONTAL_SCAN{0x071C, false, 0x071A, 0x86, 0x6D, 0xF1F3, 0xF1E3, 0x38, 0x08, 0x1D, 27, 4};
constexpr EdgeScan VERTICAL_SCAN{0xF237, true, 0x0000, 0xCE, 0xB5, 0xF234, 0xF22B, 0x20, 0x04, 0x5F, 25, 3};

inline uint8_t edge_scan(Console& m, const EdgeScan& s, uint8_t sp, uint8_t& p, unsigned& cycles) {
  const uint8_t x = m.cpu.x;
  m.ram[0x04] = x;  // STX $04 ; LDY #$01
  cycles += 5;
  for (uint8_t y = 1;; --y) {
    const uint8_t lo = s.edge_lo_in_prg ? prg(m, s.edge_lo + y) : m.ram[s.edge_lo + y];
    const uint8_t d = add_with_carry(p, lo, static_cast<uint8_t>(~m.ram[static_cast<uint8_t>(s.pos_lo + x)]), 1);
    m.ram[0x07] = d;
    const uint8_t hi = s.edge_hi ? m.ram[s.edge_hi + y] : 0x01;
    const uint8_t h =
        add_with_carry(p, hi, static_cast<uint8_t>(~m.ram[static_cast<uint8_t>(s.pos_hi + x)]), p & alu::C);
    cycles += s.prefix_cycles;
    uint8_t n = prg(m, s.index_neg + y);
    if (h & 0x80) {
      cycles += 3;  // BMI taken
    } else {
      n = prg(m, s.index_neg + 1u + y);
      cycles += 2 + 4 + 2;  // BMI, LDX, CMP #$01
      if (h != 0) {
        cycles += 3;  // BPL taken
      } else {
        m.ram[0x06] = s.near_limit;
        stack_at(m, sp) = 0xF2;
        stack_at(m, static_cast<uint8_t>(sp - 1)) = s.return_lo;
        cycles += 2 + 2 + 3 + 2 + 6;  // BPL, LDA, STA, LDA, JSR
        uint8_t nx = n;
        cycles += compare_and_scale_body(m, s.near_scale, y, nx, p);
        n = nx;
      }
    }
    const uint8_t w = prg(m, s.code_table + n);
    cycles += 4 + 3 + 2;  // LDA table,X ; LDX $04 ; CMP #$00
    if (w != 0) {
      cycles += 3 + 6;  // BNE taken ; RTS
      return w;
    }
    cycles += 2 + 2;  // BNE ; DEY
    if (y == 0) {
      cycles += 2 + 6;  // BPL ; RTS
      return w;
    }
    cycles += s.loop_back;
  }
}

}  // namespace

std::array<uint8_t, ACCELERATOR_SLOTS> detect_accelerators(const uint8_t* prg_bytes, size_t prg_len,
                                                           uint16_t prg_mask) {
  std::array<uint8_t, ACCELERATOR_SLOTS> enabled{};
  for (size_t slot = 0; slot < ACCELERATOR_SLOTS; ++slot) {
    bool match = true;
    for (const SignatureSegment& seg : ACCELERATOR_SIGNATURES[slot]) {
      for (uint16_t i = 0; i < seg.size && match; ++i) {
        const size_t offset = static_cast<uint16_t>(seg.address + i) & prg_mask;
        match = prg_bytes != nullptr && offset < prg_len && prg_bytes[offset] == seg.bytes[i];
      }
    }
    enabled[slot] = match ? 1 : 0;
  }
  if (!enabled[1]) enabled[2] = 0;
  return enabled;
}

bool accel_idle_wait(Console& m, FrameClock& clock) {
  // The JMP would carry the bus debt; leave that single turn to the CPU.
  if (m.extra_cycles) return false;
  // Turns until the event is reached, or until the budget is passed,
  // whichever comes first; always at least one.
  uint64_t turns = (clock.remaining(m) + 8) / 9;
  if (turns == 0) turns = 1;
  if (clock.cycles <= LAST_BUDGET_CYCLE) {
    const uint64_t to_budget = (LAST_BUDGET_CYCLE - clock.cycles) / 3 + 1;
    if (to_budget < turns) turns = to_budget;
  } else {
    turns = 1;
  }
  charge(clock, 3 * turns);
  return true;
}

bool accel_sprite0_poll(Console& m, FrameClock& clock, bool slot2_enabled) {
  if (m.extra_cycles) return false;
  if (m.ppu.status & 0x40) return slot2_enabled && sprite0_hit_delay(m, clock);
  // The loop runs until the instruction after which the runner stops: the
  // one that reaches the event, or the one that passes the budget. That can
  // be inside a turn; the event may end the frame or bring an NMI, so the
  // loop stops exactly there.
  static constexpr unsigned TURN_DOTS[3] = {12, 18, 27};  // after LDA, AND, BEQ
  static constexpr unsigned TURN_CYCLES[3] = {4, 6, 9};
  uint64_t n = instructions_to_reach(clock.remaining(m), TURN_DOTS);
  if (clock.cycles <= LAST_BUDGET_CYCLE) {
    const uint64_t to_budget = instructions_to_reach(LAST_BUDGET_CYCLE - clock.cycles + 1, TURN_CYCLES);
    if (to_budget < n) n = to_budget;
  } else {
    n = 1;
  }
  const uint64_t turns = n / 3;
  const unsigned partial = static_cast<unsigned>(n % 3);
  const uint64_t cycles = 9 * turns + (partial ? TURN_CYCLES[partial - 1] : 0);
  const uint8_t status = m.ppu.status;
  m.ppu.status = status & 0x7F;
  m.ppu.first_write = 1;
  if (partial == 1) {
    // Stopped after a read of 0x2002; only the first read can see vblank.
    m.cpu.a = n == 1 ? status : static_cast<uint8_t>(status & 0x7F);
    m.cpu.p = with_zn(m.cpu.p, m.cpu.a);
    m.cpu.pc = 0x8153;
  } else {
    m.cpu.a = 0;
    m.cpu.p = static_cast<uint8_t>((m.cpu.p & 0x5D) | alu::U | alu::Z);
    m.cpu.pc = partial == 2 ? 0x8155 : 0x8150;
  }
  charge(clock, cycles);
  return true;
}

bool accel_timer_countdown(Console& m, FrameClock& clock) {
  const uint8_t x0 = m.cpu.x;
  if (x0 >= 0x80 || m.extra_cycles) return false;
  unsigned zeros = 0;
  for (unsigned x = 0; x <= x0; ++x) zeros += m.ram[0x780 + x] == 0;
  // 18 cycles a turn with the DEC, 12 without; the last BPL falls through.
  const uint64_t C = 18u * (x0 + 1u) - 6u * zeros - 1u;
  if (3 * C >= clock.remaining(m) || !within_budget(clock, C)) return false;
  m.cpu.a = m.ram[0x780];
  for (unsigned x = 0; x <= x0; ++x) {
    uint8_t& t = m.ram[0x780 + x];
    if (t) --t;
  }
  m.cpu.x = 0xFF;
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & 0x5D) | alu::U | alu::N);
  m.cpu.pc = 0x8119;
  charge(clock, C);
  return true;
}

bool accel_sprites_offscreen(Console& m, FrameClock& clock) {
  // LDY, LDA, 63 turns of STA + 4 INY + BNE, RTS.
  constexpr uint64_t C = 2 + 2 + 63 * 16 - 1 + 6;
  if (m.extra_cycles || clock.remaining(m) < 3 * C || !within_budget(clock, C)) return false;
  for (unsigned a = 0x204; a <= 0x2FC; a += 4) m.ram[a] = 0xF8;
  m.cpu.a = 0xF8;
  m.cpu.y = 0;
  m.cpu.p = static_cast<uint8_t>((m.cpu.p & 0x5D) | alu::U | alu::Z);
  return_from_subroutine(m);
  charge(clock, C);
  return true;
}

bool accel_table_update(Console& m, FrameClock& clock) {
  if (m.extra_cycles) return false;
  const unsigned turns = countdown_turns(m.cpu.x);
  // A turn costs at most 38 cycles (114 dots), so this guard keeps the whole
  // loop strictly inside the event window.
  if (clock.remaining(m) < 120u * turns || !within_budget(clock, 38u * turns)) return false;
  uint8_t x = m.cpu.x;
  uint8_t a = m.cpu.a;
  uint8_t y = m.cpu.y;
  uint8_t p = m.cpu.p;
  uint64_t C = 0;
  for (;;) {
    const unsigned entry = 0x6E4u + x;
    a = m.ram[entry];
    C += 4 + (entry >= 0x700) + 3;  // LDA $06E4,X ; CMP $00
    if (a < m.ram[0x00]) {
      p = static_cast<uint8_t>(p & ~alu::C);
      C += 3;  // BCC taken
    } else {
      y = m.ram[0x6E0];
      const unsigned addend = 0x6E1u + y;
      a = add_with_carry(p, a, m.ram[addend], 0);
      C += 2 + 4 + 2 + 4 + (addend >= 0x700);  // BCC, LDY, CLC, ADC $06E1,Y
      if (p & alu::C) {
        a = add_with_carry(p, a, m.ram[0x00], 0);
        C += 2 + 2 + 3;  // BCC, CLC, ADC $00
      } else {
        C += 3;  // BCC taken
      }
      m.ram[entry] = a;
      C += 5;
    }
    x = static_cast<uint8_t>(x - 1);
    if (x & 0x80) {
      C += 2 + 2;  // DEX ; BPL falls through
      break;
    }
    C += 2 + 3;
  }
  m.cpu.a = a;
  m.cpu.x = x;
  m.cpu.y = y;
  m.cpu.p = with_zn(p, x);
  m.cpu.pc = 0x81E8;
  charge(clock, C);
  return true;
}

bool accel_read_controller(Console& m, FrameClock& clock) {
  const uint8_t port = m.cpu.x;
  if (port >= 2) return false;
  uint8_t bits = 0;
  uint8_t last = 0;
  if (port == 0) {
    if (m.controller_strobe) {
      const uint8_t b = m.controller_state & 1;
      bits = b ? 0xFF : 0x00;
      last = 0x40 | b;
    } else {
      // The first read takes bit 0 of the shift register into bit 7.
      const uint8_t s = m.controller_shift;
      for (int i = 0; i < 8; ++i) bits = static_cast<uint8_t>(bits | (((s >> i) & 1) << (7 - i)));
      last = 0x40 | (s >> 7);
    }
  }
  const uint8_t held = m.ram[0x74A + port];
  const bool masked = (bits & 0x30 & held) != 0;
  const uint64_t C = m.extra_cycles + (masked ? 258u : 257u);
  if (clock.remaining(m) < 3 * C || !within_budget(clock, C)) return false;
  if (port == 0 && !m.controller_strobe) m.controller_shift = 0xFF;
  m.ram[0x00] = last;
  stack_at(m, m.cpu.sp) = bits;
  uint8_t a = bits;
  if (masked) {
    a = bits & 0xCF;
  } else {
    m.ram[0x74A + port] = bits;
  }
  m.ram[0x6FC + port] = a;
  // The last ROL shifts bit 0 of the entry A out into C.
  const uint8_t p = static_cast<uint8_t>((m.cpu.p & ~alu::C) | (m.cpu.a & 1));
  m.cpu.a = a;
  m.cpu.y = 0;
  m.cpu.p = with_zn(p, a);
  m.extra_cycles = 0;
  return_from_subroutine(m);
  charge(clock, C);
  return true;
}

bool accel_keep_higher_score(Console& m, FrameClock& clock) {
  // Compare turns: read only, so the cost and the outcome are known first.
  uint8_t x = m.cpu.x;
  uint8_t y = m.cpu.y;
  uint8_t p = m.cpu.p;
  uint8_t a = m.cpu.a;
  uint64_t C = m.extra_cycles;
  for (;;) {
    const unsigned current = 0x7DDu + x;
    const unsigned kept = 0x7D7u + y;
    a = add_with_carry(p, ram_at(m, current), static_cast<uint8_t>(~ram_at(m, kept)), p & alu::C);
    C += 4 + (current >= 0x800) + 4 + (kept >= 0x800) + 2 + 2;
    x = static_cast<uint8_t>(x - 1);
    y = static_cast<uint8_t>(y - 1);
    if (y & 0x80) {
      C += 2;
      break;
    }
    C += 3;
  }
  const bool borrowed = !(p & alu::C);
  if (borrowed) {
    C += 3 + 6;  // BCC taken ; RTS
  } else {
    // INX, INY, then copy turns until Y reaches 6 (at least one).
    C += 2 + 2 + 2;
    uint8_t cx = static_cast<uint8_t>(x + 1);
    uint8_t cy = static_cast<uint8_t>(y + 1);
    for (;;) {
      C += 4 + (0x7DDu + cx >= 0x800) + 5 + 2 + 2 + 2;
      cx = static_cast<uint8_t>(cx + 1);
      cy = static_cast<uint8_t>(cy + 1);
      if (cy >= 6) {
        C += 2;
        break;
      }
      C += 3;
    }
    C += 6;
  }
  if (3 * C >= clock.remaining(m) || !within_budget(clock, C)) return false;
  if (borrowed) {
    p = with_zn(p, y);
  } else {
    x = static_cast<uint8_t>(x + 1);
    y = static_cast<uint8_t>(y + 1);
    do {
      a = ram_at(m, 0x7DDu + x);
      ram_at(m, 0x7D7u + y) = a;
      x = static_cast<uint8_t>(x + 1);
      y = static_cast<uint8_t>(y + 1);
    } while (y < 6);
    p = compare(p, y, 6);
  }
  m.cpu.a = a;
  m.cpu.x = x;
  m.cpu.y = y;
  m.cpu.p = p;
  m.extra_cycles = 0;
  return_from_subroutine(m);
  charge(clock, C);
  return true;
}

bool accel_table_pointer(Console& m, FrameClock& clock) {
  const uint64_t C = m.extra_cycles + 41u;
  if (clock.remaining(m) < 3 * C || !within_budget(clock, C)) return false;
  const uint8_t a = m.cpu.a;
  stack_at(m, m.cpu.sp) = a;
  m.cpu.a = table_pointer_body(m, a);
  m.extra_cycles = 0;
  return_from_subroutine(m);
  charge(clock, C);
  return true;
}

bool accel_byte_under_object(Console& m, FrameClock& clock) {
  const uint64_t extra = m.extra_cycles;
  // At most 152 cycles besides the debt.
  if (clock.remaining(m) < 3 * extra + 480 || !within_budget(clock, extra + 152)) return false;
  const uint8_t sp = m.cpu.sp;
  const uint8_t x = m.cpu.x;
  const uint8_t y0 = m.cpu.y;
  const uint8_t a0 = m.cpu.a;
  uint64_t C = extra + 147 + (y0 >= 0x50) + (y0 >= 0x34);  // page crosses of the two table reads

  stack_at(m, sp) = a0;  // PHA
  m.ram[0x04] = y0;      // STY $04
  uint8_t p = m.cpu.p;
  const uint8_t lo = add_with_carry(p, prg(m, 0xE3B0u + y0), m.ram[static_cast<uint8_t>(0x86 + x)], 0);
  m.ram[0x05] = lo;
  const uint8_t page = add_with_carry(p, m.ram[static_cast<uint8_t>(0x6D + x)], 0, p & alu::C);
  const uint8_t nested_a = static_cast<uint8_t>(((page & 1) << 4) | (m.ram[0x05] >> 4));
  // JSR 0x9BE1 and the PHA at its start.
  stack_at(m, static_cast<uint8_t>(sp - 1)) = 0xE4;
  stack_at(m, static_cast<uint8_t>(sp - 2)) = 0x0A;
  stack_at(m, static_cast<uint8_t>(sp - 3)) = nested_a;
  m.cpu.p = p;
  table_pointer_body(m, nested_a);
  p = m.cpu.p;

  const uint8_t y = m.ram[0x04];
  const uint8_t row = add_with_carry(p, m.ram[static_cast<uint8_t>(0xCE + x)], prg(m, 0xE3CCu + y), 0) & 0xF0;
  const uint8_t v = add_with_carry(p, row, static_cast<uint8_t>(~0x20), 1);  // SEC ; SBC #$20
  m.ram[0x02] = v;
  const unsigned pointer_lo = m.ram[0x06];
  const uint32_t pointer = pointer_lo | (m.ram[0x07] << 8);
  C += (pointer_lo + v) > 0xFF;
  const uint8_t value = bus_read(m, pointer + v);  // LDA ($06),Y
  m.ram[0x03] = value;
  const uint8_t pulled = stack_at(m, sp);
  if (pulled == 0) C += 2;
  const uint8_t column = pulled ? m.ram[static_cast<uint8_t>(0x86 + x)] : m.ram[static_cast<uint8_t>(0xCE + x)];
  m.ram[0x04] = column & 0x0F;
  const uint8_t result = m.ram[0x03];
  m.cpu.a = result;
  m.cpu.y = y;  // LDY $04 ran before RAM 0x04 was replaced
  m.cpu.p = with_zn(p, result);
  m.extra_cycles = 0;
  return_from_subroutine(m);
  charge(clock, C);
  return true;
}

bool accel_relative_position_bits(Console& m, FrameClock& clock) {
  const uint64_t extra = m.extra_cycles;
  // 660 cycles bound the routine (its longest path is 481).
  if (3 * extra + 1980 >= clock.remaining(m) || !within_budget(clock, extra + 660)) return false;
  const uint8_t sp = m.cpu.sp;
  const uint8_t saved_y = m.cpu.y;
  // TYA ; PHA ; JSR 0xF1D7 ; JSR 0xF1F6
  stack_at(m, sp) = saved_y;
  stack_at(m, static_cast<uint8_t>(sp - 1)) = 0xF1;
  stack_at(m, static_cast<uint8_t>(sp - 2)) = 0xC4;
  stack_at(m, static_cast<uint8_t>(sp - 3)) = 0xF1;
  stack_at(m, static_cast<uint8_t>(sp - 4)) = 0xD9;
  unsigned cycles = 2 + 3 + 6 + 6;
  uint8_t p = m.cpu.p;
  const uint8_t w = edge_scan(m, HORIZONTAL_SCAN, static_cast<uint8_t>(sp - 5), p, cycles);
  m.ram[0x00] = w >> 4;
  cycles += 8 + 3 + 3;  // LSR x4 ; STA $00 ; JMP 0xF239
  const uint8_t j = edge_scan(m, VERTICAL_SCAN, static_cast<uint8_t>(sp - 3), p, cycles);
  // ASL x4 ; ORA $00 ; STA $00 ; PLA ; TAY ; LDA $00 ; STA $03D0,Y ; LDX $08 ; RTS
  cycles += 8 + 3 + 3 + 4 + 2 + 3 + 5 + 3 + 6;
  const uint8_t result = static_cast<uint8_t>((j << 4) | m.ram[0x00]);
  m.ram[0x00] = result;
  const uint8_t y = stack_at(m, sp);
  m.ram[0x3D0 + y] = result;
  m.cpu.a = result;
  m.cpu.y = y;
  m.cpu.x = m.ram[0x08];
  p = static_cast<uint8_t>((p & ~alu::C) | ((j >> 4) & 1));
  m.cpu.p = with_zn(p, m.cpu.x);
  m.extra_cycles = 0;
  return_from_subroutine(m);
  charge(clock, extra + cycles);
  return true;
}

bool accel_compare_and_scale(Console& m, FrameClock& clock) {
  const uint8_t r7 = m.ram[0x07];
  const uint8_t r6 = m.ram[0x06];
  const uint64_t C = m.extra_cycles + (r7 >= r6 ? 18u : (m.cpu.y == 0 ? 34u : 32u));
  if (3 * C >= clock.remaining(m) || !within_budget(clock, C)) return false;
  const uint8_t a0 = m.cpu.a;
  uint8_t x = m.cpu.x;
  uint8_t p = m.cpu.p;
  compare_and_scale_body(m, a0, m.cpu.y, x, p);
  m.cpu.a = r7 >= r6 ? r7 : x;
  m.cpu.x = x;
  m.cpu.p = p;
  m.extra_cycles = 0;
  return_from_subroutine(m);
  charge(clock, C);
  return true;
}

bool accel_write_sprite_pair(Console& m, FrameClock& clock) {
  const uint8_t flip = m.ram[0x03] & 2;
  const uint64_t C = m.extra_cycles + 99u + flip;
  if (3 * C >= clock.remaining(m) || !within_budget(clock, C)) return false;
  const unsigned y = m.cpu.y;
  const uint8_t left = m.ram[0x00];
  const uint8_t right = m.ram[0x01];
  m.ram[0x201 + y] = flip ? right : left;
  m.ram[0x205 + y] = flip ? left : right;
  const uint8_t attributes = static_cast<uint8_t>((flip << 5) | m.ram[0x04]);
  m.ram[0x202 + y] = attributes;
  m.ram[0x206 + y] = attributes;
  const uint8_t top = m.ram[0x02];
  m.ram[0x200 + y] = top;
  m.ram[0x204 + y] = top;
  const uint8_t column = m.ram[0x05];
  m.ram[0x203 + y] = column;
  m.ram[0x207 + y] = static_cast<uint8_t>(column + 8);
  m.ram[0x02] = static_cast<uint8_t>(top + 8);
  uint8_t p = m.cpu.p;
  const uint8_t next = add_with_carry(p, static_cast<uint8_t>(y), 8, 0);
  m.cpu.a = next;
  m.cpu.y = next;
  m.cpu.x = static_cast<uint8_t>(m.cpu.x + 2);
  m.cpu.p = with_zn(p, m.cpu.x);
  m.extra_cycles = 0;
  return_from_subroutine(m);
  charge(clock, C);
  return true;
}

namespace {
std::vector<uint16_t> accelerator_entries() {
  std::vector<uint16_t> entries;
  for (size_t slot = 0; slot < ACCELERATOR_SLOTS; ++slot)
    if (slot != 2) entries.push_back(ACCELERATOR_ENTRY_PC[slot]);
  return entries;
}
}  // namespace

std::shared_ptr<const TranslatedCode> translate_lane_code(const Cartridge& cart) {
  return translate_prg(cart.prg_rom.data(), cart.prg_rom.size(), accelerator_entries());
}

std::shared_ptr<const NativeCode> native_lane_code(std::shared_ptr<const TranslatedCode> translation) {
  return build_native_code(std::move(translation), accelerator_entries());
}

HookResult AcceleratorHooks::run_slot(uint8_t slot, Console& m, FrameClock& clock) const {
  // The waiting loops stop exactly where the runner has to synchronise. Every
  // other routine ends inside the event window or right at its end, so the
  // runner's own window test decides, as after the routine's last instruction.
  switch (slot) {
    case 0: return accel_idle_wait(m, clock) ? HookResult::Synchronise : HookResult::NotApplied;
    case 1:
      return accel_sprite0_poll(m, clock, slot_enabled[2] != 0) ? HookResult::Synchronise : HookResult::NotApplied;
    case 3: return accel_timer_countdown(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 4: return accel_sprites_offscreen(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 5: return accel_table_update(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 6: return accel_read_controller(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 7: return accel_keep_higher_score(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 8: return accel_table_pointer(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 9: return accel_byte_under_object(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 10: return accel_relative_position_bits(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 11: return accel_compare_and_scale(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    case 12: return accel_write_sprite_pair(m, clock) ? HookResult::TestWindow : HookResult::NotApplied;
    default: return HookResult::NotApplied;
  }
}

}  // namespace tt
