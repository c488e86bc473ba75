// The host code of each instruction: its operand, its operation on the
// guest registers kept in host registers, its cycles, and its flow change.
#include "core/alu.h"
#include "core/cpu.h"
#include "core/native/emitter.h"

namespace tt::native_detail {

using namespace Xbyak;
using namespace Xbyak::util;

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
    case 0x0A: return {Kind::Asl, Mode::Acc};
    case 0x2A: return {Kind::Rol, Mode::Acc};
    case 0x4A: return {Kind::Lsr, Mode::Acc};
    case 0x6A: return {Kind::Ror, Mode::Acc};
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

void Emitter::emit_fragment(unsigned offset) {
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
    case Kind::Dec:
      if (d.mode == Mode::Acc) {
        modify(d.kind, a8);
      } else {
        read_modify_write(d.kind, d.mode, operand, next, base_cycles);
      }
      break;
    case Kind::Inx: modify(Kind::Inc, x8); break;
    case Kind::Iny: modify(Kind::Inc, y8); break;
    case Kind::Dex: modify(Kind::Dec, x8); break;
    case Kind::Dey: modify(Kind::Dec, y8); break;
    case Kind::Tax: transfer(ebp, ebx); break;
    case Kind::Tay: transfer(r12d, ebx); break;
    case Kind::Txa: transfer(ebx, ebp); break;
    case Kind::Tya: transfer(ebx, r12d); break;
    case Kind::Tsx: transfer(ebp, r8d); break;
    case Kind::Txs: mov(r8d, ebp); break;
    case Kind::Pha: push_value(a8); break;
    case Kind::Php:
      flags_to_eax(alu::B | alu::U);
      push_value(al);
      break;
    case Kind::Pla:
      pull_eax();
      mov(ebx, eax);
      mov(r10d, eax);
      break;
    case Kind::Plp:
      pull_eax();
      flags_from_pulled_eax();
      break;
    case Kind::Clc: xor_(r11d, r11d); break;
    case Kind::Sec: mov(r11d, 1); break;
    case Kind::Cli: and_(r9d, static_cast<uint8_t>(~alu::I)); break;
    case Kind::Sei: or_(r9d, alu::I); break;
    case Kind::Clv: mov(byte[r13 + SLOT_V], 0); break;
    case Kind::Cld: and_(r9d, static_cast<uint8_t>(~alu::D)); break;
    case Kind::Sed: or_(r9d, alu::D); break;
    case Kind::Nop: break;
    case Kind::Branch: emit_branch(opcode, pc, operand); return;
    case Kind::Jmp:
      add_dots(3);
      go_to_block_next(operand);
      return;
    case Kind::JmpInd: {
      const uint16_t ptr_lo = operand;
      const uint16_t ptr_hi = indirect_high_byte(operand);
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
      push_address(ret);
      add_dots(6);
      go_to_block_next(operand);
      return;
    }
    case Kind::Rts:
      pull_address_eax();
      inc(eax);
      movzx(eax, ax);
      add_dots(6);
      go_to_block_eax();
      return;
    case Kind::Rti:
      pull_eax();
      flags_from_pulled_eax();
      pull_address_eax();
      add_dots(6);
      go_to_block_eax();
      return;
    case Kind::Brk: {
      const uint16_t ret = static_cast<uint16_t>(pc + 2);
      push_address(ret);
      flags_to_eax(alu::B | alu::U);
      push_value(al);
      or_(r9d, alu::I | alu::U);  // alu::entering_interrupt
      add_dots(7);
      go_to_block_next(prg_vector(IRQ_VECTOR));
      return;
    }
  }
  pending_ += base_cycles;
  continue_to(next);
}

void Emitter::emit_branch(uint8_t opcode, uint32_t pc, uint16_t operand) {
  const uint16_t next = static_cast<uint16_t>(pc + 2);
  const uint16_t target = branch_target(next, static_cast<uint8_t>(operand));
  const unsigned taken_cycles = taken_branch_cycles(next, target);
  add_dots(taken_cycles);
  const uint32_t taken = (target & 0x8000) ? T_CHECKED + (target - 0x8000) : stop_target(target);
  // Bits 7-6 of the opcode choose the flag (N, V, C, Z), bit 5 whether the
  // branch is taken when it is set. The tests leave ZF clear when N, V or C
  // is set, but set when Z is.
  const unsigned flag = opcode >> 6;
  switch (flag) {
    case 0: test(r10d, alu::NZ_NEGATIVE); break;
    case 1: cmp(byte[r13 + SLOT_V], 0); break;
    case 2: test(r11d, r11d); break;
    default: test(r10b, r10b); break;
  }
  const bool taken_when_set = (opcode & 0x20) != 0;
  jump_if(taken_when_set != (flag == 3) ? CC_NZ : CC_Z, taken);
  sub(r14, 3 * (taken_cycles - 2));
  go_to_block_next(next);
}

void Emitter::read_dynamic() {
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

Emitter::Region Emitter::indexed_region(uint32_t base) {
  if (base + 0xFF <= 0x7FF) return Region::RamNoMirror;
  if (base + 0xFF < 0x2000) return Region::Ram;
  if (base >= 0x8000 && base + 0xFF <= 0xFFFF) return Region::Prg;
  return Region::Other;
}

void Emitter::page_cross(const Reg32& index, uint32_t base) {
  const uint32_t low = base & 0xFF;
  if (low == 0) return;
  cmp(index, 0x100 - low);  // CF = no carry
  sbb(ecx, ecx);
  and_(ecx, 3);
  add(r14, 3);
  sub(r14, rcx);
}

void Emitter::load_operand(Mode mode, uint16_t operand, bool page_cycles) {
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

void Emitter::pointer_x(uint8_t zp) {
  lea(ecx, ptr[rbp + zp]);
  movzx(ecx, cl);
  movzx(eax, byte[r15 + rcx]);
  inc(cl);
  movzx(ecx, byte[r15 + rcx]);
  shl(ecx, 8);
  or_(eax, ecx);
}

void Emitter::pointer_y(uint8_t zp, bool page_cycles) {
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

void Emitter::store(Mode mode, uint16_t operand, const Reg8& value, uint32_t next_pc, unsigned cycles) {
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

void Emitter::modify(Kind kind, const Xbyak::Operand& at) {
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

void Emitter::read_modify_write(Kind kind, Mode mode, uint16_t operand, uint32_t next_pc, unsigned cycles) {
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

void Emitter::flags_to_eax(uint8_t extra) {
  mov(eax, r9d);
  or_(eax, r11d);
  movzx(ecx, byte[r13 + SLOT_V]);
  shl(ecx, 6);
  or_(eax, ecx);
  xor_(ecx, ecx);
  test(r10d, alu::NZ_NEGATIVE);
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

void Emitter::flags_from_eax() {
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
  and_(r9d, NATIVE_P_BITS);
}

void Emitter::push_value(const Reg8& value) {
  mov(byte[r15 + r8 + 0x100], value);
  dec(r8b);
}

void Emitter::push_constant(uint8_t value) {
  mov(byte[r15 + r8 + 0x100], value);
  dec(r8b);
}

void Emitter::pull_eax() {
  inc(r8b);
  movzx(eax, byte[r15 + r8 + 0x100]);
}

}  // namespace tt::native_detail
