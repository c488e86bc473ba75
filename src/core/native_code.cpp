#include "core/native_code.h"

#include <cstring>

#include "core/bus.h"

#if TT_NATIVE_CODE
#include <sys/mman.h>
#include <unistd.h>
#include <xbyak/xbyak.h>
#endif

namespace tt {

NativeCode::NativeCode(std::shared_ptr<const TranslatedCode> translation, const std::vector<uint16_t>&)
    : translation_(std::move(translation)), checked_(0x8000), body_(0x8000) {}

NativeCode::~NativeCode() {
#if TT_NATIVE_CODE
  if (mapping_) munmap(mapping_, mapping_size_);
#endif
}

#if !TT_NATIVE_CODE

bool native_code_supported() { return false; }

std::shared_ptr<const NativeCode> build_native_code(std::shared_ptr<const TranslatedCode>,
                                                    const std::vector<uint16_t>&) {
  return nullptr;
}

#else

bool native_code_supported() { return true; }

namespace {

using namespace Xbyak;
using namespace Xbyak::util;

static_assert(offsetof(NativeFrame, dots) == 0 && offsetof(NativeFrame, limit) == 8);

uint32_t native_bus_read(Console* m, uint32_t address) { return bus_read(*m, address); }
// Nonzero when the write ran up bus debt or raised an NMI: the runner's checks then.
uint32_t native_bus_write(Console* m, uint32_t address, uint32_t value) {
  bus_write(*m, address, static_cast<uint8_t>(value));
  return m->extra_cycles | m->ppu.nmi_pending;
}

enum class Mode : uint8_t { Imp, Imm, Zp, Zpx, Zpy, Abs, Abx, Aby, Inx, Iny, Rel, Ind };
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
  AslA,
  LsrA,
  RolA,
  RorA,
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

// The documented opcodes by their bit fields (aaabbbcc).
Decoded decode(uint8_t op) {
  const unsigned aaa = op >> 5, bbb = (op >> 2) & 7, cc = op & 3;
  static constexpr Mode group1_modes[8] = {Mode::Inx, Mode::Zp,  Mode::Imm, Mode::Abs,
                                           Mode::Iny, Mode::Zpx, Mode::Aby, Mode::Abx};
  switch (op) {
    case 0x00: return {Kind::Brk, Mode::Imp};
    case 0x20: return {Kind::Jsr, Mode::Abs};
    case 0x40: return {Kind::Rti, Mode::Imp};
    case 0x60: return {Kind::Rts, Mode::Imp};
    case 0x4C: return {Kind::Jmp, Mode::Abs};
    case 0x6C: return {Kind::JmpInd, Mode::Ind};
    case 0x08: return {Kind::Php, Mode::Imp};
    case 0x28: return {Kind::Plp, Mode::Imp};
    case 0x48: return {Kind::Pha, Mode::Imp};
    case 0x68: return {Kind::Pla, Mode::Imp};
    case 0x18: return {Kind::Clc, Mode::Imp};
    case 0x38: return {Kind::Sec, Mode::Imp};
    case 0x58: return {Kind::Cli, Mode::Imp};
    case 0x78: return {Kind::Sei, Mode::Imp};
    case 0xB8: return {Kind::Clv, Mode::Imp};
    case 0xD8: return {Kind::Cld, Mode::Imp};
    case 0xF8: return {Kind::Sed, Mode::Imp};
    case 0x88: return {Kind::Dey, Mode::Imp};
    case 0xA8: return {Kind::Tay, Mode::Imp};
    case 0xC8: return {Kind::Iny, Mode::Imp};
    case 0xE8: return {Kind::Inx, Mode::Imp};
    case 0x98: return {Kind::Tya, Mode::Imp};
    case 0x8A: return {Kind::Txa, Mode::Imp};
    case 0xAA: return {Kind::Tax, Mode::Imp};
    case 0xCA: return {Kind::Dex, Mode::Imp};
    case 0xEA: return {Kind::Nop, Mode::Imp};
    case 0x9A: return {Kind::Txs, Mode::Imp};
    case 0xBA: return {Kind::Tsx, Mode::Imp};
    case 0x0A: return {Kind::AslA, Mode::Imp};
    case 0x2A: return {Kind::RolA, Mode::Imp};
    case 0x4A: return {Kind::LsrA, Mode::Imp};
    case 0x6A: return {Kind::RorA, Mode::Imp};
    default: break;
  }
  if (cc == 0 && bbb == 4) return {Kind::Branch, Mode::Rel};
  if (cc == 1) {
    static constexpr Kind kinds[8] = {Kind::Ora, Kind::And, Kind::Eor, Kind::Adc,
                                      Kind::Sta, Kind::Lda, Kind::Cmp, Kind::Sbc};
    return {kinds[aaa], group1_modes[bbb]};
  }
  static constexpr Mode other_modes[8] = {Mode::Imm, Mode::Zp,  Mode::Imp, Mode::Abs,
                                          Mode::Imp, Mode::Zpx, Mode::Imp, Mode::Abx};
  Mode mode = other_modes[bbb];
  if (cc == 2) {
    static constexpr Kind kinds[8] = {Kind::Asl, Kind::Rol, Kind::Lsr, Kind::Ror,
                                      Kind::Stx, Kind::Ldx, Kind::Dec, Kind::Inc};
    if (aaa == 4 || aaa == 5) {  // STX / LDX index with Y
      if (mode == Mode::Zpx) mode = Mode::Zpy;
      if (mode == Mode::Abx) mode = Mode::Aby;
    }
    return {kinds[aaa], mode};
  }
  // cc == 0: BIT, STY, LDY, CPY, CPX.
  static constexpr Kind kinds[8] = {Kind::Nop, Kind::Bit, Kind::Nop, Kind::Nop,
                                    Kind::Sty, Kind::Ldy, Kind::Cpy, Kind::Cpx};
  return {kinds[aaa], mode};
}

constexpr uint8_t FLAG_I = 0x04, FLAG_D = 0x08;

// Register plan. Kept across helper calls: A rbx, X rbp, Y r12, frame r13,
// dots r14, RAM r15. Saved around helper calls: SP r8, P r9, NZ r10, C r11.
// Scratch: rax, rcx, rdx, rsi, rdi.
class Emitter : public CodeGenerator {
 public:
  Emitter(size_t size, void* memory, const TranslatedCode& t, const std::vector<uint16_t>& stop_pcs)
      : CodeGenerator(size, memory), t_(t), emitted_(0x8000, false), hook_stop_(0x10000, false) {
    for (const uint16_t pc : stop_pcs) hook_stop_[pc] = true;
  }

