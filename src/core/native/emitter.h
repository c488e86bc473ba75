// The writer of the host code (native_code.h), for the files of this folder
// only: built with TT_NATIVE_CODE alone, on xbyak.
//   emit_chains.cpp        fragments laid out in chains, the jumps between
//                          them and the entry checks of blocks
//   emit_instructions.cpp  the host code of each instruction
//   emit_entry_exit.cpp    entering the code, leaving it, calling the bus
// native_code.cpp maps the memory the code is written into.
#pragma once

#include <xbyak/xbyak.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/alu.h"
#include "core/cpu.h"
#include "core/native_code.h"
#include "core/translated_code.h"

namespace tt::native_detail {

enum class Mode : uint8_t { Imp, Acc, Imm, Zp, Zpx, Zpy, Abs, Abx, Aby, Inx, Iny, Rel, Ind };
enum class Kind : uint8_t {
  Lda,
  Ldx,
  Ldy,
  Sta,
  Stx,
  Sty,
  Ora,
  And,
  Eor,
  Adc,
  Sbc,
  Cmp,
  Cpx,
  Cpy,
  Bit,
  Asl,
  Lsr,
  Rol,
  Ror,
  Inc,
  Dec,
  Inx,
  Iny,
  Dex,
  Dey,
  Tax,
  Tay,
  Txa,
  Tya,
  Tsx,
  Txs,
  Pha,
  Php,
  Pla,
  Plp,
  Clc,
  Sec,
  Cli,
  Sei,
  Clv,
  Cld,
  Sed,
  Branch,
  Jmp,
  JmpInd,
  Jsr,
  Rts,
  Rti,
  Brk,
  Nop,
};
struct Decoded {
  Kind kind;
  Mode mode;
};
/// A documented opcode by its bit fields (aaabbbcc).
Decoded decode(uint8_t op);

// Register plan. Kept across helper calls: A rbx, X rbp, Y r12, frame r13,
// dots r14, RAM r15. Saved around helper calls: SP r8, P r9, NZ r10, C r11.
// Scratch: rax, rcx, rdx, rsi, rdi.
class Emitter : public Xbyak::CodeGenerator {
 public:
  Emitter(size_t size, void* memory, const TranslatedCode& t, const std::vector<uint16_t>& stop_pcs)
      : CodeGenerator(size, memory), t_(t), emitted_(0x8000, false), hook_stop_(0x10000, false) {
    for (const uint16_t pc : stop_pcs) hook_stop_[pc] = true;
  }

  /// The whole code: the way in, the exits, then every PRG address.
  void emit_all();
  /// Resolves the jumps between fragments, once the code is complete;
  /// false if a target was never placed.
  bool link(uint8_t* code) const;
  size_t checked_offset(unsigned offset) const { return static_cast<size_t>(where_[T_CHECKED + offset]); }
  size_t body_offset(unsigned offset) const { return static_cast<size_t>(where_[T_BODY + offset]); }
  size_t enter_offset() const { return 0; }

 private:
  using Operand = Xbyak::Operand;
  using Reg8 = Xbyak::Reg8;
  using Reg32 = Xbyak::Reg32;

  // --- Chains (emit_chains.cpp) ---
  // A chain: a fragment and its successors, each either falling through
  // into the next one of its block or, after a flow change, placed where the
  // jump would go.
  void emit_chain(unsigned at);
  // Jump and branch targets and the vectors: where chains start first.
  std::vector<unsigned> chain_heads() const;
  // Entry into a fragment inside a chain: the cycles its chain has not
  // added yet are taken off first, as the chain adds them all at its end.
  void enter_inside_chain(unsigned at);
  // Block entry: the window must hold the block's worst case before its last instruction.
  void emit_check(unsigned offset);
  // The checked entry of a PRG address: a hook's entry point and an
  // instruction left to the interpreter go to the runner; any other block
  // start runs when its guard fits the window.
  void emit_entry_check(unsigned offset);
  // Continue at a block start known at translation.
  void go_to_block(uint32_t pc) { jump_to((pc & 0x8000) ? T_CHECKED + (pc - 0x8000) : stop_target(pc)); }
  // Continue at the block start in eax (16 bits).
  void go_to_block_eax();
  // Continue the chain at a block start when it is still to be written.
  void go_to_block_next(uint32_t pc);
  // After an instruction that does not change the flow: the next one in the
  // block, or the checks of the block start (a marker) it runs into.
  void continue_to(uint32_t next);

