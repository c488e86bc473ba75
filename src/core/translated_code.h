// The cartridge's PRG decoded once, for the block runner (block_runner.h).
//
// PRG is read-only (mapper 0 ignores every write at 0x8000 and above), so a
// translation made at load stays valid for the life of the cartridge: no
// write can change translated code. Code outside PRG (work RAM) is never
// translated; the block runner hands it to the interpreter.
//
// For every address 0x8000-0xFFFF there is one entry, the instruction that
// starts there (and for every address below, a marker that sends the block
// runner to the interpreter). A block is the run of instructions from a start address up
// to the first one that changes the flow (branch, jump, call, return, BRK),
// or up to an address marked as a stop (entry points the runner must be
// offered, code the translation leaves to the interpreter, and cuts that
// keep blocks short). The block runner checks the event window once per
// block with `guard`, the worst-case cycles of the block's instructions
// before its last one, instead of once per instruction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/cpu.h"

namespace tt {

// Four bytes, so that the entries of the code a frame runs stay in few
// cache lines.
struct TranslatedOp {
  // The documented opcode byte, NOP_HANDLER for every undocumented one (a
  // 1-byte no-op), or one of the markers below.
  uint8_t handler;
  // Worst-case cycles of the instructions from this one up to, not
  // including, the last one of the block it starts (0 when it is the last).
  uint8_t guard;
  // The two bytes after the opcode, low byte first (what the operand
  // fetches read, whether the instruction uses them or not).
  uint16_t operand;
};
static_assert(sizeof(TranslatedOp) == 4);

// Handler values that are not opcodes of their own. They are undocumented
// opcode bytes, so the CPU's handler table sends them to its no-op handler,
// where the block runner tells a real no-op (NOP_HANDLER) from a marker.
inline constexpr uint8_t NOP_HANDLER = 0x02;   // every undocumented opcode
inline constexpr uint8_t OP_STOP = 0x03;       // the block runner must check here (entry point, or a cut)
inline constexpr uint8_t OP_INTERPRET = 0x04;  // the instruction reaches past 0xFFFF: left to the interpreter
inline constexpr uint8_t OP_OUTSIDE = 0x07;    // not PRG: the interpreter runs it

/// Whether a handler value is a marker rather than an instruction.
inline constexpr bool is_marker(uint8_t handler) {
  return handler == OP_STOP || handler == OP_INTERPRET || handler == OP_OUTSIDE;
}

struct TranslatedCode {
  // PRG as the CPU sees it at 0x8000-0xFFFF (a 16 KiB image twice).
  std::array<uint8_t, 0x8000> code{};
  std::array<TranslatedOp, 0x10000> ops{};  // by CPU address
  // The stored opcode of the entry at `pc` (0x8000 or above), marker or not.
  uint8_t opcode_at(uint16_t pc) const { return code[pc - 0x8000u]; }
};

// Longest guard of a block (it must fit TranslatedOp::guard): a block stops before the instruction that would
// make it longer, so a block near an event falls back to per-instruction
// checks for at most this many cycles.
inline constexpr unsigned MAX_BLOCK_GUARD = 64;
static_assert(MAX_BLOCK_GUARD <= 0xFF);

/// Per-opcode facts the translation uses: instruction length in bytes as the
/// CPU consumes them (undocumented opcodes are 1-byte no-ops), worst-case
/// cycles without bus debt, whether the instruction changes the flow, and
/// whether it can write through the bus (read from the instruction's own
/// statements in cpu.h, so the two cannot disagree).
struct OpcodeInfo {
  uint8_t length;
  uint8_t max_cycles;
  bool changes_flow;
  bool writes_bus;
};
namespace translation_detail {

// Base cycles of every opcode (undocumented ones are 2-cycle no-ops).
inline constexpr uint8_t BASE_CYCLES[256] = {
    7, 6, 2, 2, 2, 3, 5, 2, 3, 2, 2, 2, 2, 4, 6, 2,  // 0x00
    2, 5, 2, 2, 2, 4, 6, 2, 2, 4, 2, 2, 2, 4, 7, 2,  // 0x10
    6, 6, 2, 2, 3, 3, 5, 2, 4, 2, 2, 2, 4, 4, 6, 2,  // 0x20
    2, 5, 2, 2, 2, 4, 6, 2, 2, 4, 2, 2, 2, 4, 7, 2,  // 0x30
    6, 6, 2, 2, 2, 3, 5, 2, 3, 2, 2, 2, 3, 4, 6, 2,  // 0x40
    2, 5, 2, 2, 2, 4, 6, 2, 2, 4, 2, 2, 2, 4, 7, 2,  // 0x50
    6, 6, 2, 2, 2, 3, 5, 2, 4, 2, 2, 2, 5, 4, 6, 2,  // 0x60
    2, 5, 2, 2, 2, 4, 6, 2, 2, 4, 2, 2, 2, 4, 7, 2,  // 0x70
    2, 6, 2, 2, 3, 3, 3, 2, 2, 2, 2, 2, 4, 4, 4, 2,  // 0x80
    2, 6, 2, 2, 4, 4, 4, 2, 2, 5, 2, 2, 2, 5, 2, 2,  // 0x90
    2, 6, 2, 2, 3, 3, 3, 2, 2, 2, 2, 2, 4, 4, 4, 2,  // 0xA0
    2, 5, 2, 2, 4, 4, 4, 2, 2, 4, 2, 2, 4, 4, 4, 2,  // 0xB0
    2, 6, 2, 2, 3, 3, 5, 2, 2, 2, 2, 2, 4, 4, 6, 2,  // 0xC0
    2, 5, 2, 2, 2, 4, 6, 2, 2, 4, 2, 2, 2, 4, 7, 2,  // 0xD0
    2, 6, 2, 2, 3, 3, 5, 2, 2, 2, 2, 2, 4, 4, 6, 2,  // 0xE0
    2, 5, 2, 2, 2, 4, 6, 2, 2, 4, 2, 2, 2, 4, 7, 2,  // 0xF0
};

inline constexpr std::array<bool, 256> documented_opcodes() {
  std::array<bool, 256> d{};
#define TT_MARK(CODE, ...) d[CODE] = true;
  TT_CPU_OPCODES(TT_MARK)
#undef TT_MARK
  return d;
}

inline constexpr bool text_contains(const char* text, const char* word) {
  for (; *text; ++text) {
    const char* a = text;
    const char* b = word;
    while (*b && *a == *b) ++a, ++b;
    if (!*b) return true;
  }
  return false;
}

// Opcodes whose statements write through the bus (`write(`), and those that
// set the program counter (`pc =`, branches).
inline constexpr std::array<bool, 256> opcodes_whose_text_has(const char* word) {
  std::array<bool, 256> d{};
#define TT_MARK(CODE, ...) d[CODE] = text_contains(#__VA_ARGS__, word);
  TT_CPU_OPCODES(TT_MARK)
#undef TT_MARK
  return d;
}

inline constexpr std::array<OpcodeInfo, 256> make_opcode_info() {
  constexpr std::array<bool, 256> documented = documented_opcodes();
  constexpr std::array<bool, 256> writes = opcodes_whose_text_has("write(");
  std::array<OpcodeInfo, 256> t{};
  for (unsigned op = 0; op < 256; ++op) {
    OpcodeInfo info{1, BASE_CYCLES[op], false, writes[op]};
    if (documented[op]) {
      const unsigned cc = op & 3, bbb = (op >> 2) & 7;
      if (cc == 1) {
        info.length = (bbb == 3 || bbb == 6 || bbb == 7) ? 3 : 2;
        // (zp),Y, abs,Y and abs,X reads cross pages; STA never adds.
        if ((bbb == 4 || bbb == 6 || bbb == 7) && op != 0x91 && op != 0x99 && op != 0x9D) info.max_cycles += 1;
      } else if (cc == 2) {
        info.length = (bbb == 2 || bbb == 4 || bbb == 6) ? 1 : (bbb == 3 || bbb == 7) ? 3 : 2;
        if (op == 0xBE) info.max_cycles += 1;
      } else {
        if (bbb == 0) {
          info.length = op == 0x20 ? 3 : (op >= 0xA0 ? 2 : 1);  // LDY/CPY/CPX #imm; BRK, RTI, RTS
        } else if (bbb == 2 || bbb == 6) {
          info.length = 1;
        } else if (bbb == 4) {
          info.length = 2;       // branches
          info.max_cycles += 2;  // taken to another page
        } else {
          info.length = (bbb == 3 || bbb == 7) ? 3 : 2;
        }
        if (op == 0xBC) info.max_cycles += 1;
      }
    }
    switch (op) {
      case 0x10:
      case 0x30:
      case 0x50:
      case 0x70:
      case 0x90:
      case 0xB0:
      case 0xD0:
      case 0xF0:
      case 0x4C:
      case 0x6C:
      case 0x20:
      case 0x60:
      case 0x40:
      case 0x00: info.changes_flow = true; break;
      default: break;
    }
    t[op] = info;
  }
  return t;
}

}  // namespace translation_detail

inline constexpr std::array<OpcodeInfo, 256> OPCODE_INFO = translation_detail::make_opcode_info();

namespace translation_detail {
inline constexpr bool markers_are_undocumented() {
  constexpr std::array<bool, 256> documented = documented_opcodes();
  return !documented[NOP_HANDLER] && !documented[OP_STOP] && !documented[OP_INTERPRET] && !documented[OP_OUTSIDE];
}
static_assert(markers_are_undocumented(), "markers must reach the no-op handler");
inline constexpr bool flow_changes_listed() {
  constexpr std::array<bool, 256> sets_pc = opcodes_whose_text_has("pc =");
  constexpr std::array<bool, 256> branches = opcodes_whose_text_has("branch(");
  for (unsigned op = 0; op < 256; ++op)
    if ((sets_pc[op] || branches[op]) != OPCODE_INFO[op].changes_flow) return false;
  return true;
}
static_assert(flow_changes_listed(), "every instruction that sets pc must end its block");
static_assert(OPCODE_INFO[0x8D].writes_bus && OPCODE_INFO[0xFE].writes_bus && !OPCODE_INFO[0x85].writes_bus);
}  // namespace translation_detail

/// Translates `prg` (16 KiB or 32 KiB, mirrored as the bus maps it) into
/// blocks, with a stop at each of `stop_pcs` (addresses where the frame runner
/// may have to be given the machine).
std::shared_ptr<const TranslatedCode> translate_prg(const uint8_t* prg, size_t prg_size,
                                                    const std::vector<uint16_t>& stop_pcs);

}  // namespace tt