  void emit_all() {
    emit_trampoline();
    emit_exits_and_helpers();
    // Jump and branch targets first, each the head of its chain, so that a
    // loop enters at a chain's head; then whatever is left.
    for (const unsigned head : chain_heads()) emit_chain(head);
    for (unsigned i = 0; i < 0x8000; ++i) emit_chain(i);
    for (const unsigned at : deferred_checks_) {
      place(T_CHECKED + at);
      emit_entry_check(at);
      enter_inside_chain(at);
    }
    for (const unsigned at : body_stubs_) {
      place(T_BODY + at);
      enter_inside_chain(at);
    }
    for (uint32_t pc = 0; pc < 0x10000; ++pc) {
      if (!stop_needed_[pc]) continue;
      place(T_STOP + pc);
      mov(dword[r13 + offsetof(NativeFrame, pc)], pc);
      jmp(exit_stop_, T_NEAR);
    }
  }

  /// Resolves the jumps between fragments, once the code is complete;
  /// false if a target was never placed.
  bool link(uint8_t* code) const {
    for (const auto& [at, target] : fixups_) {
      if (where_[target] < 0) return false;
      const int32_t rel = static_cast<int32_t>(where_[target] - static_cast<int64_t>(at + 4));
      std::memcpy(code + at, &rel, 4);
    }
    return true;
  }
  size_t checked_offset(unsigned offset) const { return static_cast<size_t>(where_[T_CHECKED + offset]); }
  size_t body_offset(unsigned offset) const { return static_cast<size_t>(where_[T_BODY + offset]); }
  size_t enter_offset() const { return 0; }

 private:
  void emit_exits_and_helpers() {
    L(exit_stop_eax_);
    mov(dword[r13 + offsetof(NativeFrame, pc)], eax);
    L(exit_stop_);
    xor_(eax, eax);
    L(exit_);
    mov(qword[r13 + offsetof(NativeFrame, dots)], r14);
    mov(dword[r13 + offsetof(NativeFrame, a)], ebx);
    mov(dword[r13 + offsetof(NativeFrame, x)], ebp);
    mov(dword[r13 + offsetof(NativeFrame, y)], r12d);
    mov(dword[r13 + offsetof(NativeFrame, sp)], r8d);
    mov(dword[r13 + offsetof(NativeFrame, p)], r9d);
    mov(dword[r13 + offsetof(NativeFrame, nz)], r10d);
    mov(dword[r13 + offsetof(NativeFrame, c)], r11d);
    add(rsp, 8);
    pop(r15);
    pop(r14);
    pop(r13);
    pop(r12);
    pop(rbp);
    pop(rbx);
    ret();
    // The bus, called from the code (rsp 16-byte aligned before the call):
    // eax = read(esi); eax = write(esi, edx).
    for (const bool write : {false, true}) {
      L(write ? write_helper_ : read_helper_);
      save_volatile();
      mov(rdi, qword[r13 + offsetof(NativeFrame, console)]);
      sub(rsp, 8);
      mov(rax, write ? reinterpret_cast<size_t>(&native_bus_write) : reinterpret_cast<size_t>(&native_bus_read));
      call(rax);
      add(rsp, 8);
      restore_volatile();
      ret();
    }
  }