  // --- Instructions (emit_instructions.cpp) ---
  // The host code of the instruction at PRG offset `offset`.
  void emit_fragment(unsigned offset);
  // Taken costs 3 cycles (4 into another page), not taken 2: the taken
  // cost is added first and the difference taken back on the way on.
  void emit_branch(uint8_t opcode, uint32_t pc, uint16_t operand);
  // eax = the byte at the address in eax (up to 17 bits), as CpuState::read.
  void read_dynamic();
  // The 16-bit address of an absolute operand indexed by `index` may be
  // known to stay in one region.
  enum class Region { Ram, RamNoMirror, Prg, Other };
  static Region indexed_region(uint32_t base);
  // Page-crossing cycle of base + index: 3 more dots when the low byte carries.
  void page_cross(const Reg32& index, uint32_t base);
  // eax = the operand of a reading instruction; its page-crossing cycle added.
  void load_operand(Mode mode, uint16_t operand, bool page_cycles);
  // eax = the pointer at zero page (zp + X) & 0xFF.
  void pointer_x(uint8_t zp);
  // eax = the pointer at zero page zp, plus Y (17 bits).
  void pointer_y(uint8_t zp, bool page_cycles);
  // Writes `value` (a byte register, not al/cl/dl/sil) to the operand of a store.
  void store(Mode mode, uint16_t operand, const Reg8& value, uint32_t next_pc, unsigned cycles);
  // The operation of a read-modify-write instruction on its byte (al, a
  // guest register for the accumulator's shifts and INX and the like, or a
  // byte in memory): the result in place, C and NZ set.
  void modify(Kind kind, const Operand& at);
  void read_modify_write(Kind kind, Mode mode, uint16_t operand, uint32_t next_pc, unsigned cycles);
  // The whole P register in eax (with B and bit 5 as `extra` sets them).
  void flags_to_eax(uint8_t extra);
  // P from the byte in eax (bits 4 and 5 already settled).
  void flags_from_eax();
  // P from the byte pulled into eax, as PLP and RTI load it (alu::pulled).
  void flags_from_pulled_eax() {
    and_(eax, static_cast<uint8_t>(~(alu::B | alu::U)));
    or_(eax, alu::U);
    flags_from_eax();
  }
  // TAX and the like: `to` = `from`, NZ from it.
  void transfer(const Reg32& to, const Reg32& from) {
    mov(to, from);
    mov(r10d, from);
  }
  void push_value(const Reg8& value);
  void push_constant(uint8_t value);
  // eax = the pulled byte.
  void pull_eax();
  // A return address onto the stack, high byte first (JSR, BRK).
  void push_address(uint16_t address) {
    push_constant(static_cast<uint8_t>(address >> 8));
    push_constant(static_cast<uint8_t>(address));
  }
  // eax = an address pulled from the stack, low byte first (RTS, RTI).
  void pull_address_eax() {
    pull_eax();
    mov(ecx, eax);
    pull_eax();
    shl(eax, 8);
    or_(eax, ecx);
  }
  uint8_t prg_byte(uint32_t address) const { return t_.code[address & 0x7FFF]; }
  uint16_t prg_vector(uint16_t offset) const { return prg_word(t_.code.data(), 0x7FFF, offset); }

  // --- Entry, exits and the bus (emit_entry_exit.cpp) ---
  // The way in: callee-saved registers, the frame into the register plan,
  // then a jump to the entry in rsi.
  void emit_trampoline();
  // The way out (the registers back into the frame) and the bus helpers.
  void emit_exits_and_helpers();
  // The guest registers a helper call may clobber (SP, P, NZ, C), to their
  // frame slots and back.
  void save_volatile();
  void restore_volatile();
  // eax = bus_read(esi).
  void call_read() { call(read_helper_); }
  // bus_write(esi, edx); then the next block, or the runner when the write
  // ran up bus debt or raised an NMI (with the instruction's own cycles).
  void call_write_and_exit(uint32_t next_pc, unsigned cycles);

  const TranslatedCode& t_;
  // Jumps between fragments are placed by hand (xbyak's labels cost too
  // much for some hundred thousand of them): a jump records its target, and
  // link() writes the distances. Targets: the checked entry and the body of
  // each PRG offset, the inside of a chain's fragment, the stop of a pc.
  enum : uint32_t { T_CHECKED = 0, T_BODY = 0x8000, T_INNER = 0x10000, T_STOP = 0x18000, T_COUNT = 0x28000 };
  static constexpr uint8_t CC_AE = 0x3, CC_Z = 0x4, CC_NZ = 0x5;
  std::vector<int64_t> where_ = std::vector<int64_t>(T_COUNT, -1);
  std::vector<std::pair<size_t, uint32_t> > fixups_;
  std::vector<bool> stop_needed_ = std::vector<bool>(0x10000, false);
  void place(uint32_t target) { where_[target] = static_cast<int64_t>(getSize()); }
  void jump_to(uint32_t target) {
    db(0xE9);
    fixups_.emplace_back(getSize(), target);
    dd(0);
  }
  void jump_if(uint8_t cc, uint32_t target) {
    db(0x0F);
    db(0x80 | cc);
    fixups_.emplace_back(getSize(), target);
    dd(0);
  }
  uint32_t stop_target(uint32_t pc) {
    stop_needed_[pc] = true;
    return T_STOP + pc;
  }
  std::vector<bool> emitted_;
  std::vector<bool> hook_stop_;
  std::vector<unsigned> deferred_checks_;
  std::vector<unsigned> body_stubs_;
  // Cycles of the fragments before this one in its chain, not yet added to
  // the dots (by fragment), and the same while a chain is written.
  std::vector<unsigned> delay_ = std::vector<unsigned>(0x8000, 0);
  unsigned pending_ = 0;
  unsigned next_head_ = 0x8000;  // the chain goes on with this block start, or past PRG
  Xbyak::Label exit_stop_, exit_stop_eax_, exit_, read_helper_, write_helper_;
  unsigned fallthrough_ = 0x8000;  // the offset the last fragment falls into, or past PRG
  // The cycles owed by a flow change or exit of the fragment being written: the
  // chain's pending ones plus `cycles`.
  void flush(unsigned cycles) {
    if (pending_ + cycles) add(r14, 3 * (pending_ + cycles));
  }
  // The flow change of a fragment: its cycles and the chain's.
  void add_dots(unsigned cycles) {
    flush(cycles);
    pending_ = 0;
  }

  static constexpr int SLOT_V = offsetof(NativeFrame, v);
};

}  // namespace tt::native_detail