 public:
  // A chain: a fragment and its successors, each either falling through
  // into the next one of its block or, after a flow change, placed where the
  // jump would go.
  void emit_chain(unsigned at) {
    if (emitted_[at]) return;
    bool head = true;
    for (;;) {
      if (head) {
        pending_ = 0;
        place(T_CHECKED + at);
        emit_entry_check(at);
      } else {
        deferred_checks_.push_back(at);
      }
      emit_fragment(at);
      if (fallthrough_ < 0x8000) {
        at = fallthrough_;
        head = false;
      } else if (next_head_ < 0x8000) {
        at = next_head_;
        head = true;
      } else {
        return;
      }
    }
  }

  std::vector<unsigned> chain_heads() const {
    std::vector<bool> is_head(0x8000, false);
    for (unsigned i = 0; i < 0x8000; ++i) {
      const uint16_t pc = static_cast<uint16_t>(0x8000 + i);
      const uint8_t op = t_.opcode_at(pc);
      const uint16_t operand = t_.ops[pc].operand;
      uint32_t target = 0;
      if ((op & 0x1F) == 0x10) target = static_cast<uint16_t>(pc + 2 + static_cast<int8_t>(operand & 0xFF));
      if (op == 0x4C || op == 0x20) target = operand;
      if (target & 0x8000) is_head[target - 0x8000] = true;
    }
    for (const uint16_t vector : {0x7FFA, 0x7FFC, 0x7FFE})
      is_head[(t_.code[vector] | (t_.code[vector + 1] << 8)) & 0x7FFF] = true;
    std::vector<unsigned> heads;
    for (unsigned i = 0; i < 0x8000; ++i)
      if (is_head[i]) heads.push_back(i);
    return heads;
  }

  // Entry into a fragment inside a chain: the cycles its chain has not
  // added yet are taken off first, as the chain adds them all at its end.
  void enter_inside_chain(unsigned at) {
    if (delay_[at]) {
      sub(r14, 3 * delay_[at]);
      jump_to(T_INNER + at);
    } else {
      jump_to(T_BODY + at);
    }
  }

 private:
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
  Label exit_stop_, exit_stop_eax_, exit_, read_helper_, write_helper_;
  unsigned fallthrough_ = 0x8000;  // the offset the last fragment falls into, or past PRG
  // The cycles owed by a flow change or exit of the fragment being written: the
  // chain's pending ones plus `cycles`.
  void flush(unsigned cycles) {
    if (pending_ + cycles) add(r14, 3 * (pending_ + cycles));
  }

  static constexpr int SLOT_V = offsetof(NativeFrame, v);

  void emit_trampoline() {
    push(rbx);
    push(rbp);
    push(r12);
    push(r13);
    push(r14);
    push(r15);
    sub(rsp, 8);
    mov(r13, rdi);
    mov(r14, qword[r13 + offsetof(NativeFrame, dots)]);
    mov(r15, qword[r13 + offsetof(NativeFrame, ram)]);
    mov(ebx, dword[r13 + offsetof(NativeFrame, a)]);
    mov(ebp, dword[r13 + offsetof(NativeFrame, x)]);
    mov(r12d, dword[r13 + offsetof(NativeFrame, y)]);
    mov(r8d, dword[r13 + offsetof(NativeFrame, sp)]);
    mov(r9d, dword[r13 + offsetof(NativeFrame, p)]);
    mov(r10d, dword[r13 + offsetof(NativeFrame, nz)]);
    mov(r11d, dword[r13 + offsetof(NativeFrame, c)]);
    jmp(rsi);
  }

  // Block entry: the window must hold the block's worst case before its last instruction.
  void emit_check(unsigned offset) {
    const uint32_t guard = 3u * t_.ops[0x8000 + offset].guard;
    if (guard) {
      lea(rax, ptr[r14 + guard]);
      cmp(rax, qword[r13 + offsetof(NativeFrame, limit)]);
    } else {
      cmp(r14, qword[r13 + offsetof(NativeFrame, limit)]);
    }
    jump_if(CC_AE, stop_target(0x8000 + offset));
  }

  // The checked entry of a PRG address: a hook's entry point and an
  // instruction left to the interpreter go to the runner; any other block
  // start runs when its guard fits the window.
  void emit_entry_check(unsigned offset) {
    const uint32_t pc = 0x8000 + offset;
    const uint8_t handler = t_.ops[pc].handler;
    if ((handler == OP_STOP && hook_stop_[pc]) || handler == OP_INTERPRET) {
      jump_to(stop_target(pc));
    } else {
      emit_check(offset);
    }
  }

  // Continue at a block start known at translation.
  void go_to_block(uint32_t pc) { jump_to((pc & 0x8000) ? T_CHECKED + (pc - 0x8000) : stop_target(pc)); }
  // Continue at the block start in eax (16 bits).
  void go_to_block_eax() {
    test(eax, 0x8000);
    jz(exit_stop_eax_, T_NEAR);
    mov(rcx, qword[r13 + offsetof(NativeFrame, entries)]);
    jmp(ptr[rcx + rax * 8 - 0x8000 * 8]);
  }

  void save_volatile() {
    mov(dword[r13 + offsetof(NativeFrame, sp)], r8d);
    mov(dword[r13 + offsetof(NativeFrame, p)], r9d);
    mov(dword[r13 + offsetof(NativeFrame, nz)], r10d);
    mov(dword[r13 + offsetof(NativeFrame, c)], r11d);
  }
  void restore_volatile() {
    mov(r8d, dword[r13 + offsetof(NativeFrame, sp)]);
    mov(r9d, dword[r13 + offsetof(NativeFrame, p)]);
    mov(r10d, dword[r13 + offsetof(NativeFrame, nz)]);
    mov(r11d, dword[r13 + offsetof(NativeFrame, c)]);
  }
  // eax = bus_read(esi).
  void call_read() { call(read_helper_); }
  // bus_write(esi, edx); then the next block, or the runner when the write
  // ran up bus debt or raised an NMI (with the instruction's own cycles).
  void call_write_and_exit(uint32_t next_pc, unsigned cycles) {
    call(write_helper_);
    Label to_runner;
    test(eax, eax);
    jnz(to_runner, T_NEAR);
    flush(cycles);
    go_to_block(next_pc);
    L(to_runner);
    flush(0);
    mov(dword[r13 + offsetof(NativeFrame, pc)], next_pc);
    mov(dword[r13 + offsetof(NativeFrame, cycles)], cycles);
    mov(eax, static_cast<uint32_t>(NativeExit::BusWrite));
    jmp(exit_, T_NEAR);
  }

  uint8_t prg_byte(uint32_t address) const { return t_.code[address & 0x7FFF]; }

  // eax = the byte at the address in eax (up to 17 bits), as CpuCore::read.
  void read_dynamic() {
    Label not_ram, io, done;
    test(eax, 0xE000);
    jnz(not_ram);
    and_(eax, 0x7FF);
    movzx(eax, byte[r15 + rax]);
    jmp(done);
    L(not_ram);
    test(eax, 0x8000);
    jz(io);
    and_(eax, 0x7FFF);
    mov(rcx, qword[r13 + offsetof(NativeFrame, prg)]);
    movzx(eax, byte[rcx + rax]);
    jmp(done);
    L(io);
    mov(esi, eax);
    call_read();
    L(done);
  }

  // The 16-bit address of an absolute operand indexed by `index` may be
  // known to stay in one region.
  enum class Region { Ram, RamNoMirror, Prg, Other };
  static Region indexed_region(uint32_t base) {
    if (base + 0xFF <= 0x7FF) return Region::RamNoMirror;
    if (base + 0xFF < 0x2000) return Region::Ram;
    if (base >= 0x8000 && base + 0xFF <= 0xFFFF) return Region::Prg;
    return Region::Other;
  }

  // Page-crossing cycle of base + index: 3 more dots when the low byte carries.
  void page_cross(const Reg32& index, uint32_t base) {
    const uint32_t low = base & 0xFF;
    if (low == 0) return;
    cmp(index, 0x100 - low);  // CF = no carry
    sbb(ecx, ecx);
    and_(ecx, 3);
    add(r14, 3);
    sub(r14, rcx);
  }

  // eax = the operand of a reading instruction; its page-crossing cycle added.
  void load_operand(Mode mode, uint16_t operand, bool page_cycles) {
    const uint8_t zp = static_cast<uint8_t>(operand);
    switch (mode) {
      case Mode::Imm: mov(eax, zp); break;
      case Mode::Zp: movzx(eax, byte[r15 + zp]); break;
      case Mode::Zpx:
      case Mode::Zpy:
        lea(eax, ptr[(mode == Mode::Zpx ? rbp : r12) + zp]);
        movzx(eax, al);
        movzx(eax, byte[r15 + rax]);
        break;
      case Mode::Abs: {
        const uint32_t a = operand;
        if ((a & 0xE000) == 0) {
          movzx(eax, byte[r15 + (a & 0x7FF)]);
        } else if (a & 0x8000) {
          mov(eax, prg_byte(a));
        } else {
          mov(esi, a);
          call_read();
        }
        break;
      }
      case Mode::Abx:
      case Mode::Aby: {
        const Reg64 index = mode == Mode::Abx ? rbp : r12;
        const Reg32 index32 = mode == Mode::Abx ? ebp : r12d;
        const uint32_t base = operand;
        if (page_cycles) page_cross(index32, base);
        switch (indexed_region(base)) {
          case Region::RamNoMirror: movzx(eax, byte[r15 + index + base]); break;
          case Region::Ram:
            lea(eax, ptr[index + base]);
            and_(eax, 0x7FF);
            movzx(eax, byte[r15 + rax]);
            break;
          case Region::Prg:
            mov(rcx, qword[r13 + offsetof(NativeFrame, prg)]);
            movzx(eax, byte[rcx + index + (base & 0x7FFF)]);
            break;
          case Region::Other:
            lea(eax, ptr[index + base]);
            read_dynamic();
            break;
        }
        break;
      }
      case Mode::Inx:
        pointer_x(zp);
        read_dynamic();
        break;
      case Mode::Iny:
        pointer_y(zp, page_cycles);
        read_dynamic();
        break;
      default: break;
    }
  }

  // eax = the pointer at zero page (zp + X) & 0xFF.
  void pointer_x(uint8_t zp) {
    lea(ecx, ptr[rbp + zp]);
    movzx(ecx, cl);
    movzx(eax, byte[r15 + rcx]);
    inc(cl);
    movzx(ecx, byte[r15 + rcx]);
    shl(ecx, 8);
    or_(eax, ecx);
  }
  // eax = the pointer at zero page zp, plus Y (17 bits).
  void pointer_y(uint8_t zp, bool page_cycles) {
    movzx(eax, byte[r15 + zp]);
    movzx(ecx, byte[r15 + static_cast<uint8_t>(zp + 1)]);
    if (page_cycles) {
      lea(edx, ptr[rax + r12]);
      shr(edx, 8);
      lea(edx, ptr[rdx + rdx * 2]);
      add(r14, rdx);
    }
    shl(ecx, 8);
    or_(eax, ecx);
    add(eax, r12d);
  }

  // Writes `value` (a byte register, not al/cl/dl/sil) to the operand of a store.
  void store(Mode mode, uint16_t operand, const Reg8& value, uint32_t next_pc, unsigned cycles) {
    const uint8_t zp = static_cast<uint8_t>(operand);
    switch (mode) {
      case Mode::Zp: mov(byte[r15 + zp], value); return;
      case Mode::Zpx:
      case Mode::Zpy:
        lea(eax, ptr[(mode == Mode::Zpx ? rbp : r12) + zp]);
        movzx(eax, al);
        mov(byte[r15 + rax], value);
        return;
      case Mode::Abs: {
        const uint32_t a = operand;
        if ((a & 0xE000) == 0) {
          mov(byte[r15 + (a & 0x7FF)], value);
        } else if (!(a & 0x8000)) {
          mov(esi, a);
          movzx(edx, value);
          call_write_and_exit(next_pc, cycles);
        }
        // PRG ignores writes: nothing reaches the bus's registers.
        return;
      }
      case Mode::Abx:
      case Mode::Aby: {
        const Reg64 index = mode == Mode::Abx ? rbp : r12;
        const uint32_t base = operand;
        const Region region = indexed_region(base);
        if (region == Region::RamNoMirror) {
          mov(byte[r15 + index + base], value);
          return;
        }
        lea(eax, ptr[index + base]);
        if (region == Region::Ram) {
          and_(eax, 0x7FF);
          mov(byte[r15 + rax], value);
          return;
        }
        break;
      }
      case Mode::Inx: pointer_x(zp); break;
      case Mode::Iny: pointer_y(zp, false); break;
      default: return;
    }
    Label bus, done;
    test(eax, 0xE000);
    jnz(bus, T_NEAR);
    and_(eax, 0x7FF);
    mov(byte[r15 + rax], value);
    jmp(done, T_NEAR);
    L(bus);
    mov(esi, eax);
    movzx(edx, value);
    call_write_and_exit(next_pc, cycles);
    L(done);
  }

  // The operation of a read-modify-write instruction on its byte (al, or a
  // byte in memory): the result in place, C and NZ set.
  void modify(Kind kind, const Xbyak::Operand& at) {
    switch (kind) {
      case Kind::Asl:
        shl(at, 1);
        setc(r11b);
        break;
      case Kind::Lsr:
        shr(at, 1);
        setc(r11b);
        break;
      case Kind::Rol:
        bt(r11d, 0);
        rcl(at, 1);
        setc(r11b);
        break;
      case Kind::Ror:
        bt(r11d, 0);
        rcr(at, 1);
        setc(r11b);
        break;
      case Kind::Inc: inc(at); break;
      case Kind::Dec: dec(at); break;
      default: break;
    }
    movzx(r10d, at);
  }

  void read_modify_write(Kind kind, Mode mode, uint16_t operand, uint32_t next_pc, unsigned cycles) {
    const uint8_t zp = static_cast<uint8_t>(operand);
    switch (mode) {
      case Mode::Zp: modify(kind, byte[r15 + zp]); return;
      case Mode::Zpx:
        lea(eax, ptr[rbp + zp]);
        movzx(eax, al);
        modify(kind, byte[r15 + rax]);
        return;
      case Mode::Abs:
      case Mode::Abx: {
        const uint32_t base = operand;
        if (mode == Mode::Abs) {
          if ((base & 0xE000) == 0) {
            modify(kind, byte[r15 + (base & 0x7FF)]);
            return;
          }
          mov(eax, base);
        } else {
          const Region region = indexed_region(base);
          if (region == Region::RamNoMirror) {
            modify(kind, byte[r15 + rbp + base]);
            return;
          }
          lea(eax, ptr[rbp + base]);
          if (region == Region::Ram) {
            and_(eax, 0x7FF);
            modify(kind, byte[r15 + rax]);
            return;
          }
        }
        // Through the bus: read, modify, write.
        Label bus, done;
        test(eax, 0xE000);
        jnz(bus, T_NEAR);
        and_(eax, 0x7FF);
        modify(kind, byte[r15 + rax]);
        jmp(done, T_NEAR);
        L(bus);
        mov(dword[r13 + offsetof(NativeFrame, pc)], eax);  // the address, kept across the read
        read_dynamic();
        modify(kind, al);
        movzx(edx, al);
        mov(esi, dword[r13 + offsetof(NativeFrame, pc)]);
        call_write_and_exit(next_pc, cycles);
        L(done);
        return;
      }
      default: return;
    }
  }

  // The whole P register in eax (with B and bit 5 as `extra` sets them).
  void flags_to_eax(uint8_t extra) {
    mov(eax, r9d);
    or_(eax, r11d);
    movzx(ecx, byte[r13 + SLOT_V]);
    shl(ecx, 6);
    or_(eax, ecx);
    xor_(ecx, ecx);
    test(r10d, 0x8080);
    setnz(cl);
    shl(ecx, 7);
    or_(eax, ecx);
    xor_(ecx, ecx);
    test(r10b, r10b);
    setz(cl);
    add(ecx, ecx);
    or_(eax, ecx);
    if (extra) or_(eax, extra);
  }
  // P from the byte in eax (bits 4 and 5 already settled).
  void flags_from_eax() {
    mov(r11d, eax);
    and_(r11d, 1);
    mov(ecx, eax);
    shr(ecx, 6);
    and_(ecx, 1);
    mov(byte[r13 + SLOT_V], cl);
    // nz: Z clear gives a nonzero low byte, N goes to bit 15.
    mov(ecx, eax);
    and_(ecx, 0x80);
    shl(ecx, 8);
    mov(r10d, eax);
    not_(r10d);
    shr(r10d, 1);
    and_(r10d, 1);
    or_(r10d, ecx);
    mov(r9d, eax);
    and_(r9d, 0x3C);
  }
  void push_value(const Reg8& value) {
    mov(byte[r15 + r8 + 0x100], value);
    dec(r8b);
  }
  void push_constant(uint8_t value) {
    mov(byte[r15 + r8 + 0x100], value);
    dec(r8b);
  }
  // eax = the pulled byte.
  void pull_eax() {
    inc(r8b);
    movzx(eax, byte[r15 + r8 + 0x100]);
  }
  // The flow change of a fragment: its cycles and the chain's.
  void add_dots(unsigned cycles) {
    flush(cycles);
    pending_ = 0;
  }
  // Continue the chain at a block start when it is still to be written.
  void go_to_block_next(uint32_t pc) {
    if ((pc & 0x8000) && !emitted_[pc - 0x8000]) {
      next_head_ = pc - 0x8000;
    } else {
      go_to_block(pc);
    }
  }

  void emit_fragment(unsigned offset) {
    emitted_[offset] = true;
    const uint32_t pc = 0x8000 + offset;
    const TranslatedOp& entry = t_.ops[pc];
    fallthrough_ = 0x8000;
    next_head_ = 0x8000;
    delay_[offset] = pending_;
    if (pending_) {
      place(T_INNER + offset);
      body_stubs_.push_back(offset);
    } else {
      place(T_BODY + offset);
    }
    if (entry.handler == OP_INTERPRET) {  // left to the runner, which interprets it
      mov(dword[r13 + offsetof(NativeFrame, pc)], pc);
      jmp(exit_stop_, T_NEAR);
      return;
    }
    const uint8_t opcode = t_.opcode_at(static_cast<uint16_t>(pc));
    const OpcodeInfo info = OPCODE_INFO[opcode];
    const uint16_t operand = entry.operand;
    const uint32_t next = pc + info.length;
    const unsigned base_cycles = translation_detail::BASE_CYCLES[opcode];
    constexpr std::array<bool, 256> documented = translation_detail::documented_opcodes();
    if (!documented[opcode]) {
      pending_ += 2;
      continue_to(next);
      return;
    }
    const Decoded d = decode(opcode);
    const Reg8 a8 = bl, x8 = bpl, y8 = r12b;
    switch (d.kind) {
      case Kind::Lda:
      case Kind::Ldx:
      case Kind::Ldy: {
        load_operand(d.mode, operand, true);
        const Reg32 reg = d.kind == Kind::Lda ? ebx : d.kind == Kind::Ldx ? ebp : r12d;
        mov(reg, eax);
        mov(r10d, eax);
        break;
      }
      case Kind::Sta: store(d.mode, operand, a8, next, base_cycles); break;
      case Kind::Stx: store(d.mode, operand, x8, next, base_cycles); break;
      case Kind::Sty: store(d.mode, operand, y8, next, base_cycles); break;
      case Kind::Ora:
        load_operand(d.mode, operand, true);
        or_(ebx, eax);
        mov(r10d, ebx);
        break;
      case Kind::And:
        load_operand(d.mode, operand, true);
        and_(ebx, eax);
        mov(r10d, ebx);
        break;
      case Kind::Eor:
        load_operand(d.mode, operand, true);
        xor_(ebx, eax);
        mov(r10d, ebx);
        break;
      case Kind::Adc:
        load_operand(d.mode, operand, true);
        bt(r11d, 0);
        adc(bl, al);
        setc(r11b);
        seto(byte[r13 + SLOT_V]);
        mov(r10d, ebx);
        break;
      case Kind::Sbc:
        load_operand(d.mode, operand, true);
        cmp(r11b, 1);  // CF = borrow in
        sbb(bl, al);
        setnc(r11b);
        seto(byte[r13 + SLOT_V]);
        mov(r10d, ebx);
        break;
      case Kind::Cmp:
      case Kind::Cpx:
      case Kind::Cpy: {
        load_operand(d.mode, operand, true);
        const Reg32 reg = d.kind == Kind::Cmp ? ebx : d.kind == Kind::Cpx ? ebp : r12d;
        mov(r10d, reg);
        sub(r10b, al);
        setnc(r11b);
        break;
      }
      case Kind::Bit:
        load_operand(d.mode, operand, false);
        mov(ecx, eax);
        shr(ecx, 6);
        and_(ecx, 1);
        mov(byte[r13 + SLOT_V], cl);
        mov(ecx, eax);
        and_(ecx, 0x80);
        shl(ecx, 8);
        mov(r10d, ebx);
        and_(r10d, eax);
        or_(r10d, ecx);
        break;
      case Kind::Asl:
      case Kind::Lsr:
      case Kind::Rol:
      case Kind::Ror:
      case Kind::Inc:
      case Kind::Dec: read_modify_write(d.kind, d.mode, operand, next, base_cycles); break;
      case Kind::AslA:
        shl(bl, 1);
        setc(r11b);
        mov(r10d, ebx);
        break;
      case Kind::LsrA:
        shr(bl, 1);
        setc(r11b);
        mov(r10d, ebx);
        break;
      case Kind::RolA:
        bt(r11d, 0);
        rcl(bl, 1);
        setc(r11b);
        mov(r10d, ebx);
        break;
      case Kind::RorA:
        bt(r11d, 0);
        rcr(bl, 1);
        setc(r11b);
        mov(r10d, ebx);
        break;
      case Kind::Inx:
        inc(x8);
        mov(r10d, ebp);
        break;
      case Kind::Iny:
        inc(y8);
        mov(r10d, r12d);
        break;
      case Kind::Dex:
        dec(x8);
        mov(r10d, ebp);
        break;
      case Kind::Dey:
        dec(y8);
        mov(r10d, r12d);
        break;
      case Kind::Tax:
        mov(ebp, ebx);
        mov(r10d, ebx);
        break;
      case Kind::Tay:
        mov(r12d, ebx);
        mov(r10d, ebx);
        break;
      case Kind::Txa:
        mov(ebx, ebp);
        mov(r10d, ebp);
        break;
      case Kind::Tya:
        mov(ebx, r12d);
        mov(r10d, r12d);
        break;
      case Kind::Tsx:
        mov(ebp, r8d);
        mov(r10d, r8d);
        break;
      case Kind::Txs: mov(r8d, ebp); break;
      case Kind::Pha: push_value(a8); break;
      case Kind::Php:
        flags_to_eax(0x30);
        push_value(al);
        break;
      case Kind::Pla:
        pull_eax();
        mov(ebx, eax);
        mov(r10d, eax);
        break;
      case Kind::Plp:
        pull_eax();
        and_(eax, 0xCF);
        or_(eax, 0x20);
        flags_from_eax();
        break;
      case Kind::Clc: xor_(r11d, r11d); break;
      case Kind::Sec: mov(r11d, 1); break;
      case Kind::Cli: and_(r9d, ~FLAG_I & 0xFF); break;
      case Kind::Sei: or_(r9d, FLAG_I); break;
      case Kind::Clv: mov(byte[r13 + SLOT_V], 0); break;
      case Kind::Cld: and_(r9d, ~FLAG_D & 0xFF); break;
      case Kind::Sed: or_(r9d, FLAG_D); break;
      case Kind::Nop: break;
      case Kind::Branch: emit_branch(opcode, pc, operand); return;
      case Kind::Jmp:
        add_dots(3);
        go_to_block_next(operand);
        return;
      case Kind::JmpInd: {
        const uint16_t ptr_lo = operand;
        const uint16_t ptr_hi = static_cast<uint16_t>((operand & 0xFF00) | ((operand + 1) & 0xFF));
        mov(esi, ptr_lo);
        call_read();
        mov(dword[r13 + offsetof(NativeFrame, cycles)], eax);
        mov(esi, ptr_hi);
        call_read();
        shl(eax, 8);
        or_(eax, dword[r13 + offsetof(NativeFrame, cycles)]);
        add_dots(5);
        go_to_block_eax();
        return;
      }
      case Kind::Jsr: {
        const uint16_t ret = static_cast<uint16_t>(pc + 2);
        push_constant(static_cast<uint8_t>(ret >> 8));
        push_constant(static_cast<uint8_t>(ret));
        add_dots(6);
        go_to_block_next(operand);
        return;
      }
      case Kind::Rts:
        pull_eax();
        mov(ecx, eax);
        pull_eax();
        shl(eax, 8);
        or_(eax, ecx);
        inc(eax);
        movzx(eax, ax);
        add_dots(6);
        go_to_block_eax();
        return;
      case Kind::Rti:
        pull_eax();
        and_(eax, 0xCF);
        or_(eax, 0x20);
        flags_from_eax();
        pull_eax();
        mov(ecx, eax);
        pull_eax();
        shl(eax, 8);
        or_(eax, ecx);
        add_dots(6);
        go_to_block_eax();
        return;
      case Kind::Brk: {
        const uint16_t ret = static_cast<uint16_t>(pc + 2);
        push_constant(static_cast<uint8_t>(ret >> 8));
        push_constant(static_cast<uint8_t>(ret));
        flags_to_eax(0x30);
        push_value(al);
        or_(r9d, 0x24);
        add_dots(7);
        go_to_block_next(static_cast<uint16_t>(prg_byte(0x7FFE) | (prg_byte(0x7FFF) << 8)));
        return;
      }
    }
    pending_ += base_cycles;
    continue_to(next);
  }

  // After an instruction that does not change the flow: the next one in the
  // block, or the checks of the block start (a marker) it runs into.
  void continue_to(uint32_t next) {
    const unsigned offset = next - 0x8000;
    if (is_marker(t_.ops[next].handler) || emitted_[offset]) {
      add_dots(0);
      jump_to(is_marker(t_.ops[next].handler) ? T_CHECKED + offset : T_BODY + offset);
      return;
    }
    fallthrough_ = offset;
  }

  // Taken costs 3 cycles (4 into another page), not taken 2: the taken
  // cost is added first and the difference taken back on the way on.
  void emit_branch(uint8_t opcode, uint32_t pc, uint16_t operand) {
    const uint16_t next = static_cast<uint16_t>(pc + 2);
    const uint16_t target = static_cast<uint16_t>(next + static_cast<int8_t>(operand & 0xFF));
    const unsigned taken_cycles = ((next ^ target) & 0xFF00) ? 4 : 3;
    add_dots(taken_cycles);
    const uint32_t taken = (target & 0x8000) ? T_CHECKED + (target - 0x8000) : stop_target(target);
    switch (opcode) {
      case 0x10:
        test(r10d, 0x8080);
        jump_if(CC_Z, taken);
        break;
      case 0x30:
        test(r10d, 0x8080);
        jump_if(CC_NZ, taken);
        break;
      case 0x50:
        cmp(byte[r13 + SLOT_V], 0);
        jump_if(CC_Z, taken);
        break;
      case 0x70:
        cmp(byte[r13 + SLOT_V], 0);
        jump_if(CC_NZ, taken);
        break;
      case 0x90:
        test(r11d, r11d);
        jump_if(CC_Z, taken);
        break;
      case 0xB0:
        test(r11d, r11d);
        jump_if(CC_NZ, taken);
        break;
      case 0xD0:
        test(r10b, r10b);
        jump_if(CC_NZ, taken);
        break;
      case 0xF0:
        test(r10b, r10b);
        jump_if(CC_Z, taken);
        break;
      default: break;
    }
    sub(r14, 3 * (taken_cycles - 2));
    go_to_block_next(next);
  }
};

}  // namespace

std::shared_ptr<const NativeCode> build_native_code(std::shared_ptr<const TranslatedCode> translation,
                                                    const std::vector<uint16_t>& stop_pcs) {
  if (!translation) return nullptr;
  auto native = std::make_shared<NativeCode>(translation, stop_pcs);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t size = size_t{8} << 20;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  native->mapping_ = memory;
  native->mapping_size_ = size;
  try {
    Emitter e(size, memory, *translation, stop_pcs);
    e.emit_all();
    e.ready();
    uint8_t* const code = static_cast<uint8_t*>(memory);
    if (e.getCode() != code || !e.link(code)) return nullptr;
    for (unsigned i = 0; i < 0x8000; ++i) {
      native->checked_[i] = code + e.checked_offset(i);
      native->body_[i] = code + e.body_offset(i);
    }
    native->enter_ = reinterpret_cast<uint32_t (*)(NativeFrame*, const void*)>(code + e.enter_offset());
    native->code_size_ = e.getSize();
  } catch (const Xbyak::Error&) {
    return nullptr;
  }
  // Give back the pages past the code, then make the code executable (and no
  // longer writable).
  const size_t used = (native->code_size_ + page - 1) / page * page;
  if (used < size) {
    munmap(static_cast<uint8_t*>(memory) + used, size - used);
    native->mapping_size_ = used;
  }
  if (mprotect(memory, native->mapping_size_, PROT_READ | PROT_EXEC) != 0) return nullptr;
  return native;
}

#endif

}  // namespace tt
